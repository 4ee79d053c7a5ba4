// What the download commands share: options, job records, the opened store and the
// loop that runs jobs to their end.

#include "cli/JobSession.h"

#include "cli/ProgressView.h"
#include "cli/ProxyArg.h"
#include "download/JobFiles.h"
#include "foundation/AtomicFile.h"
#include "foundation/PathUtils.h"
#include "foundation/TextUtils.h"
#include "foundation/UrlUtils.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/ioctl.h>
#include <unistd.h>

namespace tq::cli {

namespace {

constexpr const char* kWaitListFile = "DLWaitList.txt";
constexpr int32_t kDefaultConnections = 5;
constexpr auto kTickInterval = std::chrono::milliseconds(200);
constexpr auto kStopTimeout = std::chrono::seconds(30);

bool ParseCount(const std::string& text, int32_t& value) {
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::stoi(text);
    return true;
}

std::string CurrentDir() {
    std::string buf(4096, '\0');
    if (!::getcwd(buf.data(), buf.size())) return ".";
    buf.resize(std::char_traits<char>::length(buf.c_str()));
    return buf;
}

uint64_t NowMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Columns and rows of the terminal on standard output (80 x unlimited when unknown).
std::pair<int, int> TerminalSize() {
    winsize ws{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return {ws.ws_col, ws.ws_row};
    return {80, 0};
}

void Write(const std::string& text) {
    if (text.empty()) return;
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

} // namespace

std::string WorkDirOf(const CliContext& ctx) {
    if (!ctx.dataDir.empty()) return ctx.dataDir;
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && *xdg == '/') return JoinLocalPath(xdg, "tarvolin");
    const char* home = std::getenv("HOME");
    return JoinLocalPath(JoinLocalPath(home && *home ? home : ".", ".local/share"), "tarvolin");
}

bool ParseJobArgs(const Args& args, std::vector<std::string>& urls, TJobOptions& options, bool& help,
                  std::string& error) {
    help = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool takesValue = a == "-n" || a == "-d" || a == "-o" || a == "--proxy";
        if (takesValue && i + 1 >= args.size()) {
            error = a + " needs a value";
            return false;
        }
        if (a == "-h" || a == "--help") {
            help = true;
        } else if (a == "-n") {
            if (!ParseCount(args[++i], options.Connections) || options.Connections < 1 ||
                options.Connections > 99) {
                error = "-n takes a number of connections from 1 to 99, not \"" + args[i] + "\"";
                return false;
            }
        } else if (a == "-d") {
            options.Dir = args[++i];
            if (options.Dir.empty()) {
                error = "-d needs a folder";
                return false;
            }
        } else if (a == "-o") {
            options.Name = args[++i];
            if (Trim(options.Name).empty() || options.Name.find('/') != std::string::npos ||
                options.Name == "." || options.Name == "..") {
                error = "-o takes a file name without folders, not \"" + options.Name + "\"";
                return false;
            }
        } else if (a == "--proxy") {
            if (!ParseProxyArg(args[++i], options.Proxy, error)) return false;
            options.UseProxy = true;
        } else if (a.size() > 1 && a[0] == '-') {
            error = "unknown option \"" + a + "\"";
            return false;
        } else {
            urls.push_back(a);
        }
    }
    if (!options.Name.empty() && urls.size() > 1) {
        error = "-o names one file: give one URL with it";
        return false;
    }
    return true;
}

std::string StoredURL(const std::string& url) {
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos) return url;
    const size_t authorityEnd = url.find_first_of("/?#", scheme + 3);
    const size_t at = url.rfind('@', authorityEnd == std::string::npos ? url.size() : authorityEnd);
    if (at == std::string::npos || at < scheme + 3) return url;
    return url.substr(0, scheme + 3) + url.substr(at + 1);
}

