#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/AppUserInterface.h"
#include "core/Observable.h"
#include "core/RunLoop.h"
#include "model/ManagedObject.h"
#include "model/Recording.h"
#include "model/SimpleSessionGroup.h"

namespace orvanta::control {

class ApplicationControllers;

// The action the recordings list offers for the selected recording, with its button number.
enum class RecordingAction : int {
    ChooseFolderAndUpload = 1,
    None = 2,  // the folder chooser is already open
    Delete = 3,
    PauseUpload = 4,
    ResumeUpload = 5,
    LoginToUpload = 6,
    Retry = 7,
    Finalizing = 8,
    PostProcessing = 9,
};

// The action for a recording (null: no selection), the login state and whether the folder chooser
// is shown.
RecordingAction actionForRecording(const model::Recording* recording, bool loggedIn, bool chooserVisible);
// The button label of an action ("" for None).
std::string actionButtonText(RecordingAction action);

// Menu item titles.
inline constexpr const char* kMenuDelete = "Delete";
inline constexpr const char* kMenuShowFiles = "Show Files";
inline constexpr const char* kMenuCopyLocal = "Copy (local)";

// Why a recording may not be deleted or copied now (nothing when it may). A recording still being
// recorded (State 2, or its folder's recording lock held by a live process) is neither deleted nor
// copied; copies also need the setting AllowLocalCopyAction.
bool isBeingRecorded(model::Recording& recording);
std::optional<std::string> deleteRefusal(model::Recording& recording);
std::optional<std::string> copyRefusal(model::Recording& recording, bool allowLocalCopy);

// The confirmation asked before a recording is deleted ("Delete" first, then "Cancel").
core::Alert deleteConfirmationAlert(const model::Recording& recording);

// The stored recordings, newest first, sorted in place.
void sortNewestFirst(std::vector<std::shared_ptr<model::Recording>>& recordings);

// What the recordings list needs of the folder-and-session chooser shown beside it.
class RecordingsFolderChooser {
public:
    virtual ~RecordingsFolderChooser() = default;
    // A "SimpleSession" object, or null when a new session name is given instead.
    virtual model::ObjectPtr selectedSession() const = 0;
    virtual std::shared_ptr<model::SimpleSessionGroup> selectedSessionGroup() const = 0;
    virtual std::string sessionName() const = 0;
    virtual void resetWithSessionGroupName(const std::string& sessionGroupName, const std::string& sessionName) = 0;
    virtual void selectSessionWithPublicID(const std::string& publicID) = 0;
    // Called after each change of the selected folder, session or session name.
    [[nodiscard]] virtual core::Subscription observeChoice(std::function<void()> callback) = 0;
};

struct RecordingsControllerOptions {
    double refreshInterval = 5.0;  // seconds between status refreshes
    // Opens a folder in the file browser ("Show Files"); empty: only logged.
    std::function<void(const std::string&)> openFolder;
};

// The logic of the recordings view: the stored recordings newest first, the selected one, the
// context-dependent action button and its menu, the folder chooser for uploading an offline (or
// already uploaded) recording, deletion after confirmation, local copies, and, while logged in, a
// refresh of the server status and viewer links of the listed recordings every few seconds. The
// view follows the observable state here and forwards clicks; movie previews are the view's own.
//
// Threads: everything runs on the main thread (the thread of the application's main loop) except
// the server call of a status refresh, which hands its result to the main thread and waits for it.
class RecordingsController {
public:
    using Options = RecordingsControllerOptions;

    // The label and state of the action button (segment 0 of the action control).
    struct ActionButton {
        RecordingAction action = RecordingAction::LoginToUpload;
        std::string label;
        bool enabled = true;
        bool operator==(const ActionButton&) const = default;
    };
    // The stream chooser (segment 0 camera, segment 1 screen) and the preview button.
    struct StreamChooser {
        bool cameraEnabled = false;
        bool screenEnabled = false;
        int selectedSegment = -1;  // -1: none
        std::string cameraLabel = "Video";
        bool previewEnabled = false;
        bool operator==(const StreamChooser&) const = default;
    };

    // chooser may be null (no uploads into a folder then). Loads and sorts the stored recordings.
    RecordingsController(ApplicationControllers& controllers, RecordingsFolderChooser* chooser, Options options = {});
    // Stops the refresh and waits for one still running.
    ~RecordingsController();
    RecordingsController(const RecordingsController&) = delete;
    RecordingsController& operator=(const RecordingsController&) = delete;

