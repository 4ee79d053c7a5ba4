#include "tests/support/FtpServers.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tq::test {

namespace fs = std::filesystem;

namespace {

// The scripts live beside this file's folder: tests/servers/.
std::string ServerScript(const char* name) {
    fs::path here = fs::path(__FILE__).parent_path();   // tests/support
    return (here.parent_path() / "servers" / name).string();
}

const char* kPython = "/usr/bin/python3";

bool WaitForFile(const std::string& path, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (fs::exists(path)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Two ports next to each other are not needed; a small range of free ports is.
void PassivePorts(int& lo, int& hi) {
    lo = FreeTcpPort();
    hi = lo;
}

} // namespace

std::unique_ptr<TFtpServer> StartVsftpd(const std::string& workDir) {
    const char* exe = "/usr/sbin/vsftpd";
    if (access(exe, X_OK) != 0) {
        std::fprintf(stderr, "vsftpd not installed\n");
        return nullptr;
    }
    struct passwd* ftpUser = getpwnam("ftp");
    if (geteuid() != 0 || !ftpUser) {
        std::fprintf(stderr, "vsftpd needs root and the ftp user\n");
        return nullptr;
    }
    auto s = std::make_unique<TFtpServer>();
    s->Name = "vsftpd";
    s->User = "anonymous";
    s->Password = "test@example.com";
    s->BadUser = "nobody-here";
    const std::string root = workDir + "/vroot";
    const std::string empty = workDir + "/vempty";
    fs::create_directories(root + "/pub");
    fs::create_directories(empty);
    chmod(workDir.c_str(), 0755);
    chmod(root.c_str(), 0755);
    chown((root + "/pub").c_str(), ftpUser->pw_uid, ftpUser->pw_gid);
    chmod((root + "/pub").c_str(), 0777);
    s->FilesDir = root + "/pub";
    s->RemoteDir = "/pub";
    s->Port = FreeTcpPort();
    int lo, hi;
    PassivePorts(lo, hi);
    const std::string conf = workDir + "/vsftpd.conf";
    std::string text =
        "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" + std::to_string(s->Port) +
        "\nbackground=NO\nseccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
        "secure_chroot_dir=" + empty +
        "\nanonymous_enable=YES\nanon_root=" + root +
        "\nno_anon_password=YES\nlocal_enable=NO\nwrite_enable=YES\nanon_upload_enable=YES\n"
        "anon_mkdir_write_enable=YES\nanon_other_write_enable=YES\nanon_umask=022\n"
        "pasv_enable=YES\npasv_min_port=" + std::to_string(lo) + "\npasv_max_port=" + std::to_string(hi) +
        "\nport_enable=YES\nconnect_from_port_20=NO\nxferlog_enable=NO\nsyslog_enable=NO\n"
        "dual_log_enable=NO\nvsftpd_log_file=" + workDir + "/vsftpd.log\n"
        "max_per_ip=0\nmax_clients=0\nhide_ids=NO\nuse_localtime=NO\n";
    WriteFile(conf, text);
    s->Process = ChildProcess({exe, conf}, {}, workDir + "/vsftpd.out", workDir + "/vsftpd.err");
    if (!WaitForPort(s->Port)) {
        std::fprintf(stderr, "vsftpd did not start: %s\n", ReadFile(workDir + "/vsftpd.err").c_str());
        return nullptr;
    }
    return s;
}

std::unique_ptr<TFtpServer> StartPyftpdlib(const std::string& workDir) {
    auto s = std::make_unique<TFtpServer>();
    s->Name = "pyftpdlib";
    s->User = "tester";
    s->Password = "secret pw";
    s->BadUser = "tester";   // with a wrong password
    s->FilesDir = workDir + "/proot";
    s->RemoteDir = "/";
    fs::create_directories(s->FilesDir);
    s->Port = FreeTcpPort();
    int lo, hi;
    PassivePorts(lo, hi);
    s->Process = ChildProcess({kPython, ServerScript("pyftpd.py"), s->User, s->Password, s->FilesDir,
                               std::to_string(s->Port), std::to_string(lo), std::to_string(hi)},
                              {}, workDir + "/pyftpd.out", workDir + "/pyftpd.err");
    if (!WaitForPort(s->Port)) {
        std::fprintf(stderr, "pyftpdlib did not start: %s\n", ReadFile(workDir + "/pyftpd.err").c_str());
        return nullptr;
    }
    return s;
}

std::unique_ptr<TFtpServer> StartFakeFtpd(const std::string& workDir, const std::string& scriptJson) {
    auto s = std::make_unique<TFtpServer>();
    s->Name = "fake";
    s->User = "user";
    s->Password = "pass";
    s->RemoteDir = "/";
    const std::string script = workDir + "/script.json";
    const std::string portFile = workDir + "/fake.port";
    s->LogFile = workDir + "/fake.log";
    WriteFile(script, scriptJson);
    WriteFile(s->LogFile, "");
    fs::remove(portFile);
    s->Process = ChildProcess({kPython, ServerScript("fake_ftpd.py"), script, s->LogFile, portFile}, {},
                              workDir + "/fake.out", workDir + "/fake.err");
    if (!WaitForFile(portFile, std::chrono::seconds(10))) {
        std::fprintf(stderr, "fake server did not start: %s\n", ReadFile(workDir + "/fake.err").c_str());
        return nullptr;
    }
    s->Port = std::stoi(ReadFile(portFile));
    return s;
}

} // namespace tq::test
