// tarvolin-cli add / run / start / stop: jobs added now and run later, by the
// scheduler of one "run".

#include "cli/Commands.h"
#include "cli/JobSession.h"

#include "foundation/PathUtils.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace tq::cli {

namespace {

constexpr const char* kAddUsage =
    "usage: tarvolin-cli add URL... [-n CONNS] [-d DIR] [-o NAME] [--proxy PROXY]\n"
    "Adds download jobs to the running list; they wait for \"tarvolin-cli run\".\n"
    "The options are those of \"get\" (tarvolin-cli get --help). A URL already in the\n"
    "running list or downloaded before is not added again (exit code 1).\n";

constexpr const char* kRunUsage =
    "usage: tarvolin-cli run\n"
    "Starts the waiting jobs (added, or named by \"start\") and runs the scheduler\n"
    "until none waits or runs: at most MaxCanRunJob jobs at once, under the speed\n"
    "limit of the options. Ctrl-C stops in order; \"run\" again resumes. Exit code 0\n"
    "when every job completed, 1 otherwise.\n";

constexpr const char* kStartUsage =
    "usage: tarvolin-cli start ID...\n"
    "Marks jobs of the running list (IDs as \"list\" shows them) to start at the next\n"
    "\"run\"; a stopped or failed job resumes from its saved progress.\n";

constexpr const char* kStopUsage =
    "usage: tarvolin-cli stop ID...\n"
    "Takes jobs off the waiting list: the next \"run\" leaves them stopped. A job being\n"
    "downloaded by a \"get\" or \"run\" in progress is stopped there with Ctrl-C.\n";

bool WantsHelp(const Args& args) {
    return std::any_of(args.begin(), args.end(), [](const std::string& a) { return a == "-h" || a == "--help"; });
}

bool ParseIDs(const char* command, const Args& args, std::vector<int32_t>& ids) {
    for (const std::string& a : args) {
        if (a.empty() || a.size() > 9 || a.find_first_not_of("0123456789") != std::string::npos) {
            std::fprintf(stderr, "tarvolin-cli %s: \"%s\" is not a job ID\n", command, a.c_str());
            return false;
        }
        ids.push_back(std::stoi(a));
    }
    if (ids.empty()) std::fprintf(stderr, "tarvolin-cli %s: no job ID given\n", command);
    return !ids.empty();
}

std::string NameOf(TJobData& job) {
    std::lock_guard<std::recursive_mutex> g(job.Data->Lock.Mutex);
    return job.Data->FileName;
}

int32_t StateOf(TJobData& job) {
    std::lock_guard<std::recursive_mutex> g(job.Data->Lock.Mutex);
    return job.Data->State;
}

} // namespace

int CmdAdd(const CliContext& ctx, const Args& args) {
    TJobOptions options;
    std::vector<std::unique_ptr<TDLMangeData>> records;
    if (const auto exit = ReadJobCommand("add", kAddUsage, args, options, records)) return *exit;
    TSignalGuard signals;  // an interrupted add must not leave half a record behind
    TJobSession session(ctx);
    if (!session.Open("add")) return kExitFailed;
    session.ApplyJobOptions(options, records);
    std::vector<int32_t> waiting = session.LoadWaitList();
    int failures = 0;
    for (auto& rec : records) {
        const TAddJobResult r = session.Manager().AddNewJob(*rec);
        if (r.Status != TAddJobResult::TStatus::Added) {
            std::fprintf(stderr, "tarvolin-cli add: %s\n", r.Message.c_str());
            ++failures;
            continue;
        }
        waiting.push_back(r.JobID);
        std::string path;
        {
            std::lock_guard<std::recursive_mutex> g(r.Job->Data->Lock.Mutex);
            path = JoinLocalPath(r.Job->Data->SavePath, r.Job->Data->FileName);
        }
        std::printf("[%d] added %s -> %s (waiting for run)\n", r.JobID, rec->URL.c_str(), path.c_str());
    }
    session.SaveWaitList(waiting);
    return failures ? kExitFailed : kExitOk;
}

int CmdRun(const CliContext& ctx, const Args& args) {
    TSignalGuard signals;
    if (WantsHelp(args)) {
        std::printf("%s", kRunUsage);
        return kExitOk;
    }
    if (!args.empty()) {
        std::fprintf(stderr, "tarvolin-cli run: unexpected argument \"%s\"\n%s", args[0].c_str(), kRunUsage);
        return kExitUsage;
    }
    TJobSession session(ctx);
    if (!session.Open("run")) return kExitFailed;
    TGloatData& manager = session.Manager();
    std::vector<int32_t> ids;
    for (int32_t id : session.LoadWaitList()) {
        TJobData* job = manager.FindJob(id);
        if (!job || StateOf(*job) == kJobCompleted) continue;  // filed or done meanwhile
        ids.push_back(id);
    }
    if (ids.empty()) {
        session.SaveWaitList({});
        std::printf("No job waits to run.\n");
        return kExitOk;
    }
    manager.StartJobs(ids);
    const TRunResult result = RunJobs(manager, ids, signals, CommandLineOf(ctx, "run", {}));

    // Completed and failed jobs leave the waiting list; interrupted ones stay for the next run.
    std::vector<int32_t> still;
    if (result.Interrupted)
        for (int32_t id : result.Unfinished)
            if (TJobData* job = manager.FindJob(id); job && StateOf(*job) != kJobFailed) still.push_back(id);
    session.SaveWaitList(still);
    return result.Unfinished.empty() && !result.Interrupted ? kExitOk : kExitFailed;
}

namespace {

// start and stop alike: each listed job of the running list is put on the wait list of
// the next run, or taken off it.
int ChangeWaitList(const CliContext& ctx, const Args& args, const char* name, const char* usage,
                   bool start) {
    if (WantsHelp(args)) {
        std::printf("%s", usage);
        return kExitOk;
    }
    std::vector<int32_t> ids;
    if (!ParseIDs(name, args, ids)) return kExitUsage;
    TJobSession session(ctx);
    if (!session.Open(name)) return kExitFailed;
    std::vector<int32_t> waiting = session.LoadWaitList();
    int failures = 0;
    for (int32_t id : ids) {
        TJobData* job = session.Manager().FindJob(id);
        if (!job) {
            std::fprintf(stderr, "tarvolin-cli %s: no job %d in the running list\n", name, id);
            ++failures;
        } else if (!start) {
            waiting.erase(std::remove(waiting.begin(), waiting.end(), id), waiting.end());
            std::printf("[%d] %s: stopped\n", id, NameOf(*job).c_str());
        } else if (StateOf(*job) == kJobCompleted) {
            std::printf("[%d] %s: already completed\n", id, NameOf(*job).c_str());
        } else {
            if (std::find(waiting.begin(), waiting.end(), id) == waiting.end()) waiting.push_back(id);
            std::printf("[%d] %s: waiting (starts at the next run)\n", id, NameOf(*job).c_str());
        }
    }
    session.SaveWaitList(waiting);
    return failures ? kExitFailed : kExitOk;
}

} // namespace

int CmdStart(const CliContext& ctx, const Args& args) {
    return ChangeWaitList(ctx, args, "start", kStartUsage, true);
}

int CmdStop(const CliContext& ctx, const Args& args) {
    return ChangeWaitList(ctx, args, "stop", kStopUsage, false);
}

} // namespace tq::cli
