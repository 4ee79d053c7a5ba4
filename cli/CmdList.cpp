// tarvolin-cli list: the category tree of the download store and the jobs filed in
// each category. Read-only: nothing is created or repaired.

#include "cli/Commands.h"
#include "cli/JobSession.h"
#include "cli/ProgressView.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "download/TQNDataSaveUnit.h"
#include "foundation/PathUtils.h"

namespace tq::cli {

namespace {

// Tenths of a percent as text, or empty while the length is unknown.
std::string PercentText(int64_t done, int64_t size) {
    if (size <= 0) return {};
    const int64_t tenths = std::min(done, size) * 1000 / size;
    return "  " + std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + "%";
}

void PrintDefaultTree() {
    uint32_t next = kFirstNodeID;
    for (const TDefaultCategory& c : DefaultCategories()) {
        const int32_t id = c.ID == -1 ? static_cast<int32_t>(next++) : c.ID;
        std::printf("%s[%d] %s\n", c.ParentID ? "  " : "", id, c.Caption);
    }
}

} // namespace

int CmdList(const CliContext& ctx, const Args& args) {
    if (!args.empty()) {
        std::fprintf(stderr, "tarvolin-cli list: unexpected argument \"%s\"\n", args[0].c_str());
        return kExitUsage;
    }
    const std::string workDir = WorkDirOf(ctx);
    const std::string storeDir = JoinLocalPath(workDir, kDownloadDirName);
    const std::string treeFile = JoinLocalPath(storeDir, kDownloadTreeFile);

    TQNDataSaveTree store;
    bool loaded = false;
    if (FileExists(treeFile)) {
        store.Open(treeFile, storeDir);  // the file exists: nothing is written
        loaded = store.LoadTree();
        if (!loaded && !store.Tree().Empty())
            std::fprintf(stderr, "tarvolin-cli list: %s (%s is damaged; showing what could be read)\n",
                         kMsgLoadError, treeFile.c_str());
    }
    if (store.Tree().Empty()) {
        std::printf("No download store in %s yet. A new store starts with these categories:\n",
                    storeDir.c_str());
        PrintDefaultTree();
        return kExitOk;
    }

    // Stopped jobs that the next "run" starts are shown as waiting.
    const std::vector<int32_t> waiting = ReadWaitList(workDir);
    int failures = 0;
    std::vector<TQNTreeNode*> nodes;
    store.Tree().ForEach([&](TQNTreeNode& n) { nodes.push_back(&n); });
    for (TQNTreeNode* node : nodes) {
        const TQNIndexData& c = *node->Data;
        int depth = 0;
        for (TQNTreeNode* p = node->Parent; p; p = p->Parent) ++depth;
        const std::string indent(static_cast<size_t>(depth) * 2, ' ');

        TJobList jobs;
        bool ok = true;
        try {
            ok = store.LoadClassJobList(c, jobs);
        } catch (const std::exception&) {
            ok = false;
        }
        if (c.ActiveClass == 1) {
            // The running list in the order the user arranged it.
            store.JobList = std::move(jobs);
            store.ApplyJobOrder(store.LoadJobOrder());
            jobs = std::move(store.JobList);
        }
        int done = 0;
        for (const auto& j : jobs) done += (j->Data->State & 0xFF) == 3;
        std::printf("%s[%d] %s%s  save: %s  jobs: %zu  done: %d\n", indent.c_str(), c.ID,
                    c.Caption.c_str(), c.ActiveClass == 1 ? " (running)" : "",
                    c.SavePath.c_str(), jobs.size(), done);
        if (!ok) {
            std::printf("%s    Error:Load%sdata!\n", indent.c_str(), c.FileBase.c_str());
            ++failures;
        }
        for (const auto& j : jobs) {
            const TDLMangeData& d = *j->Data;
            const bool waits = c.ActiveClass == 1 && (d.State & 0xFF) == 2 &&
                               std::find(waiting.begin(), waiting.end(), j->Index->ID) != waiting.end();
            std::printf("%s    %d  %-9s  size %lld  done %lld  %s  %s%s\n", indent.c_str(),
                        j->Index->ID, waits ? "waiting" : StateWord(d.State),
                        static_cast<long long>(d.FileSize), static_cast<long long>(d.DoneSize),
                        d.FileName.c_str(), d.URL.c_str(), PercentText(d.DoneSize, d.FileSize).c_str());
        }
    }
    return failures || !loaded ? kExitFailed : kExitOk;
}

} // namespace tq::cli
