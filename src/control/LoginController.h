#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "control/LoginUserInterface.h"
#include "core/Observable.h"
#include "core/RunLoop.h"
#include "core/Settings.h"
#include "model/ServiceResult.h"
#include "model/StyledText.h"
#include "service/LoginResult.h"

namespace orvanta::control {

// Texts the login shows.
inline constexpr const char* kNotLoggedIn = "Not Logged In";
inline constexpr const char* kLoggingIn = "Logging In...";
inline constexpr const char* kLoggedIn = "Logged In";
inline constexpr const char* kInvalidLogin = "Invalid username or password";
inline constexpr const char* kRecorderOutOfDate = "Your Recorder is out of date. Please download the newest version.";
inline constexpr const char* kServerUnreachable =
    "Unable to reach the specified server. Please check your server name and connection settings.";
inline constexpr const char* kFirstUseWelcome =
    "Welcome to the Orvanta Recorder. You must log in before using the application for the first time.";
inline constexpr const char* kUseProviderPage = "Log in through the provider page to get your LessonBeam credentials.";
inline constexpr const char* kManageOnlineRecordings = "Manage Online Recordings";
inline constexpr const char* kCancelTitle = "Cancel";
inline constexpr const char* kQuitTitle = "Quit";
inline constexpr const char* kLoadingProviders = "Loading Providers...";
inline constexpr const char* kErrorLoadingProviders = "Error Loading Providers";
inline constexpr const char* kOwnAccounts = "Orvanta";
// The consumer key of the server's own identity provider.
inline constexpr const char* kInternalConsumerKey = "orvantainternal";

// The server name as it is stored and used: every "http://" removed, and only what stands before
// the first "/" kept (the host name, with its port if given).
std::string normalizeServerName(const std::string& server);

// The login name an identity-provider address stands for: its query parameter "userkey", preceded
// by the "oauth_consumer_key" value and one backslash unless that value is "orvantainternal".
std::string loginNameFromOAuthURL(const std::string& oauthUrl);

// Server clock minus local clock, from the server's time (seconds since 1601-01-01 00:00:00 UTC)
// and the local time it is compared with.
double timeOffsetFromServerTime(double serverTime, std::chrono::system_clock::time_point now);

// The page of an identity provider that signs the user in for the recorder.
std::string externalProviderAddress(const std::string& server, const std::string& providerName);

// The address behind "Manage Online Recordings": the server's sign-in redirect to the recordings list.
std::string manageRecordingsAddress(const std::string& server, const std::string& login,
                                    const std::string& encryptedPassword);

// One entry of the identity-provider pop-up.
struct ExternalProviderItem {
    std::string title;
    // The provider's description as the server sent it ("Name", "Description"); none for the
    // server's own accounts and for the status entries.
    std::optional<model::ResultMap> provider;

    bool operator==(const ExternalProviderItem&) const = default;
};

// What the provider pop-up and the button that loads it show.
struct ExternalProviderList {
    std::vector<ExternalProviderItem> items;
    int selectedIndex = -1;  // -1: none
    bool popUpHidden = true;
    bool popUpEnabled = false;
    bool updateButtonHidden = false;
    bool updateButtonEnabled = false;

    bool operator==(const ExternalProviderList&) const = default;
};

// The user's session with the server: the login sheet's state, the three roads of a login (saved
// cookie, identity-provider address, user name and password), the saved password, the logged-in
// flag, the runtime configuration and clock offset of the last login, and the identity-provider
// pop-up.
//
// Threads: every action and every change of the properties below happens on the main thread (the
// thread of mainLoop). A login attempt runs on a worker thread of its own that hands each change to
// the main thread and waits for it; the main loop must therefore run while an attempt runs. At most
// one attempt is current; the destructor waits for every attempt still running.
class LoginController {
public:
    // `loggedIn` belongs to the application controller; this controller publishes it.
    LoginController(core::Settings& settings, core::RunLoop& mainLoop, core::Property<bool>& loggedIn,
                    LoginUserInterface* ui = nullptr);
    ~LoginController();
    LoginController(const LoginController&) = delete;
    LoginController& operator=(const LoginController&) = delete;

