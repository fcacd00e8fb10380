#include "cli/RecordingLookup.h"

#include <cstdio>

#include "cli/Commands.h"

namespace orvanta::cli {

std::shared_ptr<model::Recording> recordingNamedBy(CommandContext& context, const char* command,
                                                   const std::vector<std::string>& positional, int* exitCode) {
    if (positional.size() != 1) {
        *exitCode = usageError(command, positional.empty() ? "name the recording by its Guid"
                                                           : "unexpected argument '" + positional[1] + "'");
        return nullptr;
    }
    auto* store = context.store();
    if (!store) {
        *exitCode = kExitStoreUnavailable;
        return nullptr;
    }
    for (const auto& r : store->all<model::Recording>("Recording"))
        if (r->Guid() == positional[0]) return r;
    std::fprintf(stderr, "orvanta %s: no recording %s in the store (see 'orvanta list')\n", command,
                 positional[0].c_str());
    *exitCode = kExitFailed;
    return nullptr;
}

}  // namespace orvanta::cli
