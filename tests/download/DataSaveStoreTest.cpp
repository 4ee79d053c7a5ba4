#include "download/TQNDataSaveUnit.h"

#include "foundation/IniFile.h"
#include "foundation/PathUtils.h"
#include "tests/download/StoreTestHelpers.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace tq::test {
namespace {

const std::string kSavePath = "/home/u/Downloads";

// A store opened in a fresh folder, as at start-up.
struct StoreFixture {
    TempDir dir;
    std::string storeDir = dir.file("DownLoad");
    std::unique_ptr<TQNDataSaveTree> store;
    TQNIndexData* active = nullptr;

    StoreFixture() { Reopen(); }
    void Reopen() {
        if (store) store->JobList.clear();
        store = std::make_unique<TQNDataSaveTree>();
        active = store->OpenStore(storeDir, kSavePath);
    }
    std::string File(const std::string& name) const { return storeDir + "/" + name; }
    TJobData& AddJob(const std::string& url, int64_t size = 1000, const std::string& comment = "") {
        auto job = NewJobData();
        job->Data->URL = url;
        job->Data->FileName = url.substr(url.rfind('/') + 1);
        job->Data->FileSize = size;
        job->Data->Comment = comment;
        job->Data->State = 2;
        EXPECT_NE(store->AddNode(active, *job, -1, active->DataFile.get()), nullptr);
        store->SaveTree();
        store->JobList.push_back(std::move(job));
        return *store->JobList.back();
    }
    TJobData* Find(const std::string& url) {
        for (auto& j : store->JobList)
            if (j->Data->URL == url) return j.get();
        return nullptr;
    }
};

unsigned ModeOf(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 0777;
}

TEST(DataSaveStoreTest, NewStoreWritesTheDefaultTree) {
    StoreFixture f;
    ASSERT_NE(f.active, nullptr);
    EXPECT_EQ(f.active->ID, 201);
    const std::string tree = ReadFile(f.File("DownLoad.dat"));
    EXPECT_EQ(HexOf(tree.substr(0, 36)),
              "5A 4C 00 00 03 00 00 00 00 00 00 00 01 00 00 00 "  // header
              "1D 27 00 00 "                                      // NextID 10013
              "45 20 56 00 54 00 02 00 20 00 46 20 "              // signature
              "03 00 00 00");                                     // three top-level nodes
    // The node framing (image, child count, index record) is fixed for good.
    EXPECT_EQ(HexOf(tree), HexOf(ReadFile(std::string(TQ_FIXTURES_DIR) + "/store/new_DownLoad.dat")));

    struct Row { int32_t id; const char* caption; const char* fileBase; int32_t parent; int image; };
    const Row rows[] = {
        {201, "正在下载", "ZlDownload", 0, 1},          {202, "下载完成", "ZlDownloaded", 0, 0},
        {10010, "我的软件", "ZlDownloadedSoftWare", 202, 0}, {10011, "我的MP3", "ZlDownloadedMp3", 202, 0},
        {10012, "我的游戏", "ZlDownloadedGame", 202, 0}, {203, "已经删除", "ZLdele", 0, 2},
    };
    std::vector<TQNTreeNode*> nodes;
    f.store->Tree().ForEach([&](TQNTreeNode& n) { nodes.push_back(&n); });
    ASSERT_EQ(nodes.size(), 6u);
    for (size_t i = 0; i < nodes.size(); ++i) {
        const TQNIndexData& d = *nodes[i]->Data;
        EXPECT_EQ(d.ID, rows[i].id);
        EXPECT_EQ(d.Caption, rows[i].caption);
        EXPECT_EQ(d.FileBase, rows[i].fileBase);
        EXPECT_EQ(d.ParentID, rows[i].parent);
        EXPECT_EQ(d.SavePath, kSavePath);
        EXPECT_EQ(d.IsClass, 1);
        EXPECT_EQ(nodes[i]->ImageIndex, rows[i].image);
        EXPECT_EQ(HexOf(ReadFile(f.File(std::string(rows[i].fileBase) + ".zld"))),
                  "5A 4C 00 00 03 00 00 00 00 00 00 00 01 00 00 00");
    }
    EXPECT_EQ(ModeOf(f.storeDir), 0700u);
    EXPECT_EQ(ModeOf(f.File("DownLoad.dat")), 0600u);
    EXPECT_EQ(ModeOf(f.File("ZlDownload.zld")), 0600u);
    EXPECT_FALSE(FileExists(f.File("DownLoad.dat.tmp")));
}

TEST(DataSaveStoreTest, TreeReloadsAndIgnoresTrailingBytes) {
    StoreFixture f;
    auto rec = NewIndexData();
    rec->Caption = "工具";
    rec->FileBase = "ZLData";
    TQNIndexData* added = f.store->AddNode(f.store->FindClass(10010), std::move(rec), -1, true);
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(added->ID, 10013);
    f.store->SaveTree();
    WriteFile(f.File("DownLoad.dat"), ReadFile(f.File("DownLoad.dat")) + std::string(300, '\x07'));

    f.Reopen();
    EXPECT_EQ(f.store->NextID, 10014u);
    EXPECT_EQ(f.store->Tree().Count(), 7u);
    TQNTreeNode* n = f.store->Tree().FindByID(10013);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->Parent->Data->ID, 10010);
    EXPECT_EQ(n->Data->Caption, "工具");
    // A job is not a category: nothing can be filed under it.
    TJobData& job = f.AddJob("http://127.0.0.1/x");
    EXPECT_EQ(f.store->AddNode(job.Index.get(), NewIndexData(), -1, true), nullptr);
}

