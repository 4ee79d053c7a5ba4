#include "tests/support/HttpServers.h"

#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tq::test {

namespace {

const char* const kNginx = "/usr/sbin/nginx";
const char* const kSquid = "/usr/sbin/squid";
const char* const kNcsaAuth = "/usr/lib/squid/basic_ncsa_auth";

std::string Python()
{
    return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

std::string ReadIfThere(const std::string& path)
{
    return access(path.c_str(), R_OK) == 0 ? ReadFile(path) : std::string();
}

} // namespace

std::string FaultPattern(size_t start, size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        size_t k = start + i;
        s[i] = char((k * 131 + (k >> 8)) & 255);
    }
    return s;
}

// ---- fault server ----

FaultHttpd::FaultHttpd(const std::string& casesJson, const std::string& script) : script_(script)
{
    WriteFile(dir_.file("cases.json"), casesJson);
    WriteFile(dir_.file("requests.log"), "");
}

FaultHttpd::~FaultHttpd() { process_.stop(); }

bool FaultHttpd::Start()
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = FreeTcpPort();
        process_ = ChildProcess({Python(), script_, std::to_string(port_), dir_.file("cases.json"),
                                 dir_.file("requests.log")},
                                {}, "", dir_.file("stderr.txt"));
        if (WaitForPort(port_, std::chrono::seconds(10)))
            return true;
        process_.stop();
    }
    why_ = "fault_httpd.py did not start: " + ReadIfThere(dir_.file("stderr.txt"));
    return false;
}

std::vector<std::string> FaultHttpd::Requests() const
{
    std::vector<std::string> out;
    std::string log = ReadFile(dir_.file("requests.log"));
    const std::string sep = "\n=====\n";
    for (size_t pos = 0;;) {
        size_t end = log.find(sep, pos);
        if (end == std::string::npos)
            break;
        out.push_back(log.substr(pos, end - pos));
        pos = end + sep.size();
    }
    return out;
}

// ---- nginx ----

Nginx::Nginx()
{
    std::filesystem::create_directories(dir_.file("www"));
    std::filesystem::create_directories(dir_.file("tmp"));
    std::filesystem::create_directories(dir_.file("logs"));
}

Nginx::~Nginx() { process_.stop(); }

void Nginx::AddFile(const std::string& relPath, const std::string& bytes) const
{
    std::filesystem::path p = std::filesystem::path(Root()) / relPath;
    std::filesystem::create_directories(p.parent_path());
    WriteFile(p.string(), bytes);
}

std::string Nginx::PasswordLine(const std::string& user, const std::string& password)
{
    std::string hash;
    if (RunProgram({"openssl", "passwd", "-apr1", password}, &hash) != 0)
        return {};
    while (!hash.empty() && (hash.back() == '\n' || hash.back() == '\r'))
        hash.pop_back();
    return user + ":" + hash + "\n";
}

bool Nginx::Start(const std::string& serverLines)
{
    if (access(kNginx, X_OK) != 0) {
        why_ = "nginx is not installed (package nginx-light)";
        return false;
    }
    const std::string d = dir_.path();
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = FreeTcpPort();
        std::string conf =
            "worker_processes 1;\n"
            "pid " + d + "/nginx.pid;\n"
            "error_log " + d + "/logs/error.log info;\n"
            "events { worker_connections 256; }\n"
            "http {\n"
            "  log_format ranges '$request_method $uri $http_range $status $body_bytes_sent';\n"
            "  access_log " + d + "/logs/access.log ranges;\n"
            "  client_body_temp_path " + d + "/tmp/body;\n"
            "  proxy_temp_path " + d + "/tmp/proxy;\n"
            "  fastcgi_temp_path " + d + "/tmp/fastcgi;\n"
            "  uwsgi_temp_path " + d + "/tmp/uwsgi;\n"
            "  scgi_temp_path " + d + "/tmp/scgi;\n"
            "  default_type application/octet-stream;\n"
            "  sendfile on;\n"
            "  server {\n"
            "    listen 127.0.0.1:" + std::to_string(port_) + ";\n"
            "    server_name localhost;\n"
            "    root " + d + "/www;\n"
            + serverLines +
            "\n  }\n"
            "}\n";
        WriteFile(dir_.file("nginx.conf"), conf);
        process_ = ChildProcess({kNginx, "-p", d, "-c", dir_.file("nginx.conf"), "-g",
                                 "daemon off; master_process off;"},
                                {}, dir_.file("stdout.txt"), dir_.file("stderr.txt"));
        if (WaitForPort(port_, std::chrono::seconds(10)))
            return true;
        process_.stop();
    }
    why_ = "nginx did not start: " + ErrorLog();
    return false;
}

