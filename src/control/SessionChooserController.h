#pragma once

#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "control/ChooserMenu.h"
#include "control/CoursesController.h"
#include "core/Observable.h"
#include "core/RunLoop.h"
#include "core/Settings.h"
#include "model/ManagedObject.h"

namespace orvanta::control {

// Titles the chooser shows.
inline constexpr const char* kNullSessionLabel = "Edit (New Session)...";
inline constexpr const char* kNullSessionGroupLabel = "Select a Folder...";
// The empty folder choice of the new-recording view.
inline constexpr const char* kRecordOfflineLabel = "None (Record Offline)";
inline constexpr const char* kLoginToChooseLabel = "Login to Choose/Upload...";
inline constexpr const char* kLoadingFoldersLabel = "Loading Folders...";
inline constexpr const char* kInProgressSessionsHeader = "In Progress Sessions";
inline constexpr const char* kAvailableSessionsHeader = "Available Sessions";

// The name a new session gets when none is given: the local date and time as
// "Tue, Mar 5 2024 at 9:07 AM" (weekday and month abbreviated in English, day without a leading
// zero, four-digit year, hour on the 12-hour clock without a leading zero, two-digit minute).
std::string defaultSessionName(const std::tm& localTime);
std::string defaultSessionName(std::chrono::system_clock::time_point now);

// Drives one folder pop-up and one session-name field: builds the folder menu from the shared
// folder list, builds the menu of the chosen folder's existing sessions, and exposes the choice as
// selectedSessionGroup, selectedSession and sessionName. No widgets: the window layer shows
// foldersPopup, follows sessionFieldSelectable and the two requests, and reports the user's
// picks back through the actions below.
//
// Threads: main thread only (the thread of mainLoop).
class SessionChooserController {
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    // now: the clock the default session name is read from (the system clock when empty).
    explicit SessionChooserController(CoursesController& courses, core::RunLoop& mainLoop, Clock now = {});
    ~SessionChooserController();
    SessionChooserController(const SessionChooserController&) = delete;
    SessionChooserController& operator=(const SessionChooserController&) = delete;

    // ---- set by the owner
    const std::string& nullSessionGroupLabel() const { return nullSessionGroupLabel_; }
    void setNullSessionGroupLabel(std::string label) { nullSessionGroupLabel_ = std::move(label); }
    const std::string& nullSessionLabel() const { return nullSessionLabel_; }
    bool allowNullSessionGroupSelection() const { return allowNullSessionGroupSelection_; }
    void setAllowNullSessionGroupSelection(bool allow) { allowNullSessionGroupSelection_ = allow; }
    // Whether the folder pop-up lies inside the application's currently shown view; only such a
    // chooser takes up a newly added folder. Unset: always.
    void setShownInCurrentView(std::function<bool()> shown) { shownInCurrentView_ = std::move(shown); }

    // ---- the choice, observable
    // Typed by the user (the field sets it), or the name of the chosen existing session.
    core::Property<std::string>& sessionName() { return sessionName_; }
    core::Property<SessionGroupPtr>& selectedSessionGroup() { return selectedSessionGroup_; }
    // The chosen existing session; none for a new session.
    core::Property<model::ObjectPtr>& selectedSession() { return selectedSession_; }
    core::Property<bool>& existingSessionsAvailableForSessionGroup() { return existingSessionsAvailable_; }
    const std::string& defaultSessionGroup() const { return defaultSessionGroup_; }
    const std::string& lastEditedSessionName() const { return lastEditedSessionName_; }

    // ---- what the window layer shows
    // The folder pop-up's menu and selected item.
    core::Property<ChooserMenu>& foldersPopup() { return foldersPopup_; }
    // Whether the session field may be edited (false while it shows an existing session's name).
    core::Property<bool>& sessionFieldSelectable() { return sessionFieldSelectable_; }
    // Asks the field to select its whole text for typing.
    core::Signal<> selectSessionFieldText;
    // Asks the main window to end any editing (it becomes its own first responder).
    core::Signal<> endEditing;

    // ---- actions
    // Prepares the chooser before it is shown: folder display name (or empty) to preselect, session
    // name (empty: the default name for now).
    void resetWithSessionGroupName(const std::string& sessionGroupName, const std::string& sessionName);
    // Rebuilds the folder menu, selecting the folder of the given display name (or empty).
    void populateFoldersPopup(const std::string& wanted);
    // The folder menu item action; null stands for no item.
    void selectSessionGroup(const ChooserMenuItem* item);
    // The user picked the folder menu item at index: the pop-up selects it and sends its action.
    void chooseFolderItem(int index);
    // The folder pop-up is about to open: the menu is rebuilt from the latest list.
    void folderPopupWillPopUp();
    // The sessions menu to pop up on the session field.
    ChooserMenu showSessionsMenu() const;
    // The session menu item action: a session, or none for "Edit (New Session)...".
    void selectSession(const model::ObjectPtr& session);
    void clearSession();
    void selectSessionWithPublicID(const std::string& publicID);

    // ---- the "lastSessionGroup" setting
    // Reset with the folder the setting names and the default session name.
    void resetFromSettings(const core::SettingsAccess& settings);
    // Writes the chosen folder's display name to the setting, or removes it when none is chosen.
    void rememberSessionGroup(core::SettingsAccess& settings) const;

private:
    void coursesUpdated(bool isUpdate);
    void newSessionGroupAdded(const SessionGroupPtr& group);
    void loggedInChanged(bool loggedIn);
    void showSession(const model::ObjectPtr& session);
    bool hasSessions(const SessionGroupPtr& group) const;

    CoursesController& courses_;
    core::RunLoop& mainLoop_;
    Clock now_;

    std::string nullSessionGroupLabel_ = kNullSessionGroupLabel;
    std::string nullSessionLabel_ = kNullSessionLabel;
    std::string defaultSessionGroup_;
    bool allowNullSessionGroupSelection_ = false;
    std::string lastEditedSessionName_;
    std::function<bool()> shownInCurrentView_;

    core::Property<std::string> sessionName_;
    core::Property<SessionGroupPtr> selectedSessionGroup_;
    core::Property<model::ObjectPtr> selectedSession_;
    core::Property<bool> existingSessionsAvailable_{false};
    core::Property<ChooserMenu> foldersPopup_;
    core::Property<bool> sessionFieldSelectable_{true};

    std::shared_ptr<SessionChooserController*> self_;
    core::Subscription coursesUpdatedSubscription_;
    core::Subscription newSessionGroupSubscription_;
    core::Subscription loggedInSubscription_;
};

}  // namespace orvanta::control
