#pragma once
// The subcommands of tarvolin-cli. Each lives in its own Cmd*.cpp file.

#include <string>
#include <vector>

namespace tq::cli {

// Options that hold for every command, taken from the front of the command line.
struct CliContext {
    std::string registry;   // --registry FILE: the registry database to use
    std::string dataDir;    // --data DIR: the working directory of the stores
};

// Exit codes shared by all commands.
enum ExitCode : int { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

using Args = std::vector<std::string>;

int CmdOptions(const CliContext& ctx, const Args& args);
int CmdList(const CliContext& ctx, const Args& args);
int CmdParseListing(const CliContext& ctx, const Args& args);
int CmdFtp(const CliContext& ctx, const Args& args);
int CmdGet(const CliContext& ctx, const Args& args);
int CmdAdd(const CliContext& ctx, const Args& args);
int CmdRun(const CliContext& ctx, const Args& args);
int CmdStart(const CliContext& ctx, const Args& args);
int CmdStop(const CliContext& ctx, const Args& args);

} // namespace tq::cli
