// The folder and session chooser against the reference server: the folder menu in its states, the
// sessions menu, choosing and going back to a new session, the reset with its default name and the
// "lastSessionGroup" setting, and the reactions to the folder list's announcements.

#include "control/SessionChooserController.h"

#include <gtest/gtest.h>

#include "control/ChooserTestSupport.h"
#include "core/SettingsKeys.h"
#include "model/ObjectMapping.h"
#include "service/RecorderService.h"

namespace orvanta::chooser_test {
namespace {

using control::SessionChooserController;
using nlohmann::json;

const json kFolders = json::array({folder("Physics 101", {"Lecture 2", "lab", "Lecture 1"}),
                                   folder("Chemistry", {"Only Session"}), folder("Empty Folder")});

// A local time as the clock gives it.
std::chrono::system_clock::time_point localTime(int year, int month, int day, int hour, int minute) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

model::ObjectPtr sessionNamed(const control::SessionGroupPtr& group, const std::string& name) {
    for (const auto& s : group->toMany("sessions"))
        if (s->stringValue("longName") == name) return s;
    return nullptr;
}

// ---- the folder menu

TEST(ChooserFolderMenu, ContentsForFolderSituations) {
    struct Case {
        const char* name;
        json folders;
        bool allowNone;  // the new-recording view's setting, with its label
        std::string wanted;
        std::string menu;
        std::string chosen;
        bool existingSessions;
    };
    const json one = json::array({folder("Only Folder", {"Week 1"})});
    const Case cases[] = {
        {"prompt first", kFolders, false, "", ">(Select a Folder...) | Physics 101 | Chemistry | Empty Folder", "<none>",
         false},
        {"wanted folder", kFolders, false, "Chemistry", "Physics 101 | >Chemistry | Empty Folder", "Chemistry", true},
        {"wanted folder without sessions", kFolders, false, "Empty Folder", "Physics 101 | Chemistry | >Empty Folder",
         "Empty Folder", false},
        {"wanted folder gone", kFolders, false, "Biology", ">Physics 101 | Chemistry | Empty Folder", "Physics 101",
         true},
        {"single folder chosen", one, false, "", ">Only Folder", "Only Folder", true},
        {"offline first", one, true, "", ">~None (Record Offline) | - | Only Folder", "<none>", false},
        {"offline, wanted", kFolders, true, "Chemistry",
         "~None (Record Offline) | - | Physics 101 | >Chemistry | Empty Folder", "Chemistry", true},
        {"offline, no folders", json::array(), true, "", ">~None (Record Offline)", "<none>", false},
        {"no folders", json::array(), false, "", ">(Select a Folder...)", "<none>", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChooserHarness h(c.folders);
        if (c.allowNone) {
            h.chooser->setNullSessionGroupLabel(control::kRecordOfflineLabel);
            h.chooser->setAllowNullSessionGroupSelection(true);
        }
        ASSERT_TRUE(h.logIn());
        h.chooser->resetWithSessionGroupName(c.wanted, "Talk");
        EXPECT_EQ(h.popup(), c.menu);
        EXPECT_EQ(folderName(h.chooser->selectedSessionGroup().get()), c.chosen);
        EXPECT_EQ(h.chooser->existingSessionsAvailableForSessionGroup().get(), c.existingSessions);
        EXPECT_EQ(h.chooser->sessionName().get(), "Talk");
    }
}

TEST(ChooserFolderMenu, LoggedOutAndLoadingStates) {
    ChooserHarness h(kFolders);
    h.chooser->resetWithSessionGroupName("Chemistry", "");
    EXPECT_EQ(h.popup(), ">(Login to Choose/Upload...)");
    EXPECT_EQ(h.chooser->selectedSessionGroup().get(), nullptr);

    // Logged in but no list yet (the server cannot be reached).
    h.login.settings.setString(core::kServer, closedServerName());
    h.login.loggedIn.set(true);
    h.waitForRefresh();
    h.chooser->folderPopupWillPopUp();
    EXPECT_EQ(h.popup(), ">(Loading Folders...)");

    // The first list rebuilds the menu with the default folder.
    h.login.settings.setString(core::kServer, h.server.serverName());
    h.courses->getSessionGroups();
    ASSERT_TRUE(h.waitForUpdates(1));
    EXPECT_EQ(h.popup(), "Physics 101 | >Chemistry | Empty Folder");
    EXPECT_EQ(folderName(h.chooser->selectedSessionGroup().get()), "Chemistry");

    // Logging out drops the folder.
    h.login.loggedIn.set(false);
    EXPECT_EQ(h.popup(), ">(Login to Choose/Upload...)");
    EXPECT_EQ(h.chooser->selectedSessionGroup().get(), nullptr);
}

TEST(ChooserFolderMenu, ChoosingFoldersAndRefreshes) {
    ChooserHarness h(kFolders);
    ASSERT_TRUE(h.logIn());
    h.chooser->resetWithSessionGroupName("", "My Talk");

    // The prompt cannot be picked; a folder can.
    h.chooser->chooseFolderItem(0);
    EXPECT_EQ(h.chooser->selectedSessionGroup().get(), nullptr);
    h.chooser->chooseFolderItem(2);
    EXPECT_EQ(folderName(h.chooser->selectedSessionGroup().get()), "Chemistry");
    EXPECT_TRUE(h.chooser->existingSessionsAvailableForSessionGroup().get());
    EXPECT_EQ(h.popup(), "(Select a Folder...) | Physics 101 | >Chemistry | Empty Folder");

    // A chosen session goes with another folder, and stays when the same folder is chosen again.
    auto chemistry = h.chooser->selectedSessionGroup().get();
    h.chooser->selectSession(sessionNamed(chemistry, "Only Session"));
    h.chooser->chooseFolderItem(2);
    EXPECT_EQ(h.chooser->sessionName().get(), "Only Session");
    h.chooser->chooseFolderItem(3);
    EXPECT_EQ(h.chooser->selectedSession().get(), nullptr);
    EXPECT_EQ(h.chooser->sessionName().get(), "My Talk");
    EXPECT_FALSE(h.chooser->existingSessionsAvailableForSessionGroup().get());

    // A later refresh leaves the menu alone; opening the pop-up rebuilds it.
    service::RecorderService(h.server.serverName()).AddSessionGroup("Biology");
    h.courses->getSessionGroups();
    ASSERT_TRUE(h.waitForUpdates(2));
    EXPECT_EQ(h.updates.back(), true);
    EXPECT_EQ(h.popup(), "(Select a Folder...) | Physics 101 | Chemistry | >Empty Folder");
    h.chooser->folderPopupWillPopUp();
    EXPECT_EQ(h.popup(), "Physics 101 | Chemistry | >Empty Folder | Biology");
    EXPECT_EQ(folderName(h.chooser->selectedSessionGroup().get()), "Empty Folder");
}

// ---- the sessions menu

TEST(ChooserSessionsMenu, ContentsForSessionSituations) {
    struct Case {
        const char* name;
        std::string folder;
        std::string chosenSession;  // "" for a new session
        std::string menu;
    };
    const Case cases[] = {
        {"new session", "Physics 101", "", "() | (Available Sessions) | lab | Lecture 1 | Lecture 2"},
        {"chosen session left out", "Physics 101", "Lecture 1",
         "() | Edit (New Session)... | - | (Available Sessions) | lab | Lecture 2"},
        {"only session chosen", "Chemistry", "Only Session", "() | Edit (New Session)..."},
        {"folder without sessions", "Empty Folder", "", "()"},
        {"no folder", "", "", "()"},
    };
    ChooserHarness h(kFolders);
    ASSERT_TRUE(h.logIn());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        h.chooser->resetWithSessionGroupName(c.folder, "");
        if (!c.chosenSession.empty())
            h.chooser->selectSession(sessionNamed(h.chooser->selectedSessionGroup().get(), c.chosenSession));
        EXPECT_EQ(describe(h.chooser->showSessionsMenu()), c.menu);
    }
}

TEST(ChooserSessionsMenu, SessionsInProgressComeFirst) {
    ChooserHarness h(kFolders);
    ASSERT_TRUE(h.logIn());
    // The reference server does not report started sessions; install a list that has some.
    auto session = [](const char* id, const char* name, const char* started) {
        return model::ResultValue(model::ResultMap{{"publicID", id}, {"longName", name}, {"isStarted", started}});
    };
    auto group = std::static_pointer_cast<model::SimpleSessionGroup>(model::objectForEntity(
        "SimpleSessionGroup",
        {{"publicID", "G"},
         {"longName", "Physics 101"},
         {"sessions", model::ResultMap{{"SimpleSession",
                                        model::ResultList{session("S3", "Lecture 3", "true"),
                                                          session("S1", "Lecture 1", "false"),
                                                          session("S2", "Lecture 2", "true")}}}}}));
    h.courses->updateSessionGroups({group});
    h.chooser->resetWithSessionGroupName("Physics 101", "");
    const auto menu = h.chooser->showSessionsMenu();
    EXPECT_EQ(describe(menu), "() | (In Progress Sessions) | Lecture 2 | Lecture 3 | - | (Available Sessions) | Lecture 1");
    EXPECT_EQ(menu.items[2].action, control::ChooserAction::SelectSession);
    EXPECT_EQ(menu.items[2].session->stringValue("publicID"), "S2");

    h.chooser->selectSessionWithPublicID("S2");
    EXPECT_EQ(describe(h.chooser->showSessionsMenu()),
              "() | Edit (New Session)... | - | (In Progress Sessions) | Lecture 3 | - | (Available Sessions) | Lecture 1");
}

// ---- choosing a session

TEST(ChooserSession, GoingBackToANewSessionBringsBackTheTypedName) {
    ChooserHarness h(kFolders);
    ASSERT_TRUE(h.logIn());
    int endEditing = 0, textSelected = 0;
    auto w1 = h.chooser->endEditing.connect([&] { ++endEditing; });
    auto w2 = h.chooser->selectSessionFieldText.connect([&] { ++textSelected; });

    h.chooser->resetWithSessionGroupName("Physics 101", "");
    h.chooser->sessionName().set("Typed Name");
    const auto physics = h.chooser->selectedSessionGroup().get();

    h.chooser->selectSession(sessionNamed(physics, "Lecture 1"));
    EXPECT_EQ(endEditing, 1);
    EXPECT_EQ(h.chooser->sessionName().get(), "Lecture 1");
    EXPECT_EQ(h.chooser->selectedSession().get(), sessionNamed(physics, "Lecture 1"));
    EXPECT_FALSE(h.chooser->sessionFieldSelectable().get());

    // Another existing session: going back still gives the typed name, not the session before.
    h.chooser->selectSession(sessionNamed(physics, "lab"));
    EXPECT_EQ(h.chooser->sessionName().get(), "lab");

    textSelected = 0;
    h.chooser->selectSession(nullptr);  // "Edit (New Session)..."
    EXPECT_EQ(h.chooser->sessionName().get(), "Typed Name");
    EXPECT_EQ(h.chooser->selectedSession().get(), nullptr);
    EXPECT_TRUE(h.chooser->sessionFieldSelectable().get());
    EXPECT_EQ(textSelected, 1);

    // By public ID, only within the chosen folder.
    const std::string lab = sessionNamed(physics, "lab")->stringValue("publicID").value();
    h.chooser->selectSessionWithPublicID("no-such-session");
    EXPECT_EQ(h.chooser->selectedSession().get(), nullptr);
    h.chooser->selectSessionWithPublicID(lab);
    EXPECT_EQ(h.chooser->sessionName().get(), "lab");
    h.chooser->resetWithSessionGroupName("", "x");
    h.chooser->selectSessionWithPublicID(lab);
    EXPECT_EQ(h.chooser->selectedSession().get(), nullptr);

    // An emptied name comes back when the session is cleared.
    h.chooser->resetWithSessionGroupName("Physics 101", "Kept");
    h.chooser->sessionName().set("");
    h.chooser->clearSession();
    EXPECT_EQ(h.chooser->sessionName().get(), "Kept");
}

// ---- reset and the default name

TEST(ChooserReset, DefaultSessionNameFormat) {
    struct Case {
        int year, month, day, hour, minute;
        const char* expected;
    };
    const Case cases[] = {
        {2024, 3, 5, 9, 7, "Tue, Mar 5 2024 at 9:07 AM"},
        {2024, 3, 5, 0, 5, "Tue, Mar 5 2024 at 12:05 AM"},
        {2023, 12, 31, 12, 0, "Sun, Dec 31 2023 at 12:00 PM"},
        {2025, 1, 10, 23, 59, "Fri, Jan 10 2025 at 11:59 PM"},
        {2024, 2, 29, 13, 30, "Thu, Feb 29 2024 at 1:30 PM"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(control::defaultSessionName(localTime(c.year, c.month, c.day, c.hour, c.minute)), c.expected);
}

TEST(ChooserReset, ResetUsesTheSettingAndTheClock) {
    ChooserHarness h(kFolders);
    ASSERT_TRUE(h.logIn());
    h.now = localTime(2024, 3, 5, 14, 3);

    h.login.settings.setString(core::kLastSessionGroup, "Chemistry");
    h.chooser->resetFromSettings(h.login.settings);
    EXPECT_EQ(h.chooser->defaultSessionGroup(), "Chemistry");
    EXPECT_EQ(folderName(h.chooser->selectedSessionGroup().get()), "Chemistry");
    EXPECT_EQ(h.chooser->sessionName().get(), "Tue, Mar 5 2024 at 2:03 PM");
    EXPECT_EQ(h.chooser->lastEditedSessionName(), "Tue, Mar 5 2024 at 2:03 PM");

    // A reset drops the chosen session; a given name is kept as it is.
    h.chooser->selectSession(sessionNamed(h.chooser->selectedSessionGroup().get(), "Only Session"));
    h.chooser->resetWithSessionGroupName("Physics 101", "Review");
    EXPECT_EQ(h.chooser->selectedSession().get(), nullptr);
    EXPECT_EQ(h.chooser->sessionName().get(), "Review");
    EXPECT_TRUE(h.chooser->sessionFieldSelectable().get());

    // The chosen folder is remembered for the next recording; no folder removes the setting.
    h.chooser->rememberSessionGroup(h.login.settings);
    EXPECT_EQ(h.login.settings.stringForKey(core::kLastSessionGroup), "Physics 101");
    h.chooser->resetWithSessionGroupName("", "");
    h.chooser->rememberSessionGroup(h.login.settings);
    EXPECT_FALSE(h.login.settings.contains(core::kLastSessionGroup));
}

// ---- announcements of the folder list

TEST(ChooserNotifications, ANewFolderIsTakenUpByTheShownChooserOnly) {
    ChooserHarness h(kFolders);
    SessionChooserController hidden(*h.courses, h.login.loop);
    hidden.setShownInCurrentView([] { return false; });
    h.chooser->setShownInCurrentView([] { return true; });
    ASSERT_TRUE(h.logIn());
    h.chooser->resetWithSessionGroupName("Physics 101", "Typed");
    hidden.resetWithSessionGroupName("Chemistry", "");

    h.courses->newCourseName().set("Biology 200");
    h.courses->addCourse();
    ASSERT_EQ(h.newGroups.size(), 1u);

    EXPECT_EQ(folderName(h.chooser->selectedSessionGroup().get()), "Biology 200");
    EXPECT_EQ(h.popup(), "Physics 101 | Chemistry | Empty Folder | >Biology 200");
    EXPECT_EQ(h.chooser->sessionName().get(), "Typed");
    EXPECT_FALSE(h.chooser->existingSessionsAvailableForSessionGroup().get());

    EXPECT_EQ(folderName(hidden.selectedSessionGroup().get()), "Chemistry");
    EXPECT_EQ(describe(hidden.foldersPopup().get()), "Physics 101 | >Chemistry | Empty Folder");
}

TEST(ChooserNotifications, AnUpdateRefreshesWhetherSessionsExist) {
    ChooserHarness h(kFolders);
    ASSERT_TRUE(h.logIn());
    h.chooser->resetWithSessionGroupName("Empty Folder", "");
    EXPECT_FALSE(h.chooser->existingSessionsAvailableForSessionGroup().get());

    const auto empty = h.chooser->selectedSessionGroup().get();
    service::RecorderService(h.server.serverName()).AddSession(empty->stringValue("publicID").value(), "New One");
    h.courses->getSessionGroups();
    ASSERT_TRUE(h.waitForUpdates(2));
    EXPECT_TRUE(h.chooser->existingSessionsAvailableForSessionGroup().get());
    EXPECT_EQ(describe(h.chooser->showSessionsMenu()), "() | (Available Sessions) | New One");
}

}  // namespace
}  // namespace orvanta::chooser_test
