#pragma once

#include <string>
#include <vector>

#include "cli/CommandContext.h"

namespace orvanta::cli {

// One command of the program: its name, a line for the overview, its own help, and its body.
struct Command {
    const char* name;
    const char* summary;
    const char* help;
    int (*run)(CommandContext& context, const std::vector<std::string>& args);
};

const std::vector<Command>& commands();

int runLogin(CommandContext& context, const std::vector<std::string>& args);
int runLogout(CommandContext& context, const std::vector<std::string>& args);
int runFolders(CommandContext& context, const std::vector<std::string>& args);
int runList(CommandContext& context, const std::vector<std::string>& args);
int runUpload(CommandContext& context, const std::vector<std::string>& args);
int runStatus(CommandContext& context, const std::vector<std::string>& args);

// Prints "orvanta <command>: <message>" to standard error and returns kExitUsage.
int usageError(const char* command, const std::string& message);

}  // namespace orvanta::cli
