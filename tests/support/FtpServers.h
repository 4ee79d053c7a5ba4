#pragma once
// FTP servers for the tests, each started on 127.0.0.1 on free ports with its own
// temporary root: vsftpd (anonymous, plus a refused user), pyftpdlib (one account)
// and the scripted fake server of tests/servers/fake_ftpd.py.

#include "tests/support/TestSupport.h"

#include <memory>
#include <string>

namespace tq::test {

struct TFtpServer {
    std::string Name;      // "vsftpd", "pyftpdlib", "fake"
    int Port = 0;
    std::string User, Password;
    std::string BadUser;   // a login the server refuses
    std::string FilesDir;  // local folder behind RemoteDir
    std::string RemoteDir; // the folder the tests work in, as the client names it
    std::string LogFile;   // fake server: the commands it received
    ChildProcess Process;
};

// Empty (nullptr) when the server cannot be started here; the reason goes to stderr.
std::unique_ptr<TFtpServer> StartVsftpd(const std::string& workDir);
std::unique_ptr<TFtpServer> StartPyftpdlib(const std::string& workDir);
// scriptJson: the fake server's script (see tests/servers/fake_ftpd.py).
std::unique_ptr<TFtpServer> StartFakeFtpd(const std::string& workDir, const std::string& scriptJson);

} // namespace tq::test
