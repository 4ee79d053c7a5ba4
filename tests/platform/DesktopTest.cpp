#include "platform/Desktop.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <unistd.h>

#include "foundation/PathUtils.h"
#include "foundation/TextUtils.h"
#include "tests/support/TestSupport.h"

namespace tq {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// Points the desktop folders (home, config, data, temp) into a temporary folder and
// puts the environment back afterwards.
class DesktopEnv : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "TMPDIR"}) {
            const char* v = std::getenv(name);
            saved.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
        }
        home = t.file("home");
        ASSERT_TRUE(ForceDirectories(home));
        setenv("HOME", home.c_str(), 1);
        unsetenv("XDG_CONFIG_HOME");
        setenv("XDG_DATA_HOME", t.file("data").c_str(), 1);
    }
    void TearDown() override {
        for (const auto& [name, value] : saved) {
            if (value) setenv(name.c_str(), value->c_str(), 1);
            else unsetenv(name.c_str());
        }
    }
    std::string TrashInfo(const std::string& name) {
        return ReadFile(t.file("data/Trash/info/" + name + ".trashinfo"));
    }

    TempDir t;
    std::string home;
    THeadlessDesktop desktop;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
};

TEST_F(DesktopEnv, DeleteWithUndoGoesToTrashAndComesBack) {
    const std::string file = t.file("my file%.txt");
    WriteFile(file, "content");
    ASSERT_TRUE(ForceDirectories(t.file("folder/sub")));
    WriteFile(t.file("folder/sub/x"), "x");

    EXPECT_TRUE(desktop.ShellFileOperation(TShellOperation::Delete, {file, t.file("folder")}, true));
    EXPECT_FALSE(EntryExists(file));
    EXPECT_FALSE(EntryExists(t.file("folder")));
    EXPECT_EQ(ReadFile(t.file("data/Trash/files/my file%.txt")), "content");
    EXPECT_EQ(ReadFile(t.file("data/Trash/files/folder/sub/x")), "x");

    const std::string info = TrashInfo("my file%.txt");
    ASSERT_EQ(info.rfind("[Trash Info]\nPath=", 0), 0u) << info;
    EXPECT_NE(info.find("\nDeletionDate="), std::string::npos);
    // Restoring by the recorded path puts the file back where it was.
    const size_t start = info.find("Path=") + 5;
    const std::string recorded = DecodePercentText(info.substr(start, info.find('\n', start) - start));
    EXPECT_EQ(recorded, file);
    ASSERT_EQ(rename(t.file("data/Trash/files/my file%.txt").c_str(), recorded.c_str()), 0);
    EXPECT_EQ(ReadFile(file), "content");

    // The same name again gets a name of its own in the trash.
    EXPECT_TRUE(desktop.ShellFileOperation(TShellOperation::Delete, {file}, true));
    EXPECT_EQ(ReadFile(t.file("data/Trash/files/my file%.txt.2")), "content");
    EXPECT_NE(TrashInfo("my file%.txt.2").find("Path="), std::string::npos);
}

TEST_F(DesktopEnv, FileStaysWhenTrashingFails) {
    const std::string file = t.file("keep.txt");
    WriteFile(file, "k");
    WriteFile(t.file("blocker"), "");
    setenv("XDG_DATA_HOME", t.file("blocker").c_str(), 1);  // no trash can be made there
    EXPECT_FALSE(desktop.ShellFileOperation(TShellOperation::Delete, {file}, true));
    EXPECT_EQ(ReadFile(file), "k");
    EXPECT_FALSE(MoveToTrash(t.file("none"), t.file("data/Trash")));
}

TEST_F(DesktopEnv, CopyMoveAndDelete) {
    WriteFile(t.file("a.txt"), "a");
    ASSERT_TRUE(ForceDirectories(t.file("tree/sub")));
    WriteFile(t.file("tree/sub/b.txt"), "b");
    ASSERT_TRUE(ForceDirectories(t.file("dest")));

    EXPECT_TRUE(desktop.ShellFileOperation(TShellOperation::Copy, {t.file("a.txt"), t.file("tree")}, false, t.file("dest")));
    EXPECT_EQ(ReadFile(t.file("dest/a.txt")), "a");
    EXPECT_EQ(ReadFile(t.file("dest/tree/sub/b.txt")), "b");
    EXPECT_EQ(ReadFile(t.file("a.txt")), "a");

    // A single source onto a name that is not a folder becomes that name; no prompts.
    WriteFile(t.file("dest/renamed.txt"), "old");
    EXPECT_TRUE(desktop.ShellFileOperation(TShellOperation::Copy, {t.file("a.txt")}, false, t.file("dest/renamed.txt")));
    EXPECT_EQ(ReadFile(t.file("dest/renamed.txt")), "a");

    EXPECT_TRUE(desktop.ShellFileOperation(TShellOperation::Move, {t.file("a.txt")}, false, t.file("moved")));
    EXPECT_FALSE(EntryExists(t.file("a.txt")));
    EXPECT_EQ(ReadFile(t.file("moved")), "a");

    EXPECT_TRUE(desktop.ShellFileOperation(TShellOperation::Delete, {t.file("dest")}, false));
    EXPECT_FALSE(EntryExists(t.file("dest")));
    EXPECT_FALSE(EntryExists(t.file("data/Trash")));

    // Failures are reported.
    EXPECT_FALSE(desktop.ShellFileOperation(TShellOperation::Copy, {t.file("none")}, false, t.file("x")));
    EXPECT_FALSE(desktop.ShellFileOperation(TShellOperation::Delete, {t.file("none")}, false));
    EXPECT_FALSE(desktop.ShellFileOperation(TShellOperation::Copy, {}, false, t.file("x")));
}