TEST(DataSaveStoreTest, NodeIDsWrapAfterTheLast) {
    TQNDataSaveTree s;
    s.SetNextNodeID(99999999);
    EXPECT_EQ(s.NextNodeID(), 99999999u);
    EXPECT_EQ(s.NextID, 10010u);
}

TEST(DataSaveStoreTest, TreeWithoutNodesOrRunningCategoryIsRepaired) {
    // A crash between creating the tree file and its first save leaves header and NextID only.
    {
        TempDir dir;
        const std::string storeDir = dir.file("DownLoad");
        ForceDirectories(storeDir);
        WriteFile(storeDir + "/DownLoad.dat",
                  BytesOf("5A4C0000 03000000 00000000 01000000 2A270000"));  // NextID 10026
        TQNDataSaveTree s;
        TQNIndexData* active = s.OpenStore(storeDir, kSavePath);
        ASSERT_NE(active, nullptr);
        EXPECT_EQ(s.Tree().Count(), 6u);
        EXPECT_EQ(s.FindClass(10026)->Caption, "我的软件") << "NextID of the file kept";
    }
    // A tree whose running category is gone gets it back, first, with its files.
    {
        StoreFixture f;
        f.store->Tree().Clear();
        auto rec = NewIndexData();
        rec->Caption = "别的";
        rec->FileBase = "ZLData";
        f.store->AddNode(nullptr, std::move(rec), -1, true);
        f.store->SaveTree();
        ::unlink(f.File("ZlDownload.zli").c_str());
        ::unlink(f.File("ZlDownload.zld").c_str());
        f.Reopen();
        ASSERT_NE(f.active, nullptr);
        EXPECT_EQ(f.active->ID, 201);
        EXPECT_EQ(f.store->Tree().TopLevel().front()->Data.get(), f.active);
        EXPECT_TRUE(FileExists(f.File("ZlDownload.zld")));
        f.AddJob("http://127.0.0.1/after");
        f.Reopen();
        EXPECT_EQ(f.store->JobList.size(), 1u);
    }
}