namespace {

// The connection count and proxy fields the options give a record.
void ApplyConnectionsAndProxy(const TJobOptions& options, int32_t defaultConnections, TDLMangeData& record) {
    record.MaxConnections = options.Connections > 0 ? options.Connections
                            : defaultConnections >= 1 && defaultConnections <= 99 ? defaultConnections
                                                                                  : kDefaultConnections;
    record.UseProxy = options.UseProxy ? 1 : 0;
    record.HttpProxyID = options.UseProxy ? options.Proxy.ID : 0;
    record.FtpProxyID = options.UseProxy ? options.Proxy.ID : 0;
}

} // namespace

bool MakeJobRecord(const std::string& url, const TJobOptions& options, int32_t defaultConnections,
                   TDLMangeData& record, std::string& error) {
    TURLInfo info;
    const int kind = AnalyseURL(url, info);
    if (kind == ukUnsupported || url.find("://") == std::string::npos) {
        error = "not an http:// or ftp:// URL: " + url;
        return false;
    }
    if (info.Host.empty()) {
        error = "no host in " + url;
        return false;
    }
    int32_t port = kind == ukFtp ? 21 : 80;
    if (!info.Port.empty() && !ParsePortNumber(info.Port, port)) {
        error = "bad port in " + url;
        return false;
    }
    record.URL = StoredURL(url);
    record.Protocol = kind;
    record.Port = port;
    record.UserName = DecodePercentText(info.User);
    record.Password = DecodePercentText(info.Pass);
    record.UseLogin = info.User.empty() ? 0 : 1;
    // Stored absolute: a later run from another folder must save to the same place.
    std::string dir = std::filesystem::path(options.Dir.empty() || options.Dir[0] != '/'
                                                ? JoinLocalPath(CurrentDir(), options.Dir)
                                                : options.Dir)
                          .lexically_normal()
                          .string();
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    record.SavePath = dir;
    // A name given by the user stays; otherwise the server may name the file.
    record.UseServerName = options.Name.empty() ? 1 : 0;
    const std::string fromUrl = DecodePercentText(info.FileName);
    record.FileName = SanitizeFileName(!options.Name.empty() ? options.Name
                                       : Trim(fromUrl).empty() ? std::string("index.htm")
                                                               : fromUrl);
    ApplyConnectionsAndProxy(options, defaultConnections, record);
    record.HasReferer = 0;
    std::string host = info.Host;
    if (!info.Port.empty()) host += ":" + info.Port;
    record.Referer = (kind == ukFtp ? "ftp://" : "http://") + host + (info.Dir.empty() ? "" : "/" + info.Dir);
    record.StartMode = 0;
    record.DoneClassID = kDoneClassID;
    return true;
}

std::optional<int> ReadJobCommand(const char* command, const char* usage, const Args& args,
                                  TJobOptions& options,
                                  std::vector<std::unique_ptr<TDLMangeData>>& records) {
    std::vector<std::string> urls;
    bool help = false;
    std::string error;
    if (!ParseJobArgs(args, urls, options, help, error)) {
        std::fprintf(stderr, "tarvolin-cli %s: %s\n%s", command, error.c_str(), usage);
        return kExitUsage;
    }
    if (help) {
        std::printf("%s", usage);
        return kExitOk;
    }
    if (urls.empty()) {
        std::fprintf(stderr, "tarvolin-cli %s: no URL given\n%s", command, usage);
        return kExitUsage;
    }
    for (const std::string& url : urls) {
        auto rec = NewDLMangeData();
        if (!MakeJobRecord(url, options, 0, *rec, error)) {
            std::fprintf(stderr, "tarvolin-cli %s: %s\n", command, error.c_str());
            return kExitUsage;
        }
        records.push_back(std::move(rec));
    }
    return std::nullopt;
}

// ---- session ----

TJobSession::TJobSession(const CliContext& ctx) : workDir_(WorkDirOf(ctx)) {}

