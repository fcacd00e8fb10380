#include <algorithm>
#include <cstdio>

#include "cli/Commands.h"
#include "model/Recording.h"

namespace orvanta::cli {

int runList(CommandContext& context, const std::vector<std::string>& argv) {
    auto args = parseArguments(argv, {}, {});
    if (!args.error.empty()) return usageError("list", args.error);
    if (!args.positional.empty()) return usageError("list", "unexpected argument '" + args.positional[0] + "'");
    auto* store = context.store();
    if (!store) return kExitStoreUnavailable;
    auto recordings = store->all<model::Recording>("Recording");
    std::sort(recordings.begin(), recordings.end(), [](const auto& a, const auto& b) {
        return a->dateValue("StartTime").value_or(model::Date{}) > b->dateValue("StartTime").value_or(model::Date{});
    });
    for (const auto& r : recordings)
        std::printf("%s\t%s\t%s\t%s\t%d%%\n", r->Guid().value_or("").c_str(), r->DetailedStatus().c_str(),
                    r->RecordingLengthDisplay().c_str(), r->folderDescription().text.c_str(),
                    static_cast<int>(r->uploadProgress() * 100.0f));
    if (recordings.empty()) std::printf("no recordings\n");
    return kExitOk;
}

}  // namespace orvanta::cli
