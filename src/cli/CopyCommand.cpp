// orvanta copy: a local copy of a recording, to be uploaded again as a recording of its own.
#include <cstdio>

#include "cli/Commands.h"
#include "cli/RecordingLookup.h"
#include "control/RecordingsController.h"
#include "core/Paths.h"
#include "core/SettingsKeys.h"

namespace orvanta::cli {

const char* const kCopyHelp =
    "usage: orvanta copy GUID\n"
    "\n"
    "Makes an independent offline copy of the recording: new Guids, its own copies of every file,\n"
    "upload progress from zero, no folder (choose one when uploading it). Prints the copy's Guid.\n"
    "Needs the setting \"AllowLocalCopyAction\": true in the settings file. A copy that fails\n"
    "leaves nothing behind. Exit code 1 when the recording may not be copied or the copy failed.\n";

int runCopy(CommandContext& context, const std::vector<std::string>& argv) {
    auto args = parseArguments(argv, {}, {});
    if (!args.error.empty()) return usageError("copy", args.error);
    int exitCode = kExitOk;
    auto recording = recordingNamedBy(context, "copy", args.positional, &exitCode);
    if (!recording) return exitCode;
    std::string guid = recording->Guid().value_or("");
    if (auto why = control::copyRefusal(*recording, context.settings().boolForKey(core::kAllowLocalCopyAction))) {
        std::fprintf(stderr, "orvanta copy: cannot copy recording %s: %s\n", guid.c_str(), why->c_str());
        if (!context.settings().boolForKey(core::kAllowLocalCopyAction))
            std::fprintf(stderr, "  (set \"%s\": true in %s to allow them)\n", core::kAllowLocalCopyAction,
                         core::settingsFilePath().c_str());
        return kExitFailed;
    }
    control::RecordingsController list(context.controllers(), nullptr);
    list.setSelectedRecording(recording);
    try {
        auto copy = list.copyRecording();
        if (!copy) {
            std::fprintf(stderr, "orvanta copy: recording %s could not be copied\n", guid.c_str());
            return kExitFailed;
        }
        std::printf("%s\n", copy->Guid().value_or("").c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orvanta copy: copying recording %s failed, nothing was kept: %s\n", guid.c_str(),
                     e.what());
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace orvanta::cli
