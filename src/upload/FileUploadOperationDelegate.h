#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/Error.h"

namespace orvanta::upload {

class FileUploadOperation;

// Receives the reports of a FileUploadOperation, always on the main thread and in the order the
// operation made them. Paths are the local paths of the files.
class FileUploadOperationDelegate {
public:
    virtual ~FileUploadOperationDelegate() = default;

    // The run has ended, whatever its outcome.
    virtual void fileUploadOperationCompleted(FileUploadOperation& op, const std::string& sessionId) = 0;
    // The run could not start on a file (none: on any file, the chunk size was not obtained).
    virtual void operationFailedToInitializeUploadOfFile(FileUploadOperation& op, const std::optional<std::string>& file,
                                                         const std::string& session, const core::Error& error) = 0;
    virtual void operationFailedToCloseFile(FileUploadOperation& op, const std::string& file,
                                            const std::string& session, const core::Error& error) = 0;
    // The server has the whole file.
    virtual void operationClosedFile(FileUploadOperation& op, const std::string& file, const std::string& session) = 0;
    virtual void operationFailedToUploadBytesAtOffset(FileUploadOperation& op, uint64_t offset, const std::string& file,
                                                      const std::string& session, const core::Error& error) = 0;
    // A chunk was confirmed; bytes is the offset the file has reached.
    virtual void operationUploadedBytes(FileUploadOperation& op, uint64_t bytes, const std::string& file,
                                        const std::string& session) = 0;
};

}  // namespace orvanta::upload
