// The shared folder list against the reference server: refreshing after a login and on the timer,
// one refresh at a time, the two announcements, adding a folder, and servers that fail or do not
// answer.

#include "control/CoursesController.h"

#include <gtest/gtest.h>

#include "control/ChooserTestSupport.h"
#include "core/SettingsKeys.h"
#include "service/RecorderService.h"
#include "support/LogCapture.h"

namespace orvanta::chooser_test {
namespace {

using nlohmann::json;

std::vector<std::string> names(const control::SessionGroupList& groups) {
    std::vector<std::string> out;
    for (const auto& g : groups) out.push_back(folderName(g));
    return out;
}

const json kTwoFolders = json::array({folder("Physics 101", {"Lecture 1", "Lecture 2"}), folder("Chemistry")});

TEST(CoursesRefresh, LoginBringsTheFirstListThenUpdates) {
    ChooserHarness h(kTwoFolders);
    EXPECT_FALSE(h.courses->updatedSinceLastLogin());
    EXPECT_TRUE(h.courses->isUpdating());

    ASSERT_TRUE(h.logIn());
    EXPECT_EQ(h.updates, std::vector<bool>{false});  // the first list after a login is no update
    EXPECT_TRUE(h.courses->updatedSinceLastLogin());
    EXPECT_EQ(names(h.courses->arrangedObjects()), (std::vector<std::string>{"Physics 101", "Chemistry"}));
    EXPECT_EQ(h.courses->arrangedObjects()[0]->toMany("sessions").size(), 2u);

    // Looked up by public ID.
    const auto physics = h.courses->arrangedObjects()[0];
    EXPECT_EQ(h.courses->sessionGroupWithGUID(physics->stringValue("publicID").value()), physics);
    EXPECT_EQ(h.courses->sessionGroupWithGUID("no-such-folder"), nullptr);

    // A later refresh is an update.
    h.courses->getSessionGroups();
    ASSERT_TRUE(h.waitForUpdates(2));
    h.waitForRefresh();
    EXPECT_EQ(h.updates, (std::vector<bool>{false, true}));

    // Every change of the login state starts over.
    h.login.login->logOut();
    EXPECT_FALSE(h.courses->updatedSinceLastLogin());
    h.courses->getSessionGroups();  // logged out: nothing is asked
    EXPECT_FALSE(h.courses->isRefreshRunning());
    ASSERT_TRUE(h.logIn());
    EXPECT_EQ(h.updates, (std::vector<bool>{false, true, false}));
}

TEST(CoursesRefresh, TimerRefreshesWhileOnAndLoggedIn) {
    control::CoursesControllerOptions options;
    options.refreshInterval = 0.1;
    ChooserHarness h(kTwoFolders, {}, options);

    // Logged out, the timer asks nothing.
    h.login.loop.runUntil([] { return false; }, std::chrono::milliseconds(350));
    EXPECT_FALSE(h.courses->isRefreshRunning());
    EXPECT_TRUE(h.updates.empty());

    ASSERT_TRUE(h.logIn());
    ASSERT_TRUE(h.waitForUpdates(4));
    EXPECT_EQ(h.updates[3], true);

    h.courses->setUpdating(false);
    EXPECT_FALSE(h.courses->isUpdating());
    h.waitForRefresh();
    const size_t stopped = h.updates.size();
    h.login.loop.runUntil([] { return false; }, std::chrono::milliseconds(350));
    EXPECT_EQ(h.updates.size(), stopped);

    h.courses->setUpdating(true);
    ASSERT_TRUE(h.waitForUpdates(stopped + 1));
}

TEST(CoursesRefresh, ARefreshStillRunningMakesTheNextSkip) {
    ChooserHarness h(kTwoFolders, {"--slow-ms", "600"});
    ASSERT_TRUE(h.logIn());

    h.courses->getSessionGroups();
    ASSERT_TRUE(h.courses->isRefreshRunning());
    // While it runs, a timer tick starts nothing, and of it and a direct refresh only one asks the
    // server (whichever takes the lock first; the other skips).
    h.courses->getSessionGroups();
    h.courses->getSessionGroupsCore();

    h.waitForRefresh();
    h.login.loop.runUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(h.updates, (std::vector<bool>{false, true}));  // one list, not two
}

// ---- adding a folder

TEST(CoursesAdd, ANewFolderIsCreatedListedAndAnnounced) {
    ChooserHarness h(kTwoFolders);
    ASSERT_TRUE(h.logIn());

    h.courses->showAddSessionGroupButtonClick();
    EXPECT_TRUE(h.courses->addSessionGroupSheetShowing().get());
    EXPECT_FALSE(h.courses->isUpdating());  // no refresh while the sheet is open

    h.courses->newCourseName().set("Biology 200");
    h.courses->addCourse();
    EXPECT_FALSE(h.courses->addSessionGroupSheetShowing().get());
    EXPECT_TRUE(h.courses->isUpdating());
    EXPECT_TRUE(h.ui.sheets.empty());
    EXPECT_EQ(names(h.courses->arrangedObjects()),
              (std::vector<std::string>{"Physics 101", "Chemistry", "Biology 200"}));
    ASSERT_EQ(h.newGroups.size(), 1u);
    EXPECT_EQ(h.newGroups[0], h.courses->arrangedObjects()[2]);

    // Cancelling the sheet switches refreshing back on too.
    h.courses->showAddSessionGroupButtonClick();
    h.courses->cancelAddCourse();
    EXPECT_FALSE(h.courses->addSessionGroupSheetShowing().get());
    EXPECT_TRUE(h.courses->isUpdating());
}

TEST(CoursesAdd, RefusedOrUnreachableGivesTheAlert) {
    struct Case {
        const char* name;
        std::string folderName;
        bool closedServer;
        std::string informative;  // what the informative text starts with
    };
    const Case cases[] = {
        {"duplicate", "Chemistry", false, "Error: Please choose a unique Name for the Folder you are trying to add"},
        {"empty name", "", false, "Error: Please choose a unique Name for the Folder you are trying to add"},
        {"no server", "Biology", true, "Error: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChooserHarness h(kTwoFolders);
        ASSERT_TRUE(h.logIn());
        if (c.closedServer) h.login.settings.setString(core::kServer, closedServerName());
        test::LogCapture log;

        h.courses->showAddSessionGroupButtonClick();
        h.courses->newCourseName().set(c.folderName);
        h.courses->addCourse();

        EXPECT_FALSE(h.courses->addSessionGroupSheetShowing().get());
        EXPECT_TRUE(h.courses->isUpdating());
        EXPECT_TRUE(h.newGroups.empty());
        ASSERT_EQ(h.ui.sheets.size(), 1u);
        const auto& alert = h.ui.sheets[0];
        EXPECT_EQ(alert.messageText, "There was an error trying to create a new Folder");
        EXPECT_EQ(alert.buttons, std::vector<std::string>{"OK"});
        EXPECT_EQ(alert.informativeText.rfind(c.informative, 0), 0u) << alert.informativeText;
        EXPECT_GT(alert.informativeText.size(), std::string("Error: ").size());
        EXPECT_TRUE(log.contains("Exception: "));
        EXPECT_EQ(names(h.courses->arrangedObjects()), (std::vector<std::string>{"Physics 101", "Chemistry"}));
    }
}

TEST(CoursesAdd, WhileATimerRefreshHoldsTheLockNothingIsAnnounced) {
    ChooserHarness h(kTwoFolders, {"--slow-ms", "400"});
    ASSERT_TRUE(h.logIn());

    // The background refresh holds the lock until the main thread has installed its list, which
    // cannot happen before the (blocking) add has returned.
    h.courses->getSessionGroups();
    ASSERT_TRUE(h.courses->isRefreshRunning());
    h.courses->showAddSessionGroupButtonClick();
    h.courses->newCourseName().set("Biology 200");
    h.courses->addCourse();
    EXPECT_FALSE(h.courses->addSessionGroupSheetShowing().get());
    EXPECT_TRUE(h.newGroups.empty());
    EXPECT_TRUE(h.ui.sheets.empty());

    // The folder comes with a later refresh.
    h.waitForRefresh();
    h.courses->getSessionGroups();
    h.waitForRefresh();
    EXPECT_EQ(names(h.courses->arrangedObjects()),
              (std::vector<std::string>{"Physics 101", "Chemistry", "Biology 200"}));
    EXPECT_TRUE(h.newGroups.empty());
}

// ---- failures of the refresh

TEST(CoursesFailure, AFailedRefreshIsLoggedAndKeepsTheList) {
    // A server that answers only after the call has given up, and one nothing listens on.
    control::CoursesControllerOptions options;
    options.waitSeconds = 1.0;
    ChooserHarness h(kTwoFolders, {}, options);
    test::DevServer silent(serverArgs(h.dir, kTwoFolders, {"--slow-ms", "2500"}));
    ASSERT_TRUE(h.logIn());

    const std::pair<std::string, std::string> servers[] = {
        {silent.serverName(), "Timeout waiting on SOAP call"},
        {closedServerName(), ""},
    };
    for (const auto& [server, message] : servers) {
        SCOPED_TRACE(server);
        h.login.settings.setString(core::kServer, server);
        test::LogCapture log;
        const size_t before = h.updates.size();
        h.courses->getSessionGroups();
        h.waitForRefresh();
        EXPECT_EQ(h.updates.size(), before);
        EXPECT_EQ(names(h.courses->arrangedObjects()), (std::vector<std::string>{"Physics 101", "Chemistry"}));
        EXPECT_TRUE(log.contains("Exception getting group: " + message));

        // Adding a folder there ends with the alert instead of hanging.
        h.ui.sheets.clear();
        h.courses->newCourseName().set("Biology");
        h.courses->addCourse();
        ASSERT_EQ(h.ui.sheets.size(), 1u);
        EXPECT_EQ(h.ui.sheets[0].informativeText.rfind("Error: " + message, 0), 0u) << h.ui.sheets[0].informativeText;
    }
}

}  // namespace
}  // namespace orvanta::chooser_test
