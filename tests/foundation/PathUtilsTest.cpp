#include "foundation/PathUtils.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/DateTimeUtils.h"
#include "tests/support/TestSupport.h"

namespace tq {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

std::vector<std::string> Names(const TQNFileDataList& list) {
    std::vector<std::string> r;
    for (const auto& e : list) r.push_back(e->Dir + "|" + e->OtherDir + "|" + e->FileName);
    return r;
}

TEST(PathUtils, JoinAndSplit) {
    struct Case { const char* dir; const char* name; const char* local; const char* remote; };
    const Case cases[] = {
        {"", "a", "a", "a"},
        {"/d", "a", "/d/a", "/d/a"},
        {"/d/", "a", "/d/a", "/d/a"},
        {"/d", "/a", "/d//a", "/d/a"},
        {"/d", "sub/", "/d/sub/", "/d/sub"},
        {"/", "/", "//", "/"},
        {"/d", "", "/d/", "/d"},
        {"/d", " a ", "/d/ a ", "/d/ a "},  // remote names keep their blanks
    };
    for (const Case& c : cases) {
        EXPECT_EQ(JoinLocalPath(c.dir, c.name), c.local) << c.dir << " + " << c.name;
        EXPECT_EQ(JoinRemotePath(c.dir, c.name), c.remote) << c.dir << " + " << c.name;
    }
    std::string dir = "x", name = "y";
    SplitRemotePath("/pub/a.zip", dir, name);
    EXPECT_EQ(dir, "/pub"); EXPECT_EQ(name, "a.zip");
    SplitRemotePath("a.zip", dir, name);
    EXPECT_EQ(dir, ""); EXPECT_EQ(name, "a.zip");
}

TEST(PathUtils, Extensions) {
    struct Case { const char* name; const char* ext; const char* stripped; };
    const Case cases[] = {
        {"a.zip", ".zip", "a"},
        {"a.zip.zip", ".zip", "a.zip"},     // only the suffix goes
        {"x.gz.tar.gz", ".gz", "x.gz.tar"},
        {"readme", "", "readme"},
        {"dir.d/readme", "", "dir.d/readme"},
        {"/p/.bashrc", ".bashrc", "/p/"},
        {"a.", ".", "a"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ExtractFileExt(c.name), c.ext) << c.name;
        EXPECT_EQ(StripFileExt(c.name), c.stripped) << c.name;
    }
    EXPECT_EQ(AddFileExt("a", ""), "a");
    EXPECT_EQ(AddFileExt("a", ".zip"), "a.zip");
    EXPECT_EQ(AddFileExt("a", "zip"), "a.zip");
}

TEST(PathUtils, FreeNamesSkipEveryKindOfEntry) {
    TempDir t;
    WriteFile(t.file("a.zip"), "x");
    WriteFile(t.file("a1.zip"), "x");
    std::string base = "a";
    UniqueFileName(t.path(), base, ".zip");
    EXPECT_EQ(base, "a2");

    // A folder or a dangling link takes the name as much as a file does.
    ASSERT_EQ(mkdir(t.file("b.zip").c_str(), 0700), 0);
    ASSERT_EQ(symlink("/nonexistent/target", t.file("b1.zip").c_str()), 0);
    base = "b";
    UniqueFileName(t.path(), base, "zip");
    EXPECT_EQ(base, "b2");

    WriteFile(t.file("5.exd"), "");
    WriteFile(t.file("6.exd"), "");
    int n = 5;
    NextFreeFileNumber(t.path(), n, "exd");
    EXPECT_EQ(n, 7);
    ASSERT_EQ(mkdir(t.file("7").c_str(), 0700), 0);
    n = 7;
    NextFreeDirNumber(t.path(), n);
    EXPECT_EQ(n, 8);

    std::string name;
    TimeFileName(t.path(), name, ".tmp");
    ASSERT_FALSE(name.empty());
    EXPECT_EQ(name.find_first_not_of("0123456789"), std::string::npos) << name;
    EXPECT_FALSE(EntryExists(t.file(name + ".tmp")));
}

TEST(PathUtils, ExistenceAndForceDirectories) {
    TempDir t;
    WriteFile(t.file("f"), "x");
    EXPECT_TRUE(FileExists(t.file("f")));
    EXPECT_FALSE(DirExists(t.file("f")));
    EXPECT_TRUE(DirExists(t.path()));
    EXPECT_FALSE(FileExists(t.path()));
    EXPECT_FALSE(EntryExists(t.file("none")));

    EXPECT_TRUE(ForceDirectories(t.file("a/b/c")));
    EXPECT_TRUE(DirExists(t.file("a/b/c")));
    EXPECT_TRUE(ForceDirectories(t.file("a/b/c/")));
    EXPECT_FALSE(ForceDirectories(t.file("f/sub")));  // a file is in the way
}

TEST(PathUtils, CopyFileToDir) {
    TempDir t;
    ASSERT_TRUE(ForceDirectories(t.file("src")));
    WriteFile(t.file("src/a.zip"), "new");
    struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, t.file("src/a.zip").c_str(), times, 0), 0);

    // Missing target folders are created; the copy keeps its time.
    std::string name = "a.zip";
    EXPECT_TRUE(CopyFileToDir(t.file("src"), t.file("out/deep"), name, false));
    EXPECT_EQ(name, "a.zip");
    EXPECT_EQ(ReadFile(t.file("out/deep/a.zip")), "new");
    struct stat st {};
    ASSERT_EQ(stat(t.file("out/deep/a.zip").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);

    // A taken name becomes a free one inside the target folder, not beside it.
    name = "a.zip";
    EXPECT_TRUE(CopyFileToDir(t.file("src"), t.file("out/deep"), name, false));
    EXPECT_EQ(name, "a1.zip");
    EXPECT_EQ(ReadFile(t.file("out/deep/a1.zip")), "new");
    EXPECT_EQ(ReadFile(t.file("out/deep/a.zip")), "new");
    EXPECT_FALSE(EntryExists(t.file("out/deepa1.zip")));

    // Folders differing in case are different folders.
    ASSERT_TRUE(ForceDirectories(t.file("SRC")));
    name = "a.zip";
    EXPECT_TRUE(CopyFileToDir(t.file("src"), t.file("SRC"), name, false));
    EXPECT_EQ(ReadFile(t.file("SRC/a.zip")), "new");

    // Into its own folder (also spelt differently): nothing happens.
    name = "a.zip";
    EXPECT_TRUE(CopyFileToDir(t.file("src"), t.file("src/"), name, true));
    EXPECT_EQ(name, "a.zip");
    EXPECT_EQ(ReadFile(t.file("src/a.zip")), "new");
    EXPECT_FALSE(EntryExists(t.file("src/a1.zip")));

    // Move removes the source.
    name = "a.zip";
    EXPECT_TRUE(CopyFileToDir(t.file("src"), t.file("moved"), name, true));
    EXPECT_FALSE(EntryExists(t.file("src/a.zip")));
    EXPECT_EQ(ReadFile(t.file("moved/a.zip")), "new");

    // A missing source fails and leaves nothing behind.
    name = "none.bin";
    EXPECT_FALSE(CopyFileToDir(t.file("src"), t.file("moved"), name, false));
    EXPECT_FALSE(EntryExists(t.file("moved/none.bin")));
}

