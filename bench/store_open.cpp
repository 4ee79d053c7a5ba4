// Download store: opening a store of 100,000 jobs in 10 categories, saving one job's
// progress, adding a job.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "download/TQNDataSaveUnit.h"
#include "foundation/PathUtils.h"

namespace {

using namespace tq;

constexpr int kJobs = 100000;
constexpr int kCategories = 10;

// Builds the store once: the six default categories and four of the user's, 10,000
// jobs in each; running jobs carry their INI file as the program gives them.
class BenchStore {
public:
    BenchStore() {
        char tmpl[] = "/tmp/tq-bench-store-XXXXXX";
        root_ = mkdtemp(tmpl);
        storeDir_ = root_ + "/DownLoad";
        TQNDataSaveTree store;
        store.OpenStore(storeDir_, "/srv/dl");
        for (int i = 0; i < 4; ++i) {
            auto rec = NewIndexData();
            rec->Caption = "类别" + std::to_string(i);
            rec->FileBase = "ZLData" + std::to_string(i);
            rec->SavePath = "/srv/dl/" + std::to_string(i);
            store.AddNode(nullptr, std::move(rec), -1, true);
        }
        std::vector<TQNIndexData*> categories;
        store.Tree().ForEach([&](TQNTreeNode& n) { categories.push_back(n.Data.get()); });
        for (TQNIndexData* c : categories) {
            auto data = std::make_unique<TQNZoleftpFileStream>(store.DataFileName(c->FileBase),
                                                               TQNFileMode::fmOpenReadWrite);
            for (int j = 0; j < kJobs / kCategories; ++j) {
                auto job = NewJobData();
                TDLMangeData& d = *job->Data;
                d.URL = "http://mirror.example.net/pub/files/" + std::to_string(j) + "/package-" +
                        std::to_string(j) + ".tar.gz";
                d.FileName = "package-" + std::to_string(j) + ".tar.gz";
                d.TempFileName = d.FileName + ".zl!";
                d.SavePath = c->SavePath;
                d.BlockFileName = std::to_string(1000000 + j) + ".blk";
                d.FileSize = int64_t{1} << 31;
                d.DoneSize = j * 4096;
                d.State = 2;
                TQNIndexData& r = *job->Index;
                r.ID = static_cast<int32_t>(store.NextNodeID());
                r.ParentID = c->ID;
                r.FileBase = c->FileBase;
                if (c->ActiveClass == 1) {
                    d.ExdNumber = r.ID;
                    WriteExd(r.ID);
                }
                store.AddJobRecords(r, data.get());
            }
        }
        store.SaveTree();
    }
    ~BenchStore() { DeleteDirTree(root_); }
    const std::string& StoreDir() const { return storeDir_; }

private:
    void WriteExd(int32_t n) {
        const std::string name = storeDir_ + "/" + std::to_string(n) + ".EXD";
        FILE* f = std::fopen(name.c_str(), "w");
        if (!f) return;
        std::fputs("[DEFAULT]\nVER=3\n[Data]\nRUNDATACANUSE=0\n", f);
        std::fclose(f);
    }
    std::string root_, storeDir_;
};

BenchStore& Store() {
    static BenchStore store;
    return store;
}

// Start-up: tree, running category (10,000 jobs with their INI files), job order.
void BM_OpenStoreRunningList(benchmark::State& state) {
    const std::string dir = Store().StoreDir();
    for (auto _ : state) {
        TQNDataSaveTree store;
        TQNIndexData* active = store.OpenStore(dir, "/srv/dl");
        benchmark::DoNotOptimize(active);
        if (store.JobList.size() != kJobs / kCategories) state.SkipWithError("wrong job count");
    }
}
BENCHMARK(BM_OpenStoreRunningList)->Unit(benchmark::kMillisecond);

// Every job of every category read, as packing or a full export does.
void BM_OpenStoreAllJobs(benchmark::State& state) {
    const std::string dir = Store().StoreDir();
    for (auto _ : state) {
        TQNDataSaveTree store;
        store.OpenStore(dir, "/srv/dl");
        size_t total = store.JobList.size();
        store.Tree().ForEach([&](TQNTreeNode& n) {
            if (n.Data->ActiveClass == 1) return;
            TJobList jobs;
            store.LoadClassJobList(*n.Data, jobs);
            total += jobs.size();
        });
        if (total != kJobs) state.SkipWithError("wrong job count");
    }
}
BENCHMARK(BM_OpenStoreAllJobs)->Unit(benchmark::kMillisecond);

void BM_SaveJobProgress(benchmark::State& state) {
    TQNDataSaveTree store;
    TQNIndexData* active = store.OpenStore(Store().StoreDir(), "/srv/dl");
    TJobData& job = *store.JobList[store.JobList.size() / 2];
    for (auto _ : state) {
        job.Data->DoneSize += 4096;
        if (!store.SaveJobProgress(job, *active->DataFile)) state.SkipWithError("save failed");
    }
}
BENCHMARK(BM_SaveJobProgress)->Unit(benchmark::kMicrosecond);

// A new job in the running category: its INI file, two appended records, and the
// tree saved (flushed and renamed) for its ID.
void BM_AddJob(benchmark::State& state) {
    TQNDataSaveTree store;
    TQNIndexData* active = store.OpenStore(Store().StoreDir(), "/srv/dl");
    int n = 0;
    for (auto _ : state) {
        auto job = NewJobData();
        job->Data->URL = "http://127.0.0.1/new-" + std::to_string(n++);
        store.AddNode(active, *job, -1, active->DataFile.get());
        store.SaveTree();
    }
}
BENCHMARK(BM_AddJob)->Unit(benchmark::kMicrosecond)->Iterations(200);

} // namespace
