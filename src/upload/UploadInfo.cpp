#include "upload/UploadInfo.h"

namespace orvanta::upload {

void UploadInfo::addFile(const std::shared_ptr<model::FileUpload>& file) {
    files_[file->localPath().value_or("")] = file;
}

std::shared_ptr<model::FileUpload> UploadInfo::fileAt(const std::string& localPath) const {
    auto it = files_.find(localPath);
    return it == files_.end() ? nullptr : it->second;
}

void UploadInfo::detachOperations() {
    if (uploadOperation_) uploadOperation_->setDelegate(nullptr);
    if (finalizeOperation_) finalizeOperation_->setDelegate(nullptr);
}

}  // namespace orvanta::upload