TEST(PathUtils, GetLocalFileInfo) {
    TempDir t;
    WriteFile(t.file("f.bin"), std::string(1234, 'x'));
    const time_t when = 1700000000;
    struct timespec times[2] = {{when, 0}, {when, 250000000}};
    ASSERT_EQ(utimensat(AT_FDCWD, t.file("f.bin").c_str(), times, 0), 0);
    // A folder with extra permission bits is still a folder.
    ASSERT_EQ(mkdir(t.file("d").c_str(), 0700), 0);
    ASSERT_EQ(chmod(t.file("d").c_str(), 01755), 0);

    TQNFileData e;
    e.OtherDir = "stale";
    e.Level = 3;
    ASSERT_TRUE(GetLocalFileInfo(t.path(), "f.bin", e));
    EXPECT_EQ(e.FileName, "f.bin");
    EXPECT_EQ(e.Dir, t.path());
    EXPECT_EQ(e.OtherDir, "");
    EXPECT_EQ(e.Level, 0);
    EXPECT_EQ(e.FileSize, 1234);
    EXPECT_FALSE(e.IsDir);
    struct tm lt {};
    localtime_r(&when, &lt);
    EXPECT_EQ(e.Year, lt.tm_year + 1900);
    EXPECT_EQ(e.Month, lt.tm_mon + 1);
    EXPECT_EQ(e.Day, lt.tm_mday);
    EXPECT_EQ(e.Hour, lt.tm_hour);
    EXPECT_EQ(e.Minute, lt.tm_min);
    EXPECT_EQ(e.Second, lt.tm_sec);
    EXPECT_EQ(e.MilliSecond, 250);
    EXPECT_DOUBLE_EQ(e.DateTime, EncodeDateTime(e.Year, e.Month, e.Day, e.Hour, e.Minute, e.Second, 250));

    ASSERT_TRUE(GetLocalFileInfo(t.path(), "d", e));
    EXPECT_TRUE(e.IsDir);
    EXPECT_FALSE(GetLocalFileInfo(t.path(), "none", e));
}

