#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cli/CommandContext.h"
#include "model/Recording.h"

namespace orvanta::cli {

// The one stored recording a command names by its Guid. Prints why to standard error and returns
// null when the arguments are not exactly one Guid (*exitCode = kExitUsage), the store cannot be
// opened (kExitStoreUnavailable) or no recording has that Guid (kExitFailed).
std::shared_ptr<model::Recording> recordingNamedBy(CommandContext& context, const char* command,
                                                   const std::vector<std::string>& positional, int* exitCode);

}  // namespace orvanta::cli
