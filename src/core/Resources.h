#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace orvanta::core {

// Files installed with the program (encoder presets, the program's fixed values). Looked up in
// $ORVANTA_RESOURCE_DIR when set, else the installed share folder, else the source tree's
// resources folder (a program run from its build folder).
std::filesystem::path resourcePath(const std::string& relativeName);

// An integer from the program's fixed values ("Resources.json"), e.g. "Max Screen Capture Area".
std::optional<std::int64_t> bundleInteger(const std::string& key);

}  // namespace orvanta::core
