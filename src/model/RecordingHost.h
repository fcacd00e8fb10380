#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/Observable.h"

namespace orvanta::model {

class Recording;

// What stored recordings need from the application around them: the login state, the recording
// folder, saving, and the upload and joining machinery. The application object implements it.
class RecordingHost {
public:
    virtual ~RecordingHost() = default;

    virtual bool isLoggedIn() const = 0;
    [[nodiscard]] virtual core::Subscription observeLoggedIn(std::function<void(bool)> callback) = 0;
    // The folder new recordings are made in.
    virtual std::string recordingDirectory() = 0;
    virtual void saveManagedObjects() = 0;
    // Performed on the main thread.
    virtual void performOnMainThread(std::function<void()> task, bool wait) = 0;

    virtual void uploadRecording(const std::shared_ptr<Recording>& recording) = 0;
    virtual void pauseUploadForRecording(const std::shared_ptr<Recording>& recording) = 0;
    // Joins the movie files of the recording's video stream (resumed after an interrupted run).
    virtual void stitchFiles(const std::shared_ptr<Recording>& recording) = 0;
};

}  // namespace orvanta::model
