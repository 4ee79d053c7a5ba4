// tarvolin-cli: the headless front end over the download and FTP engine.

#include "cli/Commands.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

using namespace tq::cli;

struct Command {
    const char* name;
    int (*run)(const CliContext&, const Args&);
    const char* usage;
};

constexpr Command kCommands[] = {
    {"options", CmdOptions, "options [NAME [VALUE]]    list, show or set a setting (options --help)"},
    {"list", CmdList, "list                      show the category tree and its jobs"},
    {"get", CmdGet, "get URL... [OPTIONS]      download now and wait for the end (get --help)"},
    {"add", CmdAdd, "add URL... [OPTIONS]      add jobs that wait for run (add --help)"},
    {"run", CmdRun, "run                       run the waiting jobs until none waits or runs"},
    {"start", CmdStart, "start ID...               let jobs start at the next run"},
    {"stop", CmdStop, "stop ID...                keep jobs stopped at the next run"},
    {"parse-listing", CmdParseListing,
     "parse-listing [--type N | --syst TEXT]   parse LIST output from standard input"},
    {"ftp", CmdFtp, "ftp ls|get|put ...        talk to an FTP server (ftp --help)"},
};

void PrintUsage(std::FILE* out) {
    std::fprintf(out, "usage: tarvolin-cli [--registry FILE] [--data DIR] COMMAND [ARGS]\n\ncommands:\n");
    for (const Command& c : kCommands) std::fprintf(out, "  %s\n", c.usage);
}

} // namespace

int main(int argc, char** argv) {
    CliContext ctx;
    int i = 1;
    for (; i < argc; ++i) {
        std::string_view a = argv[i];
        if ((a == "--registry" || a == "--data") && i + 1 < argc) {
            (a == "--registry" ? ctx.registry : ctx.dataDir) = argv[++i];
        } else if (a == "--registry" || a == "--data") {
            std::fprintf(stderr, "tarvolin-cli: %s needs a value\n", argv[i]);
            return kExitUsage;
        } else if (a == "-h" || a == "--help") {
            PrintUsage(stdout);
            return kExitOk;
        } else {
            break;
        }
    }
    if (i >= argc) {
        PrintUsage(stderr);
        return kExitUsage;
    }
    // Every engine part finds the registry through this variable.
    if (!ctx.registry.empty()) setenv("TARVOLIN_REGISTRY", ctx.registry.c_str(), 1);

    std::string_view name = argv[i];
    Args args(argv + i + 1, argv + argc);
    for (const Command& c : kCommands)
        if (name == c.name) return c.run(ctx, args);
    std::fprintf(stderr, "tarvolin-cli: unknown command \"%s\"\n", argv[i]);
    PrintUsage(stderr);
    return kExitUsage;
}
