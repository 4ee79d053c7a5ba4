#pragma once
// nginx for the benchmarks: started on a free loopback port with one file of the given
// size (byte i = (i * 131 + (i >> 8)) & 255) in a temporary folder, stopped and removed
// with the object.

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tq::bench {

inline int FreePort()
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

inline bool PortOpen(int port)
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
    explicit NginxProcess(size_t fileSize)
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
            for (size_t done = 0; done < fileSize; done += block.size())
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

} // namespace tq::bench