TEST(DataSaveStoreTest, JobsSurviveReopenInOrder) {
    StoreFixture f;
    TJobData& a = f.AddJob("http://127.0.0.1/a.zip", int64_t{6} << 30, "first");
    f.AddJob("http://127.0.0.1/b.zip");
    f.AddJob("http://127.0.0.1/c.zip");
    EXPECT_EQ(a.Index->ID, 10013);
    EXPECT_EQ(a.Data->JobID, 10013);
    EXPECT_EQ(a.Data->ClassID, 201);
    EXPECT_EQ(IniReadInt("Data", "RUNDATACANUSE", -1, f.File("10013.EXD")), 0);
    f.store->MoveJobInList(f.Find("http://127.0.0.1/c.zip"), 0, 0);
    f.store->SaveJobOrder();

    f.Reopen();
    ASSERT_EQ(f.store->JobList.size(), 3u);
    EXPECT_EQ(f.store->JobList[0]->Data->URL, "http://127.0.0.1/c.zip");
    TJobData* ra = f.Find("http://127.0.0.1/a.zip");
    ASSERT_NE(ra, nullptr);
    EXPECT_EQ(ra->Data->FileSize, int64_t{6} << 30);
    EXPECT_EQ(ra->Data->Comment, "first");
    EXPECT_EQ(ra->Data->DisplayDone, ra->Data->DoneSize);
    EXPECT_EQ(f.store->NextID, 10016u);
}

TEST(DataSaveStoreTest, JobOrderFileRebuildsTheList) {
    StoreFixture f;
    for (const char* u : {"http://h/1", "http://h/2", "http://h/3", "http://h/4"}) f.AddJob(u);
    // IDs 10013..10016; the file names 10015 twice and an ID that is not there.
    std::string order;
    for (int32_t id : {10015, 99, 10013, 10015}) order += BytesOf(HexOf(std::string(
        reinterpret_cast<const char*>(&id), 4)));
    WriteFile(f.File("DLIndex.idx"), order);
    f.Reopen();
    std::vector<int32_t> ids;
    for (auto& j : f.store->JobList) ids.push_back(j->Data->JobID);
    EXPECT_EQ(ids, (std::vector<int32_t>{10015, 10013, 10014, 10016}));
}

TEST(DataSaveStoreTest, MoveJobInListClampsTheTarget) {
    StoreFixture f;
    for (const char* u : {"http://h/1", "http://h/2", "http://h/3"}) f.AddJob(u);
    auto order = [&] {
        std::string s;
        for (auto& j : f.store->JobList) s += j->Data->URL.back();
        return s;
    };
    struct Case { const char* url; int mode; int target; const char* after; };
    const Case cases[] = {
        {"http://h/1", 0, 100, "231"}, {"http://h/1", 1, -5, "123"}, {"http://h/1", 2, 0, "123"},
        {"http://h/3", 3, 0, "123"},   {"http://h/2", 3, 0, "132"},  {"http://h/2", 2, 0, "123"},
        {"http://h/2", 9, 0, "123"},
    };
    for (const auto& c : cases) {
        f.store->MoveJobInList(f.Find(c.url), c.mode, c.target);
        EXPECT_EQ(order(), c.after) << c.url << " mode " << c.mode << " target " << c.target;
    }
    TJobData stranger;
    f.store->MoveJobInList(&stranger, 0, 0);
    EXPECT_EQ(order(), "123");
}

