#pragma once
// Shared pieces of the test programs: temporary folders, free loopback ports and
// child processes (servers started by a test and stopped with it).

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tq::test {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
private:
    std::string path_;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreeTcpPort();

// True once something accepts connections on 127.0.0.1:port, false after the time-out.
bool WaitForPort(int port, std::chrono::milliseconds timeout = std::chrono::seconds(10));

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
// Deterministic pseudo-random bytes, so a transfer can be checked byte for byte.
std::string PatternBytes(size_t n, unsigned seed = 1);

// A child process started with an argument vector (never through a shell). It is
// killed and reaped when the object goes.
class ChildProcess {
public:
    ChildProcess() = default;
    explicit ChildProcess(const std::vector<std::string>& argv,
                          const std::vector<std::string>& extraEnv = {},
                          const std::string& stdoutFile = "", const std::string& stderrFile = "");
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;

    pid_t pid() const { return pid_; }
    bool running();
    void kill(int sig);
    // Waits for the exit; returns the exit code, 128 + signal, or -1 on time-out.
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    void stop();  // SIGTERM, then SIGKILL after a second, then reap
private:
    pid_t pid_ = -1;
    int status_ = -1;
};

// Runs a program to its end, capturing standard output (and standard error when
// mergeStderr), feeding stdinText to it. Returns the exit code.
int RunProgram(const std::vector<std::string>& argv, std::string* output,
               const std::string& stdinText = "", bool mergeStderr = false,
               const std::vector<std::string>& extraEnv = {});

} // namespace tq::test
