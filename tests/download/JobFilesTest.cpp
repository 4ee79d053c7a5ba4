#include "download/JobFiles.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/PathUtils.h"
#include "tests/support/TestSupport.h"

namespace tq::test {
namespace {

constexpr int64_t kGiB = int64_t{1} << 30;

int64_t FileLength(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

TEST(JobFilesTest, PositionedWritesPastFourGiB) {
    TempDir dir;
    const std::string path = JobFilePath(dir.path(), "big.iso.zl!");
    EXPECT_EQ(OpenPartialFile(path, false), -1);
    const int fd = OpenPartialFile(path, true);
    ASSERT_GE(fd, 0);
    const int64_t offset = 5 * kGiB + 4096;
    ASSERT_TRUE(WriteAt(fd, offset, "tail", 4));
    ASSERT_TRUE(WriteAt(fd, 0, "head", 4));
    char buf[4] = {};
    ASSERT_EQ(::pread(fd, buf, 4, static_cast<off_t>(offset)), 4);
    EXPECT_EQ(std::string(buf, 4), "tail");
    ::close(fd);
    EXPECT_EQ(FileLength(path), offset + 4);

    EXPECT_FALSE(WriteAt(-1, 0, "x", 1));
    EXPECT_EQ(errno, EBADF);
}

TEST(JobFilesTest, SetPartialFileSizeCreatesAndCuts) {
    TempDir dir;
    const std::string path = dir.file("a.zl!");
    ASSERT_TRUE(SetPartialFileSize(path, 10000));
    EXPECT_EQ(FileLength(path), 10000);
    ASSERT_TRUE(SetPartialFileSize(path, 4097));
    EXPECT_EQ(FileLength(path), 4097);
    EXPECT_FALSE(SetPartialFileSize(dir.file("no/such/dir.zl!"), 1));
}

// The space is reserved for real (not one byte written at the end of a sparse file).
TEST(JobFilesTest, CheckDiskReservesBlocks) {
    TempDir dir;
    const std::string path = dir.file("a.zl!");
    WriteFile(path, std::string(300000, 'x'));  // longer, left from an earlier attempt
    const int64_t size = 256 * 1024;
    const TCheckDiskResult r = CheckDisk(path, size);
    ASSERT_TRUE(r.Ok) << r.Error;
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, size);
    EXPECT_GE(int64_t{st.st_blocks} * 512, size);

    EXPECT_TRUE(CheckDisk(dir.file("missing"), 0).Ok);  // unknown length: nothing to check
}

TEST(JobFilesTest, CheckDiskFailuresGiveTheSpaceMessage) {
    TempDir dir;
    const std::string path = dir.file("a.zl!");
    WriteFile(path, "");
    int calls = 0;
    off_t offset = -1, length = -1;
    const auto noSpace = [&](int, off_t o, off_t n) {
        ++calls;
        offset = o;
        length = n;
        return ENOSPC;
    };
    TCheckDiskResult r = CheckDisk(path, 5 * kGiB, noSpace);
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Error, ENOSPC);
    EXPECT_EQ(r.Message, "目标磁盘剩余空间小于5368709120");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(offset, 0);
    EXPECT_EQ(length, 5 * kGiB);

    r = CheckDisk(dir.file("missing.zl!"), 1234);
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Error, ENOENT);
    EXPECT_EQ(r.Message, "目标磁盘剩余空间小于1234");
    EXPECT_FALSE(EntryExists(dir.file("missing.zl!")));

    calls = 0;
    const auto interruptedOnce = [&](int fd, off_t o, off_t n) {
        return calls++ == 0 ? EINTR : ::posix_fallocate(fd, o, n);
    };
    EXPECT_TRUE(CheckDisk(path, 1000, interruptedOnce).Ok);
    EXPECT_EQ(calls, 2);
}

TEST(JobFilesTest, RenameNeverReplaces) {
    for (const bool renameat2 : {true, false}) {
        SCOPED_TRACE(renameat2 ? "renameat2" : "link and unlink");
        TempDir dir;
        WriteFile(dir.file("from"), "new");
        WriteFile(dir.file("taken"), "old");
        int error = 0;
        EXPECT_FALSE(RenameNoReplace(dir.file("from"), dir.file("taken"), error, renameat2));
        EXPECT_EQ(error, EEXIST);
        EXPECT_EQ(ReadFile(dir.file("taken")), "old");
        EXPECT_EQ(ReadFile(dir.file("from")), "new");

        EXPECT_TRUE(RenameNoReplace(dir.file("from"), dir.file("free"), error, renameat2));
        EXPECT_EQ(ReadFile(dir.file("free")), "new");
        EXPECT_FALSE(EntryExists(dir.file("from")));

        EXPECT_FALSE(RenameNoReplace(dir.file("gone"), dir.file("x"), error, renameat2));
        EXPECT_EQ(error, ENOENT);
    }
}