// root: .hidden, b.txt, sub/{c.txt, .deep/d.txt}, out -> <outside folder>, flink -> b.txt
class LocalTree : public ::testing::Test {
protected:
    void SetUp() override {
        root = t.file("root");
        ASSERT_TRUE(ForceDirectories(root + "/sub/.deep"));
        ASSERT_TRUE(ForceDirectories(t.file("outside")));
        WriteFile(root + "/.hidden", "h");
        WriteFile(root + "/b.txt", "bb");
        WriteFile(root + "/sub/c.txt", "c");
        WriteFile(root + "/sub/.deep/d.txt", "d");
        WriteFile(t.file("outside/keep.txt"), "k");
        ASSERT_EQ(symlink(t.file("outside").c_str(), (root + "/out").c_str()), 0);
        ASSERT_EQ(symlink("b.txt", (root + "/flink").c_str()), 0);
    }
    TempDir t;
    std::string root;
};

TEST_F(LocalTree, ScanIncludesDotFilesAndStaysInsideTheTree) {
    TQNFileDataList dirs, files;
    ScanLocalTree(root, dirs, files, 0, "/remote", nullptr, true);
    EXPECT_EQ(Names(dirs), (std::vector<std::string>{
        root + "|/remote|sub", root + "/sub|/remote/sub|.deep"}));
    EXPECT_EQ(Names(files), (std::vector<std::string>{
        root + "|/remote|.hidden", root + "|/remote|b.txt", root + "|/remote|flink",
        root + "/sub|/remote/sub|c.txt", root + "/sub/.deep|/remote/sub/.deep|d.txt"}));
    EXPECT_EQ(dirs[1]->Level, 1);
    EXPECT_TRUE(dirs[1]->IsDir);
    EXPECT_EQ(files[4]->Level, 2);
    EXPECT_EQ(files[2]->FileSize, 2);  // the link reads as its target

    // The filter decides per entry; a dropped folder is not entered.
    TQNFileDataList dirs2, files2;
    ScanLocalTree(root, dirs2, files2, 0, "", [](const std::string& name, bool isDir) {
        return (isDir || name[0] != '.') ? (name == "sub" ? 0 : 1) : 0;
    }, true);
    EXPECT_TRUE(dirs2.empty());
    EXPECT_EQ(Names(files2), (std::vector<std::string>{root + "||b.txt", root + "||flink"}));
}

TEST_F(LocalTree, SubdirsListParentsFirst) {
    ASSERT_TRUE(ForceDirectories(root + "/a/b"));
    TQNFileDataList dirs, files;
    std::vector<std::string> names = {"sub"};
    ListLocalSubdirs(root, true, dirs, files, nullptr, names);
    EXPECT_EQ(names, (std::vector<std::string>{"sub", "a", "a/b", "sub/.deep"}));

    std::vector<std::string> plain;
    ListFilesInDir(root, plain);
    EXPECT_EQ(plain, (std::vector<std::string>{".hidden", "b.txt", "flink"}));
}

TEST_F(LocalTree, DeleteRemovesDotFilesButNeverFollowsLinks) {
    EXPECT_TRUE(DeleteDirTree(root));
    EXPECT_FALSE(EntryExists(root));
    EXPECT_EQ(ReadFile(t.file("outside/keep.txt")), "k");
    EXPECT_TRUE(DeleteDirTree(root));  // already gone

    // A link given as the tree itself is removed as a link.
    ASSERT_EQ(symlink(t.file("outside").c_str(), t.file("l").c_str()), 0);
    EXPECT_TRUE(DeleteDirTree(t.file("l")));
    EXPECT_FALSE(EntryExists(t.file("l")));
    EXPECT_EQ(ReadFile(t.file("outside/keep.txt")), "k");
}

TEST(PathUtils, SanitizeFileName) {
    struct Case { std::string in; std::string out; };
    const Case cases[] = {
        {"report.pdf", "report.pdf"},
        {"a/b", "a_b"},
        {"../../etc/passwd", ".._.._etc_passwd"},
        {std::string("a\0b\r\n\x7f", 6), "a_b___"},
        {"", "unnamed"},
        {".", "unnamed"},
        {"..", "unnamed"},
        {"\xE6\x96\x87\xE4\xBB\xB6.txt", "\xE6\x96\x87\xE4\xBB\xB6.txt"},
        {"\xD6\xD0\xCE\xC4.txt", "\xE4\xB8\xAD\xE6\x96\x87.txt"},  // a GBK name from a server
    };
    for (const Case& c : cases) EXPECT_EQ(SanitizeFileName(c.in), c.out) << c.in;

    // Long names: at most 255 bytes, whole UTF-8 characters, extension kept.
    std::string longName;
    for (int i = 0; i < 100; ++i) longName += "\xE6\x96\x87";
    const std::string s = SanitizeFileName(longName + ".zip");
    EXPECT_LE(s.size(), 255u);
    EXPECT_EQ(s.substr(s.size() - 4), ".zip");
    EXPECT_EQ((s.size() - 4) % 3, 0u);
    EXPECT_EQ(SanitizeFileName(std::string(300, 'a')).size(), 255u);

    EXPECT_EQ(SafeJoinLocalPath("/dl", "../x"), "/dl/.._x");
    EXPECT_EQ(SafeJoinLocalPath("/dl/", ".."), "/dl/unnamed");
}

} // namespace
} // namespace tq
