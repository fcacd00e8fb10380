#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace orvanta::test {

// Random bytes from a seeded generator, written quickly.
void writeRandomFile(const std::filesystem::path& path, std::uint64_t size, std::uint64_t seed);
// Whether two files hold the same bytes.
bool sameBytes(const std::filesystem::path& a, const std::filesystem::path& b);

struct LocalFile {
    std::filesystem::path path;
    std::string remoteName;
};

// A recording ready to upload, stored in the store file of storeFolder: one stream per size, each
// with one file of random bytes in filesFolder, for the server and folder given. Returns its Guid
// and fills `files`.
std::string makeUploadRecording(const std::filesystem::path& storeFolder, const std::filesystem::path& filesFolder,
                                const std::string& server, const std::string& folderId,
                                const std::string& folderName, const std::vector<std::uint64_t>& sizes,
                                std::vector<LocalFile>& files);

}  // namespace orvanta::test
