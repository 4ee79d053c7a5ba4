// One download job of 1 GiB from nginx on loopback over 8 connections, run by the job
// driver into a partial file and renamed: wall time, the process's CPU time per job and
// its peak resident memory. nginx is started on a free port with its files in a
// temporary folder.

#include "download/JobFiles.h"
#include "download/QNCliDrive.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr size_t kFileSize = 1024u * 1024 * 1024;

int FreePort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

bool PortOpen(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

class NginxProcess {
public:
    NginxProcess()
    {
        char tmpl[] = "/tmp/tq-bench-XXXXXX";
        dir_ = mkdtemp(tmpl);
        std::filesystem::create_directories(dir_ + "/www");
        std::filesystem::create_directories(dir_ + "/tmp");
        {
            std::ofstream f(dir_ + "/www/big.bin", std::ios::binary);
            std::string block(1 << 20, '\0');
            for (size_t i = 0; i < block.size(); ++i)
                block[i] = char((i * 131 + (i >> 8)) & 255);
            for (size_t done = 0; done < kFileSize; done += block.size())
                f.write(block.data(), std::streamsize(block.size()));
        }
        port_ = FreePort();
        std::ofstream(dir_ + "/nginx.conf")
            << "worker_processes 1;\npid " << dir_ << "/nginx.pid;\nerror_log " << dir_ << "/error.log;\n"
            << "events { worker_connections 64; }\nhttp {\n access_log off;\n sendfile on;\n"
            << " client_body_temp_path " << dir_ << "/tmp/b;\n proxy_temp_path " << dir_ << "/tmp/p;\n"
            << " fastcgi_temp_path " << dir_ << "/tmp/f;\n uwsgi_temp_path " << dir_ << "/tmp/u;\n"
            << " scgi_temp_path " << dir_ << "/tmp/s;\n"
            << " server { listen 127.0.0.1:" << port_ << "; root " << dir_ << "/www; }\n}\n";
        pid_ = fork();
        if (pid_ == 0) {
            execl("/usr/sbin/nginx", "nginx", "-p", dir_.c_str(), "-c", (dir_ + "/nginx.conf").c_str(), "-g",
                  "daemon off; master_process off;", static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 200 && !PortOpen(port_); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~NginxProcess()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        std::filesystem::remove_all(dir_);
    }
    int Port() const { return port_; }
    const std::string& Dir() const { return dir_; }

private:
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void BM_DriverJobFromNginx(benchmark::State& state)
{
    static NginxProcess nginx;
    const std::string save = nginx.Dir() + "/save", store = nginx.Dir() + "/store";
    std::filesystem::create_directories(save);
    std::filesystem::create_directories(store);
    double cpu = 0;
    for (auto _ : state) {
        tq::TDLMangeData job;
        job.URL = "http://127.0.0.1:" + std::to_string(nginx.Port()) + "/big.bin";
        job.SavePath = save;
        job.FileName = "big.bin";
        job.TempFileName = std::string("big.bin.") + tq::kPartialFileExt;
        job.BlockFileName = "1.blk";
        job.MaxConnections = int32_t(state.range(0));
        const double before = CpuSeconds();
        {
            tq::QNCliDrive drive(job, store);
            drive.OpenJob(2, true);
            drive.StartThread();
            drive.WaitEnded(std::chrono::seconds(300));
        }
        cpu += CpuSeconds() - before;
        if (!job.Completed || job.DoneSize != int64_t(kFileSize)) {
            state.SkipWithError("download failed");
            break;
        }
        state.PauseTiming();
        std::filesystem::remove(save + "/big.bin");
        state.ResumeTiming();
    }
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    state.counters["cpu_s_per_job"] = cpu / double(state.iterations());
    state.counters["peak_rss_MiB"] = double(u.ru_maxrss) / 1024.0;
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFileSize));
}
BENCHMARK(BM_DriverJobFromNginx)->Arg(8)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