// A taken final name (file, folder or link) gives the next free number; nothing that
// exists is replaced and the data land under the reported name.
TEST(JobFilesTest, CompletionTakesNextFreeName) {
    struct Row {
        const char* name;
        std::vector<std::string> files, folders, links;
        std::string wanted, expected;
    } rows[] = {
        {"free", {}, {}, {}, "a.zip", "a.zip"},
        {"file taken", {"a.zip"}, {}, {}, "a.zip", "a1.zip"},
        {"two taken", {"a.zip", "a1.zip"}, {}, {}, "a.zip", "a2.zip"},
        {"folder taken", {}, {"a.zip"}, {}, "a.zip", "a1.zip"},
        {"dangling link", {}, {}, {"a.zip"}, "a.zip", "a1.zip"},
        {"no extension", {"README"}, {}, {}, "README", "README1"},
        {"two dots", {"x.tar.gz"}, {}, {}, "x.tar.gz", "x.tar1.gz"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TempDir dir;
        for (const auto& f : r.files) WriteFile(dir.file(f), "existing");
        for (const auto& f : r.folders) ASSERT_TRUE(ForceDirectories(dir.file(f)));
        for (const auto& f : r.links) ASSERT_EQ(::symlink("nowhere", dir.file(f).c_str()), 0);
        const std::string temp = AddFileExt(r.wanted, kPartialFileExt);
        WriteFile(dir.file(temp), "payload");

        // Every name tried is announced before its rename: the last one is the result.
        std::vector<std::string> announced;
        const TCompletion c = CompletePartialFile(
            dir.path(), temp, r.wanted, [&](const std::string& n) {
                announced.push_back(n);
                EXPECT_TRUE(EntryExists(dir.file(temp)));
            });
        ASSERT_TRUE(c.Ok) << c.Error;
        EXPECT_EQ(c.FileName, r.expected);
        ASSERT_FALSE(announced.empty());
        EXPECT_EQ(announced.back(), r.expected);
        EXPECT_EQ(c.NameChanged, r.expected != r.wanted);
        EXPECT_EQ(c.FinalPath, dir.file(r.expected));
        EXPECT_EQ(ReadFile(c.FinalPath), "payload");
        EXPECT_FALSE(EntryExists(dir.file(temp)));
        for (const auto& f : r.files) EXPECT_EQ(ReadFile(dir.file(f)), "existing");
        for (const auto& f : r.folders) EXPECT_TRUE(DirExists(dir.file(f)));
        TDateTimeFields when;
        EXPECT_TRUE(UnpackFileDate(c.FileDate, when));
        EXPECT_GE(when.Year, 2020);
    }
}

TEST(JobFilesTest, CompletionWithServerNamesAndFailures) {
    TempDir dir;
    ASSERT_TRUE(ForceDirectories(dir.file("save")));
    const std::string save = dir.file("save");

    // A name from a server cannot leave the save folder.
    WriteFile(JoinLocalPath(save, "1.zl!"), "data");
    TCompletion c = CompletePartialFile(save, "1.zl!", "../escape");
    ASSERT_TRUE(c.Ok);
    EXPECT_EQ(c.FinalPath, JoinLocalPath(save, c.FileName));
    EXPECT_EQ(c.FileName.find('/'), std::string::npos);
    EXPECT_TRUE(c.NameChanged);
    EXPECT_FALSE(EntryExists(dir.file("escape")));

    // No partial file: a failure, and nothing created.
    c = CompletePartialFile(save, "gone.zl!", "gone.bin");
    EXPECT_FALSE(c.Ok);
    EXPECT_EQ(c.Error, ENOENT);
    EXPECT_FALSE(EntryExists(JoinLocalPath(save, "gone.bin")));

    // Partial and final name the same: already in place.
    WriteFile(JoinLocalPath(save, "same"), "x");
    c = CompletePartialFile(save, "same", "same");
    EXPECT_TRUE(c.Ok);
    EXPECT_EQ(c.FileName, "same");
    EXPECT_EQ(ReadFile(JoinLocalPath(save, "same")), "x");
}

TEST(JobFilesTest, PackedFileDate) {
    struct Row {
        TDateTimeFields f;
        int32_t packed;
    } rows[] = {
        {{1980, 1, 1, 0, 0, 0, 0}, 0x00210000},
        {{2026, 12, 11, 12, 39, 22, 0}, static_cast<int32_t>((46u << 9 | 12u << 5 | 11u) << 16 |
                                                             (12u << 11 | 39u << 5 | 11u))},
        {{2107, 12, 31, 23, 59, 58, 0}, static_cast<int32_t>(0xFF9FBF7Du)},
        {{1979, 12, 31, 0, 0, 0, 0}, 0},
        {{2108, 1, 1, 0, 0, 0, 0}, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.f.Year);
        EXPECT_EQ(PackFileDate(r.f), r.packed);
        TDateTimeFields back;
        ASSERT_EQ(UnpackFileDate(r.packed, back), r.packed != 0);
        if (r.packed == 0) continue;
        EXPECT_EQ(back.Year, r.f.Year);
        EXPECT_EQ(back.Month, r.f.Month);
        EXPECT_EQ(back.Day, r.f.Day);
        EXPECT_EQ(back.Minute, r.f.Minute);
        EXPECT_EQ(back.Second, r.f.Second / 2 * 2);
    }
    TDateTimeFields f;
    EXPECT_FALSE(UnpackFileDate(static_cast<int32_t>((46u << 9 | 2u << 5 | 31u) << 16), f));  // 31 Feb
    EXPECT_FALSE(UnpackFileDate(static_cast<int32_t>((46u << 9 | 13u << 5 | 1u) << 16), f));  // month 13
}

} // namespace
} // namespace tq::test
