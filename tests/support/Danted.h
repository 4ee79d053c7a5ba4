#pragma once
// dante-server's danted on a free loopback port, with its configuration and log in a
// temporary folder; stopped when the object goes. It relays from and to 127.0.0.0/8 only,
// without authentication, and speaks SOCKS 4, 4A and 5.

#include "tests/support/TestSupport.h"

#include <memory>
#include <string>

namespace tq::test {

class Danted {
public:
    Danted();
    ~Danted();
    Danted(const Danted&) = delete;
    Danted& operator=(const Danted&) = delete;

    // False when danted is not installed or did not come up; Why() says which.
    bool Start();
    int Port() const { return port_; }
    const std::string& Why() const { return why_; }
    std::string Log() const;  // what danted wrote to its log file

private:
    TempDir dir_;
    ChildProcess process_;
    int port_ = 0;
    std::string why_;
};

} // namespace tq::test
