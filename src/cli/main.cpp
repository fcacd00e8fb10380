// orvanta: the recorder's engine from the command line.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/CommandContext.h"
#include "cli/Commands.h"
#include "cli/Terminal.h"
#include "core/RunLoop.h"
#include "orvanta/BuildInfo.h"

using namespace orvanta;
using namespace orvanta::cli;

namespace {

void usage(FILE* out) {
    std::fprintf(out, "usage: orvanta <command> [options]\n\ncommands:\n");
    for (const auto& c : commands()) std::fprintf(out, "  %-10s %s\n", c.name, c.summary);
    std::fprintf(out,
                 "  --version  the program's version\n"
                 "  --help     this text; 'orvanta <command> --help' describes one command\n"
                 "\nexit codes: 0 done, 1 failed, 2 bad arguments, 3 not logged in or login refused,\n"
                 "            4 recording store unavailable, 130 interrupted (uploads resume next time)\n");
}

bool wantsHelp(const std::vector<std::string>& args) {
    for (const auto& a : args) {
        if (a == "--") return false;
        if (a == "--help" || a == "-h") return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        usage(argc < 2 ? stderr : stdout);
        return argc < 2 ? kExitUsage : kExitOk;
    }
    if (!std::strcmp(argv[1], "--version")) {
        std::printf("orvanta %s (%s)\n", build::kShortVersion, build::kBundleVersion);
        return kExitOk;
    }
    const Command* command = nullptr;
    for (const auto& c : commands())
        if (!std::strcmp(argv[1], c.name)) command = &c;
    if (!command) {
        std::fprintf(stderr, "orvanta: unknown command '%s'\n", argv[1]);
        usage(stderr);
        return kExitUsage;
    }
    std::vector<std::string> args(argv + 2, argv + argc);
    if (wantsHelp(args)) {
        std::fputs(command->help, stdout);
        return kExitOk;
    }
    core::RunLoop::main();  // the main loop belongs to this thread
    InterruptWatcher interrupts;
    CommandContext context(interrupts, isTerminal(stdin) && isTerminal(stderr));
    return command->run(context, args);
}
