#include "control/ApplicationControllers.h"

#include "capture/RecordingStitcher.h"
#include "control/RecordingRecovery.h"
#include "core/SettingsKeys.h"

namespace orvanta::control {

ApplicationControllers::ApplicationControllers(AppController& app, core::AppUserInterface& ui,
                                               LoginUserInterface* loginUi)
    : app_(app), ui_(ui) {
    login_ = std::make_unique<LoginController>(app_.settings(), app_.mainLoop(), app_.loggedIn(), loginUi);
    upload_ = std::make_unique<upload::UploadController>(*this);
    auto options = upload_->options();
    auto& settings = app_.settings();
    if (double interval = settings.doubleForKey(core::kUploadPollingInterval); interval > 0)
        options.pollingInterval = interval;
    if (double delay = settings.doubleForKey(core::kUploadRetryDelay); delay > 0)
        options.retryPolicy.baseDelay = std::chrono::duration<double>(delay);
    upload_->setOptions(options);

    auto& hooks = app_.hooks();
    hooks.isRecording = [this] { return recording_.get(); };
    hooks.showLoginWindow = [this] { login_->showLoginWindow(); };
    hooks.retrieveSettings = [this] { login_->retrieveSettings(); };
    hooks.logIn = [this] { login_->logIn(); };
    hooks.uploadRecording = [this](const std::shared_ptr<model::Recording>& r) { upload_->uploadRecording(r); };
    hooks.pauseUploadForRecording = [this](const std::shared_ptr<model::Recording>& r) {
        upload_->pauseUploadForRecording(r);
    };
    hooks.stitchFiles = [this](const std::shared_ptr<model::Recording>& r) {
        capture::stitchFiles(r, app_, app_.stitchingOperationQueue());
    };

    // Recordings that a crash or power loss cut short are finished before anything else uses them.
    if (auto* store = app_.managedObjectContext())
        recoverInterruptedRecordings(*store, app_, app_.stitchingOperationQueue());
}

ApplicationControllers::~ApplicationControllers() {
    auto& hooks = app_.hooks();
    hooks.isRecording = nullptr;
    hooks.showLoginWindow = nullptr;
    hooks.retrieveSettings = nullptr;
    hooks.logIn = nullptr;
    hooks.uploadRecording = nullptr;
    hooks.pauseUploadForRecording = nullptr;
    hooks.stitchFiles = nullptr;
    login_->waitForLoginThread();
}

std::string ApplicationControllers::dataReceiverEndpoint() const {
    return login_->loginInfo().get().DataReceiverEndpoint;
}

core::Subscription ApplicationControllers::observeIsRecording(std::function<void(bool)> callback) {
    return recording_.observe([cb = std::move(callback)](const bool& value) { cb(value); });
}

}  // namespace orvanta::control
