#include "core/Resources.h"

#include <cstdlib>
#include <fstream>

#include <nlohmann/json.hpp>

#include "orvanta/BuildInfo.h"

namespace orvanta::core {

std::filesystem::path resourcePath(const std::string& relativeName) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (const char* dir = std::getenv("ORVANTA_RESOURCE_DIR"); dir && *dir) return fs::path(dir) / relativeName;
    fs::path installed = fs::path(build::kResourceDir) / relativeName;
    if (fs::exists(installed, ec)) return installed;
    return fs::path(build::kSourceResourceDir) / relativeName;
}

std::optional<std::int64_t> bundleInteger(const std::string& key) {
    std::ifstream in(resourcePath("Resources.json"));
    if (!in) return std::nullopt;
    auto json = nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false);
    if (!json.is_object()) return std::nullopt;
    auto it = json.find(key);
    if (it == json.end() || !it->is_number_integer()) return std::nullopt;
    return it->get<std::int64_t>();
}

}  // namespace orvanta::core
