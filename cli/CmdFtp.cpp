// tarvolin-cli ftp ls|get|put: one FTP session through the client engine.

#include "cli/Commands.h"
#include "foundation/PathUtils.h"
#include "foundation/TextUtils.h"
#include "foundation/UrlUtils.h"

#include "ftp/QNFtpClient.h"
#include "platform/EventLoop.h"

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace tq::cli {

namespace {

const char* kUsage =
    "usage: tarvolin-cli ftp ls URL\n"
    "       tarvolin-cli ftp get URL [FILE]     (an existing FILE is resumed)\n"
    "       tarvolin-cli ftp put FILE URL\n"
    "options: --user NAME --password TEXT --active --passive (default)\n"
    "URL: ftp://[user[:password]@]host[:port]/path\n";

struct TFtpUrl {
    std::string User, Password, Host, Port = "21", Path;
    bool HasUser = false, HasPassword = false;
};

// ftp://[user[:password]@]host[:port][/path], with %XX escapes in user, password and path.
bool ParseFtpUrl(const std::string& url, TFtpUrl& u, std::string& error) {
    const TURLParts p = SplitURL(url);
    if (p.Proto != "ftp" || url.find("://") == std::string::npos) {
        error = "not an ftp:// URL: " + url;
        return false;
    }
    const size_t authorityEnd = url.find_first_of("/?", url.find("://") + 3);
    const std::string authority = url.substr(0, authorityEnd);
    u.HasUser = authority.find('@') != std::string::npos;
    u.HasPassword = u.HasUser && authority.find(':', url.find("://") + 3) < authority.rfind('@');
    u.User = DecodePercentText(p.User);
    u.Password = DecodePercentText(p.Pass);
    if (!p.Port.empty()) {
        u.Port = p.Port;
        int32_t number = 0;
        if (!ParsePortNumber(u.Port, number)) {
            error = "bad port in " + url;
            return false;
        }
    }
    u.Host = p.Host;
    if (u.Host.size() > 2 && u.Host.front() == '[' && u.Host.back() == ']')
        u.Host = u.Host.substr(1, u.Host.size() - 2);
    if (u.Host.empty()) {
        error = "no host in " + url;
        return false;
    }
    u.Path = DecodePercentText(p.Path);
    return true;
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A local name taken from the remote path: no folders, nothing hidden in control bytes.
class TProgressLine {
public:
    explicit TProgressLine(std::string label) : Label(std::move(label)), Tty(isatty(2) == 1) {}
    ~TProgressLine() {
        if (Shown) std::fprintf(stderr, "\n");
    }
    void Show(int64_t done, int64_t total) {
        if (!Tty) return;
        const uint32_t now = GetTickCount32();
        if (Shown && !TickReached(now, Next) && !(total > 0 && done >= total)) return;
        Next = now + 200;
        Shown = true;
        if (total > 0)
            std::fprintf(stderr, "\r%s: %lld / %lld bytes (%d%%)", Label.c_str(), (long long)done, (long long)total,
                         int(done * 100 / total));
        else
            std::fprintf(stderr, "\r%s: %lld bytes", Label.c_str(), (long long)done);
        std::fflush(stderr);
    }

private:
    std::string Label;
    bool Tty;
    bool Shown = false;
    uint32_t Next = 0;
};

int Fail(TQNFtpClient& c, const std::string& what) {
    std::string reply = c.ErrorMessage().empty() ? c.LastReply() : c.ErrorMessage();
    std::fprintf(stderr, "tarvolin-cli: %s failed: %s\n", what.c_str(), reply.c_str());
    c.RunAndWait([&] { c.QuitAsync(); });
    return kExitFailed;
}

} // namespace

int CmdFtp(const CliContext&, const Args& args) {
    std::vector<std::string> words;
    std::string user, password;
    bool hasUser = false, hasPassword = false, passive = true;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if ((a == "--user" || a == "--password") && i + 1 < args.size()) {
            (a == "--user" ? user : password) = args[++i];
            (a == "--user" ? hasUser : hasPassword) = true;
        } else if (a == "--active") {
            passive = false;
        } else if (a == "--passive") {
            passive = true;
        } else if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "tarvolin-cli ftp: unknown or incomplete option %s\n%s", a.c_str(), kUsage);
            return kExitUsage;
        } else {
            words.push_back(a);
        }
    }
    if (words.empty()) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    const std::string verb = words[0];
    std::string urlText, localFile;
    if (verb == "ls" && words.size() == 2) {
        urlText = words[1];
    } else if (verb == "get" && (words.size() == 2 || words.size() == 3)) {
        urlText = words[1];
        if (words.size() == 3) localFile = words[2];
    } else if (verb == "put" && words.size() == 3) {
        localFile = words[1];
        urlText = words[2];
    } else {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    TFtpUrl url;
    std::string error;
    if (!ParseFtpUrl(urlText, url, error)) {
        std::fprintf(stderr, "tarvolin-cli ftp: %s\n", error.c_str());
        return kExitUsage;
    }
    if (verb == "get" && localFile.empty()) {
        localFile = BaseName(url.Path);
        if (localFile.empty()) {
            std::fprintf(stderr, "tarvolin-cli ftp: no usable file name in %s; give FILE\n", urlText.c_str());
            return kExitUsage;
        }
        // The name comes from the server side: never a path, never hidden bytes.
        localFile = SanitizeFileName(localFile);
    }
    if (verb == "put" && (url.Path.empty() || url.Path.back() == '/')) url.Path += BaseName(localFile);

    TEventLoop loop;
    TQNFtpClient c(loop);
    c.HostName = url.Host;
    c.Port = url.Port;
    c.UserName = hasUser ? user : (url.HasUser ? url.User : "anonymous");
    c.PassWord = hasPassword ? password : (url.HasPassword ? url.Password : kAnonymousPassword);
    c.SetPassiveMode(passive);
    c.Timeout = 30;   // seconds without progress
    if (!c.Connect()) return Fail(c, "login");

    if (verb == "ls") {
        c.DisplayFileFlag = true;
        c.SetDisplayFileMode(1);
        c.OnDisplayFile = [](TCustomFtpCli&, std::string& block) { std::fwrite(block.data(), 1, block.size(), stdout); };
        c.HostFileName = url.Path;
        if (!c.Dir()) return Fail(c, "LIST");
        std::fflush(stdout);
        c.RunAndWait([&] { c.QuitAsync(); });
        return kExitOk;
    }

    if (!c.RunAndWait([&] { c.TypeBinaryAsync(); })) return Fail(c, "TYPE I");
    c.HostFileName = url.Path;
    TProgressLine progress(BaseName(url.Path));
    int64_t total = 0;
    if (verb == "get") {
        if (c.Size()) total = c.SizeValue();
    } else {
        struct stat st;
        if (::stat(localFile.c_str(), &st) != 0) {
            std::fprintf(stderr, "tarvolin-cli ftp: cannot read %s\n", localFile.c_str());
            c.RunAndWait([&] { c.QuitAsync(); });
            return kExitFailed;
        }
        total = st.st_size;
    }
    c.OnProgress = [&](TCustomFtpCli&, int64_t count, bool&) { progress.Show(count, total); };
    c.SetLocalFileName(localFile);
    c.HostFileName = url.Path;
    bool ok;
    if (verb == "get") {
        struct stat st;
        const bool partial = ::stat(localFile.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
        if (partial && total > 0 && st.st_size >= total) {
            // Nothing left to fetch (a REST at the end would only be refused).
            ok = true;
        } else {
            ok = c.RunAndWait([&] { partial ? c.RestGetAsync() : c.GetAsync(); });
        }
    } else {
        ok = c.RunAndWait([&] { c.PutAsync(); });
    }
    if (!ok) return Fail(c, verb == "get" ? "RETR" : "STOR");
    c.RunAndWait([&] { c.QuitAsync(); });
    return kExitOk;
}

} // namespace tq::cli
