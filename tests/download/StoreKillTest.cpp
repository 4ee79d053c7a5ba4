// A child process adds and updates jobs without pause and reports each job it has
// saved; it is killed at random moments. After every kill the store must open with
// every reported job and its fields, and nothing else damaged.

#include "download/TQNDataSaveUnit.h"

#include "foundation/PathUtils.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <random>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace tq::test {
namespace {

constexpr const char* kChildDirEnv = "TQ_STORE_KILL_DIR";
constexpr const char* kChildReportEnv = "TQ_STORE_KILL_REPORT";

int CommentNumber(const std::string& comment) {
    return comment.size() > 1 ? std::atoi(comment.c_str() + 1) : -1;
}

void Report(int fd, const std::string& line) {
    const std::string l = line + "\n";
    if (::write(fd, l.data(), l.size()) != static_cast<ssize_t>(l.size())) _exit(3);
}

// The child: works on the store until it is killed.
[[noreturn]] void RunChild(const std::string& storeDir, const std::string& reportFile) {
    TQNDataSaveTree store;
    TQNIndexData* active = store.OpenStore(storeDir, "/tmp/dl");
    if (!active) _exit(2);
    const int fd = ::open(reportFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    std::mt19937_64 rng(static_cast<uint64_t>(::getpid()) * 7919);
    for (uint64_t n = 0;; ++n) {
        const unsigned r = static_cast<unsigned>(rng() % 10);
        if (r < 4 || store.JobList.empty()) {
            auto job = NewJobData();
            job->Data->URL = "http://127.0.0.1/" + std::to_string(::getpid()) + "-" + std::to_string(n) + ".bin";
            job->Data->FileName = std::to_string(n) + ".bin";
            job->Data->FileSize = (static_cast<int64_t>(n % 7) << 32) + static_cast<int64_t>(rng() % 100000);
            job->Data->Comment = "c0";
            job->Data->State = 6;
            store.AddNode(active, *job, -1, active->DataFile.get());
            store.SaveTree();
            std::ostringstream line;
            line << "A " << job->Index->ID << " " << job->Data->URL << " " << job->Data->FileSize;
            store.JobList.push_back(std::move(job));
            Report(fd, line.str());
            continue;
        }
        TJobData& job = *store.JobList[rng() % store.JobList.size()];
        if (r < 8) {
            job.Data->DoneSize += 4096;
            if (!store.SaveJobProgress(job, *active->DataFile)) _exit(4);
            Report(fd, "P " + std::to_string(job.Index->ID) + " " + std::to_string(job.Data->DoneSize));
        } else {
            job.Data->Comment = "c" + std::to_string(CommentNumber(job.Data->Comment) + 1);
            if (!store.UpdateJobRecords(*job.Index, 3, active->DataFile.get())) _exit(5);
            Report(fd, "C " + std::to_string(job.Index->ID) + " " + job.Data->Comment);
        }
    }
}

// The test program re-executed with the environment below becomes the child, once
// every static object is ready and before any test runs.
class ChildEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        const char* dir = std::getenv(kChildDirEnv);
        const char* report = std::getenv(kChildReportEnv);
        if (dir && report) RunChild(dir, report);
    }
};
const auto* const kChildEnvironment = ::testing::AddGlobalTestEnvironment(new ChildEnvironment);

struct Expected {
    std::string url;
    int64_t fileSize = 0;
    int64_t done = 0;
    int comment = 0;
};

std::string SelfPath() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

TEST(StoreKillTest, ReportedJobsSurviveSigkill) {
    ASSERT_NE(kChildEnvironment, nullptr);
    TempDir dir;
    const std::string storeDir = dir.file("DownLoad");
    const std::string reportFile = dir.file("report.txt");
    std::map<int32_t, Expected> expected;
    std::mt19937 rng(12345);
    const auto started = std::chrono::steady_clock::now();
    int rounds = 0;
    for (; rounds < 24; ++rounds) {
        if (rounds >= 20 && std::chrono::steady_clock::now() - started > std::chrono::seconds(15)) break;
        ::unlink(reportFile.c_str());
        {
            ChildProcess child({SelfPath(), "--gtest_filter=StoreKillTest.*"}, {std::string(kChildDirEnv) + "=" + storeDir,
                                              std::string(kChildReportEnv) + "=" + reportFile});
            std::this_thread::sleep_for(std::chrono::milliseconds(150 + rng() % 350));
            ASSERT_TRUE(child.running()) << "child ended early in round " << rounds;
            child.kill(SIGKILL);
            child.wait();
        }
        // What the child said it saved: only whole lines count.
        std::istringstream lines(FileExists(reportFile) ? ReadFile(reportFile) : "");
        std::string line;
        int reported = 0;
        while (std::getline(lines, line)) {
            if (lines.eof()) break;  // a line without its end was cut by the kill
            std::istringstream in(line);
            char kind = 0;
            int32_t id = 0;
            in >> kind >> id;
            Expected& e = expected[id];
            if (kind == 'A') {
                in >> e.url >> e.fileSize;
            } else if (kind == 'P') {
                in >> e.done;
            } else {
                std::string c;
                in >> c;
                e.comment = CommentNumber(c);
            }
            ++reported;
        }

        TQNDataSaveTree store;
        TQNIndexData* active = store.OpenStore(storeDir, "/tmp/dl");
        ASSERT_NE(active, nullptr) << "round " << rounds;
        EXPECT_EQ(store.Tree().Count(), 6u) << "round " << rounds;
        std::vector<std::unique_ptr<TQNIndexData>> entries;
        store.LoadIndexRecords(*active, entries, true);
        size_t live = 0;
        for (auto& e : entries) live += e->Deleted == 0;
        EXPECT_EQ(live, store.JobList.size()) << "an index entry without a readable record";

        std::map<int32_t, TJobData*> byID;
        for (auto& j : store.JobList) {
            EXPECT_TRUE(byID.emplace(j->Index->ID, j.get()).second) << "ID twice: " << j->Index->ID;
        }
        for (const auto& [id, e] : expected) {
            auto it = byID.find(id);
            ASSERT_NE(it, byID.end()) << "reported job " << id << " lost in round " << rounds;
            const TDLMangeData& d = *it->second->Data;
            EXPECT_EQ(d.URL, e.url) << id;
            EXPECT_EQ(d.FileSize, e.fileSize) << id;
            // One more step than reported may have reached the disk before the kill.
            EXPECT_TRUE(d.DoneSize == e.done || d.DoneSize == e.done + 4096) << id;
            const int c = CommentNumber(d.Comment);
            EXPECT_TRUE(c == e.comment || c == e.comment + 1) << id << " comment " << d.Comment << " reported " << e.comment;
        }
        EXPECT_LE(byID.size(), expected.size() + 1) << "more jobs than were added";
        // What is on disk now is what the next round builds on.
        expected.clear();
        for (const auto& [id, job] : byID)
            expected[id] = {job->Data->URL, job->Data->FileSize, job->Data->DoneSize,
                            CommentNumber(job->Data->Comment)};
        EXPECT_GT(reported + static_cast<int>(expected.size()), 0);
        if (HasFatalFailure() || HasFailure()) break;
    }
    EXPECT_GE(rounds, 20);
    EXPECT_GT(expected.size(), 20u) << "the child hardly worked";
}

} // namespace
} // namespace tq::test
