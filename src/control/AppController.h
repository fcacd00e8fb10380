#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/AppUserInterface.h"
#include "core/Observable.h"
#include "core/Operation.h"
#include "core/RunLoop.h"
#include "core/Settings.h"
#include "model/ManagedObjectContext.h"
#include "model/RecordingHost.h"

namespace orvanta::control {

// The answer to a request to quit.
enum class TerminateReply { Now, Cancel, Later };

// The one shared object of the recorder: settings, the recording store, the two operation queues,
// the launch sequence, the quit rules, the crash-report harvest and the completion of a web login.
// The desktop program and the command line both build on it; what needs a window goes through
// AppUserInterface, what later controllers provide goes through Hooks.
class AppController : public model::RecordingHost {
public:
    // What other controllers provide; every hook may be left empty.
    struct Hooks {
        std::function<bool()> isRecording;
        std::function<void()> showLoginWindow;
        std::function<void()> retrieveSettings;
        std::function<void()> logIn;
        std::function<void()> registerHotkeys;
        std::function<void()> loadPreview;
        std::function<void(const std::shared_ptr<model::Recording>&)> uploadRecording;
        std::function<void(const std::shared_ptr<model::Recording>&)> pauseUploadForRecording;
        std::function<void(const std::shared_ptr<model::Recording>&)> stitchFiles;
    };

    AppController(core::Settings& settings, core::RunLoop& mainLoop, core::AppUserInterface& ui);
    ~AppController() override;
    AppController(const AppController&) = delete;
    AppController& operator=(const AppController&) = delete;

    // The single instance (null when none exists).
    static AppController* instance();

    Hooks& hooks() { return hooks_; }
    core::Settings& settings() { return settings_; }
    core::RunLoop& mainLoop() { return mainLoop_; }
    core::Property<bool>& loggedIn() { return loggedIn_; }
    bool launched() const { return launched_; }

    // Paths and names.
    static std::filesystem::path applicationSupportFolder();
    static std::filesystem::path managedObjectDataFile();
    static std::string defaultRecordingDirectory();
    static std::string applicationName();

    // The store context, opened (and converted) on first use. Null when the store could not be
    // opened; the upgrade-failure alert is then shown a second later.
    model::ManagedObjectContext* managedObjectContext();
    core::OperationQueue& uploadOperationQueue();
    core::OperationQueue& stitchingOperationQueue();

    // Launch sequence.
    void awakeFromNib();
    void applicationDidFinishLaunching();
    void applicationWillTerminate();

    // Quit rules.
    void terminate();
    bool applicationShouldTerminateAfterLastWindowClosed();
    TerminateReply applicationShouldTerminate();

    // Completion of a web login: the URL the login page redirected to.
    void getUrl(const std::string& urlText);

    void presentMigrationError();

    // RecordingHost
    bool isLoggedIn() const override { return loggedIn_.get(); }
    core::Subscription observeLoggedIn(std::function<void(bool)> callback) override;
    std::string recordingDirectory() override;
    void saveManagedObjects() override;
    void performOnMainThread(std::function<void()> task, bool wait) override;
    void uploadRecording(const std::shared_ptr<model::Recording>& recording) override;
    void pauseUploadForRecording(const std::shared_ptr<model::Recording>& recording) override;
    void stitchFiles(const std::shared_ptr<model::Recording>& recording) override;

private:
    bool isRecording() const { return hooks_.isRecording && hooks_.isRecording(); }
    void waitForOperations(core::OperationQueue& queue);
    void delayedTerminate();
    void harvestCrashLog();

    core::Settings& settings_;
    core::RunLoop& mainLoop_;
    core::AppUserInterface& ui_;
    Hooks hooks_;
    core::Property<bool> loggedIn_{false};
    bool launched_ = false;

    std::recursive_mutex mutex_;  // the instance lock: saving and queue creation
    bool storeOpened_ = false;
    std::unique_ptr<model::ManagedObjectContext> context_;
    std::unique_ptr<core::OperationQueue> uploadQueue_;
    std::unique_ptr<core::OperationQueue> stitchingQueue_;
    std::unique_ptr<std::thread> quitWaiter_;
    core::TimerHandle migrationAlertTimer_;
};

// The login URL carried by the get-URL event: when it splits on "?" into exactly two parts, the
// second is Base64-decoded UTF-8 text; otherwise the text is used as it is.
std::string decodeLoginUrl(const std::string& urlText);
// The host part of a URL ("" when it has none).
std::string urlHost(const std::string& url);

}  // namespace orvanta::control
