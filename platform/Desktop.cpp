#include "platform/Desktop.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "foundation/PathUtils.h"
#include "foundation/TextUtils.h"

extern char** environ;

namespace tq {

namespace {

std::string EnvOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return (v != nullptr && *v != '\0') ? std::string(v) : fallback;
}

std::string UserDirsText() {
    const std::string config = EnvOr("XDG_CONFIG_HOME", JoinLocalPath(HomeDir(), ".config"));
    FILE* f = std::fopen(JoinLocalPath(config, "user-dirs.dirs").c_str(), "rb");
    if (f == nullptr) return {};
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    std::fclose(f);
    return text;
}

std::string BaseName(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Percent-encoding of a path for the Path= line of a trash info file.
std::string EncodePathForTrash(const std::string& path) {
    static const char hex[] = "0123456789ABCDEF";
    std::string r;
    for (char c : path) {
        const unsigned char u = static_cast<unsigned char>(c);
        if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
            c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
            r += c;
        } else {
            r += '%';
            r += hex[u >> 4];
            r += hex[u & 15];
        }
    }
    return r;
}

bool WriteAll(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        const ssize_t w = write(fd, text.data() + done, text.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

bool CopyEntry(const std::string& source, const std::string& target) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path s(source), t(target);
    if (fs::equivalent(s, t, ec)) return false;
    ec.clear();
    fs::copy(s, t, fs::copy_options::recursive | fs::copy_options::overwrite_existing |
                       fs::copy_options::copy_symlinks, ec);
    return !ec;
}

bool MoveEntry(const std::string& source, const std::string& target) {
    if (rename(source.c_str(), target.c_str()) == 0) return true;
    if (errno != EXDEV) return false;
    return CopyEntry(source, target) && DeleteDirTree(source);
}

// Spawns argv with standard output on outFd (-1: /dev/null) and waits; returns the
// exit status or -1 when the program could not be started.
int RunAndWait(const std::vector<std::string>& args, int outFd) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outFd >= 0) posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    else posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

std::string HomeDir() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') return home;
    struct passwd pw {};
    struct passwd* result = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &pw, buffer, sizeof buffer, &result) == 0 && result != nullptr)
        return pw.pw_dir;
    return "/";
}

std::string LookupUserDir(const std::string& userDirsText, const std::string& name,
                          const std::string& home) {
    const std::string prefix = "XDG_" + name + "_DIR=";
    size_t start = 0;
    while (start < userDirsText.size()) {
        size_t end = userDirsText.find('\n', start);
        if (end == std::string::npos) end = userDirsText.size();
        const std::string line = Trim(std::string_view(userDirsText).substr(start, end - start));
        start = end + 1;
        if (line.rfind(prefix, 0) != 0) continue;
        std::string value = line.substr(prefix.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (value == "$HOME" || value == "$HOME/") return home;
        if (value.rfind("$HOME/", 0) == 0) return JoinLocalPath(home, value.substr(6));
        if (!value.empty() && value[0] == '/') return value;
        return {};
    }
    return {};
}

std::string HomeTrashDir() {
    return JoinLocalPath(EnvOr("XDG_DATA_HOME", JoinLocalPath(HomeDir(), ".local/share")), "Trash");
}

bool MoveToTrash(const std::string& path, const std::string& trashDir) {
    struct stat st {};
    if (path.empty() || lstat(path.c_str(), &st) != 0) return false;
    const std::string filesDir = JoinLocalPath(trashDir, "files");
    const std::string infoDir = JoinLocalPath(trashDir, "info");
    if (!ForceDirectories(filesDir, 0700) || !ForceDirectories(infoDir, 0700)) return false;

    std::error_code ec;
    const std::string absolute = std::filesystem::absolute(path, ec).lexically_normal().string();
    if (ec) return false;
    char date[32];
    const time_t now = time(nullptr);
    struct tm lt {};
    localtime_r(&now, &lt);
    strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &lt);
    const std::string info = "[Trash Info]\nPath=" + EncodePathForTrash(absolute) +
                             "\nDeletionDate=" + date + "\n";

    const std::string base = BaseName(absolute);
    for (int n = 1; n < 100000; ++n) {
        const std::string name = n == 1 ? base : base + "." + std::to_string(n);
        const std::string infoPath = JoinLocalPath(infoDir, name + ".trashinfo");
        // The info file is claimed first, so two deletes never pick the same name.
        const int fd = open(infoPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return false;
        }
        const bool written = WriteAll(fd, info);
        const bool closed = close(fd) == 0;
        const std::string target = JoinLocalPath(filesDir, name);
        if (written && closed && !EntryExists(target) && rename(path.c_str(), target.c_str()) == 0)
            return true;
        unlink(infoPath.c_str());
        if (!written || !closed || !EntryExists(target)) return false;
    }
    return false;
}