TEST_F(DesktopEnv, TempAndPersonalFolders) {
    setenv("TMPDIR", t.path().c_str(), 1);
    EXPECT_EQ(desktop.GetTempDir(), t.path());
    setenv("TMPDIR", t.file("missing").c_str(), 1);
    EXPECT_EQ(desktop.GetTempDir(), "/tmp");

    // Without user-dirs.dirs: home and ~/Downloads.
    EXPECT_EQ(desktop.GetPersonalFolder(), home);
    EXPECT_EQ(desktop.GetDownloadFolder(), home + "/Downloads");

    ASSERT_TRUE(ForceDirectories(home + "/.config"));
    WriteFile(home + "/.config/user-dirs.dirs",
              "# comment\nXDG_DOCUMENTS_DIR=\"$HOME/文档\"\nXDG_DOWNLOAD_DIR=\"/srv/dl\"\n");
    EXPECT_EQ(desktop.GetPersonalFolder(), home);  // configured but not there yet
    ASSERT_TRUE(ForceDirectories(home + "/文档"));
    EXPECT_EQ(desktop.GetPersonalFolder(), home + "/文档");
    EXPECT_EQ(desktop.GetDownloadFolder(), "/srv/dl");
}

TEST(Desktop, LookupUserDir) {
    const std::string text = "XDG_DESKTOP_DIR=\"$HOME/\"\n  XDG_MUSIC_DIR=\"$HOME/Music\"\n"
                             "XDG_VIDEOS_DIR=\"relative\"\nXDG_PICTURES_DIR=/abs/pics\n";
    EXPECT_EQ(LookupUserDir(text, "DESKTOP", "/h"), "/h");
    EXPECT_EQ(LookupUserDir(text, "MUSIC", "/h"), "/h/Music");
    EXPECT_EQ(LookupUserDir(text, "VIDEOS", "/h"), "");
    EXPECT_EQ(LookupUserDir(text, "PICTURES", "/h"), "/abs/pics");
    EXPECT_EQ(LookupUserDir(text, "DOCUMENTS", "/h"), "");
}

TEST(Desktop, HeadlessRecordsInsteadOfActing) {
    THeadlessDesktop d;
    std::string dir = "/start";
    EXPECT_FALSE(d.BrowseForFolder(dir, "title"));
    EXPECT_EQ(dir, "/start");
    d.PlaySoundFile("/snd/done.wav");
    d.ShutdownSystem(kShutdownPowerOff);
    EXPECT_TRUE(d.StartProgram({"/opt/scan", "-q", "/f.zip"}));
    EXPECT_EQ(d.SoundsPlayed, std::vector<std::string>{"/snd/done.wav"});
    EXPECT_EQ(d.ShutdownRequests, std::vector<int>{kShutdownPowerOff});
    EXPECT_EQ(d.ProgramsStarted,
              (std::vector<std::vector<std::string>>{{"/opt/scan", "-q", "/f.zip"}}));
}

// A program is started from its path with its arguments as they are (a blank or a
// shell character inside one is no separator), and the caller does not wait for it.
TEST(Desktop, StartProgramPassesArgumentsWithoutShell) {
    TempDir t;
    THeadlessDesktop base;  // the base class's start, reached through a plain object
    const std::string target = t.file("a b;c");
    TDesktopServices& d = base;
    EXPECT_TRUE(d.TDesktopServices::StartProgram({"/usr/bin/touch", target}));
    for (int i = 0; i < 500 && !FileExists(target); ++i) usleep(10000);
    EXPECT_TRUE(FileExists(target));
    EXPECT_FALSE(d.TDesktopServices::StartProgram({t.file("missing-program")}));
    EXPECT_FALSE(d.TDesktopServices::StartProgram({}));
}

} // namespace
} // namespace tq
