#include "control/SessionChooserController.h"

#include "core/SettingsKeys.h"

namespace orvanta::control {

namespace {

std::string publicIDOf(const model::ManagedObject& object) { return object.stringValue("publicID").value_or(""); }
std::string longNameOf(const model::ManagedObject& object) { return object.stringValue("longName").value_or(""); }

ChooserMenuItem disabledItem(std::string title) {
    ChooserMenuItem item;
    item.title = std::move(title);
    item.enabled = false;
    return item;
}

ChooserMenuItem sessionItem(const model::ObjectPtr& session) {
    ChooserMenuItem item;
    item.title = longNameOf(*session);
    item.action = ChooserAction::SelectSession;
    item.session = session;
    return item;
}

}  // namespace

SessionChooserController::SessionChooserController(CoursesController& courses, core::RunLoop& mainLoop, Clock now)
    : courses_(courses),
      mainLoop_(mainLoop),
      now_(now ? std::move(now) : Clock([] { return std::chrono::system_clock::now(); })),
      self_(std::make_shared<SessionChooserController*>(this)) {
    coursesUpdatedSubscription_ = courses_.coursesUpdated.connect([this](bool isUpdate) { coursesUpdated(isUpdate); });
    newSessionGroupSubscription_ =
        courses_.newSessionGroup.connect([this](const SessionGroupPtr& group) { newSessionGroupAdded(group); });
    // The login state may change on any thread; the chooser works on the main thread only.
    std::weak_ptr<SessionChooserController*> weak = self_;
    core::RunLoop* loop = &mainLoop_;
    loggedInSubscription_ = courses_.loggedIn().observe([weak, loop](const bool& value) {
        auto react = [weak, value] {
            if (auto self = weak.lock()) (*self)->loggedInChanged(value);
        };
        if (loop->isLoopThread())
            react();
        else
            loop->post(react);
    });
}

SessionChooserController::~SessionChooserController() {
    loggedInSubscription_.reset();
    newSessionGroupSubscription_.reset();
    coursesUpdatedSubscription_.reset();
    self_.reset();
}

bool SessionChooserController::hasSessions(const SessionGroupPtr& group) const {
    return group && !group->toMany("sessions").empty();
}

// ---- the folder pop-up

void SessionChooserController::populateFoldersPopup(const std::string& wantedName) {
    std::string wanted = wantedName;
    ChooserMenu menu;
    if (!courses_.isLoggedIn()) {
        menu.items.push_back(disabledItem(kLoginToChooseLabel));
    } else if (!courses_.updatedSinceLastLogin()) {
        menu.items.push_back(disabledItem(kLoadingFoldersLabel));
    } else {
        const SessionGroupList& groups = courses_.arrangedObjects();
        if (wanted.empty() && !allowNullSessionGroupSelection_ && groups.size() == 1 && groups.front())
            wanted = groups.front()->displayName();

        if (wanted.empty() || allowNullSessionGroupSelection_) {
            ChooserMenuItem none;
            none.title = nullSessionGroupLabel_;
            none.action = ChooserAction::SelectSessionGroup;
            if (allowNullSessionGroupSelection_) {
                none.grayTitle = true;
                menu.items.push_back(none);
                if (!groups.empty()) menu.items.push_back(ChooserMenuItem::separatorItem());
            } else {
                none.enabled = false;  // a prompt only
                menu.items.push_back(none);
            }
        }

        for (const auto& group : groups) {
            if (!group) continue;
            ChooserMenuItem item;
            item.title = group->displayName();
            item.action = ChooserAction::SelectSessionGroup;
            item.sessionGroup = group;
            if (item.title == wanted) {
                selectedSessionGroup_.set(group);
                existingSessionsAvailable_.set(hasSessions(group));
            }
            menu.items.push_back(std::move(item));
        }
    }

    for (size_t i = 0; i < menu.items.size(); ++i) {
        if (!menu.items[i].separator && menu.items[i].title == wanted) {
            menu.selectedIndex = static_cast<int>(i);
            break;
        }
    }
    const bool selectFirst = menu.selectedIndex < 0 && !menu.items.empty();
    if (selectFirst) menu.selectedIndex = 0;
    foldersPopup_.set(menu);
    if (selectFirst) selectSessionGroup(&menu.items.front());
}

void SessionChooserController::selectSessionGroup(const ChooserMenuItem* item) {
    const SessionGroupPtr group = item ? item->sessionGroup : nullptr;
    const SessionGroupPtr current = selectedSessionGroup_.get();
    const bool same = (!group && !current) || (group && current && publicIDOf(*group) == publicIDOf(*current));
    if (same) return;
    selectedSessionGroup_.set(group);
    existingSessionsAvailable_.set(hasSessions(group));
    clearSession();
}

void SessionChooserController::chooseFolderItem(int index) {
    ChooserMenu menu = foldersPopup_.get();
    if (index < 0 || index >= static_cast<int>(menu.items.size())) return;
    const ChooserMenuItem item = menu.items[index];
    // The pop-up never lets the user pick a separator or a disabled entry.
    if (item.separator || !item.enabled) return;
    menu.selectedIndex = index;
    foldersPopup_.set(menu);
    if (item.action == ChooserAction::SelectSessionGroup) selectSessionGroup(&item);
}

void SessionChooserController::folderPopupWillPopUp() {
    const ChooserMenu menu = foldersPopup_.get();
    const ChooserMenuItem* selected = menu.selectedItem();
    populateFoldersPopup(selected ? selected->title : std::string());
}

// ---- the sessions menu

ChooserMenu SessionChooserController::showSessionsMenu() const {
    ChooserMenu menu;
    menu.items.push_back(disabledItem(""));  // the pull-down's own title item

    const model::ObjectPtr chosen = selectedSession_.get();
    if (chosen) {
        ChooserMenuItem newSession;
        newSession.title = nullSessionLabel_;
        newSession.action = ChooserAction::SelectSession;
        menu.items.push_back(newSession);
    }

    const SessionGroupPtr current = selectedSessionGroup_.get();
    const SessionGroupPtr group = current ? courses_.sessionGroupWithGUID(publicIDOf(*current)) : nullptr;
    if (!hasSessions(group)) return menu;

    const auto sessions = group->sortedSessions();
    if (chosen && sessions.size() >= 2) menu.items.push_back(ChooserMenuItem::separatorItem());

    std::vector<model::ObjectPtr> inProgress, available;
    for (const auto& session : sessions) {
        if (!session) continue;
        if (chosen && longNameOf(*session) == longNameOf(*chosen)) continue;
        (session->boolValue("isStarted") ? inProgress : available).push_back(session);
    }
    if (!inProgress.empty()) {
        menu.items.push_back(disabledItem(kInProgressSessionsHeader));
        for (const auto& session : inProgress) menu.items.push_back(sessionItem(session));
        if (!available.empty()) menu.items.push_back(ChooserMenuItem::separatorItem());
    }
    if (!available.empty()) {
        menu.items.push_back(disabledItem(kAvailableSessionsHeader));
        for (const auto& session : available) menu.items.push_back(sessionItem(session));
    }
    return menu;
}

void SessionChooserController::selectSession(const model::ObjectPtr& session) {
    const bool hadSession = selectedSession_.get() != nullptr;
    selectedSession_.set(session);
    if (!session) {
        sessionName_.set(lastEditedSessionName_);
        clearSession();
        return;
    }
    endEditing.emit();
    // Only a name of the user's own is kept for going back to a new session; the name of the
    // session chosen before is not one.
    if (!hadSession) lastEditedSessionName_ = sessionName_.get();
    showSession(session);
}

void SessionChooserController::showSession(const model::ObjectPtr& session) {
    sessionName_.set(longNameOf(*session));
    sessionFieldSelectable_.set(false);
}

void SessionChooserController::clearSession() {
    if (selectedSession_.get() || sessionName_.get().empty()) sessionName_.set(lastEditedSessionName_);
    selectedSession_.set(nullptr);
    sessionFieldSelectable_.set(true);
    selectSessionFieldText.emit();
}

void SessionChooserController::selectSessionWithPublicID(const std::string& publicID) {
    const SessionGroupPtr current = selectedSessionGroup_.get();
    if (!current) return;
    const SessionGroupPtr group = courses_.sessionGroupWithGUID(publicIDOf(*current));
    if (!group) return;
    for (const auto& session : group->toMany("sessions")) {
        if (session && session->stringValue("publicID").value_or("") == publicID) {
            selectSession(session);
            return;
        }
    }
}

// ---- reset and the setting

void SessionChooserController::resetWithSessionGroupName(const std::string& sessionGroupName,
                                                         const std::string& sessionName) {
    defaultSessionGroup_ = sessionGroupName;
    selectSessionGroup(nullptr);
    populateFoldersPopup(sessionGroupName);
    const std::string name = sessionName.empty() ? defaultSessionName(now_()) : sessionName;
    lastEditedSessionName_ = name;
    sessionName_.set(name);
}

void SessionChooserController::resetFromSettings(const core::SettingsAccess& settings) {
    resetWithSessionGroupName(settings.stringForKey(core::kLastSessionGroup).value_or(""), "");
}

void SessionChooserController::rememberSessionGroup(core::SettingsAccess& settings) const {
    if (const SessionGroupPtr group = selectedSessionGroup_.get())
        settings.setString(core::kLastSessionGroup, group->displayName());
    else
        settings.removeObjectForKey(core::kLastSessionGroup);
}

// ---- reactions

void SessionChooserController::coursesUpdated(bool isUpdate) {
    if (!isUpdate) populateFoldersPopup(defaultSessionGroup_);
    const SessionGroupPtr current = selectedSessionGroup_.get();
    const SessionGroupPtr fresh = current ? courses_.sessionGroupWithGUID(publicIDOf(*current)) : nullptr;
    existingSessionsAvailable_.set(hasSessions(fresh));
}

void SessionChooserController::newSessionGroupAdded(const SessionGroupPtr& group) {
    if (!group || (shownInCurrentView_ && !shownInCurrentView_())) return;
    selectedSessionGroup_.set(group);
    populateFoldersPopup(group->displayName());
    clearSession();
}

void SessionChooserController::loggedInChanged(bool loggedIn) {
    if (!loggedIn) populateFoldersPopup("");
}

}  // namespace orvanta::control