std::string TDesktopServices::GetTempDir() {
    const std::string tmp = EnvOr("TMPDIR", "");
    if (!tmp.empty() && DirExists(tmp)) return tmp;
    return "/tmp";
}

std::string TDesktopServices::GetPersonalFolder() {
    const std::string home = HomeDir();
    const std::string docs = LookupUserDir(UserDirsText(), "DOCUMENTS", home);
    return (!docs.empty() && DirExists(docs)) ? docs : home;
}

std::string TDesktopServices::GetDownloadFolder() {
    const std::string home = HomeDir();
    const std::string dl = LookupUserDir(UserDirsText(), "DOWNLOAD", home);
    return dl.empty() ? JoinLocalPath(home, "Downloads") : dl;
}

bool TDesktopServices::ShellFileOperation(TShellOperation operation,
                                          const std::vector<std::string>& from, bool allowUndo,
                                          const std::string& to) {
    if (from.empty()) return false;
    bool ok = true;
    if (operation == TShellOperation::Delete) {
        for (const std::string& path : from) {
            if (!EntryExists(path)) {
                ok = false;
            } else if (allowUndo) {
                ok = MoveToTrash(path, HomeTrashDir()) && ok;
            } else {
                ok = DeleteDirTree(path) && ok;
            }
        }
        return ok;
    }
    if (to.empty()) return false;
    // Several sources always go into the folder "to"; a single one goes into it when
    // it is a folder and otherwise becomes it.
    const bool intoFolder = from.size() > 1 || DirExists(to);
    if (intoFolder && !ForceDirectories(to)) return false;
    for (const std::string& source : from) {
        const std::string target = intoFolder ? JoinLocalPath(to, BaseName(source)) : to;
        if (!EntryExists(source)) {
            ok = false;
            continue;
        }
        const bool done = operation == TShellOperation::Copy ? CopyEntry(source, target)
                                                             : MoveEntry(source, target);
        ok = done && ok;
    }
    return ok;
}

bool THeadlessDesktop::BrowseForFolder(std::string&, const std::string&) { return false; }

void THeadlessDesktop::PlaySoundFile(const std::string& fileName) { SoundsPlayed.push_back(fileName); }

void THeadlessDesktop::ShutdownSystem(int mode) { ShutdownRequests.push_back(mode); }

bool THeadlessDesktop::StartProgram(const std::vector<std::string>& argv) {
    ProgramsStarted.push_back(argv);
    return !argv.empty();
}

bool TDesktopServices::StartProgram(const std::vector<std::string>& args) {
    if (args.empty() || args[0].empty()) return false;
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    // The caller never waits; a short-lived thread collects the exit status.
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

bool TLinuxDesktop::BrowseForFolder(std::string& dir, const std::string& title) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    std::vector<std::string> args = {"zenity", "--file-selection", "--directory"};
    if (!dir.empty()) args.push_back("--filename=" + JoinLocalPath(dir, ""));
    if (!title.empty()) args.push_back("--title=" + title);
    std::string chosen;
    std::thread reader([&] {
        char buffer[4096];
        ssize_t n;
        while ((n = read(fds[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
            if (n > 0) chosen.append(buffer, static_cast<size_t>(n));
    });
    const int status = RunAndWait(args, fds[1]);
    close(fds[1]);
    reader.join();
    close(fds[0]);
    while (!chosen.empty() && (chosen.back() == '\n' || chosen.back() == '\r')) chosen.pop_back();
    if (status != 0 || chosen.empty() || !DirExists(chosen)) return false;
    dir = chosen;
    return true;
}

void TLinuxDesktop::PlaySoundFile(const std::string& fileName) {
    if (!FileExists(fileName)) return;
    // Played on a short-lived thread of its own so the caller never waits; the
    // second player is only tried when the first is missing or fails.
    std::thread([fileName] {
        if (RunAndWait({"paplay", fileName}, -1) != 0) RunAndWait({"aplay", "-q", fileName}, -1);
    }).detach();
}

} // namespace tq
