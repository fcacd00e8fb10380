#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/AppUserInterface.h"
#include "core/Observable.h"
#include "core/RunLoop.h"
#include "core/Settings.h"
#include "model/SimpleSessionGroup.h"

namespace orvanta::service {
class RecorderService;
}

namespace orvanta::control {

// Names of the two announcements of the folder list.
inline constexpr const char* kCoursesUpdatedNotification = "CoursesUpdated";
inline constexpr const char* kNewSessionGroupNotification = "NewSessionGroup";

// Texts of the add-folder failure.
inline constexpr const char* kAddCourseExceptionName = "AddCourseException";
inline constexpr const char* kDuplicateFolderReason = "Please choose a unique Name for the Folder you are trying to add";
inline constexpr const char* kAddFolderFailedMessage = "There was an error trying to create a new Folder";

using SessionGroupPtr = std::shared_ptr<model::SimpleSessionGroup>;
using SessionGroupList = std::vector<SessionGroupPtr>;

// How often the folder list is refreshed and how long its calls may take.
struct CoursesControllerOptions {
    double refreshInterval = 5.0;  // seconds between timer refreshes
    // The calls' transport idle limit and how long a call waits for its answer; 0 keeps the
    // service's own defaults.
    double transferSeconds = 0;
    double waitSeconds = 0;
};

// The folders of the logged-in user, shared by every folder chooser: refreshed from the server in
// the background every few seconds while refreshing is on, and extended by the add-folder sheet.
//
// Threads: everything here runs on the main thread (the thread of mainLoop) except the body of a
// background refresh, which hands its list to the main thread and waits for it; the main loop must
// therefore run while a refresh runs. At most one refresh runs at a time: one that finds another
// still running skips itself entirely.
class CoursesController {
public:
    using Options = CoursesControllerOptions;

    // `loggedIn` belongs to the application controller. ui (may be null) shows the add-folder alert.
    // Refreshing is switched on at once.
    CoursesController(core::Settings& settings, core::RunLoop& mainLoop, core::Property<bool>& loggedIn,
                      core::AppUserInterface* ui = nullptr, Options options = {});
    // Stops the timer and waits for a refresh still running (running the main loop meanwhile when
    // called on its thread).
    ~CoursesController();
    CoursesController(const CoursesController&) = delete;
    CoursesController& operator=(const CoursesController&) = delete;

    // ---- announcements, emitted on the main thread
    // "CoursesUpdated": a new list is installed; isUpdate is false for the first list after a change
    // of the login state, true for every later one.
    core::Signal<bool> coursesUpdated;
    // "NewSessionGroup": a folder this controller added has arrived in the list.
    core::Signal<const SessionGroupPtr&> newSessionGroup;

    // ---- the list (main thread)
    const SessionGroupList& arrangedObjects() const { return content_; }
    // The first folder whose publicID equals the given one, or none.
    SessionGroupPtr sessionGroupWithGUID(const std::string& publicID) const;
    // False after every change of the login state; true once a list has arrived since.
    bool updatedSinceLastLogin() const { return updatedSinceLastLogin_; }
    bool isLoggedIn() const { return loggedIn_.get(); }
    core::Property<bool>& loggedIn() { return loggedIn_; }

    // ---- refreshing
    // true starts the repeating timer (when not running); false stops it.
    void setUpdating(bool updating);
    bool isUpdating() const { return timer_.isValid(); }
    // The timer's action: starts a background refresh unless one is running or the user is logged out.
    void getSessionGroups();
    // One refresh on the calling thread; skipped at once when another refresh holds the lock.
    void getSessionGroupsCore();
    // Installs a list and announces it (main thread).
    void updateSessionGroups(SessionGroupList groups);
    // Whether a background refresh is running.
    bool isRefreshRunning() const { return refreshRunning_.load(); }
    // Waits until no background refresh runs (running the main loop meanwhile when called on its
    // thread). For shutdown and tests.
    void waitForRefresh();

    // ---- the add-folder sheet
    // The name typed in the sheet.
    core::Property<std::string>& newCourseName() { return newCourseName_; }
    // Whether the sheet is to be shown; the window layer follows it.
    core::Property<bool>& addSessionGroupSheetShowing() { return sheetShowing_; }
    // Stops refreshing and shows the sheet.
    void showAddSessionGroupButtonClick();
    // Creates the folder named newCourseName on the server (a blocking call), refreshes at once and
    // announces the new folder; a failure is logged and shown as an alert. Refreshing is switched
    // back on in every case.
    void addCourse();
    void cancelAddCourse();

private:
    std::unique_ptr<service::RecorderService> makeService() const;
    void loggedInChanged(bool loggedIn);
    void joinFinishedRefresh();

    core::Settings& settings_;
    core::RunLoop& mainLoop_;
    core::Property<bool>& loggedIn_;
    core::AppUserInterface* ui_;
    const Options options_;

    SessionGroupList content_;
    bool updatedSinceLastLogin_ = false;
    core::Property<std::string> newCourseName_;
    core::Property<bool> sheetShowing_{false};

    core::TimerHandle timer_;
    std::mutex updateLock_;  // held for the whole of one refresh; only ever tried
    std::thread refreshThread_;
    std::atomic<bool> refreshRunning_{false};
    std::atomic<bool> closing_{false};

    // Lets work posted to the main loop find out whether this controller still exists.
    std::shared_ptr<CoursesController*> self_;
    core::Subscription loggedInSubscription_;
};

}  // namespace orvanta::control