TEST(DataSaveStoreTest, ProgressAndDeletionPatchOnlyTheirIntegers) {
    StoreFixture f;
    f.AddJob("http://h/0");
    TJobData& job = f.AddJob("http://h/1", 0);
    const int64_t pos = job.Data->DataPos;
    const int64_t ipos = job.Index->IndexPos;
    const std::string before = ReadFile(f.File("ZlDownload.zld"));

    job.Data->FileSize = (int64_t{3} << 32) + 0x10;
    job.Data->DoneSize = (int64_t{2} << 32) + 0x20;
    job.Data->State = 1;
    job.Data->Initialized = 1;
    ASSERT_TRUE(f.store->SaveJobProgress(job, *f.active->DataFile));
    const std::string after = ReadFile(f.File("ZlDownload.zld"));
    ASSERT_EQ(after.size(), before.size());
    std::vector<size_t> changed;
    for (size_t i = 0; i < after.size(); ++i)
        if (after[i] != before[i]) changed.push_back(i - pos);
    EXPECT_EQ(changed, (std::vector<size_t>{28, 32, 36, 44, 120, 124}));
    EXPECT_EQ(HexOf(after.substr(pos + 28, 24)),
              "10 00 00 00 20 00 00 00 01 00 00 00 01 00 00 00 01 00 00 00 00 00 00 00");
    EXPECT_EQ(IntAt(after, pos + 120), 3);
    EXPECT_EQ(IntAt(after, pos + 124), 2);

    const std::string indexBefore = ReadFile(f.File("ZlDownload.zli"));
    ASSERT_TRUE(f.store->RemoveJob(job, *f.active->DataFile));
    const std::string removed = ReadFile(f.File("ZlDownload.zld"));
    const std::string indexAfter = ReadFile(f.File("ZlDownload.zli"));
    EXPECT_EQ(IntAt(removed, pos + 4), 1);
    EXPECT_EQ(removed.substr(0, pos + 4) + removed.substr(pos + 8), after.substr(0, pos + 4) + after.substr(pos + 8));
    EXPECT_EQ(IntAt(indexAfter, ipos + 21), 1);
    EXPECT_EQ(indexAfter.substr(0, ipos + 21) + indexAfter.substr(ipos + 25),
              indexBefore.substr(0, ipos + 21) + indexBefore.substr(ipos + 25));
    EXPECT_FALSE(FileExists(f.File(std::to_string(job.Data->ExdNumber) + ".EXD")));
    f.store->JobList.pop_back();
    f.Reopen();
    EXPECT_EQ(f.store->JobList.size(), 1u);
}

TEST(DataSaveStoreTest, RemovingACompletedJobDeletesOnlyItsOwnMap) {
    StoreFixture f;
    const std::string outside = f.dir.file("precious.txt");
    WriteFile(outside, "keep");
    struct Case { const char* blockName; std::string mapPath; };
    const Case cases[] = {
        {"7.blk", f.File("7.blk")},              // the normal case: removed
        {"", ""},                                // no map
    };
    for (const Case& c : cases) {
        TJobData& job = f.AddJob(std::string("http://h/") + (c.blockName[0] ? c.blockName : "none"));
        job.Data->State = 3;
        job.Data->BlockFileName = c.blockName;
        if (!c.mapPath.empty()) WriteFile(c.mapPath, "map");
        ASSERT_TRUE(f.store->RemoveJob(job, *f.active->DataFile)) << c.blockName;
        if (!c.mapPath.empty()) {
            EXPECT_FALSE(FileExists(c.mapPath)) << c.blockName;
        }
    }
    // A damaged record naming a path elsewhere never deletes a file outside the store.
    for (const std::string& name : {outside, std::string("../precious.txt")}) {
        TJobData& job = f.AddJob("http://h/damaged" + std::to_string(name.size()));
        job.Data->State = 3;
        job.Data->BlockFileName = name;
        f.store->RemoveJob(job, *f.active->DataFile);
        EXPECT_EQ(ReadFile(outside), "keep") << name;
    }
}

TEST(DataSaveStoreTest, UpdateModesRewriteInPlaceOrReappend) {
    StoreFixture f;
    TJobData& job = f.AddJob("http://h/a", 500, "old comment");
    const int64_t oldPos = job.Data->DataPos;
    const int64_t sizeBefore = static_cast<int64_t>(ReadFile(f.File("ZlDownload.zld")).size());

    // Numbers only: strings on disk stay valid behind the numeric part.
    job.Data->DoneSize = 250;
    ASSERT_TRUE(f.store->UpdateJobRecords(*job.Index, 2, f.active->DataFile.get()));
    EXPECT_EQ(static_cast<int64_t>(ReadFile(f.File("ZlDownload.zld")).size()), sizeBefore);

    job.Data->Comment = "a new, longer comment";
    ASSERT_TRUE(f.store->UpdateJobRecords(*job.Index, 3, f.active->DataFile.get()));
    const std::string data = ReadFile(f.File("ZlDownload.zld"));
    EXPECT_EQ(job.Data->DataPos, sizeBefore) << "new record at the old end";
    EXPECT_EQ(job.Index->DataPos, sizeBefore);
    EXPECT_EQ(IntAt(data, oldPos + 4), 1) << "old record marked deleted";
    EXPECT_EQ(IntAt(data, sizeBefore + 4), 0);
    const std::string index = ReadFile(f.File("ZlDownload.zli"));
    EXPECT_EQ(IntAt(index, job.Index->IndexPos + 33), sizeBefore) << "index entry repointed";

    f.Reopen();
    ASSERT_EQ(f.store->JobList.size(), 1u);
    EXPECT_EQ(f.store->JobList[0]->Data->Comment, "a new, longer comment");
    EXPECT_EQ(f.store->JobList[0]->Data->DoneSize, 250);
}

