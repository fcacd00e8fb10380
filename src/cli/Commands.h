#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cli/CommandContext.h"

namespace orvanta::model {
class Recording;
}

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
int runRemove(CommandContext& context, const std::vector<std::string>& args);
int runCopy(CommandContext& context, const std::vector<std::string>& args);
int runShow(CommandContext& context, const std::vector<std::string>& args);
// Help texts of show, copy and rm (kept with their commands).
extern const char* const kShowHelp;
extern const char* const kCopyHelp;
extern const char* const kRemoveHelp;
int runDevices(CommandContext& context, const std::vector<std::string>& args);
int runRecord(CommandContext& context, const std::vector<std::string>& args);

// Uploads the recordings (logged in already) with a progress display until each is uploaded or has
// failed; Ctrl-C pauses them. The exit code of 'orvanta upload'.
int sendRecordings(CommandContext& context, const std::vector<std::shared_ptr<model::Recording>>& pending);

// Prints "orvanta <command>: <message>" to standard error and returns kExitUsage.
int usageError(const char* command, const std::string& message);

}  // namespace orvanta::cli
