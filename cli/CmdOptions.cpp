#include "cli/Commands.h"

#include <cstdio>

namespace tq::cli {

int CmdOptions(const CliContext&, const Args&) {
    std::fprintf(stderr, "tarvolin-cli: not available yet\n");
    return kExitFailed;
}

} // namespace tq::cli
