#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "control/LoginController.h"
#include "core/RunLoop.h"
#include "core/Settings.h"
#include "core/SettingsKeys.h"
#include "support/TempDir.h"

namespace orvanta::login_test {

// Records what the login asked of the windows.
class RecordingLoginUi : public control::LoginUserInterface {
public:
    bool hasMainWindow = true;
    int sheetsShown = 0, sheetsClosed = 0, newVersionSheets = 0, terminations = 0;

    bool showLoginSheet() override {
        ++sheetsShown;
        return hasMainWindow;
    }
    void closeLoginSheet() override { ++sheetsClosed; }
    void showNewVersionSheet() override { ++newVersionSheets; }
    void terminateApplication() override { ++terminations; }
};

// A login controller on settings of its own, with the test's thread as the main thread.
struct LoginHarness {
    test::TempDir dir;
    core::Settings settings{dir.path() / "settings.json"};
    core::RunLoop loop;
    core::Property<bool> loggedIn{false};
    RecordingLoginUi ui;
    std::unique_ptr<control::LoginController> login =
        std::make_unique<control::LoginController>(settings, loop, loggedIn, &ui);

    const std::thread::id mainThread = std::this_thread::get_id();
    std::vector<bool> loggedInChanges;           // the values loggedIn took, in order
    std::vector<bool> loggedInChangedOnMain;     // whether each change happened on the main thread
    int attemptsFinished = 0;
    core::Subscription loggedInWatch = loggedIn.observe([this](const bool& value) {
        loggedInChanges.push_back(value);
        loggedInChangedOnMain.push_back(std::this_thread::get_id() == mainThread);
    });
    core::Subscription finishedWatch = login->loginFinished.connect([this] { ++attemptsFinished; });

    ~LoginHarness() { login.reset(); }

    // Signs in with a user name and password on the server.
    void usePassword(const std::string& server, const std::string& user, const std::string& password) {
        settings.setString(core::kServer, server);
        settings.setString(core::kLogin, user);
        login->password().set(password);
    }

    // Starts an attempt and runs the main loop until it has finished; false when none started or it
    // did not finish in time.
    bool runLogin() {
        const int before = attemptsFinished;
        login->logIn();
        if (!login->isLoginRunning()) return false;
        return waitForAttempts(before + 1);
    }

    // Runs the main loop until `count` attempts have finished.
    bool waitForAttempts(int count) {
        return loop.runUntil([&] { return attemptsFinished >= count; }, std::chrono::seconds(30));
    }

    bool everyChangeOnMainThread() const {
        for (bool onMain : loggedInChangedOnMain)
            if (!onMain) return false;
        return true;
    }
};

}  // namespace orvanta::login_test
