// Copies of recordings, streams and segments (the files are copied in FileUploadCopy.cpp).
#include "model/RecordingCopy.h"

#include <filesystem>

#include "core/Log.h"
#include "core/Util.h"
#include "model/FileUpload.h"
#include "model/ManagedObjectContext.h"
#include "model/Recording.h"
#include "model/RecordingHost.h"
#include "model/Segment.h"
#include "model/Stream.h"

namespace orvanta::model {

RecordingCopyException::RecordingCopyException(std::string name, std::string reason)
    : std::runtime_error(reason.empty() ? name : name + ": " + reason), name_(std::move(name)),
      reason_(std::move(reason)) {}

namespace {

// Removes a copy that could not be completed from the context (with all it owns).
class DiscardUnlessKept {
public:
    DiscardUnlessKept(ManagedObjectContext& context, ObjectPtr object) : context_(context), object_(std::move(object)) {}
    DiscardUnlessKept(const DiscardUnlessKept&) = delete;
    DiscardUnlessKept& operator=(const DiscardUnlessKept&) = delete;
    ~DiscardUnlessKept() {
        if (object_) context_.deleteObject(object_);
    }
    void keep() { object_.reset(); }

private:
    ManagedObjectContext& context_;
    ObjectPtr object_;
};

void copyKeys(const ManagedObject& from, ManagedObject& to, std::initializer_list<const char*> keys) {
    for (const char* key : keys) to.setValueForKey(key, from.valueForKey(key));
}

}  // namespace

std::shared_ptr<Stream> Stream::cloneWithNewRecordingGuid(const std::string& newRecordingGuid) const {
    auto* ctx = context();
    if (!ctx) throw std::invalid_argument("This Stream object is not in a store");
    auto copy = ctx->insert<Stream>("Stream");  // gets its own Guid on insertion
    DiscardUnlessKept discard(*ctx, copy);
    copyKeys(*this, *copy, {"Description", "StartTime", "EndTime", "Tag", "Type"});
    std::string streamGuid = copy->Guid().value_or("");
    try {
        for (const auto& file : Files())
            copy->addToMany("Files", file->cloneWithNewRecordingGuid(newRecordingGuid, streamGuid));
    } catch (...) {
        // Take back the files copied so far: each one, and the folder named by the new stream that
        // slide images and archived documents go to.
        std::error_code ec;
        for (const auto& file : copy->Files())
            if (auto path = file->localPath()) std::filesystem::remove(*path, ec);
        if (!streamGuid.empty() && ctx->host())
            std::filesystem::remove_all(std::filesystem::path(ctx->host()->recordingDirectory()) / newRecordingGuid /
                                            streamGuid,
                                        ec);
        throw;
    }
    for (const auto& event : Events()) {
        auto e = ctx->insertNewObject("Event");
        copyKeys(*event, *e, {"timeStamp", "slideNumber"});
        copy->addToMany("Events", e);
    }
    discard.keep();
    return copy;
}

std::shared_ptr<Segment> Segment::clone() const {
    auto* ctx = context();
    if (!ctx) throw std::invalid_argument("This Segment object is not in a store");
    auto copy = ctx->insert<Segment>("Segment");
    copyKeys(*this, *copy, {"Start", "End"});
    copy->setValueForKey("StreamPublicID", core::stringWithUUID());
    return copy;
}

std::shared_ptr<Recording> copyRecording(const Recording& source, ManagedObjectContext& context) {
    auto copy = context.insert<Recording>("Recording");  // new Guid, and its folder made
    DiscardUnlessKept discard(context, copy);
    std::string guid = copy->Guid().value_or("");
    // Files copied so far go when the copy fails.
    struct RemoveFolder {
        std::shared_ptr<Recording> recording;
        ~RemoveFolder() {
            if (recording) recording->deleteFiles();
        }
    } removeFolder{copy};

    copyKeys(source, *copy, {"StartTime", "EndTime", "Length", "TimeOffset"});
    copy->setValueForKey("State", int64_t{kStateReady});
    copy->setValueForKey("SessionName", source.SessionName().value_or("") + " (Copy)");
    copy->setValueForKey("FaultType", int64_t{kFaultNone});
    copy->setValueForKey("IsFinalized", false);
    for (const char* key : {"SessionGroupID", "SessionGroupName", "SessionID", "Server", "FaultString", "ServerStatus",
                            "ViewerUrl"})
        copy->setValueForKey(key, Value{});
    copy->setValueForKey("LocalFolder", context.host() ? context.host()->recordingDirectory() : std::string());

    for (const auto& stream : source.Streams()) copy->addToMany("Streams", stream->cloneWithNewRecordingGuid(guid));
    for (const auto& segment : source.Segments()) copy->addToMany("Segments", segment->clone());

    if (auto error = context.save()) {
        core::logf("Failed to save the copy of recording %s: %s", source.Guid().value_or("").c_str(),
                   error->localizedDescription().c_str());
        throw RecordingCopyException("FileCopyFailure", "Unable to save the copy: " + error->localizedDescription());
    }
    removeFolder.recording.reset();
    discard.keep();
    return copy;
}

}  // namespace orvanta::model
