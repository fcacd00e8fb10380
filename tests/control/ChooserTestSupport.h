#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "control/ChooserMenu.h"
#include "control/CoursesController.h"
#include "control/LoginTestSupport.h"
#include "control/SessionChooserController.h"
#include "support/DevServer.h"
#include "support/TempDir.h"
#include "support/TestUserInterface.h"

namespace orvanta::chooser_test {

// The server's data: the account "presenter" and the given folders, each
// {"longName": ..., "sessions": [{"longName": ...}, ...]}.
inline std::vector<std::string> serverArgs(const test::TempDir& dir, const nlohmann::json& folders,
                                           std::vector<std::string> more = {}) {
    const auto path = dir.path() / "data.json";
    nlohmann::json data = {{"users", {{{"name", "presenter"}, {"password", "presenter"}}}}, {"folders", folders}};
    std::ofstream(path) << data.dump();
    std::vector<std::string> args{"--quiet", "--data", path.string()};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

inline nlohmann::json folder(const std::string& name, const std::vector<std::string>& sessions = {}) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& s : sessions) list.push_back({{"longName", s}});
    return {{"longName", name}, {"sessions", list}};
}

// A server name nothing listens on.
inline std::string closedServerName() {
    test::DevServer server({"--quiet"});
    std::string name = server.serverName();
    server.stop();
    return name;
}

// One line per menu: items joined by " | "; a separator is "-", a disabled item is in parentheses,
// a grey title starts with "~", the selected item with ">".
inline std::string describe(const control::ChooserMenu& menu) {
    std::string out;
    for (size_t i = 0; i < menu.items.size(); ++i) {
        const auto& item = menu.items[i];
        if (i) out += " | ";
        if (static_cast<int>(i) == menu.selectedIndex) out += ">";
        if (item.separator) {
            out += "-";
            continue;
        }
        if (item.grayTitle) out += "~";
        out += item.enabled ? item.title : "(" + item.title + ")";
    }
    return out;
}

inline std::string folderName(const control::SessionGroupPtr& group) { return group ? group->displayName() : "<none>"; }

// The reference server with some folders, a login controller on settings of its own, the shared
// folder list and one chooser, with the test's thread as the main thread.
struct ChooserHarness {
    test::TempDir dir;
    test::DevServer server;
    login_test::LoginHarness login;
    test::TestUserInterface ui;
    std::unique_ptr<control::CoursesController> courses;
    std::chrono::system_clock::time_point now = std::chrono::system_clock::now();
    std::unique_ptr<control::SessionChooserController> chooser;

    std::vector<bool> updates;  // "isUpdate" of every "CoursesUpdated", in order
    std::vector<control::SessionGroupPtr> newGroups;
    core::Subscription updatesWatch, newGroupsWatch;

    explicit ChooserHarness(const nlohmann::json& folders, std::vector<std::string> serverMore = {},
                            control::CoursesControllerOptions options = {})
        : server(serverArgs(dir, folders, std::move(serverMore))) {
        login.settings.setString(core::kServer, server.serverName());
        courses = std::make_unique<control::CoursesController>(login.settings, login.loop, login.loggedIn, &ui, options);
        chooser = std::make_unique<control::SessionChooserController>(*courses, login.loop, [this] { return now; });
        updatesWatch = courses->coursesUpdated.connect([this](bool isUpdate) { updates.push_back(isUpdate); });
        newGroupsWatch = courses->newSessionGroup.connect(
            [this](const control::SessionGroupPtr& group) { newGroups.push_back(group); });
    }

    ~ChooserHarness() {
        chooser.reset();
        courses.reset();
    }

    // Logs in as "presenter" and waits for the first folder list.
    bool logIn() {
        const size_t before = updates.size();
        login.usePassword(server.serverName(), "presenter", "presenter");
        if (!login.runLogin() || !login.loggedIn.get()) return false;
        const bool arrived = waitForUpdates(before + 1);
        waitForRefresh();
        return arrived;
    }

    // Runs the main loop until `count` lists have been installed.
    bool waitForUpdates(size_t count) {
        return login.loop.runUntil([&] { return updates.size() >= count; }, std::chrono::seconds(20));
    }

    // Runs the main loop until no background refresh runs.
    void waitForRefresh() { courses->waitForRefresh(); }

    std::string popup() const { return describe(chooser->foldersPopup().get()); }
};

}  // namespace orvanta::chooser_test