bool TJobSession::Open(const char* command) {
    manager_ = std::make_unique<TGloatData>(workDir_, options_, desktop_);
    if (!manager_->OpenStore()) {
        std::fprintf(stderr, "tarvolin-cli %s: %s (%s)\n", command, manager_->LastError().c_str(),
                     manager_->DownloadDir().c_str());
        manager_.reset();
        return false;
    }
    return true;
}

void TJobSession::ApplyJobOptions(TJobOptions& options, std::vector<std::unique_ptr<TDLMangeData>>& records) {
    if (options.UseProxy) FindOrAddProxy(options_, options.Proxy);
    const int32_t defaultConnections = options_.ReadIntOpt(ioLastDLTreeNumber);
    for (auto& rec : records) ApplyConnectionsAndProxy(options, defaultConnections, *rec);
}

std::string WaitListPath(const std::string& workDir) {
    return JoinLocalPath(JoinLocalPath(workDir, kDownloadDirName), kWaitListFile);
}

std::vector<int32_t> ReadWaitList(const std::string& workDir) {
    std::vector<int32_t> ids;
    std::ifstream in(WaitListPath(workDir));
    std::string line;
    while (std::getline(in, line)) {
        line = Trim(line);
        if (line.empty() || line.size() > 9 || line.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const int32_t id = std::stoi(line);
        if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
    }
    return ids;
}

std::vector<int32_t> TJobSession::LoadWaitList() const { return ReadWaitList(workDir_); }

void TJobSession::SaveWaitList(const std::vector<int32_t>& ids) const {
    std::string text;
    for (int32_t id : ids) text += std::to_string(id) + "\n";
    if (!WriteFileAtomically(WaitListPath(workDir_), text))
        std::fprintf(stderr, "tarvolin-cli: cannot write %s\n", WaitListPath(workDir_).c_str());
}

// ---- signals ----

TSignalGuard::TSignalGuard() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set_, &old_);
}

TSignalGuard::~TSignalGuard() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

int TSignalGuard::Wait(std::chrono::milliseconds timeout) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    ts.tv_nsec = static_cast<long>(timeout.count() % 1000) * 1000000L;
    const int sig = sigtimedwait(&set_, nullptr, &ts);
    return sig > 0 ? sig : 0;
}

// ---- running ----

namespace {

std::string Quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"'\\$`!*?&;|<>()#~") == std::string::npos) return arg;
    std::string q = "'";
    for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

} // namespace

std::string CommandLineOf(const CliContext& ctx, const std::string& command, const Args& args) {
    std::string line = "tarvolin-cli";
    if (!ctx.registry.empty()) line += " --registry " + Quoted(ctx.registry);
    if (!ctx.dataDir.empty()) line += " --data " + Quoted(ctx.dataDir);
    line += " " + command;
    for (const std::string& a : args) line += " " + Quoted(a);
    return line;
}

std::string LastErrorLine(TJobData& job) {
    if (!job.Driver) return {};
    // The stamp after the mark sorts by time; the later line wins a tie. Some failures
    // (a missing file) are logged as ordinary lines: then the last line of any kind.
    constexpr size_t kStampLength = 19;  // "YYYY-MM-DD hh:mm:ss"
    std::string lastError, lastAny;
    for (const auto& conn : job.Driver->CopyConnLogs())
        for (const std::string& line : conn) {
            if (line.empty()) continue;
            const std::string text = line.substr(1);
            const std::string stamp = text.substr(0, kStampLength);
            if (line[0] == ')' && stamp >= lastError.substr(0, kStampLength)) lastError = text;
            if (stamp >= lastAny.substr(0, kStampLength)) lastAny = text;
        }
    return lastError.empty() ? lastAny : lastError;
}

