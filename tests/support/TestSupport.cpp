#include "tests/support/TestSupport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tq::test {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tq-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

int FreeTcpPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0) close(fd);
        throw std::runtime_error("no free port");
    }
    close(fd);
    return ntohs(a.sin_port);
}

bool WaitForPort(int port, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        if (ok) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string PatternBytes(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint64_t x = 0x9E3779B97F4A7C15ull * (seed + 1);
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

namespace {

std::vector<char*> CStrings(std::vector<std::string>& v) {
    std::vector<char*> out;
    for (auto& s : v) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

std::vector<std::string> EnvWith(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    for (const auto& x : extra) {
        const auto eq = x.find('=');
        std::erase_if(env, [&](const std::string& s) { return s.compare(0, eq + 1, x, 0, eq + 1) == 0; });
        env.push_back(x);
    }
    return env;
}

pid_t Spawn(const std::vector<std::string>& argvIn, const std::vector<std::string>& extraEnv,
            posix_spawn_file_actions_t* actions) {
    std::vector<std::string> argv = argvIn;
    std::vector<std::string> env = EnvWith(extraEnv);
    auto cargv = CStrings(argv);
    auto cenv = CStrings(env);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, cargv[0], actions, nullptr, cargv.data(), cenv.data());
    if (rc != 0) throw std::runtime_error("cannot start " + argvIn[0] + ": " + std::strerror(rc));
    return pid;
}

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                           const std::string& stdoutFile, const std::string& stderrFile) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, stdoutFile.empty() ? "/dev/null" : stdoutFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, stderrFile.empty() ? "/dev/null" : stderrFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    try {
        pid_ = Spawn(argv, extraEnv, &fa);
    } catch (...) {
        posix_spawn_file_actions_destroy(&fa);
        throw;
    }
    posix_spawn_file_actions_destroy(&fa);
}

ChildProcess::~ChildProcess() { stop(); }

ChildProcess::ChildProcess(ChildProcess&& o) noexcept : pid_(o.pid_), status_(o.status_) { o.pid_ = -1; }

ChildProcess& ChildProcess::operator=(ChildProcess&& o) noexcept {
    if (this != &o) {
        stop();
        pid_ = o.pid_;
        status_ = o.status_;
        o.pid_ = -1;
    }
    return *this;
}

bool ChildProcess::running() {
    if (pid_ <= 0) return false;
    int st = 0;
    const pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        status_ = st;
        pid_ = -1;
        return false;
    }
    return r == 0;
}

void ChildProcess::kill(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        if (std::chrono::steady_clock::now() >= end) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (status_ == -1) return -1;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}

void ChildProcess::stop() {
    if (pid_ <= 0) return;
    kill(SIGTERM);
    if (wait(std::chrono::seconds(1)) == -1 && pid_ > 0) {
        kill(SIGKILL);
        wait(std::chrono::seconds(5));
    }
    pid_ = -1;
}

int RunProgram(const std::vector<std::string>& argv, std::string* output, const std::string& stdinText,
               bool mergeStderr, const std::vector<std::string>& extraEnv) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    if (mergeStderr) posix_spawn_file_actions_adddup2(&fa, out[1], 2);
    pid_t pid = -1;
    try {
        pid = Spawn(argv, extraEnv, &fa);
    } catch (...) {
        posix_spawn_file_actions_destroy(&fa);
        for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
        throw;
    }
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    // Feed and drain together so neither side blocks on a full pipe.
    size_t sent = 0;
    int inFd = in[1];
    if (stdinText.empty()) {
        close(inFd);
        inFd = -1;
    }
    std::string got;
    char buf[65536];
    for (;;) {
        pollfd p[2] = {{out[0], POLLIN, 0}, {inFd, POLLOUT, 0}};
        if (poll(p, inFd >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) break;
        if (inFd >= 0 && (p[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t w = write(inFd, stdinText.data() + sent, stdinText.size() - sent);
            if (w > 0) sent += static_cast<size_t>(w);
            if (w < 0 || sent == stdinText.size()) {
                close(inFd);
                inFd = -1;
            }
        }
        if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t r = read(out[0], buf, sizeof buf);
            if (r <= 0) break;
            got.append(buf, static_cast<size_t>(r));
        }
    }
    if (inFd >= 0) close(inFd);
    close(out[0]);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    if (output) *output = std::move(got);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

} // namespace tq::test
