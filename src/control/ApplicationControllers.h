#pragma once

#include <memory>
#include <string>

#include "control/AppController.h"
#include "control/LoginController.h"
#include "core/Observable.h"
#include "upload/UploadController.h"
#include "upload/UploadEnvironment.h"

namespace orvanta::control {

// The controllers the application object owns, wired to it and to each other: the login
// controller, the upload controller, and the capture state the recording session sets. The
// desktop program and the command line build one of these around their AppController.
class ApplicationControllers : public upload::UploadEnvironment {
public:
    ApplicationControllers(AppController& app, core::AppUserInterface& ui, LoginUserInterface* loginUi = nullptr);
    ~ApplicationControllers() override;
    ApplicationControllers(const ApplicationControllers&) = delete;
    ApplicationControllers& operator=(const ApplicationControllers&) = delete;

    AppController& app() { return app_; }
    LoginController& loginController() { return *login_; }
    upload::UploadController& uploadController() { return *upload_; }
    // True while a capture runs; the recording session controller sets it.
    core::Property<bool>& recording() { return recording_; }

    // UploadEnvironment
    core::Settings& settings() override { return app_.settings(); }
    core::RunLoop& mainLoop() override { return app_.mainLoop(); }
    core::OperationQueue& uploadOperationQueue() override { return app_.uploadOperationQueue(); }
    void saveManagedObjects() override { app_.saveManagedObjects(); }
    core::AppUserInterface& userInterface() override { return ui_; }
    bool isLoggedIn() const override { return app_.isLoggedIn(); }
    std::string dataReceiverEndpoint() const override;
    bool isRecording() const override { return recording_.get(); }
    [[nodiscard]] core::Subscription observeIsRecording(std::function<void(bool)> callback) override;

private:
    AppController& app_;
    core::AppUserInterface& ui_;
    core::Property<bool> recording_{false};
    std::unique_ptr<LoginController> login_;
    std::unique_ptr<upload::UploadController> upload_;
};

}  // namespace orvanta::control