TEST(DataSaveStoreTest, FailedAppendInUpdateKeepsTheOldRecord) {
    StoreFixture f;
    TJobData& job = f.AddJob("http://h/a", 500, "kept");
    const auto dataSize = ReadFile(f.File("ZlDownload.zld")).size();
    job.Data->Comment = "never written";
    {
        FileSizeLimit full(dataSize);  // the disk is full: appends fail, patches succeed
        EXPECT_FALSE(f.store->UpdateJobRecords(*job.Index, 3, f.active->DataFile.get()));
    }
    f.Reopen();
    ASSERT_EQ(f.store->JobList.size(), 1u);
    EXPECT_EQ(f.store->JobList[0]->Data->Comment, "kept");
    EXPECT_EQ(ReadFile(f.File("ZlDownload.zld")).size(), dataSize) << "no partial record left";
}

TEST(DataSaveStoreTest, PositionsOutsideTheFileAreNeverWritten) {
    StoreFixture f;
    TJobData& job = f.AddJob("http://h/a");
    const std::string data = ReadFile(f.File("ZlDownload.zld"));
    const std::string index = ReadFile(f.File("ZlDownload.zli"));
    struct Case { const char* name; int64_t dataPos; int64_t indexPos; };
    const Case cases[] = {
        {"past the end", 1 << 20, 1 << 20}, {"zero", 0, 0}, {"negative", -8, -8},
        {"tail shorter than the record", static_cast<int64_t>(data.size()) - 10, static_cast<int64_t>(index.size()) - 10},
    };
    for (const auto& c : cases) {
        job.Data->DataPos = c.dataPos;
        job.Index->DataPos = c.dataPos;
        job.Index->IndexPos = c.indexPos;
        EXPECT_FALSE(f.store->SaveJobProgress(job, *f.active->DataFile)) << c.name;
        EXPECT_FALSE(f.store->UpdateJobRecords(*job.Index, 2, f.active->DataFile.get())) << c.name;
        EXPECT_FALSE(f.store->UpdateJobRecords(*job.Index, 3, f.active->DataFile.get())) << c.name;
        EXPECT_FALSE(f.store->RemoveJob(job, *f.active->DataFile)) << c.name;
        EXPECT_EQ(HexOf(ReadFile(f.File("ZlDownload.zld"))), HexOf(data)) << c.name;
        EXPECT_EQ(HexOf(ReadFile(f.File("ZlDownload.zli"))), HexOf(index)) << c.name;
    }
}

TEST(DataSaveStoreTest, FailedTreeSaveKeepsTheOldTree) {
    StoreFixture f;
    const std::string old = ReadFile(f.File("DownLoad.dat"));
    for (int i = 0; i < 5; ++i) {
        auto rec = NewIndexData();
        rec->Caption = "新类别" + std::to_string(i);
        rec->FileBase = "ZLData" + std::to_string(i);
        f.store->AddNode(nullptr, std::move(rec), -1, true);
    }
    {
        FileSizeLimit full(old.size() + 100);
        EXPECT_ANY_THROW(f.store->SaveTree());
    }
    EXPECT_EQ(HexOf(ReadFile(f.File("DownLoad.dat"))), HexOf(old));
    f.Reopen();
    EXPECT_EQ(f.store->Tree().Count(), 6u);
}

TEST(DataSaveStoreTest, MissingRunningDataFileIsCreated) {
    StoreFixture f;
    f.AddJob("http://h/a");
    f.store->JobList.clear();
    f.store.reset();
    ::unlink(f.File("ZlDownload.zld").c_str());
    f.Reopen();
    ASSERT_NE(f.active, nullptr);
    ASSERT_NE(f.active->DataFile, nullptr);
    EXPECT_TRUE(f.store->JobList.empty());  // the entry has no record to read
    TJobData& job = f.AddJob("http://h/b");
    job.Data->DoneSize = 10;
    EXPECT_TRUE(f.store->SaveJobProgress(job, *f.active->DataFile));
}

