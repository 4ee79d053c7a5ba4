// The only path to the power switch. Kept apart so that programs which never create
// a TLinuxDesktop (the tests among them) do not even link it.

#include <cerrno>
#include <cstdlib>
#include <spawn.h>
#include <sys/wait.h>

#include "platform/Desktop.h"

extern char** environ;

namespace tq {

namespace {

bool RunSystemctl(const char* verb) {
    char arg0[] = "systemctl";
    std::string v = verb;
    char* argv[] = {arg0, v.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawnp(&pid, "systemctl", nullptr, nullptr, argv, environ) != 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

void TLinuxDesktop::ShutdownSystem(int mode) {
    // Never under the test runner, whatever a test does.
    if (std::getenv("TQ_TEST") != nullptr) return;
    // logind decides on the rights; a refused reboot still asks for power-off.
    if ((mode & kShutdownReboot) != 0 && RunSystemctl("reboot")) return;
    RunSystemctl("poweroff");
}

} // namespace tq
