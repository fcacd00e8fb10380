#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace orvanta::model {

// Key names of a file's information as the upload operation reads it.
inline constexpr const char* kFileRemotePath = "FILE_REMOTE_PATH";
inline constexpr const char* kFileLocalPath = "FILE_LOCAL_PATH";
inline constexpr const char* kFileBytesUploaded = "FILE_BYTES_UPLOADED";
inline constexpr const char* kFileClosed = "FILE_CLOSED";

// What one file upload needs to know about a file.
struct FileInformation {
    std::string remotePath;          // "FILE_REMOTE_PATH"
    std::string localPath;           // "FILE_LOCAL_PATH"
    uint64_t bytesUploaded = 0;      // "FILE_BYTES_UPLOADED"
    std::optional<bool> closed;      // "FILE_CLOSED"; absent stays absent

    bool operator==(const FileInformation&) const = default;
};

}  // namespace orvanta::model
