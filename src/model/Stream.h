#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model/ManagedObject.h"

namespace orvanta::model {

class Recording;
class FileUpload;

// Stream kinds: tag, type sent to the server, description.
inline constexpr const char* kTagCamera = "DV";
inline constexpr const char* kTagAudio = "AUDIO";
inline constexpr const char* kTagScreen = "SCREEN";
inline constexpr const char* kTagPowerPoint = "PPT";
inline constexpr const char* kTagKeynote = "KEY";
inline constexpr const char* kTypeArchival = "Archival";
inline constexpr const char* kTypeStreaming = "Streaming";
inline constexpr const char* kTypePowerPoint = "PowerPoint";

class Stream : public ManagedObject {
public:
    using ManagedObject::ManagedObject;

    std::optional<std::string> Guid() const { return stringValue("Guid"); }
    std::optional<std::string> Tag() const { return stringValue("Tag"); }
    std::optional<std::string> Type() const { return stringValue("Type"); }
    std::optional<std::string> Description() const { return stringValue("Description"); }
    std::shared_ptr<Recording> RecordingObject() const;
    std::vector<std::shared_ptr<FileUpload>> Files() const;
    std::vector<ObjectPtr> Events() const { return toMany("Events"); }

    // "<Guid>.<Tag>.mov" and its path in the recording folder.
    std::string FileName() const;
    std::string FilePath() const;
    bool isUploaded() const;

    // A new stream in the same context with this one's description, times, tag and type, a new Guid,
    // copies of its files (FileUpload::cloneWithNewRecordingGuid) and of its events. Throws what a
    // file copy throws; the new stream and the files it already copied are then removed again.
    std::shared_ptr<Stream> cloneWithNewRecordingGuid(const std::string& newRecordingGuid) const;

    void awakeFromInsert() override;
};

}  // namespace orvanta::model
