#pragma once
// HTTP servers started by tests on free loopback ports, each with its files in a
// temporary folder and stopped when the object goes: our data-driven fault server,
// nginx and squid.

#include "tests/support/TestSupport.h"

#include <string>
#include <vector>

namespace tq::test {

// The bytes the fault server sends as bodies: byte i = (i * 131 + (i >> 8)) & 255.
std::string FaultPattern(size_t start, size_t n);

// tests/servers/fault_httpd.py with a table of cases (JSON text, see the script).
class FaultHttpd {
public:
    // script: the path of fault_httpd.py.
    FaultHttpd(const std::string& casesJson, const std::string& script);
    ~FaultHttpd();
    bool Start();
    int Port() const { return port_; }
    const std::string& Why() const { return why_; }
    // The request heads received so far, in order.
    std::vector<std::string> Requests() const;

private:
    TempDir dir_;
    std::string script_;
    ChildProcess process_;
    int port_ = 0;
    std::string why_;
};

// nginx serving Root() with the given lines inside its server block.
class Nginx {
public:
    Nginx();
    ~Nginx();
    bool Start(const std::string& serverLines);
    int Port() const { return port_; }
    std::string Root() const { return dir_.file("www"); }
    const std::string& Why() const { return why_; }
    std::string ErrorLog() const;
    // One line per request: method, path, Range header ("-" when none), status, body bytes.
    std::string AccessLog() const;
    // Writes a file under Root() (folders created).
    void AddFile(const std::string& relPath, const std::string& bytes) const;
    // "user:hash" line for an auth_basic_user_file.
    static std::string PasswordLine(const std::string& user, const std::string& password);
    std::string Dir() const { return dir_.path(); }

private:
    TempDir dir_;
    ChildProcess process_;
    int port_ = 0;
    std::string why_;
};

// squid as an HTTP proxy without a cache. CONNECT is allowed to tunnelPorts only;
// with a user set, every request needs Basic proxy authentication.
class Squid {
public:
    struct Options {
        std::vector<int> tunnelPorts;
        std::string user, password;
    };
    Squid();
    ~Squid();
    bool Start(const Options& options);
    int Port() const { return port_; }
    const std::string& Why() const { return why_; }
    std::string Log() const;
    // One line per request squid handled (method and URL among its fields); squid may
    // write a line a moment after the answer.
    std::string AccessLog() const;

private:
    TempDir dir_;
    ChildProcess process_;
    int port_ = 0;
    std::string why_;
};

} // namespace tq::test