std::string Nginx::AccessLog() const
{
    return ReadIfThere(dir_.file("logs/access.log"));
}

std::string Nginx::ErrorLog() const
{
    return ReadIfThere(dir_.file("logs/error.log")) + ReadIfThere(dir_.file("stderr.txt"));
}

// ---- squid ----

Squid::Squid() = default;

Squid::~Squid() { process_.stop(); }

bool Squid::Start(const Options& options)
{
    if (access(kSquid, X_OK) != 0) {
        why_ = "squid is not installed (package squid)";
        return false;
    }
    const std::string d = dir_.path();
    std::string tunnelPorts;
    for (int p : options.tunnelPorts)
        tunnelPorts += " " + std::to_string(p);
    if (tunnelPorts.empty())
        tunnelPorts = " 1";
    std::string auth;
    if (!options.user.empty()) {
        std::string hash;
        if (RunProgram({"openssl", "passwd", "-1", options.password}, &hash) != 0) {
            why_ = "openssl passwd failed";
            return false;
        }
        while (!hash.empty() && (hash.back() == '\n' || hash.back() == '\r'))
            hash.pop_back();
        WriteFile(dir_.file("passwd"), options.user + ":" + hash + "\n");
        auth = "auth_param basic program " + std::string(kNcsaAuth) + " " + d + "/passwd\n"
               "auth_param basic children 2\n"
               "auth_param basic realm tarvolin-test\n"
               "acl authed proxy_auth REQUIRED\n";
    }
    // Running as root, squid switches to its own user, which must reach these files.
    if (geteuid() == 0) {
        if (passwd* pw = getpwnam("proxy")) {
            chmod(d.c_str(), 0755);
            // Failures show up as squid not starting, with its log.
            if (access(dir_.file("passwd").c_str(), F_OK) == 0 && chown(dir_.file("passwd").c_str(), pw->pw_uid, pw->pw_gid) != 0)
                why_ = "chown failed";
            if (chown(d.c_str(), pw->pw_uid, pw->pw_gid) != 0)
                why_ = "chown failed";
        }
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = FreeTcpPort();
        std::string conf =
            "http_port 127.0.0.1:" + std::to_string(port_) + "\n"
            "pid_filename " + d + "/squid.pid\n"
            "cache_log " + d + "/cache.log\n"
            "access_log stdio:" + d + "/access.log\n"
            "cache_store_log none\n"
            "coredump_dir " + d + "\n"
            "cache deny all\n"
            "cache_mem 4 MB\n"
            "netdb_filename none\n"
            "shutdown_lifetime 0 seconds\n"
            "logfile_rotate 0\n"
            + auth +
            "acl local src 127.0.0.0/8\n"
            "acl tunnel_ports port" + tunnelPorts + "\n"
            "http_access deny CONNECT !tunnel_ports\n"
            + (options.user.empty() ? "http_access allow local\n" : "http_access allow local authed\n") +
            "http_access deny all\n";
        WriteFile(dir_.file("squid.conf"), conf);
        process_ = ChildProcess({kSquid, "-N", "-f", dir_.file("squid.conf")}, {}, dir_.file("stdout.txt"),
                                dir_.file("stderr.txt"));
        if (WaitForPort(port_, std::chrono::seconds(20)))
            return true;
        process_.stop();
    }
    why_ = "squid did not start: " + Log();
    return false;
}

std::string Squid::Log() const
{
    return ReadIfThere(dir_.file("cache.log")) + ReadIfThere(dir_.file("stderr.txt"));
}

std::string Squid::AccessLog() const
{
    return ReadIfThere(dir_.file("access.log"));
}

} // namespace tq::test
