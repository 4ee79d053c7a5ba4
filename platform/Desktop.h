#pragma once
// Desktop services of the operating system behind one interface, so the engine and
// the tests never reach the real desktop (or the power switch) by accident.

#include <string>
#include <vector>

namespace tq {

enum class TShellOperation { Copy, Move, Delete };

// Shutdown mode flags, combinable.
constexpr int kShutdownLogoff = 0;
constexpr int kShutdownPowerOff = 1;
constexpr int kShutdownReboot = 2;
constexpr int kShutdownForce = 4;

class TDesktopServices {
public:
    virtual ~TDesktopServices() = default;

    // $TMPDIR when it is a folder, else "/tmp".
    virtual std::string GetTempDir();
    // The XDG documents folder, else the home folder.
    virtual std::string GetPersonalFolder();
    // The XDG download folder, else ~/Downloads.
    virtual std::string GetDownloadFolder();
    // Copy or move every path of from into the folder to (a single source may name
    // its target path instead); delete removes from, into the trash with allowUndo
    // (a file that cannot be trashed stays). True when every item succeeded.
    virtual bool ShellFileOperation(TShellOperation operation, const std::vector<std::string>& from,
                                    bool allowUndo, const std::string& to = "");

    // True when a folder was chosen; dir holds the start folder and receives the choice.
    // Starts argv[0] (a path, no PATH search, no shell) with the other entries as its
    // arguments and returns without waiting; the child is reaped in the background.
    // False when it could not be started.
    virtual bool StartProgram(const std::vector<std::string>& argv);

    virtual bool BrowseForFolder(std::string& dir, const std::string& title = "") = 0;
    // Plays a sound file without waiting; failures are ignored.
    virtual void PlaySoundFile(const std::string& fileName) = 0;
    virtual void ShutdownSystem(int mode) = 0;
};

// No desktop: the picker never chooses, sound and shutdown are only recorded.
class THeadlessDesktop : public TDesktopServices {
public:
    bool BrowseForFolder(std::string& dir, const std::string& title = "") override;
    void PlaySoundFile(const std::string& fileName) override;
    void ShutdownSystem(int mode) override;
    bool StartProgram(const std::vector<std::string>& argv) override;

    std::vector<std::string> SoundsPlayed;
    std::vector<std::vector<std::string>> ProgramsStarted;
    std::vector<int> ShutdownRequests;
};

class TLinuxDesktop : public TDesktopServices {
public:
    // Declared first so that the class's tables live with it in the power-off unit,
    // which a program only links when it really creates a TLinuxDesktop.
    void ShutdownSystem(int mode) override;
    bool BrowseForFolder(std::string& dir, const std::string& title = "") override;
    void PlaySoundFile(const std::string& fileName) override;
};

// The freedesktop home trash: $XDG_DATA_HOME/Trash, else ~/.local/share/Trash.
std::string HomeTrashDir();
// Moves path into the trash at trashDir (files/ and info/*.trashinfo); on failure the
// entry stays where it was and false is returned.
bool MoveToTrash(const std::string& path, const std::string& trashDir);
// Reads the folder named XDG_<name>_DIR from the text of a user-dirs.dirs file ("" when
// absent); "$HOME" is replaced by home.
std::string LookupUserDir(const std::string& userDirsText, const std::string& name,
                          const std::string& home);
std::string HomeDir();

} // namespace tq
