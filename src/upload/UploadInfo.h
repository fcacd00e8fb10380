#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "model/FileUpload.h"
#include "model/Recording.h"
#include "upload/FileUploadOperation.h"
#include "upload/FinalizeRecordingOperation.h"

namespace orvanta::upload {

// What the upload controller keeps about one running upload: the recording, its operations, its
// files by local path and the byte counts over all of them.
class UploadInfo {
public:
    UploadInfo() = default;

    const std::shared_ptr<model::Recording>& recording() const { return recording_; }
    void setRecording(std::shared_ptr<model::Recording> recording) { recording_ = std::move(recording); }
    const std::shared_ptr<FileUploadOperation>& uploadOperation() const { return uploadOperation_; }
    void setUploadOperation(std::shared_ptr<FileUploadOperation> op) { uploadOperation_ = std::move(op); }
    const std::shared_ptr<FinalizeRecordingOperation>& finalizeOperation() const { return finalizeOperation_; }
    void setFinalizeOperation(std::shared_ptr<FinalizeRecordingOperation> op) { finalizeOperation_ = std::move(op); }

    const std::map<std::string, std::shared_ptr<model::FileUpload>>& files() const { return files_; }
    // Enters the file under its local path.
    void addFile(const std::shared_ptr<model::FileUpload>& file);
    // The file entered under that local path, or null.
    std::shared_ptr<model::FileUpload> fileAt(const std::string& localPath) const;

    uint64_t totalUploaded() const { return totalUploaded_; }
    void setTotalUploaded(uint64_t bytes) { totalUploaded_ = bytes; }
    uint64_t totalSize() const { return totalSize_; }
    void setTotalSize(uint64_t bytes) { totalSize_ = bytes; }

    // Stops both operations from reporting to anyone.
    void detachOperations();

private:
    std::shared_ptr<model::Recording> recording_;
    std::shared_ptr<FileUploadOperation> uploadOperation_;
    std::shared_ptr<FinalizeRecordingOperation> finalizeOperation_;
    std::map<std::string, std::shared_ptr<model::FileUpload>> files_;
    uint64_t totalUploaded_ = 0;
    uint64_t totalSize_ = 0;
};

}  // namespace orvanta::upload
