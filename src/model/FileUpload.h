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
};

}  // namespace orvanta::model
