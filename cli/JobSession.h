#pragma once
// What the download commands (get, add, run, start, stop) share: the options they
// take, the job record made from a URL, the manager opened on the store, the list of
// jobs waiting for the next "run", and the loop that runs jobs to their end with a
// progress display and an orderly stop on Ctrl-C.

#include "cli/Commands.h"
#include "config/TQnOption.h"
#include "download/GloatData.h"
#include "platform/Desktop.h"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tq::cli {

// The working directory: --data, else $XDG_DATA_HOME/tarvolin (~/.local/share/tarvolin).
std::string WorkDirOf(const CliContext& ctx);

// Options of get and add.
struct TJobOptions {
    int32_t Connections = 0;  // -n; 0: the new-download default
    std::string Dir;          // -d; empty: the current directory
    std::string Name;         // -o; empty: the URL's file name
    bool UseProxy = false;    // --proxy given
    TproxyData Proxy;
};

// Splits the arguments into URLs and options. False with a message on a usage error;
// help is set for -h / --help.
bool ParseJobArgs(const Args& args, std::vector<std::string>& urls, TJobOptions& options,
                  bool& help, std::string& error);

// The job record for a URL as the new-download dialog would fill it: the URL without
// its login (kept in UserName / Password), protocol, port, save folder, file name,
// connections, referer; StartMode "immediately". False with a message for a URL that
// cannot be downloaded.
bool MakeJobRecord(const std::string& url, const TJobOptions& options, int32_t defaultConnections,
                   TDLMangeData& record, std::string& error);

// The arguments of get or add read into options and one record per URL. An exit code
// when the command ends here (help shown, or a usage error told on standard error
// under the command's name), nothing when it goes on.
std::optional<int> ReadJobCommand(const char* command, const char* usage, const Args& args,
                                  TJobOptions& options,
                                  std::vector<std::unique_ptr<TDLMangeData>>& records);

// The URL as the store keeps it (the login goes into the record's own fields).
std::string StoredURL(const std::string& url);

// The options, a desktop without windows, and the manager on the opened store.
class TJobSession {
public:
    explicit TJobSession(const CliContext& ctx);
    // False, with the reason told on standard error under the command's name, when the
    // store cannot be opened (or another process has it).
    bool Open(const char* command);
    TQNoption& Options() { return options_; }
    TGloatData& Manager() { return *manager_; }
    const std::string& WorkDir() const { return workDir_; }
    // Once the store is open: the --proxy entry found or added to the options store, and
    // each record given its ID and the new-download connection count unless -n was given.
    void ApplyJobOptions(TJobOptions& options, std::vector<std::unique_ptr<TDLMangeData>>& records);
    // The jobs that the next "run" starts (IDs kept in a small file of the store).
    std::vector<int32_t> LoadWaitList() const;
    void SaveWaitList(const std::vector<int32_t>& ids) const;

private:
    std::string workDir_;
    TQNoption options_;
    THeadlessDesktop desktop_;
    std::unique_ptr<TGloatData> manager_;
};

// The file of the store folder holding the IDs of the jobs waiting for "run".
std::string WaitListPath(const std::string& workDir);
std::vector<int32_t> ReadWaitList(const std::string& workDir);

// SIGINT and SIGTERM are held back while it lives (threads started meanwhile inherit
// that), and are taken by Wait, so a stop request is handled by the command's loop.
class TSignalGuard {
public:
    TSignalGuard();
    ~TSignalGuard();
    TSignalGuard(const TSignalGuard&) = delete;
    TSignalGuard& operator=(const TSignalGuard&) = delete;
    // Waits up to timeout; the signal taken, or 0.
    int Wait(std::chrono::milliseconds timeout);

private:
    sigset_t set_{};
    sigset_t old_{};
};

struct TRunResult {
    std::vector<int32_t> Completed;
    std::vector<int32_t> Unfinished;  // failed, stopped or interrupted
    bool Interrupted = false;
};

// Ticks the manager every 200 ms until every listed job of the running list has
// completed, failed or stopped, showing progress on standard output. A signal stops
// every job in order (maps and progress saved) and prints resumeHint; a second signal
// meanwhile ends the program at once.
TRunResult RunJobs(TGloatData& manager, const std::vector<int32_t>& jobIDs, TSignalGuard& signals,
                   const std::string& resumeHint);

// The command line that repeats a command (arguments quoted for a shell).
std::string CommandLineOf(const CliContext& ctx, const std::string& command, const Args& args);

// The job's last error line (kind mark dropped), or empty.
std::string LastErrorLine(TJobData& job);

} // namespace tq::cli
