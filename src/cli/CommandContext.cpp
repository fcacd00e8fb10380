#include "cli/CommandContext.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>

#include "cli/Terminal.h"
#include "capture/FfmpegLog.h"
#include "core/CrashHandler.h"
#include "core/Log.h"
#include "core/Paths.h"
#include "core/SettingsKeys.h"
#include "orvanta/BuildInfo.h"

namespace orvanta::cli {

namespace {
sigset_t interruptSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    return set;
}
}  // namespace

InterruptWatcher::InterruptWatcher() {
    sigset_t set = interruptSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    thread_ = std::thread([this, set] {
        timespec tick{0, 200'000'000};
        while (!stop_.load()) {
            const int signal = sigtimedwait(&set, nullptr, &tick);
            if (signal < 0) continue;
            if (signal == SIGUSR1) {
                core::RunLoop::main().post([this] {
                    if (userSignalHandler_) userSignalHandler_();
                });
                continue;
            }
            int n = ++count_;
            core::RunLoop::main().post([this, n] {
                if (handler_) handler_(n);
            });
        }
    });
}

InterruptWatcher::~InterruptWatcher() {
    stop_ = true;
    thread_.join();
}

void InterruptWatcher::setHandler(std::function<void(int)> handler) { handler_ = std::move(handler); }

void InterruptWatcher::setUserSignalHandler(std::function<void()> handler) { userSignalHandler_ = std::move(handler); }

CommandContext::CommandContext(InterruptWatcher& interrupts, bool interactive)
    : interrupts_(interrupts),
      interactive_(interactive),
      settings_(core::Settings::standard()),
      loop_(core::RunLoop::main()),
      ui_(interactive) {
    core::Logger::instance().setLogFile(core::logFilePath());
    core::installCrashHandler(core::diagnosticReportsFolder(), build::kExecutableName);
    capture::routeFfmpegMessagesToLog();
    core::applyPreferenceDefaults(settings_, core::defaultRecordingDirectory().string());
    app_ = std::make_unique<control::AppController>(settings_, loop_, ui_);
    controllers_ = std::make_unique<control::ApplicationControllers>(*app_, ui_);
}

CommandContext::~CommandContext() {
    controllers_.reset();
    app_.reset();
}

model::ManagedObjectContext* CommandContext::store() {
    auto* context = app_->managedObjectContext();
    if (!context)
        std::fprintf(stderr, "orvanta: cannot open the recording store %s\n",
                     control::AppController::managedObjectDataFile().c_str());
    return context;
}

void CommandContext::runUntil(const std::function<bool()>& done) {
    while (!done()) loop_.runUntil(done, std::chrono::milliseconds(100));
}

bool CommandContext::runLogin() {
    auto& login = controllers_->loginController();
    // A server that could not be reached gets two more tries a second apart: one failed request
    // should not end a command that then has nothing to resume.
    for (int attempt = 1;; ++attempt) {
        bool finished = false;
        auto subscription = login.loginFinished.connect([&] { finished = true; });
        login.logIn();
        if (!login.isLoginRunning()) return app_->isLoggedIn();
        runUntil([&] { return finished; });
        if (app_->isLoggedIn() || attempt == 3 || login.loginMessage().get() != control::kServerUnreachable)
            return app_->isLoggedIn();
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        runUntil([&] { return std::chrono::steady_clock::now() >= until; });
    }
}

bool CommandContext::ensureLoggedIn() {
    if (app_->isLoggedIn()) return true;
    auto server = settings_.stringForKey(core::kServer).value_or("");
    auto user = settings_.stringForKey(core::kLogin).value_or("");
    bool viaProvider = settings_.contains(core::kOAuthURL);
    if (server.empty() || (user.empty() && !viaProvider)) {
        std::fprintf(stderr, "orvanta: not logged in; run 'orvanta login' first\n");
        return false;
    }
    auto& login = controllers_->loginController();
    if (!viaProvider) {
        if (settings_.boolForKey(core::kSaveLogin)) login.retrieveSettings();
        if (login.password().get().empty()) {
            if (const char* env = std::getenv("ORVANTA_PASSWORD"); env && *env) {
                login.password().set(env);
            } else if (interactive_) {
                if (auto secret = readSecret("Password for " + user + " on " + server + ": "))
                    login.password().set(*secret);
            }
        }
        if (login.password().get().empty()) {
            std::fprintf(stderr,
                         "orvanta: no password for %s on %s (none saved; set ORVANTA_PASSWORD or run "
                         "'orvanta login')\n",
                         user.c_str(), server.c_str());
            return false;
        }
    }
    if (runLogin()) return true;
    std::fprintf(stderr, "orvanta: %s\n", login.loginMessage().get().c_str());
    return false;
}

bool Arguments::has(const std::string& name) const {
    for (const auto& [n, v] : options)
        if (n == name) return true;
    return false;
}

std::string Arguments::value(const std::string& name) const {
    for (const auto& [n, v] : options)
        if (n == name) return v;
    return {};
}

Arguments parseArguments(const std::vector<std::string>& args, const std::vector<std::string>& valueOptions,
                         const std::vector<std::string>& flagOptions) {
    Arguments out;
    auto isIn = [](const std::vector<std::string>& list, const std::string& name) {
        for (const auto& n : list)
            if (n == name) return true;
        return false;
    };
    bool onlyPositional = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (onlyPositional || arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            if (arg == "--") {
                onlyPositional = true;
                continue;
            }
            if (!onlyPositional && arg.size() > 1 && arg[0] == '-') {
                out.error = "unknown option '" + arg + "'";
                return out;
            }
            out.positional.push_back(arg);
            continue;
        }
        std::string name = arg.substr(2), value;
        bool hasValue = false;
        if (auto eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasValue = true;
        }
        if (isIn(valueOptions, name)) {
            if (!hasValue) {
                if (i + 1 >= args.size()) {
                    out.error = "option '--" + name + "' needs a value";
                    return out;
                }
                value = args[++i];
            }
        } else if (isIn(flagOptions, name)) {
            if (hasValue) {
                out.error = "option '--" + name + "' takes no value";
                return out;
            }
        } else {
            out.error = "unknown option '--" + name + "'";
            return out;
        }
        out.options.emplace_back(name, value);
    }
    return out;
}

}  // namespace orvanta::cli
