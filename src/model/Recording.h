#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Observable.h"
#include "model/FileInformation.h"
#include "model/ManagedObject.h"
#include "model/StyledText.h"

namespace orvanta::model {

class Stream;
class Segment;
class SimpleSessionGroup;

// Life-cycle states of a recording.
enum RecordingState : int {
    kStateRecording = 2,
    kStateStopped = 3,
    kStatePostProcessing = 4,
    kStateReady = 5,
    kStateUploading = 6,
    kStatePaused = 7,
    kStateUploadComplete = 8,
    kStateFailed = 9,
};

// Kinds of the last failure.
enum FaultType : int {
    kFaultNone = 0,
    kFaultRecording = 1,
    kFaultSession = 2,
    kFaultFileUpload = 3,
    kFaultPostProcessing = 4,
};

// A running movie-joining operation attached to a recording; only its cancel hooks matter here.
class StitchingOperationHandle {
public:
    virtual ~StitchingOperationHandle() = default;
    virtual bool isFinished() const = 0;
    virtual void detachDelegate() = 0;
    virtual void cancel() = 0;
};

class Recording : public ManagedObject {
public:
    using ManagedObject::ManagedObject;
    ~Recording() override;

    // Stored attributes.
    std::optional<std::string> Guid() const { return stringValue("Guid"); }
    int State() const { return static_cast<int>(integerValue("State")); }
    void setState(int state) { setValueForKey("State", int64_t{state}); }
    int FaultTypeValue() const { return static_cast<int>(integerValue("FaultType")); }
    std::optional<std::string> FaultString() const { return stringValue("FaultString"); }
    std::optional<std::string> SessionID() const { return stringValue("SessionID"); }
    std::optional<std::string> SessionName() const { return stringValue("SessionName"); }
    std::optional<std::string> SessionGroupID() const { return stringValue("SessionGroupID"); }
    std::optional<std::string> SessionGroupName() const { return stringValue("SessionGroupName"); }
    std::optional<std::string> Server() const { return stringValue("Server"); }
    std::optional<std::string> ServerStatus() const { return stringValue("ServerStatus"); }
    std::optional<std::string> ViewerUrl() const { return stringValue("ViewerUrl"); }
    std::optional<std::string> Length() const { return stringValue("Length"); }
    std::optional<std::string> LocalFolder() const { return stringValue("LocalFolder"); }
    bool IsFinalized() const { return boolValue("IsFinalized"); }

    std::vector<std::shared_ptr<Stream>> Streams() const;
    std::vector<std::shared_ptr<Segment>> Segments() const;

    // Derived, observable properties.
    std::string RecordingPath();
    StyledText folderDescription() const;
    std::string RecordingLengthDisplay() const;
    std::string DetailedStatus() const;
    std::string ContentDescription() const;
    std::optional<StyledText> ViewerLink() const;
    std::optional<StyledText> ShareLink() const;
    bool isUploading() const;
    bool isUploaded() const;
    bool canUpload() const;
    bool isStitching() const;

    // Not stored.
    float uploadProgress() const { return uploadProgress_; }
    void setUploadProgress(float progress);
    const std::shared_ptr<StitchingOperationHandle>& stitchingOperation() const { return stitchingOperation_; }
    void setStitchingOperation(std::shared_ptr<StitchingOperationHandle> op);

    std::shared_ptr<Stream> VideoStream() const;
    std::shared_ptr<Stream> ScreenCaptureStream() const;
    void setVideoStream(const std::shared_ptr<Stream>& stream);
    void setScreenCaptureStream(const std::shared_ptr<Stream>& stream);

    // session: a "SimpleSession" object; group may be null for setSessionName.
    void setSession(const ManagedObject& session, const SimpleSessionGroup& group, const std::string& server);
    void setSessionName(const std::string& name, const SimpleSessionGroup* group, const std::string& server);

    // Sets each attribute and saves. Main thread only.
    void updateAttributes(const std::map<std::string, Value>& attributes);

    std::vector<FileInformation> fileInformation();
    void updateUploadProgress();
    void stopUploading();
    void deleteFiles();

    void awakeFromInsert() override;
    void awakeFromFetch() override;
    void willTurnIntoFault() override;

protected:
    const DependencyTable& dependentKeys() const override;

private:
    void onAwake();
    bool loggedIn() const;
    void replaceStreams(const std::shared_ptr<Stream>& stream, bool video);

    float uploadProgress_ = 0.0f;
    std::shared_ptr<StitchingOperationHandle> stitchingOperation_;
    core::Subscription loginObservation_;
};

}  // namespace orvanta::model