TEST(DataSaveStoreTest, RunningCategoryOfDeletedEntriesOnlyIsReset) {
    for (int deleted : {50, 51}) {
        StoreFixture f;
        for (int i = 0; i < deleted; ++i) {
            TJobData& j = f.AddJob("http://h/" + std::to_string(i));
            ASSERT_TRUE(f.store->RemoveJob(j, *f.active->DataFile));
        }
        f.store->JobList.clear();
        f.Reopen();
        const auto size = ReadFile(f.File("ZlDownload.zli")).size();
        if (deleted == 51)
            EXPECT_EQ(size, 16u);
        else
            EXPECT_GT(size, 16u);
    }
}

TEST(DataSaveStoreTest, PackRewritesLiveJobsAndKeepsBakCopies) {
    StoreFixture f;
    TJobData& gone = f.AddJob("http://h/gone");
    f.AddJob("http://h/kept", 42, "注释");
    f.store->RemoveJob(gone, *f.active->DataFile);
    f.store->JobList.erase(f.store->JobList.begin());
    const std::string oldIndex = ReadFile(f.File("ZlDownload.zli"));
    const std::string oldData = ReadFile(f.File("ZlDownload.zld"));
    f.store->JobList.clear();
    f.store.reset();

    std::string message;
    ASSERT_TRUE(PackDownloadStore(f.dir.path(), &message));
    EXPECT_EQ(ReadFile(f.File("ZlDownload.zli.bak")), oldIndex);
    EXPECT_EQ(ReadFile(f.File("ZlDownload.zld.bak")), oldData);
    EXPECT_LT(ReadFile(f.File("ZlDownload.zld")).size(), oldData.size());
    f.Reopen();
    ASSERT_EQ(f.store->JobList.size(), 1u);
    TJobData& kept = *f.store->JobList[0];
    EXPECT_EQ(kept.Data->Comment, "注释");
    EXPECT_EQ(kept.Data->DataPos, 16);
    // Packing the open running category: the open data file follows the new file.
    std::vector<TQNIndexData*> entries{kept.Index.get()};
    f.store->PackClass(*f.active, entries);
    kept.Data->DoneSize = 7;
    ASSERT_TRUE(f.store->SaveJobProgress(kept, *f.active->DataFile));
    f.Reopen();
    EXPECT_EQ(f.store->JobList[0]->Data->DoneSize, 7);
}

TEST(DataSaveStoreTest, FailedPackKeepsTheCategory) {
    StoreFixture f;
    for (int i = 0; i < 20; ++i) f.AddJob("http://h/" + std::to_string(i), i, std::string(200, 'c'));
    const std::string data = ReadFile(f.File("ZlDownload.zld"));
    std::vector<TQNIndexData*> entries;
    for (auto& j : f.store->JobList) entries.push_back(j->Index.get());
    {
        FileSizeLimit full(data.size() / 2);
        EXPECT_ANY_THROW(f.store->PackClass(*f.active, entries));
    }
    EXPECT_EQ(ReadFile(f.File("ZlDownload.zld")), data);
    EXPECT_FALSE(FileExists(f.File("ZlDownload.zld.new")));
    f.Reopen();
    EXPECT_EQ(f.store->JobList.size(), 20u);
}

TEST(DataSaveStoreTest, OtherCategoriesLoadOnDemand) {
    StoreFixture f;
    TQNIndexData* done = f.store->FindClass(202);
    auto job = NewJobData();
    job->Data->URL = "http://h/done";
    job->Data->State = 3;
    ASSERT_NE(f.store->AddNode(done, *job, -1, nullptr), nullptr);
    EXPECT_EQ(job->Data->ExdNumber, 0) << "only running jobs get an INI file";
    TJobList jobs;
    ASSERT_TRUE(f.store->LoadClassJobList(*done, jobs));
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0]->Data->State, 3);
    EXPECT_TRUE(f.store->RemoveJobFromClass(*jobs[0]));
    jobs.clear();
    ASSERT_TRUE(f.store->LoadClassJobList(*done, jobs));
    EXPECT_TRUE(jobs.empty());
}

