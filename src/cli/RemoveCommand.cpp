// orvanta rm: deletes a recording and its files, by the rule and with the question of the list.
#include <cstdio>

#include "cli/Commands.h"
#include "cli/RecordingLookup.h"
#include "cli/Terminal.h"
#include "control/RecordingsController.h"

namespace orvanta::cli {

const char* const kRemoveHelp =
    "usage: orvanta rm [--yes] GUID\n"
    "\n"
    "Deletes the recording from the store and its files from disk; an uploaded recording stays on\n"
    "the server. Asks first on a terminal; --yes deletes without asking (required when not on a\n"
    "terminal). A recording still being recorded is not deleted.\n"
    "Exit code 1 when there is no such recording, it may not be deleted, or the answer was no.\n";

int runRemove(CommandContext& context, const std::vector<std::string>& argv) {
    auto args = parseArguments(argv, {}, {"yes"});
    if (!args.error.empty()) return usageError("rm", args.error);
    int exitCode = kExitOk;
    auto recording = recordingNamedBy(context, "rm", args.positional, &exitCode);
    if (!recording) return exitCode;
    std::string guid = recording->Guid().value_or("");
    if (auto why = control::deleteRefusal(*recording)) {
        std::fprintf(stderr, "orvanta rm: cannot delete recording %s: %s\n", guid.c_str(), why->c_str());
        return kExitFailed;
    }
    if (!args.has("yes")) {
        if (!context.interactive())
            return usageError("rm", "not on a terminal; give --yes to delete without being asked");
        auto alert = control::deleteConfirmationAlert(*recording);
        std::fprintf(stderr, "%s\n  %s\n", alert.messageText.c_str(), alert.informativeText.c_str());
        auto answer = ask("Delete recording " + guid + " (" + recording->SessionName().value_or("no session name") +
                          ")? [y/N] ");
        if (!answer || (*answer != "y" && *answer != "Y" && *answer != "yes")) {
            std::fprintf(stderr, "orvanta rm: %s not deleted\n", guid.c_str());
            return kExitFailed;
        }
    }
    control::RecordingsController list(context.controllers(), nullptr);
    list.deleteRecording(0, recording);
    if (!recording->isDeleted()) {
        std::fprintf(stderr, "orvanta rm: recording %s could not be deleted\n", guid.c_str());
        return kExitFailed;
    }
    std::printf("%s deleted\n", guid.c_str());
    return kExitOk;
}

}  // namespace orvanta::cli
