// tarvolin-cli get: adds download jobs and runs them to their end with a progress display.

#include "cli/Commands.h"
#include "cli/JobSession.h"

#include "foundation/PathUtils.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace tq::cli {

namespace {

constexpr const char* kUsage =
    "usage: tarvolin-cli get URL... [-n CONNS] [-d DIR] [-o NAME] [--proxy PROXY]\n"
    "Downloads http:// and ftp:// URLs and waits until every job has ended.\n"
    "  -n CONNS       connections per job, 1 to 99 (default: the new-download\n"
    "                 default LastDLTreeNumber, else 5)\n"
    "  -d DIR         folder to save into (default: the current folder)\n"
    "  -o NAME        file name, with one URL only (default: the URL's file name,\n"
    "                 or index.htm); a taken name is never replaced: the file\n"
    "                 becomes NAME1, NAME2, ...\n"
    "  --proxy PROXY  TYPE://[user[:password]@]host:port with TYPE http (GET proxy),\n"
    "                 connect (CONNECT tunnel), socks4 or socks5; added to the proxy\n"
    "                 list of the options, or an equal entry there reused\n"
    "A URL already in the running list is resumed, not added again. A URL downloaded\n"
    "before is reported and counts as done when its file still exists.\n"
    "Progress is redrawn in place on a terminal, else printed as a line per job\n"
    "every 3 s and on every change of state. Ctrl-C or SIGTERM stops the jobs and\n"
    "saves their progress: the same command resumes them; a second Ctrl-C quits at\n"
    "once. Exit code 0 when every job completed, 1 otherwise, 2 for a usage error.\n";

// A URL finished before: the path of its completed file when that still exists.
std::string FinishedFileOf(TGloatData& manager, const std::string& url) {
    std::vector<int32_t> classes;
    manager.Store().Tree().ForEach([&](TQNTreeNode& n) {
        if (n.Data && n.Data->IsClass && n.Data->ActiveClass != 1) classes.push_back(n.Data->ID);
    });
    for (int32_t id : classes)
        for (const TJobSnapshot& s : manager.ClassSnapshot(id))
            if (s.URL == url && s.State == kJobCompleted) {
                const std::string path = JoinLocalPath(s.SavePath, s.FileName);
                if (FileExists(path)) return path;
            }
    return {};
}

} // namespace

int CmdGet(const CliContext& ctx, const Args& args) {
    // Before any thread exists, so that every thread leaves the signals to the loop.
    TSignalGuard signals;

    TJobOptions options;
    std::vector<std::unique_ptr<TDLMangeData>> records;
    if (const auto exit = ReadJobCommand("get", kUsage, args, options, records)) return *exit;

    TJobSession session(ctx);
    if (!session.Open("get")) return kExitFailed;
    TGloatData& manager = session.Manager();
    session.ApplyJobOptions(options, records);

    std::vector<int32_t> ids;
    int notComplete = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        TDLMangeData& rec = *records[i];

        TJobData* existing = nullptr;
        for (auto& job : manager.RunningList())
            if (job->Data && job->Data->URL == rec.URL) existing = job.get();
        if (existing) {
            const int32_t id = existing->Data->JobID;
            if (std::find(ids.begin(), ids.end(), id) != ids.end()) continue;
            {
                std::lock_guard<std::recursive_mutex> g(existing->Data->Lock.Mutex);
                TDLMangeData& d = *existing->Data;
                // What this command asks for applies to the resumed run.
                if (options.Connections > 0) d.MaxConnections = options.Connections;
                if (options.UseProxy) {
                    d.UseProxy = 1;
                    d.HttpProxyID = d.FtpProxyID = options.Proxy.ID;
                }
                std::printf("[%d] %s: resuming %s\n", id, d.FileName.c_str(), d.URL.c_str());
            }
            manager.StartJobs({id});
            ids.push_back(id);
            continue;
        }
        const TAddJobResult added = manager.AddNewJob(rec);
        if (added.Status == TAddJobResult::TStatus::Duplicate) {
            const std::string path = FinishedFileOf(manager, rec.URL);
            if (path.empty()) {
                std::fprintf(stderr, "tarvolin-cli get: %s\n", added.Message.c_str());
                ++notComplete;
            } else {
                std::printf("%s (done: %s)\n", added.Message.c_str(), path.c_str());
            }
            continue;
        }
        if (added.Status != TAddJobResult::TStatus::Added) {
            std::fprintf(stderr, "tarvolin-cli get: %s: %s\n", rec.URL.c_str(), added.Message.c_str());
            ++notComplete;
            continue;
        }
        ids.push_back(added.JobID);
    }
    std::fflush(stdout);
    if (ids.empty()) return notComplete ? kExitFailed : kExitOk;

    const TRunResult result = RunJobs(manager, ids, signals, CommandLineOf(ctx, "get", args));
    return result.Unfinished.empty() && notComplete == 0 && !result.Interrupted ? kExitOk : kExitFailed;
}

} // namespace tq::cli
