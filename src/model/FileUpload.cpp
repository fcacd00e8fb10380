#include "model/FileUpload.h"

#include <filesystem>

#include "core/Log.h"
#include "model/Stream.h"

namespace orvanta::model {

std::shared_ptr<Stream> FileUpload::stream() const { return relatedOne<Stream>("stream"); }

uint64_t FileUpload::bytesUploaded() const { return decodeUInt64LE(bytesValue("bytesUploadedBin").value_or(Bytes{})); }

void FileUpload::setBytesUploaded(uint64_t value) {
    setValueForKey("bytesUploadedBin", encodeUInt64LE(value));
    changed("bytesUploaded");
}

uint64_t FileUpload::totalSize() const { return decodeUInt64LE(bytesValue("totalSizeBin").value_or(Bytes{})); }

void FileUpload::setTotalSize(uint64_t value) {
    setValueForKey("totalSizeBin", encodeUInt64LE(value));
    changed("totalSize");
}

void FileUpload::readFileSize() {
    if (totalSize() != 0) return;
    std::string path = localPath().value_or("");
    std::error_code ec;
    auto size = std::filesystem::file_size(path, ec);
    if (ec) {
        core::logf("Faild getting filesize for file %s", path.c_str());
        core::logf("Error reported: %s %s %s", ec.message().c_str(), ec.category().name(),
                   std::to_string(ec.value()).c_str());
        return;
    }
    setTotalSize(size);
}

FileInformation FileUpload::fileInformation() const {
    FileInformation info;
    info.remotePath = remotePath().value_or("");
    info.localPath = localPath().value_or("");
    info.bytesUploaded = bytesUploaded();
    if (!isAbsent(valueForKey("isUploaded"))) info.closed = isUploaded();
    return info;
}

}  // namespace orvanta::model