namespace {

struct TWatch {
    int32_t ID = 0;
    std::string URL;
    TProgressItem Item;
    bool Seen = false;
    bool Finished = false;
    bool Completed = false;
    int32_t FiledClass = 0;
    int CompletedTicks = 0;
};

constexpr int kFileWaitTicks = 10;

TProgressItem ItemOf(const TJobSnapshot& s) {
    TProgressItem i;
    i.ID = s.JobID;
    i.Name = s.FileName;
    i.FileSize = s.FileSize;
    i.DoneSize = s.DoneSize;
    i.State = s.State;
    i.Connections = s.Connections;
    i.BlockMap = s.BlockMap;
    return i;
}

std::string PartialPathOf(TGloatData& manager, int32_t id) {
    TJobData* job = manager.FindJob(id);
    if (!job || !job->Data) return {};
    std::lock_guard<std::recursive_mutex> g(job->Data->Lock.Mutex);
    return JobFilePath(job->Data->SavePath, job->Data->TempFileName);
}

// Waits until the next tick is due. A run that has just ended is taken in at once (a
// handful of ticks in a row), so a finished download is filed and reported without waiting
// for the timer; the timer paces everything else.
int WaitForTick(TGloatData& manager, TSignalGuard& signals, int& quickTicks) {
    constexpr int kMaxQuickTicks = 6;  // change seen, state derived, filed: a few ticks
    constexpr auto kSlice = std::chrono::milliseconds(10);
    const auto due = std::chrono::steady_clock::now() + kTickInterval;
    for (;;) {
        if (quickTicks < kMaxQuickTicks && manager.RunEndedUnseen()) {
            ++quickTicks;
            return 0;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            due - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            quickTicks = 0;
            return 0;
        }
        if (const int sig = signals.Wait(std::min(left, std::chrono::milliseconds(kSlice))); sig != 0)
            return sig;
    }
}

} // namespace

