#include "control/RecordingsController.h"

#include <algorithm>
#include <chrono>

#include "control/ApplicationControllers.h"
#include "control/RecordingLock.h"
#include "control/SessionStatus.h"
#include "core/Log.h"
#include "core/SettingsKeys.h"
#include "model/FileUpload.h"
#include "model/RecordingCopy.h"
#include "model/Stream.h"
#include "service/RecorderService.h"

namespace orvanta::control {

using model::Recording;
using RecordingPtr = std::shared_ptr<Recording>;

RecordingAction actionForRecording(const Recording* recording, bool loggedIn, bool chooserVisible) {
    auto otherwise = [&] {
        if (chooserVisible) return RecordingAction::None;
        return loggedIn ? RecordingAction::ChooseFolderAndUpload : RecordingAction::LoginToUpload;
    };
    if (!recording) return otherwise();
    switch (recording->State()) {
        case model::kStatePostProcessing:
            return RecordingAction::PostProcessing;
        case model::kStateUploading:
            if (!loggedIn) return RecordingAction::LoginToUpload;
            return recording->IsFinalized() ? RecordingAction::PauseUpload : RecordingAction::Finalizing;
        case model::kStatePaused:
            return loggedIn ? RecordingAction::ResumeUpload : RecordingAction::LoginToUpload;
        case model::kStateUploadComplete:
            return RecordingAction::Delete;
        case model::kStateFailed: {
            auto session = recording->SessionID();
            if (!loggedIn) return RecordingAction::LoginToUpload;
            return session && !session->empty() ? RecordingAction::Retry : RecordingAction::ChooseFolderAndUpload;
        }
        default:
            return otherwise();
    }
}

std::string actionButtonText(RecordingAction action) {
    switch (action) {
        case RecordingAction::ChooseFolderAndUpload:
            return "Choose Folder and Upload";
        case RecordingAction::None:
            return "";
        case RecordingAction::Delete:
            return "Delete";
        case RecordingAction::PauseUpload:
            return "Pause Upload";
        case RecordingAction::ResumeUpload:
            return "Resume Upload";
        case RecordingAction::LoginToUpload:
            return "Login to Upload";
        case RecordingAction::Retry:
            return "Retry";
        case RecordingAction::Finalizing:
            return "Finalizing Recording...";
        case RecordingAction::PostProcessing:
            return "Post-Processing...";
    }
    return "";
}

bool isBeingRecorded(Recording& recording) {
    return recording.State() == model::kStateRecording || RecordingLock::isHeldElsewhere(recording.RecordingPath());
}

std::optional<std::string> deleteRefusal(Recording& recording) {
    if (isBeingRecorded(recording)) return "it is still being recorded";
    return std::nullopt;
}

std::optional<std::string> copyRefusal(Recording& recording, bool allowLocalCopy) {
    if (!allowLocalCopy) return "local copies are switched off (setting AllowLocalCopyAction)";
    if (isBeingRecorded(recording)) return "it is still being recorded";
    return std::nullopt;
}

core::Alert deleteConfirmationAlert(const Recording& recording) {
    core::Alert alert;
    alert.messageText = "Are you sure you want to delete this recording?";
    alert.informativeText =
        recording.State() == model::kStateUploadComplete
            ? "This recording has already been uploaded to the server.  If you delete the recording it will remain "
              "on the server."
            : "This recording has not yet been uploaded to the server. If you delete the recording it will be gone "
              "permanently.";
    alert.buttons = {"Delete", "Cancel"};
    return alert;
}

void sortNewestFirst(std::vector<RecordingPtr>& recordings) {
    std::stable_sort(recordings.begin(), recordings.end(), [](const RecordingPtr& a, const RecordingPtr& b) {
        return a->dateValue("StartTime").value_or(model::Date{}) > b->dateValue("StartTime").value_or(model::Date{});
    });
}

// ---- the controller

RecordingsController::RecordingsController(ApplicationControllers& controllers, RecordingsFolderChooser* chooser,
                                           Options options)
    : controllers_(controllers), chooser_(chooser), options_(std::move(options)) {
    chooserVisibleObservation_ = chooserVisible_.observe([this](const bool&) { updateActionButton(); });
    loginObservation_ = controllers_.app().loggedIn().observe([this](const bool& value) {
        updateActionButton();
        loggedInChanged(value);
    });
    if (chooser_) chooserObservation_ = chooser_->observeChoice([this] { updateUploadEnabled(); });
    rearrangeObjects();
    updateActionButton();
    updateUploadEnabled();
    if (loggedIn()) setUpdating(true);
}

RecordingsController::~RecordingsController() {
    setUpdating(false);
    waitForRefresh();
    stateObservation_.reset();
    finalizedObservation_.reset();
}

bool RecordingsController::loggedIn() const { return controllers_.app().isLoggedIn(); }

void RecordingsController::save() { controllers_.app().saveManagedObjects(); }

// ---- the list

void RecordingsController::rearrangeObjects() {
    arranged_.clear();
    if (auto* context = controllers_.app().managedObjectContext())
        arranged_ = context->all<Recording>("Recording");
    sortNewestFirst(arranged_);
    if (selected_ && std::find(arranged_.begin(), arranged_.end(), selected_) == arranged_.end())
        setSelectedRecording(nullptr);
    arrangedObjectsChanged.emit();
}

RecordingPtr RecordingsController::newObject() {
    auto* context = controllers_.app().managedObjectContext();
    if (!context) return nullptr;
    auto recording = context->insert<Recording>("Recording");
    rearrangeObjects();
    return recording;
}

// ---- selection

void RecordingsController::setSelectedRecording(RecordingPtr recording) {
    selected_ = std::move(recording);
    selectRecording();
}

void RecordingsController::selectRecording() {
    if (selected_ == lastSelected_) return;
    stateObservation_.reset();
    finalizedObservation_.reset();
    lastSelected_ = selected_;
    if (lastSelected_) {
        auto changed = [this](const std::string&) {
            updateActionButton();
            updateStreamChooser();
        };
        stateObservation_ = lastSelected_->observe("State", changed);
        finalizedObservation_ = lastSelected_->observe("IsFinalized", changed);
    }
    updateActionButton();
    updateStreamChooser();
    hideChooser();
}

void RecordingsController::updateStreamChooser() {
    StreamChooser state;
    if (selected_ && selected_->State() != model::kStateRecording) {
        auto video = selected_->VideoStream();
        auto screen = selected_->ScreenCaptureStream();
        state.cameraEnabled = static_cast<bool>(video);
        state.screenEnabled = static_cast<bool>(screen);
        if (video) {
            state.selectedSegment = 0;
            state.cameraLabel = video->Description().value_or("");
            state.previewEnabled = true;
        } else if (screen) {
            state.selectedSegment = 1;
            state.previewEnabled = true;
        }
    }
    streamChooser_.set(state);
}

std::optional<std::string> RecordingsController::previewFileForSegment(int segment) const {
    if (!selected_ || selected_->State() == model::kStateRecording) return std::nullopt;
    auto stream = segment == 1 ? selected_->ScreenCaptureStream() : selected_->VideoStream();
    if (!stream || stream->Files().empty()) return std::nullopt;
    return stream->Files().front()->localPath();
}

std::optional<std::string> RecordingsController::previewFile() const {
    if (auto file = previewFileForSegment(0)) return file;
    return previewFileForSegment(1);
}

// ---- the action button and its menu

RecordingAction RecordingsController::currentAction() const {
    return actionForRecording(selected_.get(), loggedIn(), chooserVisible_.get());
}

void RecordingsController::updateActionButton() {
    ActionButton button;
    button.action = currentAction();
    button.label = actionButtonText(button.action);
    button.enabled = button.action != RecordingAction::Finalizing && button.action != RecordingAction::PostProcessing;
    actionButton_.set(button);
}

void RecordingsController::actionButtonClick(int segment) {
    core::logf("Button was clicked %s", __PRETTY_FUNCTION__);
    if (segment == 1) {
        showActionMenu();
        return;
    }
    auto recording = selected_;
    switch (currentAction()) {
        case RecordingAction::ChooseFolderAndUpload:
            if (!recording || !chooser_) return;
            chooser_->resetWithSessionGroupName(recording->SessionGroupName().value_or(""),
                                                recording->SessionName().value_or(""));
            if (auto session = recording->SessionID(); session && !session->empty())
                chooser_->selectSessionWithPublicID(*session);
            chooserVisible_.set(true);
            break;
        case RecordingAction::Delete:
            deleteSelectedRecording();
            break;
        case RecordingAction::PauseUpload:
            if (!recording) return;
            recording->setState(model::kStatePaused);
            recording->stopUploading();
            save();
            break;
        case RecordingAction::ResumeUpload:
            if (recording) controllers_.uploadController().uploadRecording(recording);
            break;
        case RecordingAction::LoginToUpload:
            controllers_.loginController().showLoginWindow();
            break;
        case RecordingAction::Retry:
            if (!recording) return;
            controllers_.app().stitchFiles(recording);
            controllers_.uploadController().uploadRecording(recording);
            break;
        case RecordingAction::None:
        case RecordingAction::Finalizing:
        case RecordingAction::PostProcessing:
            break;
    }
}

void RecordingsController::auxActionButtonClick(int segment) {
    core::logf("Button was clicked %s", __PRETTY_FUNCTION__);
    if (segment == 0)
        commitSessionAndUpload();
    else if (segment == 1)
        hideChooser();
    else
        showActionMenu();
}

std::vector<std::string> RecordingsController::actionMenuItems() const {
    std::vector<std::string> items{""};
    // A recording still being recorded is neither deleted nor copied.
    bool live = selected_ && isBeingRecorded(*selected_);
    if (currentAction() != RecordingAction::Delete && !live) items.emplace_back(kMenuDelete);
    items.emplace_back(kMenuShowFiles);
    if (controllers_.settings().boolForKey(core::kAllowLocalCopyAction) && !live) items.emplace_back(kMenuCopyLocal);
    return items;
}

void RecordingsController::showActionMenu() { actionMenuRequested.emit(actionMenuItems()); }

void RecordingsController::chooseMenuItem(const std::string& title) {
    if (title == kMenuDelete) {
        deleteSelectedRecording();
    } else if (title == kMenuShowFiles) {
        openFolderForSelectedRecording();
    } else if (title == kMenuCopyLocal) {
        try {
            copyRecording();
        } catch (const std::exception& e) {
            core::logf("Failed to copy the recording: %s", e.what());
        }
    }
}

// ---- operations

void RecordingsController::updateUploadEnabled() {
    uploadEnabled_.set(chooser_ && chooser_->selectedSessionGroup() && !chooser_->sessionName().empty());
}

void RecordingsController::allowReUpload() {
    if (!selected_ || !chooser_) return;
    chooser_->resetWithSessionGroupName(selected_->SessionGroupName().value_or(""), "");
    chooserVisible_.set(true);
}

void RecordingsController::commitSessionAndUpload() {
    core::logf("Starting an upload %s", __PRETTY_FUNCTION__);
    auto recording = selected_;
    if (!recording || !chooser_) return;
    auto group = chooser_->selectedSessionGroup();
    if (!group) {
        core::logf("No folder chosen for the upload");
        return;
    }
    std::string server = controllers_.settings().stringForKey(core::kServer).value_or("");
    if (auto session = chooser_->selectedSession()) {
        recording->setSession(*session, *group, server);
    } else {
        std::string name = chooser_->sessionName();
        if (name.empty()) {
            core::logf("No session name given for the upload");
            return;
        }
        recording->setSessionName(name, group.get(), server);
    }
    if (recording->State() == model::kStateUploadComplete) {
        // Uploaded before: everything is sent again, into the new folder.
        for (const auto& stream : recording->Streams())
            for (const auto& file : stream->Files()) {
                file->setValueForKey("isUploaded", false);
                file->setBytesUploaded(0);
            }
        recording->setValueForKey("IsFinalized", false);
        recording->setState(model::kStateStopped);
        recording->setValueForKey("ServerStatus", model::Value{});
        recording->setValueForKey("ViewerUrl", model::Value{});
        recording->updateUploadProgress();
    }
    save();
    hideChooser();
    controllers_.app().stitchFiles(recording);
    controllers_.uploadController().uploadRecording(recording);
    rearrangeObjects();
}

void RecordingsController::deleteSelectedRecording() {
    auto recording = selected_;
    if (!recording) return;
    if (auto why = deleteRefusal(*recording)) {
        core::logf("Not deleting recording %s: %s", recording->Guid().value_or("").c_str(), why->c_str());
        return;
    }
    std::weak_ptr<int> alive = alive_;
    controllers_.userInterface().showSheet(deleteConfirmationAlert(*recording), [this, alive, recording](int button) {
        if (alive.lock()) deleteRecording(button, recording);
    });
}

void RecordingsController::deleteRecording(int button, const RecordingPtr& recording) {
    if (button != 0 || !recording || recording->isDeleted()) return;
    // The state may have changed while the question was open.
    if (auto why = deleteRefusal(*recording)) {
        core::logf("Not deleting recording %s: %s", recording->Guid().value_or("").c_str(), why->c_str());
        return;
    }
    auto* context = recording->context();
    if (!context) return;
    recording->stopUploading();
    recording->deleteFiles();
    context->deleteObject(recording);
    save();
    rearrangeObjects();
}

void RecordingsController::openFolderForSelectedRecording() {
    if (!selected_) return;
    std::string folder = selected_->RecordingPath();
    core::logf("Showing files of recording at %s", folder.c_str());
    if (options_.openFolder) options_.openFolder(folder);
}

RecordingPtr RecordingsController::copyRecording() {
    auto recording = selected_;
    if (!recording) return nullptr;
    if (auto why = copyRefusal(*recording, controllers_.settings().boolForKey(core::kAllowLocalCopyAction))) {
        core::logf("Not copying recording %s: %s", recording->Guid().value_or("").c_str(), why->c_str());
        return nullptr;
    }
    auto* context = recording->context();
    if (!context) return nullptr;
    auto copy = model::copyRecording(*recording, *context);
    rearrangeObjects();
    return copy;
}

// ---- status refresh

void RecordingsController::setUpdating(bool updating) {
    if (!updating) {
        timer_.invalidate();
        timer_ = {};
        return;
    }
    if (timer_.isValid()) return;
    timer_ = controllers_.mainLoop().schedule(std::chrono::duration<double>(options_.refreshInterval), true,
                                              [this] { getSessionStatus(); });
}

void RecordingsController::loggedInChanged(bool value) {
    if (value) {
        setUpdating(true);
    } else {
        setUpdating(false);
        hideChooser();
    }
}

void RecordingsController::joinFinishedRefresh() {
    if (!refreshRunning_.load() && refreshThread_.joinable()) refreshThread_.join();
}

void RecordingsController::getSessionStatus() {
    joinFinishedRefresh();
    if (refreshRunning_.load() || !loggedIn()) return;
    // The store is read here, on the main thread; the thread only talks to the server.
    std::vector<std::string> ids;
    for (const auto& r : arranged_)
        if (auto id = r->SessionID(); id && !id->empty()) ids.push_back(*id);
    if (ids.empty()) return;
    std::string server = controllers_.settings().stringForKey(core::kServer).value_or("");
    refreshRunning_.store(true);
    refreshThread_ = std::thread(&RecordingsController::getSessionStatusCore, this, std::move(ids), std::move(server));
}

void RecordingsController::getSessionStatusCore(std::vector<std::string> sessionIDs, std::string server) {
    {
        std::lock_guard lock(updateLock_);
        try {
            service::RecorderService service(server);
            auto sessions = service.GetSessions(sessionIDs);
            std::weak_ptr<int> alive = alive_;
            controllers_.mainLoop().postAndWait([this, alive, &sessions] {
                if (alive.lock()) updateSessionStatus(sessions);
            });
        } catch (const std::exception& e) {
            core::logf("Exception trying to update session status: %s", e.what());
        }
    }
    refreshRunning_.store(false);
}

void RecordingsController::updateSessionStatus(const std::vector<model::ObjectPtr>& sessions) {
    control::updateSessionStatus(arranged_, sessions, controllers_.settings().stringForKey(core::kLogin).value_or(""),
                                 controllers_.loginController().encryptedPassword().get());
}

void RecordingsController::waitForRefresh() {
    auto& loop = controllers_.mainLoop();
    while (refreshRunning_.load()) {
        if (loop.isLoopThread())
            loop.runUntil([this] { return !refreshRunning_.load(); }, std::chrono::milliseconds(100));
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (refreshThread_.joinable()) refreshThread_.join();
}

}  // namespace orvanta::control
