#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "model/FileInformation.h"
#include "model/ManagedObject.h"

namespace orvanta::model {

class Stream;

class FileUpload : public ManagedObject {
public:
    using ManagedObject::ManagedObject;

    std::optional<std::string> localPath() const { return stringValue("localPath"); }
    std::optional<std::string> remotePath() const { return stringValue("remotePath"); }
    bool isUploaded() const { return boolValue("isUploaded"); }
    std::shared_ptr<Stream> stream() const;

    // Kept as 8 little-endian bytes; absent reads as 0.
    uint64_t bytesUploaded() const;
    void setBytesUploaded(uint64_t value);
    uint64_t totalSize() const;
    void setTotalSize(uint64_t value);

    // Fills totalSize from the file on disk while it is still 0.
    void readFileSize();
    FileInformation fileInformation() const;

    // Copies the file on disk into the folder of the recording newRecordingGuid (under the host's
    // recording folder), named for the stream newStreamGuid, and returns a new FileUpload in the same
    // context for it, with upload progress from zero. Throws RecordingCopyException (or
    // std::invalid_argument when a path is missing); nothing of the copy is left behind then.
    std::shared_ptr<FileUpload> cloneWithNewRecordingGuid(const std::string& newRecordingGuid,
                                                          const std::string& newStreamGuid) const;
};

}  // namespace orvanta::model