TRunResult RunJobs(TGloatData& manager, const std::vector<int32_t>& jobIDs, TSignalGuard& signals,
                   const std::string& resumeHint) {
    TRunResult result;
    std::vector<TWatch> watches;
    for (int32_t id : jobIDs) {
        TWatch w;
        w.ID = id;
        if (TJobData* job = manager.FindJob(id)) {
            std::lock_guard<std::recursive_mutex> g(job->Data->Lock.Mutex);
            w.URL = job->Data->URL;
            w.Item.ID = id;
            w.Item.Name = job->Data->FileName;
            w.Item.FileSize = job->Data->FileSize;
            w.Item.DoneSize = job->Data->DoneSize;
            w.Item.State = job->Data->State;
        }
        watches.push_back(std::move(w));
    }
    auto findWatch = [&](int32_t id) -> TWatch* {
        for (TWatch& w : watches)
            if (w.ID == id) return &w;
        return nullptr;
    };
    manager.OnJobFiled = [&](int32_t jobID, int32_t classID) {
        if (TWatch* w = findWatch(jobID)) {
            w->Finished = w->Completed = true;
            w->FiledClass = classID;
            w->Item.State = kJobCompleted;
            if (w->Item.FileSize > 0) w->Item.DoneSize = w->Item.FileSize;
            w->Item.BlockMap.assign(w->Item.BlockMap.size(), 252);
        }
    };

    const auto [columns, rows] = TerminalSize();
    TProgressView view(isatty(STDOUT_FILENO) == 1, columns, rows);
    auto items = [&] {
        std::vector<TProgressItem> out;
        for (const TWatch& w : watches) out.push_back(w.Item);
        return out;
    };
    int sig = 0;
    int quickTicks = 0;
    for (;;) {
        manager.Tick();
        const std::vector<TJobSnapshot> snaps = manager.Snapshot();
        for (TWatch& w : watches) {
            if (w.Finished) continue;
            const auto it = std::find_if(snaps.begin(), snaps.end(),
                                         [&](const TJobSnapshot& s) { return s.JobID == w.ID; });
            if (it == snaps.end()) {
                w.Finished = true;  // left the running list without completing
                continue;
            }
            std::vector<uint8_t> keepMap;
            if (it->BlockMap.empty()) keepMap = std::move(w.Item.BlockMap);
            w.Item = ItemOf(*it);
            if (w.Item.BlockMap.empty()) w.Item.BlockMap = std::move(keepMap);
            w.Seen |= it->State == kJobRunning || it->State == kJobWaiting;
            if (it->Running) continue;
            if (it->State == kJobCompleted) {
                // Filing it (OnJobFiled) is the manager's next step; a job that is
                // never filed still counts once it has stayed completed a while.
                if (++w.CompletedTicks > kFileWaitTicks) w.Finished = w.Completed = true;
            } else if (it->State == kJobFailed) {
                w.Finished = true;
                if (TJobData* job = manager.FindJob(w.ID)) w.Item.LastError = LastErrorLine(*job);
            } else if (it->State == kJobStopped && w.Seen) {
                w.Finished = true;
            }
        }
        Write(view.Render(items(), NowMs()));
        if (std::all_of(watches.begin(), watches.end(), [](const TWatch& w) { return w.Finished; })) break;
        if ((sig = WaitForTick(manager, signals, quickTicks)) != 0) break;
    }

    if (sig != 0) {
        result.Interrupted = true;
        Write(view.Final(items(), NowMs()));
        std::fprintf(stderr, "tarvolin-cli: stopping the downloads and saving their progress "
                             "(press Ctrl-C again to quit at once)...\n");
        manager.StopAll();
        const auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
        while (!manager.AllEnded() && std::chrono::steady_clock::now() < deadline) {
            if (signals.Wait(kTickInterval) != 0) {
                std::fprintf(stderr, "tarvolin-cli: quit without waiting; progress saved up to the last map write\n");
                std::_Exit(kExitFailed);
            }
            manager.Tick();
        }
        manager.Tick();
        manager.SaveAllProgress();
        manager.Store().SaveJobOrder();
        for (TWatch& w : watches) {
            if (w.Completed) continue;
            if (TJobData* job = manager.FindJob(w.ID)) {
                std::lock_guard<std::recursive_mutex> g(job->Data->Lock.Mutex);
                w.Item.DoneSize = job->Data->DoneSize;
                w.Item.FileSize = job->Data->FileSize;
                w.Item.State = job->Data->State;
            }
        }
    }

    Write(view.Final(items(), NowMs()));
    for (TWatch& w : watches) {
        if (w.Completed) {
            result.Completed.push_back(w.ID);
            if (w.FiledClass != 0) {
                for (const TJobSnapshot& s : manager.ClassSnapshot(w.FiledClass))
                    if (s.URL == w.URL) {
                        std::printf("[%d] saved as %s\n", w.ID, JoinLocalPath(s.SavePath, s.FileName).c_str());
                        break;
                    }
            }
            continue;
        }
        result.Unfinished.push_back(w.ID);
        if (w.Item.State == kJobFailed) {
            std::fprintf(stderr, "tarvolin-cli: [%d] %s failed: %s\n", w.ID, w.Item.Name.c_str(),
                         w.Item.LastError.empty() ? "no error line was logged" : w.Item.LastError.c_str());
        } else if (result.Interrupted) {
            const std::string partial = PartialPathOf(manager, w.ID);
            std::printf("[%d] %s: %s done, kept in %s\n", w.ID, w.Item.Name.c_str(),
                        TProgressView::FormatBytes(w.Item.DoneSize).c_str(), partial.c_str());
        } else {
            std::fprintf(stderr, "tarvolin-cli: [%d] %s did not complete\n", w.ID, w.Item.Name.c_str());
        }
    }
    if (result.Interrupted) std::printf("Stopped. To resume: %s\n", resumeHint.c_str());
    std::fflush(stdout);
    manager.OnJobFiled = nullptr;
    return result;
}

} // namespace tq::cli