    // ---- observable state
    core::Property<bool>& loggedIn() { return loggedIn_; }
    core::Property<std::string>& password() { return password_; }
    core::Property<std::string>& encryptedPassword() { return encryptedPassword_; }
    core::Property<std::string>& loginMessage() { return loginMessage_; }
    core::Property<std::string>& loginStatus() { return loginStatus_; }
    core::Property<service::RuntimeConfig>& loginInfo() { return loginInfo_; }
    core::Property<double>& timeOffset() { return timeOffset_; }
    core::Property<std::string>& requiredVersion() { return requiredVersion_; }
    core::Property<model::StyledText>& manageUrl() { return manageUrl_; }
    core::Property<std::string>& cancelLoginText() { return cancelLoginText_; }
    core::Property<bool>& showMessageArea() { return showMessageArea_; }
    core::Property<bool>& loginWindowShowing() { return loginWindowShowing_; }
    core::Property<bool>& externalLoginShowing() { return externalLoginShowing_; }
    core::Property<bool>& loadingExternalPage() { return loadingExternalPage_; }
    core::Property<ExternalProviderList>& externalProviders() { return externalProviders_; }
    // The address the provider web view is to show ("about:blank" before each provider page).
    core::Property<std::string>& externalPageAddress() { return externalPageAddress_; }

    // Emitted on the main thread when a login attempt has ended and all of its outcome (loggedIn,
    // the status texts, "LastLogIn") has been applied.
    core::Signal<> loginFinished;

    // ---- actions (main thread)

    // Starts a login attempt, unless one is current, "Server" is not set, or (without "OAuthURL")
    // "Login" or the password is missing.
    void logIn();
    // Logged out at once; nothing is sent to the server.
    void logOut();
    // Forgets the current attempt (its outcome is still applied when it returns), closes the sheet,
    // and quits the application when this machine never logged in.
    void cancelLogin();
    void showLoginWindow();
    // The login sheet has gone.
    void didEndSheet();
    // Loads the password saved for "Login" on "Server".
    void retrieveSettings();

    // Loads the identity providers into the pop-up (blocks for the call).
    void getExternalProviders();
    // The user chose the pop-up entry at `index`: for a provider, the address its page is loaded
    // from (also published in externalPageAddress); none for the server's own accounts.
    std::optional<std::string> setExternalProvider(int index);
    // The provider page has loaded; `userInfo` is what its getUserInfo() returned ("user\npassword").
    void webViewDidFinishLoad(std::optional<std::string> userInfo);

    // Whether a login attempt is current.
    bool isLoginRunning() const;
    // Waits until every attempt has ended (running the main loop meanwhile when called on its
    // thread, so that the attempts can hand over their outcome). For shutdown and tests.
    void waitForLoginThread();

private:
    struct Attempt {
        uint64_t id = 0;
        std::thread thread;
        std::atomic<bool> ended{false};
    };
    // The worker thread's body and its steps.
    void loginCore(uint64_t attempt);
    service::LoginResult performLogin(uint64_t attempt, const std::string& server);
    // Runs `change` on the main thread and waits for it, unless a newer attempt has started
    // meanwhile (a cancelled attempt's late outcome must not overwrite a newer one). True when it ran.
    bool publish(uint64_t attempt, const std::function<void()>& change);
    void applyResult(const service::LoginResult& result, double offset);
    void applyFailure();
    void finishAttempt(uint64_t attempt);
    bool isSuperseded(uint64_t attempt) const { return attempt != lastAttempt_.load(); }
    bool allAttemptsEnded() const;
    void joinEndedAttempts();

    void setLoggedIn(bool value);
    void loggedInWasSet(bool value);
    void serverChanged();
    void closeLoginSheet();

    core::Settings& settings_;
    core::RunLoop& mainLoop_;
    core::Property<bool>& loggedIn_;
    LoginUserInterface* ui_;

    core::Property<std::string> password_;
    core::Property<std::string> encryptedPassword_;
    core::Property<std::string> loginMessage_;
    core::Property<std::string> loginStatus_{kNotLoggedIn};
    core::Property<service::RuntimeConfig> loginInfo_;
    core::Property<double> timeOffset_{0.0};
    core::Property<std::string> requiredVersion_;
    core::Property<model::StyledText> manageUrl_;
    core::Property<std::string> cancelLoginText_{kCancelTitle};
    core::Property<bool> showMessageArea_{false};
    core::Property<bool> loginWindowShowing_{false};
    core::Property<bool> externalLoginShowing_{false};
    core::Property<bool> loadingExternalPage_{false};
    core::Property<ExternalProviderList> externalProviders_;
    core::Property<std::string> externalPageAddress_;

    // The attempt in "loginThread" (0: none); changed on the main thread only.
    std::atomic<uint64_t> currentAttempt_{0};
    // The newest attempt started; its outcome is the one that counts.
    std::atomic<uint64_t> lastAttempt_{0};
    // Attempts whose threads have not been joined yet; main thread only.
    std::vector<std::unique_ptr<Attempt>> attempts_;

    // Lets work posted to the main loop find out whether this controller still exists.
    std::shared_ptr<LoginController*> self_;
    core::Subscription loggedInSubscription_;
    core::Subscription serverSubscription_;
};

}  // namespace orvanta::control
