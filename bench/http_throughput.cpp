// One HTTP connection from nginx on loopback into memory: the rate at which THttpCli
// reads a large body and hands it on. nginx is started on a free port with its files in
// a temporary folder.

#include "download/HttpProtqn.h"
#include "platform/EventLoop.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr size_t kFileSize = 512u * 1024 * 1024;

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

private:
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

void BM_HttpGetIntoMemory(benchmark::State& state)
{
    static NginxProcess nginx;
    tq::TEventLoop loop;
    tq::THttpCli cli(loop);
    std::string memory(kFileSize, '\0');
    size_t at = 0;
    bool done = false;
    int error = 0;
    cli.OnDocData = [&](tq::THttpCli*, const char* data, int32_t len) {
        if (at + size_t(len) <= memory.size())
            std::memcpy(memory.data() + at, data, size_t(len));
        at += size_t(len);
    };
    cli.OnRequestDone = [&](tq::THttpCli*, tq::THttpRequest, int e) {
        done = true;
        error = e;
    };
    for (auto _ : state) {
        at = 0;
        done = false;
        cli.TargetHost = "127.0.0.1";
        cli.TargetPort = std::to_string(nginx.Port());
        cli.TargetPath = "/big.bin";
        cli.GetASync();
        loop.PumpUntil([&] { return done; }, std::chrono::seconds(120));
        if (!done || error || at != kFileSize) {
            state.SkipWithError("download failed");
            break;
        }
        benchmark::DoNotOptimize(memory.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFileSize));
}
BENCHMARK(BM_HttpGetIntoMemory)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();

} // namespace
