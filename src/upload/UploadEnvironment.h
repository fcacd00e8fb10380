#pragma once

#include <functional>
#include <string>

#include "core/AppUserInterface.h"
#include "core/Observable.h"
#include "core/Operation.h"
#include "core/RunLoop.h"
#include "core/Settings.h"

namespace orvanta::upload {

// What the upload controller needs of the application around it: the application object, the
// login controller and the recording session controller each provide a piece.
class UploadEnvironment {
public:
    virtual ~UploadEnvironment() = default;

    virtual core::Settings& settings() = 0;
    virtual core::RunLoop& mainLoop() = 0;
    virtual core::OperationQueue& uploadOperationQueue() = 0;
    virtual void saveManagedObjects() = 0;
    virtual core::AppUserInterface& userInterface() = 0;

    // The login state and the upload receiver's address of the last login's runtime configuration.
    virtual bool isLoggedIn() const = 0;
    virtual std::string dataReceiverEndpoint() const = 0;

    // Whether a capture is running, and its changes (delivered on the main thread).
    virtual bool isRecording() const = 0;
    [[nodiscard]] virtual core::Subscription observeIsRecording(std::function<void(bool)> callback) = 0;
};

}  // namespace orvanta::upload
