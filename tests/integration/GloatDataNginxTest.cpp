// The manager core with the real job driver against nginx: jobs added, started by the
// tick, downloaded, and filed into the done category.

#include "download/GloatData.h"
#include "foundation/PathUtils.h"
#include "tests/support/HttpServers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace tq {
namespace {

using test::Nginx;
using test::PatternBytes;
using test::ReadFile;
using test::TempDir;

class GloatDataNginx : public ::testing::Test {
protected:
    TempDir t;
    TQNoption options{t.file("registry.db")};
    THeadlessDesktop desktop;
    TGloatData g{t.file("data"), options, desktop};

    void SetUp() override { ASSERT_TRUE(g.OpenStore(t.file("save"))) << g.LastError(); }

    TDLMangeData Record(const std::string& url, const std::string& name, int32_t connections) {
        TDLMangeData rec;
        rec.URL = url;
        rec.FileName = name;
        rec.SavePath = t.file("save");
        rec.MaxConnections = connections;
        rec.StartMode = 0;
        rec.DoneClassID = kDoneClassID;
        return rec;
    }

    // Ticks until no job is left running, then returns the done category.
    std::vector<TJobSnapshot> TickUntilFiled() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!g.RunningList().empty() && std::chrono::steady_clock::now() < deadline) {
            g.Tick();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        for (const TJobSnapshot& s : g.Snapshot())
            ADD_FAILURE() << s.URL << " still in the running list, state " << s.State;
        return g.ClassSnapshot(kDoneClassID);
    }
};

TEST_F(GloatDataNginx, TwoJobsCompleteAndMoveToTheDoneCategory) {
    Nginx nginx;
    const std::string one = PatternBytes(3 * 1024 * 1024 + 17, 5);
    const std::string two = PatternBytes(700 * 1024 + 3, 6);
    nginx.AddFile("files/one.bin", one);
    nginx.AddFile("files/two.bin", two);
    ASSERT_TRUE(nginx.Start("")) << nginx.Why();
    options.WriteIntOpt(ioDLRJG, 1);

    const std::string base = "http://127.0.0.1:" + std::to_string(nginx.Port()) + "/files/";
    for (const char* name : {"one.bin", "two.bin"})
        ASSERT_EQ(g.AddNewJob(Record(base + name, name, 3)).Status, TAddJobResult::TStatus::Added);

    const std::vector<TJobSnapshot> done = TickUntilFiled();
    ASSERT_EQ(done.size(), 2u);
    for (const TJobSnapshot& s : done) {
        EXPECT_EQ(s.State, kJobCompleted) << s.URL;
        const std::string& expected = s.FileName == "one.bin" ? one : two;
        EXPECT_EQ(s.FileSize, static_cast<int64_t>(expected.size())) << s.URL;
        EXPECT_EQ(s.DoneSize, s.FileSize) << s.URL;
        EXPECT_TRUE(ReadFile(t.file("save/" + s.FileName)) == expected) << s.URL;
        EXPECT_FALSE(FileExists(t.file("save/" + s.FileName + ".zl!")));
    }
}

// A process killed after the record said "resume" but before the block map was written
// leaves a map that does not fit: the run must start over, not fail.
TEST_F(GloatDataNginx, ResumeWithAnUnusableMapStartsOver) {
    Nginx nginx;
    const std::string body = PatternBytes(2 * 1024 * 1024 + 5, 7);
    nginx.AddFile("r.bin", body);
    ASSERT_TRUE(nginx.Start("")) << nginx.Why();

    const std::string url = "http://127.0.0.1:" + std::to_string(nginx.Port()) + "/r.bin";
    ASSERT_EQ(g.AddNewJob(Record(url, "r.bin", 4)).Status, TAddJobResult::TStatus::Added);
    ASSERT_EQ(g.RunningList().size(), 1u);
    {
        TDLMangeData& d = *g.RunningList().front()->Data;
        std::lock_guard<std::recursive_mutex> lock(d.Lock.Mutex);
        d.Initialized = 1;
        d.FreshStart = 0;
        d.ResumeFromMap = 1;
        d.SizeUnknown = 0;
        d.FileSize = static_cast<int64_t>(body.size());
    }

    const std::vector<TJobSnapshot> done = TickUntilFiled();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].State, kJobCompleted);
    EXPECT_TRUE(ReadFile(t.file("save/r.bin")) == body);
}

} // namespace
} // namespace tq
