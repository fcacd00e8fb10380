#include "model/Stream.h"

#include <filesystem>

#include "core/Util.h"
#include "model/FileUpload.h"
#include "model/Recording.h"

namespace orvanta::model {

std::shared_ptr<Recording> Stream::RecordingObject() const { return relatedOne<Recording>("Recording"); }

std::vector<std::shared_ptr<FileUpload>> Stream::Files() const { return related<FileUpload>("Files"); }

std::string Stream::FileName() const { return Guid().value_or("") + "." + Tag().value_or("") + ".mov"; }

std::string Stream::FilePath() const {
    auto recording = RecordingObject();
    std::filesystem::path folder = recording ? recording->RecordingPath() : std::string();
    return (folder / FileName()).string();
}

bool Stream::isUploaded() const {
    for (const auto& f : Files())
        if (!f->isUploaded()) return false;
    return true;
}

void Stream::awakeFromInsert() { setValueForKey("Guid", core::stringWithUUID()); }

}  // namespace orvanta::model
