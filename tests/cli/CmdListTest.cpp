#include "download/TQNDataSaveUnit.h"

#include "foundation/PathUtils.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace tq::test {
namespace {

TEST(CmdListTest, MissingStoreShowsTheDefaultTreeAndCreatesNothing) {
    TempDir dir;
    std::string out;
    ASSERT_EQ(RunProgram({TQ_CLI_PATH, "--data", dir.file("work"), "list"}, &out), 0);
    EXPECT_NE(out.find("No download store"), std::string::npos) << out;
    EXPECT_NE(out.find("[201] 正在下载"), std::string::npos) << out;
    EXPECT_NE(out.find("  [10012] 我的游戏"), std::string::npos) << out;
    EXPECT_FALSE(EntryExists(dir.file("work")));
}

TEST(CmdListTest, PrintsCategoriesAndTheirJobs) {
    TempDir dir;
    const std::string storeDir = dir.file("DownLoad");
    {
        TQNDataSaveTree store;
        TQNIndexData* active = store.OpenStore(storeDir, "/srv/dl");
        ASSERT_NE(active, nullptr);
        for (const char* url : {"http://127.0.0.1/a.iso", "http://127.0.0.1/b.iso"}) {
            auto job = NewJobData();
            job->Data->URL = url;
            job->Data->FileName = std::string(url).substr(17);
            job->Data->FileSize = int64_t{5} << 30;
            job->Data->DoneSize = 4096;
            job->Data->State = 6;
            store.AddNode(active, *job, -1, active->DataFile.get());
            store.JobList.push_back(std::move(job));
        }
        auto done = NewJobData();
        done->Data->URL = "ftp://127.0.0.1/c.txt";
        done->Data->FileName = "c.txt";
        done->Data->State = 3;
        store.AddNode(store.FindClass(202), *done, -1, nullptr);
        store.SaveTree();
        std::swap(store.JobList[0], store.JobList[1]);
        store.SaveJobOrder();
    }
    const std::string before = ReadFile(storeDir + "/DownLoad.dat");
    std::string out;
    ASSERT_EQ(RunProgram({TQ_CLI_PATH, "--data", dir.path(), "list"}, &out), 0) << out;
    EXPECT_NE(out.find("[201] 正在下载 (running)  save: /srv/dl  jobs: 2  done: 0"), std::string::npos) << out;
    EXPECT_NE(out.find("[202] 下载完成  save: /srv/dl  jobs: 1  done: 1"), std::string::npos) << out;
    EXPECT_NE(out.find("10013  stopped    size 5368709120  done 4096  a.iso  http://127.0.0.1/a.iso"),
              std::string::npos) << out;
    EXPECT_LT(out.find("b.iso"), out.find("a.iso")) << "running list in its saved order";
    EXPECT_NE(out.find("completed  size 0  done 0  c.txt  ftp://127.0.0.1/c.txt"), std::string::npos) << out;
    EXPECT_EQ(ReadFile(storeDir + "/DownLoad.dat"), before);

    EXPECT_EQ(RunProgram({TQ_CLI_PATH, "--data", dir.path(), "list", "extra"}, &out), 2);
}

} // namespace
} // namespace tq::test
