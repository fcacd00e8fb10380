#include "control/LoginController.h"

#include <exception>
#include <stdexcept>
#include <system_error>

#include "control/Keychain.h"
#include "core/Log.h"
#include "core/MachineInfo.h"
#include "core/SettingsKeys.h"
#include "orvanta/BuildInfo.h"
#include "service/RecorderService.h"
#include "service/ServiceConstants.h"

namespace orvanta::control {

namespace {

bool isSet(const std::optional<std::string>& text) { return text && !text->empty(); }

model::StyledText manageLinkLoggedOut() {
    model::StyledText text;
    text.text = kManageOnlineRecordings;
    text.color = model::StyledText::Color::Gray;
    return text;
}

}  // namespace

LoginController::LoginController(core::Settings& settings, core::RunLoop& mainLoop, core::Property<bool>& loggedIn,
                                 LoginUserInterface* ui)
    : settings_(settings),
      mainLoop_(mainLoop),
      loggedIn_(loggedIn),
      ui_(ui),
      self_(std::make_shared<LoginController*>(this)) {
    manageUrl_.set(manageLinkLoggedOut());
    serverChanged();

    loggedInSubscription_ = loggedIn_.observe([this](const bool& value) { loggedInWasSet(value); });
    // The worker rewrites "Server"; what the pop-up shows changes on the main thread only.
    std::weak_ptr<LoginController*> weak = self_;
    core::RunLoop* loop = &mainLoop_;
    serverSubscription_ = settings_.observe(core::kServer, [weak, loop](const std::string&) {
        auto react = [weak] {
            if (auto self = weak.lock()) (*self)->serverChanged();
        };
        if (loop->isLoopThread())
            react();
        else
            loop->post(react);
    });
}

LoginController::~LoginController() {
    waitForLoginThread();
    serverSubscription_.reset();
    loggedInSubscription_.reset();
    self_.reset();
}

// ---- starting, cancelling and waiting

void LoginController::logIn() {
    if (currentAttempt_ != 0) return;
    if (!isSet(settings_.stringForKey(core::kServer))) return;
    if (!isSet(settings_.stringForKey(core::kOAuthURL)) &&
        (!isSet(settings_.stringForKey(core::kLogin)) || password_.get().empty()))
        return;

    joinEndedAttempts();
    auto attempt = std::make_unique<Attempt>();
    attempt->id = lastAttempt_.load() + 1;
    lastAttempt_ = attempt->id;
    currentAttempt_ = attempt->id;
    showMessageArea_.set(true);
    loginStatus_.set(kLoggingIn);
    Attempt* running = attempt.get();
    try {
        running->thread = std::thread([this, running] {
            loginCore(running->id);
            running->ended = true;
        });
    } catch (const std::system_error& e) {
        core::logf("%s cannot start the login thread: %s", ORV_FUNC, e.what());
        currentAttempt_ = 0;
        loginStatus_.set(kNotLoggedIn);
        return;
    }
    attempts_.push_back(std::move(attempt));
}

void LoginController::logOut() {
    setLoggedIn(false);
    loginStatus_.set(kNotLoggedIn);
}

void LoginController::cancelLogin() {
    if (currentAttempt_ != 0) {
        core::logf("%s login attempt %llu cancelled", ORV_FUNC, static_cast<unsigned long long>(currentAttempt_.load()));
        currentAttempt_ = 0;
        loginStatus_.set(kNotLoggedIn);
    }
    closeLoginSheet();
    if (!settings_.contains(core::kLastLogIn) && ui_) ui_->terminateApplication();
}

bool LoginController::isLoginRunning() const { return currentAttempt_ != 0; }

bool LoginController::allAttemptsEnded() const {
    for (const auto& attempt : attempts_)
        if (!attempt->ended) return false;
    return true;
}

void LoginController::joinEndedAttempts() {
    std::erase_if(attempts_, [](const std::unique_ptr<Attempt>& attempt) {
        if (!attempt->ended) return false;
        attempt->thread.join();
        return true;
    });
}

void LoginController::waitForLoginThread() {
    // An attempt hands its outcome to the main thread and waits for it, so the loop must go on
    // running while we wait on its thread.
    if (mainLoop_.isLoopThread()) {
        while (!allAttemptsEnded() && !mainLoop_.isShutDown())
            mainLoop_.runUntil([this] { return allAttemptsEnded(); }, std::chrono::milliseconds(100));
    }
    for (auto& attempt : attempts_) attempt->thread.join();
    attempts_.clear();
}

// ---- the worker

void LoginController::loginCore(uint64_t attempt) {
    core::logf("%s", ORV_FUNC);
    const std::string server = normalizeServerName(settings_.stringForKey(core::kServer).value_or(""));
    settings_.setString(core::kServer, server);

    try {
        const service::LoginResult result = performLogin(attempt, server);
        const double offset = timeOffsetFromServerTime(result.Runtime.ServerTime, std::chrono::system_clock::now());
        publish(attempt, [&] { applyResult(result, offset); });
    } catch (const std::exception& e) {
        core::logf("Exception: %s", e.what());
        try {
            publish(attempt, [this] { applyFailure(); });
        } catch (const std::exception& inner) {
            core::logf("Exception: %s", inner.what());
        }
    }

    try {
        mainLoop_.postAndWait([this, attempt] { finishAttempt(attempt); });
    } catch (const std::exception& e) {
        core::logf("Exception: %s", e.what());
    }
}

service::LoginResult LoginController::performLogin(uint64_t attempt, const std::string& server) {
    service::RecorderService service(server);
    const std::string version = build::kShortVersion;
    const core::MachineInfo machine = core::MachineInfo::current();

    if (const auto oauthUrl = settings_.stringForKey(core::kOAuthURL); isSet(oauthUrl)) {
        if (const auto login = settings_.stringForKey(core::kLogin); isSet(login)) {
            service::LoginResult result = service.LoginWithCookieUserName(*login, version, machine);
            if (result.LoginSuccess) {
                core::logf("Logged in with cookie.");
                return result;
            }
            core::logf("Could not log in with cookie, proceeding to manual login with OAuth.");
        }
        service::LoginResult result = service.LoginWithOAuthURI(*oauthUrl, version, machine);
        settings_.setString(core::kLogin, loginNameFromOAuthURL(*oauthUrl));
        return result;
    }

    const std::string login = settings_.stringForKey(core::kLogin).value_or("");
    const std::string password = password_.get();
    // A password that cannot be saved does not stop the login.
    if (settings_.boolForKey(core::kSaveLogin)) Keychain::storePassword(server, login, password);
    const auto encrypted = service::encryptPassword(password);
    if (!encrypted) throw std::runtime_error("the password could not be encrypted");
    publish(attempt, [&] { encryptedPassword_.set(*encrypted); });
    return service.LoginWithPasswordWithUser(login, *encrypted, version, machine);
}

bool LoginController::publish(uint64_t attempt, const std::function<void()>& change) {
    bool ran = false;
    mainLoop_.postAndWait([&] {
        if (isSuperseded(attempt)) {
            core::logf("%s login attempt %llu was cancelled and a newer one started; its outcome is dropped",
                       ORV_FUNC, static_cast<unsigned long long>(attempt));
            return;
        }
        change();
        ran = true;
    });
    return ran;
}

void LoginController::applyResult(const service::LoginResult& result, double offset) {
    loginInfo_.set(result.Runtime);
    timeOffset_.set(offset);
    setLoggedIn(result.LoginSuccess && result.RecorderIsSupported);

    if (result.RecorderIsSupported) {
        if (loggedIn_.get()) {
            loginMessage_.set("");
            loginStatus_.set(kLoggedIn);
            settings_.setDate(core::kLastLogIn, std::chrono::system_clock::now());
            closeLoginSheet();
        } else {
            loginMessage_.set(kInvalidLogin);
            loginStatus_.set(kInvalidLogin);
        }
        return;
    }
    loginMessage_.set(kRecorderOutOfDate);
    closeLoginSheet();
    requiredVersion_.set(result.RecorderDownloadUrl);
    core::logf("Required version: %s", result.RecorderDownloadUrl.c_str());
    if (ui_) ui_->showNewVersionSheet();
    loginStatus_.set(kNotLoggedIn);
}

void LoginController::applyFailure() {
    setLoggedIn(false);
    loginMessage_.set(kServerUnreachable);
    loginStatus_.set(kNotLoggedIn);
}

void LoginController::finishAttempt(uint64_t attempt) {
    if (currentAttempt_ == attempt) currentAttempt_ = 0;
    if (!isSuperseded(attempt)) loginFinished.emit();
}

// ---- logged-in state

void LoginController::setLoggedIn(bool value) {
    // The reactions follow every setting of the flag, also one that does not change it; the
    // property itself only announces changes.
    const bool unchanged = loggedIn_.get() == value;
    loggedIn_.set(value);
    if (unchanged) loggedInWasSet(value);
}

void LoginController::loggedInWasSet(bool value) {
    if (!value) {
        manageUrl_.set(manageLinkLoggedOut());
        settings_.removeObjectForKey(core::kAuthCookie);
        settings_.removeObjectForKey(core::kOAuthURL);
        return;
    }
    model::StyledText link;
    link.text = kManageOnlineRecordings;
    link.color = model::StyledText::Color::Blue;
    link.underlined = true;
    link.link = manageRecordingsAddress(settings_.stringForKey(core::kServer).value_or(""),
                                        settings_.stringForKey(core::kLogin).value_or(""), encryptedPassword_.get());
    manageUrl_.set(link);
}

// ---- the login sheet

void LoginController::showLoginWindow() {
    if (loginWindowShowing_.get()) return;
    loginWindowShowing_.set(true);
    externalLoginShowing_.set(false);
    if (currentAttempt_ == 0) {
        showMessageArea_.set(false);
        if (!settings_.boolForKey(core::kSaveLogin)) {
            settings_.removeObjectForKey(core::kLogin);
            password_.set("");
        }
    }
    if (settings_.contains(core::kLastLogIn)) {
        cancelLoginText_.set(kCancelTitle);
    } else {
        loginMessage_.set(kFirstUseWelcome);
        showMessageArea_.set(true);
        cancelLoginText_.set(kQuitTitle);
    }
    if (!ui_ || !ui_->showLoginSheet()) loginWindowShowing_.set(false);
}

void LoginController::didEndSheet() { loginWindowShowing_.set(false); }

void LoginController::closeLoginSheet() {
    if (!loginWindowShowing_.get()) return;
    if (ui_) ui_->closeLoginSheet();
    didEndSheet();
}

void LoginController::retrieveSettings() {
    const auto login = settings_.stringForKey(core::kLogin);
    const auto server = settings_.stringForKey(core::kServer);
    if (!isSet(login) || !isSet(server)) return;
    if (auto saved = Keychain::findPassword(*server, *login)) password_.set(*saved);
}

}  // namespace orvanta::control
