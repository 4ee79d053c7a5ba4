#include "tests/support/Danted.h"

#include <unistd.h>

namespace tq::test {

namespace {

const char* const kDantedPath = "/usr/sbin/danted";

} // namespace

Danted::Danted() = default;

Danted::~Danted()
{
    process_.stop();
}

bool Danted::Start()
{
    if (access(kDantedPath, X_OK) != 0) {
        why_ = std::string(kDantedPath) + " is not installed (package dante-server)";
        return false;
    }
    // A port taken between the probe and danted's bind gets another try.
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = FreeTcpPort();
        std::string conf =
            "logoutput: " + dir_.file("danted.log") + "\n"
            "internal: 127.0.0.1 port = " + std::to_string(port_) + "\n"
            "external: 127.0.0.1\n"
            "clientmethod: none\n"
            "socksmethod: none\n"
            "user.privileged: root\n"
            "user.unprivileged: nobody\n"
            "client pass {\n    from: 127.0.0.0/8 to: 127.0.0.0/8\n}\n"
            "socks pass {\n    from: 127.0.0.0/8 to: 127.0.0.0/8\n}\n";
        WriteFile(dir_.file("danted.conf"), conf);
        process_ = ChildProcess({kDantedPath, "-f", dir_.file("danted.conf"), "-N", "1", "-p", dir_.file("danted.pid")},
                                {}, dir_.file("stdout.txt"), dir_.file("stderr.txt"));
        if (WaitForPort(port_, std::chrono::seconds(10)))
            return true;
        process_.stop();
    }
    why_ = "danted did not start: " + Log();
    return false;
}

std::string Danted::Log() const
{
    std::string log;
    for (const char* name : {"danted.log", "stderr.txt"}) {
        if (access(dir_.file(name).c_str(), R_OK) == 0)
            log += ReadFile(dir_.file(name));
    }
    return log;
}

} // namespace tq::test