    // ---- the list
    const std::vector<std::shared_ptr<model::Recording>>& arrangedObjects() const { return arranged_; }
    bool hasRecordings() const { return !arranged_.empty(); }
    // Reloads the stored recordings and sorts them newest first.
    void rearrangeObjects();
    // A new recording in the store, listed at once.
    std::shared_ptr<model::Recording> newObject();
    // Announced after every change of the list.
    core::Signal<> arrangedObjectsChanged;

    // ---- selection
    std::shared_ptr<model::Recording> selectedRecording() const { return selected_; }
    void setSelectedRecording(std::shared_ptr<model::Recording> recording);
    // The file to preview for the stream chooser's segment (1 screen, else camera), if any.
    std::optional<std::string> previewFileForSegment(int segment) const;
    // The movie shown when a recording is selected: the camera's, else the screen's.
    std::optional<std::string> previewFile() const;

    // ---- the view's state
    core::Property<ActionButton>& actionButton() { return actionButton_; }
    core::Property<StreamChooser>& streamChooser() { return streamChooser_; }
    core::Property<bool>& sessionChooserIsVisible() { return chooserVisible_; }
    // The upload segment of the upload control: a folder and a session name are chosen.
    core::Property<bool>& uploadEnabled() { return uploadEnabled_; }

    RecordingAction currentAction() const;
    void updateActionButton();

    // ---- clicks
    // segment 1: the menu; otherwise the current action for the selected recording.
    void actionButtonClick(int segment);
    // segment 0: commit the folder and upload; 1: hide the folder chooser; else the menu.
    void auxActionButtonClick(int segment);
    // The titles of the action menu, the first one empty.
    std::vector<std::string> actionMenuItems() const;
    // Announces the menu (actionMenuItems) for the view to pop up.
    void showActionMenu();
    core::Signal<const std::vector<std::string>&> actionMenuRequested;
    // Performs the menu item with the title.
    void chooseMenuItem(const std::string& title);

    // ---- operations
    // Offers the selected recording, even a completed one, for an upload into another folder.
    void allowReUpload();
    void commitSessionAndUpload();
    // Asks for confirmation on the main window; deleteRecording performs the answer.
    void deleteSelectedRecording();
    // button: the index of the chosen button of the confirmation (0 "Delete", 1 "Cancel").
    void deleteRecording(int button, const std::shared_ptr<model::Recording>& recording);
    void openFolderForSelectedRecording();
    // A local copy of the selected recording, listed and selected; null (after logging why) when it
    // may not be copied or the copy failed.
    std::shared_ptr<model::Recording> copyRecording();

    // ---- status refresh
    // true starts the repeating refresh (when not running); false stops it.
    void setUpdating(bool updating);
    bool isUpdating() const { return timer_.isValid(); }
    // The timer's action: starts a background refresh when logged in and none runs.
    void getSessionStatus();
    // Applies the server's sessions to the listed recordings (main thread). Nothing is saved.
    void updateSessionStatus(const std::vector<model::ObjectPtr>& sessions);
    // Waits until no refresh runs (running the main loop meanwhile on its thread).
    void waitForRefresh();
    bool isRefreshRunning() const { return refreshRunning_.load(); }

private:
    void getSessionStatusCore(std::vector<std::string> sessionIDs, std::string server);
    void selectRecording();
    void updateStreamChooser();
    void loggedInChanged(bool loggedIn);
    void hideChooser() { chooserVisible_.set(false); }
    void updateUploadEnabled();
    bool loggedIn() const;
    void save();
    void joinFinishedRefresh();

    ApplicationControllers& controllers_;
    RecordingsFolderChooser* chooser_;
    Options options_;
    std::vector<std::shared_ptr<model::Recording>> arranged_;
    std::shared_ptr<model::Recording> selected_;
    std::shared_ptr<model::Recording> lastSelected_;
    core::Subscription stateObservation_, finalizedObservation_;
    core::Subscription loginObservation_, chooserObservation_, chooserVisibleObservation_;
    core::Property<ActionButton> actionButton_;
    core::Property<StreamChooser> streamChooser_;
    core::Property<bool> chooserVisible_{false};
    core::Property<bool> uploadEnabled_{false};

    core::TimerHandle timer_;
    std::thread refreshThread_;
    std::atomic<bool> refreshRunning_{false};
    std::mutex updateLock_;
    // Held while the controller lives; results of a refresh that ends later are dropped.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace orvanta::control