TEST(DataSaveStoreTest, UrlHistory) {
    StoreFixture f;
    std::string k = "201";
    const std::string date = "2026-1-2 3:4";
    EXPECT_FALSE(f.store->CheckUrlHistory("http://h/a*b.zip", k, &date, true));
    k = "10010";
    EXPECT_FALSE(f.store->CheckUrlHistory("http://h/a*b.zip1", k, &date, true));
    EXPECT_EQ(ReadFile(f.File("DLUrlList.idx")),
              "http://h/a*b.zip*201|2026-1-2 3:4\r\nhttp://h/a*b.zip1*10010|2026-1-2 3:4\r\n");

    // Finding compares the whole URL without regard to case; the class text follows the
    // last "*". A URL that is only part of a longer recorded one is not a duplicate.
    k.clear();
    EXPECT_TRUE(f.store->CheckUrlHistory("HTTP://H/A*B.ZIP1", k, nullptr, false));
    EXPECT_EQ(k, "10010");
    EXPECT_FALSE(f.store->CheckUrlHistory("http://h/a*b.zi", k, nullptr, false));
    EXPECT_FALSE(f.store->CheckUrlHistory("h/a*b.zip1", k, nullptr, false));

    std::string cls, when;
    EXPECT_TRUE(SplitUrlHistoryLine("http://h/a*b*7|d", cls, when));
    EXPECT_EQ(cls, "7");
    EXPECT_EQ(when, "d");
    EXPECT_FALSE(SplitUrlHistoryLine("no star", cls, when));

    // Removing takes the exact URL's line only, not a longer URL's that contains it.
    EXPECT_EQ(f.store->RemoveUrlHistory("http://h/a*b.zip"), "http://h/a*b.zip*201|2026-1-2 3:4");
    EXPECT_EQ(ReadFile(f.File("DLUrlList.idx")), "http://h/a*b.zip1*10010|2026-1-2 3:4\r\n");
    EXPECT_EQ(f.store->RemoveUrlHistory("http://h/a*b.zi"), "");
}

TEST(DataSaveStoreTest, BackupsRotateAndEmptyReusedSlots) {
    TempDir dir;
    ForceDirectories(dir.file("DownLoad"));
    ForceDirectories(dir.file("ftpData/1/LST"));
    WriteFile(dir.file("DownLoad/DownLoad.dat"), "tree");
    WriteFile(dir.file("ftpData/FTPData.zld"), "sites");
    ForceDirectories(dir.file("bakdata/bakdata1/DownLoad"));
    WriteFile(dir.file("bakdata/bakdata1/DownLoad/stale.zld"), "old");

    int last = 0;
    std::vector<int> slots;
    for (int i = 0; i < 7; ++i) {
        ASSERT_TRUE(BackupData(dir.path(), true, 5, last));
        slots.push_back(last);
    }
    EXPECT_EQ(slots, (std::vector<int>{1, 2, 3, 4, 5, 0, 1}));
    EXPECT_FALSE(FileExists(dir.file("bakdata/bakdata1/DownLoad/stale.zld")));
    EXPECT_EQ(ReadFile(dir.file("bakdata/bakdata1/DownLoad/DownLoad.dat")), "tree");
    EXPECT_EQ(ReadFile(dir.file("bakdata/bakdata1/ftpData/FTPData.zld")), "sites");
    EXPECT_FALSE(DirExists(dir.file("bakdata/bakdata1/ftpData/1"))) << "plain files only";
    EXPECT_EQ(IniReadRaw("data", "data", "", false, dir.file("bakdata/bakdata1/data.dat")),
              BackupDateToday());
    // The automatic backup runs once a day.
    EXPECT_FALSE(BackupData(dir.path(), false, 5, last));
    EXPECT_EQ(last, 1);
}

} // namespace
} // namespace tq::test
