#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cli/TerminalInterface.h"
#include "control/AppController.h"
#include "control/ApplicationControllers.h"
#include "core/RunLoop.h"
#include "core/Settings.h"
#include "model/ManagedObjectContext.h"

namespace orvanta::cli {

// What a script can rely on.
enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,          // the work was attempted and failed (an upload, a server call)
    kExitUsage = 2,           // bad arguments
    kExitNotLoggedIn = 3,     // no server or login, or the login was refused
    kExitStoreUnavailable = 4,
    kExitInterrupted = 130,   // stopped by Ctrl-C or SIGTERM; uploads are paused and resume next time
};

// Watches SIGINT and SIGTERM (and SIGUSR1, which a recording takes as pause or resume) and hands them
// to the main loop. Construct it before any other thread
// exists, so that every thread inherits the blocked signals.
class InterruptWatcher {
public:
    InterruptWatcher();
    ~InterruptWatcher();
    InterruptWatcher(const InterruptWatcher&) = delete;
    InterruptWatcher& operator=(const InterruptWatcher&) = delete;

    // Called on the main loop for each signal; the count says how many arrived so far.
    void setHandler(std::function<void(int count)> handler);
    int count() const { return count_.load(); }
    // Called on the main loop for each SIGUSR1; without a handler the signal is ignored.
    void setUserSignalHandler(std::function<void()> handler);

private:
    std::atomic<bool> stop_{false};
    std::atomic<int> count_{0};
    std::function<void(int)> handler_;
    std::function<void()> userSignalHandler_;
    std::thread thread_;
};

// The engine behind every command: settings, the store, the application object and its controllers,
// the main loop, and the login a command needs.
class CommandContext {
public:
    CommandContext(InterruptWatcher& interrupts, bool interactive);
    ~CommandContext();
    CommandContext(const CommandContext&) = delete;
    CommandContext& operator=(const CommandContext&) = delete;

    core::Settings& settings() { return settings_; }
    core::RunLoop& loop() { return loop_; }
    control::AppController& app() { return *app_; }
    control::ApplicationControllers& controllers() { return *controllers_; }
    InterruptWatcher& interrupts() { return interrupts_; }
    bool interactive() const { return interactive_; }
    core::AppUserInterface& ui() { return ui_; }

    // The store, or null after printing why it cannot be opened.
    model::ManagedObjectContext* store();

    // Logs in with what the settings hold; the password comes from the keychain, from
    // $ORVANTA_PASSWORD, or from the terminal. Prints why when it fails.
    bool ensureLoggedIn();
    // Runs a login to its end (up to three attempts while the server cannot be reached); true when
    // logged in.
    bool runLogin();

    // Runs the main loop until done() is true (checked after every task and at least every 100 ms).
    void runUntil(const std::function<bool()>& done);

private:
    InterruptWatcher& interrupts_;
    bool interactive_;
    core::Settings& settings_;
    core::RunLoop& loop_;
    TerminalInterface ui_;
    std::unique_ptr<control::AppController> app_;
    std::unique_ptr<control::ApplicationControllers> controllers_;
};

// Splits "--name=value" and "--name value" style options; leaves positional arguments in order.
struct Arguments {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> options;  // name without dashes, value ("" for flags)
    std::string error;                                          // set on a malformed command line

    bool has(const std::string& name) const;
    std::string value(const std::string& name) const;
};
// valueOptions: the options that take a value; flagOptions: those that do not.
Arguments parseArguments(const std::vector<std::string>& args, const std::vector<std::string>& valueOptions,
                         const std::vector<std::string>& flagOptions);

}  // namespace orvanta::cli
