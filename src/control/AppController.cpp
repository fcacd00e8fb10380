#include "control/AppController.h"

#include <thread>

#include "core/CrashReports.h"
#include "core/Error.h"
#include "core/Log.h"
#include "core/Paths.h"
#include "core/SettingsKeys.h"
#include "core/Util.h"
#include "orvanta/BuildInfo.h"

namespace orvanta::control {

namespace {
AppController* gInstance = nullptr;  // the single instance, set while it exists
}

AppController::AppController(core::Settings& settings, core::RunLoop& mainLoop, core::AppUserInterface& ui)
    : settings_(settings), mainLoop_(mainLoop), ui_(ui) {
    gInstance = this;
}

AppController::~AppController() {
    if (uploadQueue_) uploadQueue_->cancelAllOperations();
    if (stitchingQueue_) stitchingQueue_->cancelAllOperations();
    if (quitWaiter_ && quitWaiter_->joinable()) quitWaiter_->join();
    // Queues join their threads before the store goes away.
    uploadQueue_.reset();
    stitchingQueue_.reset();
    context_.reset();
    if (gInstance == this) gInstance = nullptr;
}

AppController* AppController::instance() { return gInstance; }

std::filesystem::path AppController::applicationSupportFolder() { return core::applicationSupportFolder(); }
std::filesystem::path AppController::managedObjectDataFile() { return core::storeFilePath(); }
std::string AppController::defaultRecordingDirectory() { return core::defaultRecordingDirectory().string(); }
std::string AppController::applicationName() { return build::kExecutableName; }

std::string AppController::recordingDirectory() {
    std::string folder = settings_.stringForKey(core::kRecordingFolder).value_or("");
    core::logf("Recording to: %s", folder.c_str());
    return folder;
}

model::ManagedObjectContext* AppController::managedObjectContext() {
    std::lock_guard lock(mutex_);
    if (storeOpened_) return context_.get();
    storeOpened_ = true;
    std::error_code ec;
    auto folder = applicationSupportFolder();
    if (!std::filesystem::exists(folder, ec)) std::filesystem::create_directories(folder, ec);
    core::Error error;
    model::StoreOptions options{defaultRecordingDirectory()};
    context_ = model::ManagedObjectContext::open(managedObjectDataFile(), this, options, &error);
    if (!context_) {
        core::logf("%s ERROR: %s", "-[AppController persistentStoreCoordinator]", error.localizedDescription().c_str());
        migrationAlertTimer_ = mainLoop_.schedule(std::chrono::duration<double>(1.0), false,
                                                  [this] { presentMigrationError(); });
    }
    return context_.get();
}

void AppController::presentMigrationError() {
    core::Alert alert;
    alert.style = core::Alert::Style::Critical;
    alert.messageText = "Unable to upgrade your Orvanta Recorder";
    alert.informativeText =
        "We're sorry, but the Orvanta Recorder has experienced an error while upgrading recording data from the "
        "existing version. Please contact Orvanta Support or your on-site support contact.\n\n"
        "Please accept our apologies for the inconvenience";
    alert.buttons = {"Exit"};
    ui_.showSheet(alert, [this](int) { ui_.terminateApplication(); });
}

void AppController::saveManagedObjects() {
    if (!mainLoop_.isLoopThread())
        throw core::InternalInconsistency("saveManagedObjects called on non-main thread!");
    std::lock_guard lock(mutex_);
    if (!context_) return;
    for (;;) {
        auto error = context_->save();
        if (!error) return;
        // The store could not be written (a full disk, a folder that became read-only): the changes
        // are still pending in memory, so the user may try again or quit.
        core::logf("managedObjectContext error: %s", error->localizedDescription().c_str());
        core::Alert alert;
        alert.style = core::Alert::Style::Critical;
        alert.messageText = "Error saving Recording Database";
        alert.informativeText = "There was a failure trying to save your list of recordings. What would you like to do?";
        alert.buttons = {"Quit", "Try Again"};
        if (ui_.runModalAlert(alert) != 1) {
            terminate();
            return;
        }
    }
}

core::OperationQueue& AppController::uploadOperationQueue() {
    std::lock_guard lock(mutex_);
    if (!uploadQueue_) {
        int count = core::OperationQueue::defaultMaxConcurrent();
        core::logf("%s initializing NSOperationQueue with %d max concurrent operations",
                   "-[AppController uploadOperationQueue]", count);
        uploadQueue_ = std::make_unique<core::OperationQueue>(count, "upload");
    }
    return *uploadQueue_;
}

core::OperationQueue& AppController::stitchingOperationQueue() {
    std::lock_guard lock(mutex_);
    if (!stitchingQueue_) {
        int count = core::OperationQueue::defaultMaxConcurrent();
        core::logf("%s initializing NSOperationQueue with %d max concurrent operations",
                   "-[AppController stitchingOperationQueue]", count);
        stitchingQueue_ = std::make_unique<core::OperationQueue>(count, "stitching");
    }
    return *stitchingQueue_;
}

void AppController::awakeFromNib() {
    if (!settings_.contains(core::kHotkeysEnabled) || settings_.boolForKey(core::kHotkeysEnabled))
        if (hooks_.registerHotkeys) hooks_.registerHotkeys();
}

void AppController::harvestCrashLog() {
    auto log = core::getLastCrashLogPath(settings_, applicationName(), core::diagnosticReportsFolder(),
                                         core::machineCrashFolder());
    if (!log) return;
    auto desktop = core::desktopFolder();
    core::createCrashReport({*log, managedObjectDataFile(), core::Logger::instance().logFile(),
                             desktop.empty() ? core::temporaryFolder() : desktop, core::temporaryFolder()});
}

void AppController::applicationDidFinishLaunching() {
    launched_ = true;
    core::logf("********************** Orvanta Recorder launched version %s (%s): **********************",
               build::kBundleVersion, build::kShortVersion);
    harvestCrashLog();
    ui_.showMainWindow();
    if (!settings_.contains(core::kLastLogIn) && !settings_.contains(core::kOAuthURL)) {
        if (hooks_.showLoginWindow) hooks_.showLoginWindow();
    } else if (settings_.boolForKey(core::kSaveLogin)) {
        if (hooks_.retrieveSettings) hooks_.retrieveSettings();
        if (hooks_.logIn) hooks_.logIn();
    }
    if (hooks_.loadPreview) hooks_.loadPreview();
}

void AppController::applicationWillTerminate() {
    core::logf("********************** Orvanta Recorder terminating version %s (%s): **********************",
               build::kBundleVersion, build::kShortVersion);
}

void AppController::terminate() {
    if (isRecording()) {
        core::Alert alert;
        alert.messageText = "Unable to quit while recording.";
        alert.informativeText = "You must stop recording before quitting the application.";
        alert.buttons = {"Ok"};
        ui_.showSheet(alert, [](int) {});
        return;
    }
    ui_.terminateApplication();
}

bool AppController::applicationShouldTerminateAfterLastWindowClosed() {
    terminate();
    return false;
}

TerminateReply AppController::applicationShouldTerminate() {
    if (context_ && context_->hasChanges()) {
        if (auto error = context_->save()) {
            core::logf("managedObjectContext error: %s", error->localizedDescription().c_str());
            core::Alert alert;
            alert.messageText = "Could not save changes while quitting. Quit anyway?";
            alert.informativeText = error->localizedDescription();
            alert.buttons = {"Quit anyway", "Cancel"};
            if (ui_.runModalAlert(alert) != 0) return TerminateReply::Cancel;
        }
    }
    if (!uploadQueue_ || uploadQueue_->operationCount() == 0) return TerminateReply::Now;
    core::OperationQueue& queue = *uploadQueue_;
    if (!quitWaiter_) quitWaiter_ = std::make_unique<std::thread>([this, &queue] { waitForOperations(queue); });
    queue.cancelAllOperations();
    return TerminateReply::Later;
}

void AppController::waitForOperations(core::OperationQueue& queue) {
    core::logf("Waiting for upload operations to complete");
    queue.waitUntilAllOperationsAreFinished();
    mainLoop_.post([this] { delayedTerminate(); });
}

void AppController::delayedTerminate() { ui_.replyToApplicationShouldTerminate(true); }

std::string decodeLoginUrl(const std::string& urlText) {
    auto pos = urlText.find('?');
    if (pos == std::string::npos || urlText.find('?', pos + 1) != std::string::npos) return urlText;
    auto decoded = core::decodeBase64(std::string_view(urlText).substr(pos + 1));
    if (!decoded) return urlText;
    return urlText.substr(0, pos) + "?" + std::string(decoded->begin(), decoded->end());
}

std::string urlHost(const std::string& url) {
    auto scheme = url.find("://");
    if (scheme == std::string::npos) return "";
    std::string rest = url.substr(scheme + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    if (auto at = rest.rfind('@'); at != std::string::npos) rest = rest.substr(at + 1);
    if (!rest.empty() && rest.front() == '[') return rest.substr(0, rest.find(']') + 1);
    return rest.substr(0, rest.find(':'));
}

void AppController::getUrl(const std::string& urlText) {
    std::string url = decodeLoginUrl(urlText);
    settings_.applyChanges({{core::kLogin, std::nullopt},
                            {core::kAuthCookie, std::nullopt},
                            {core::kOAuthURL, core::SettingValue(std::in_place_type<std::string>, url)},
                            {core::kServer, core::SettingValue(std::in_place_type<std::string>, urlHost(url))},
                            {core::kSaveLogin, core::SettingValue(std::in_place_type<bool>, true)}});
    if (launched_ && hooks_.logIn) hooks_.logIn();
}

core::Subscription AppController::observeLoggedIn(std::function<void(bool)> callback) {
    return loggedIn_.observe([cb = std::move(callback)](const bool& v) { cb(v); });
}

void AppController::performOnMainThread(std::function<void()> task, bool wait) {
    if (wait)
        mainLoop_.postAndWait(std::move(task));
    else
        mainLoop_.post(std::move(task));
}

void AppController::uploadRecording(const std::shared_ptr<model::Recording>& recording) {
    if (hooks_.uploadRecording) hooks_.uploadRecording(recording);
}

void AppController::pauseUploadForRecording(const std::shared_ptr<model::Recording>& recording) {
    if (hooks_.pauseUploadForRecording) hooks_.pauseUploadForRecording(recording);
}

void AppController::stitchFiles(const std::shared_ptr<model::Recording>& recording) {
    if (hooks_.stitchFiles) hooks_.stitchFiles(recording);
}

}  // namespace orvanta::control
