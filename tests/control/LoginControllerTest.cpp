// The login controller against the reference server: the three roads of a login, its failures,
// cancelling, the login sheet's state and the identity-provider pop-up.

#include "control/LoginController.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "control/LoginTestSupport.h"
#include "core/SettingsKeys.h"
#include "service/ServiceConstants.h"
#include "support/DevServer.h"
#include "support/Files.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace orvanta::login_test {
namespace {

using control::LoginController;
using test::DevServer;
namespace keys = core;

// A server account, a provider account with its provider, and a second provider without accounts.
class ProviderData {
public:
    explicit ProviderData(bool withProviders = true) {
        path_ = dir_.path() / "data.json";
        std::ofstream(path_) << (withProviders ? R"({
            "users": [{"name": "presenter", "password": "presenter"},
                      {"name": "alice", "password": "wonder"},
                      {"name": "campus\\bob", "password": "b0b", "provider": "campus"}],
            "providers": [{"Name": "campus", "Description": "Campus login"},
                          {"Name": "guests", "Description": "Guest accounts"}]
        })"
                                               : R"({"users": [{"name": "presenter", "password": "presenter"}]})");
    }
    std::vector<std::string> args(std::vector<std::string> more = {}) const {
        std::vector<std::string> out{"--quiet", "--data", path_.string()};
        out.insert(out.end(), more.begin(), more.end());
        return out;
    }

private:
    test::TempDir dir_;
    std::filesystem::path path_;
};

// How many login attempts ran (each logs its start).
size_t attemptsStarted(const test::LogCapture& log) {
    size_t n = 0;
    for (const auto& line : log.lines())
        if (line.find("LoginController::loginCore") != std::string::npos) ++n;
    return n;
}

// A server name nothing listens on.
std::string closedServerName() {
    DevServer server({"--quiet"});
    std::string name = server.serverName();
    server.stop();
    return name;
}

// ---- names and addresses

TEST(LoginNames, ServerNameKeepsOnlyHostAndPort) {
    const std::pair<const char*, const char*> cases[] = {
        {"lectures.example.edu", "lectures.example.edu"},
        {"http://lectures.example.edu", "lectures.example.edu"},
        {"http://lectures.example.edu/", "lectures.example.edu"},
        {"http://127.0.0.1:8080/Orvanta/Pages/Sessions/List.aspx", "127.0.0.1:8080"},
        {"lectures.example.edu:81/Orvanta", "lectures.example.edu:81"},
        {"http://http://host", "host"},
        {"host/http://other", "host"},
        {"ahttp://b", "ab"},
        {"/path", ""},
        {"", ""},
    };
    for (const auto& [typed, stored] : cases) EXPECT_EQ(control::normalizeServerName(typed), stored) << typed;
}

TEST(LoginNames, ProviderAddressGivesTheLoginName) {
    const std::pair<const char*, const char*> cases[] = {
        {"orvanta-recorder://h/?oauth_consumer_key=orvantainternal&userkey=alice", "alice"},
        {"orvanta-recorder://h/?userkey=bob&oauth_consumer_key=campus", "campus\\bob"},
        {"orvanta-recorder://h/?oauth_consumer_key=campus&userkey=bob#fragment", "campus\\bob"},
        {"orvanta-recorder://h/?oauth_consumer_key=OrvantaInternal&userkey=alice", "OrvantaInternal\\alice"},
        {"orvanta-recorder://h/?userkey=alice", "\\alice"},
    };
    for (const auto& [url, login] : cases) EXPECT_EQ(control::loginNameFromOAuthURL(url), login) << url;
}

TEST(LoginNames, TimeOffsetIsServerClockAheadOfLocalClock) {
    // 2024-01-01 00:00:00 UTC, as seconds since 1970 and since 1601.
    const auto local = std::chrono::system_clock::time_point(std::chrono::seconds(1704067200));
    const double server1601 = 1704067200.0 + 11644473600.0;
    EXPECT_DOUBLE_EQ(control::timeOffsetFromServerTime(server1601, local), 0.0);
    EXPECT_DOUBLE_EQ(control::timeOffsetFromServerTime(server1601 + 90.5, local), 90.5);
    EXPECT_DOUBLE_EQ(control::timeOffsetFromServerTime(server1601 - 3600, local), -3600.0);
}

TEST(LoginNames, WebAddressesCarryEncodedValues) {
    EXPECT_EQ(control::manageRecordingsAddress("h:81", "campus\\bob", "ab+/c=="),
              "http://h:81/Orvanta/Pages/Recorder/AuthRedirect.aspx?user=campus%5Cbob&pass=ab%2B%2Fc%3D%3D"
              "&ReturnURL=http%3A%2F%2Fh%3A81%2FOrvanta%2FPages%2FSessions%2FList.aspx");
    EXPECT_EQ(control::externalProviderAddress("h:81", "campus"),
              "http://h:81/Orvanta/Pages/Auth/Login.aspx?instance=campus&action=relogin"
              "&returnURL=http://h:81/Orvanta/Pages/Recorder/ExternalLogin.aspx");
    // A provider name cannot add parameters of its own.
    EXPECT_EQ(control::externalProviderAddress("h", "a&action=x"),
              "http://h/Orvanta/Pages/Auth/Login.aspx?instance=a%26action%3Dx&action=relogin"
              "&returnURL=http://h/Orvanta/Pages/Recorder/ExternalLogin.aspx");
}

// ---- the password road

struct PasswordLogin : ::testing::Test {
    test::LogCapture log;
    DevServer server{{"--quiet"}};
    LoginHarness h;
};

TEST_F(PasswordLogin, SucceedsAndPublishesTheSession) {
    h.usePassword("http://" + server.serverName() + "/Orvanta/", "presenter", "presenter");
    h.settings.setString(keys::kAuthCookie, "old cookie");
    const auto before = std::chrono::system_clock::now();
    ASSERT_TRUE(h.runLogin());

    EXPECT_TRUE(h.loggedIn.get());
    EXPECT_EQ(h.loggedInChanges, std::vector<bool>{true});
    EXPECT_TRUE(h.everyChangeOnMainThread());
    EXPECT_EQ(h.login->loginStatus().get(), control::kLoggedIn);
    EXPECT_EQ(h.login->loginMessage().get(), "");
    EXPECT_TRUE(h.login->showMessageArea().get());
    EXPECT_FALSE(h.login->isLoginRunning());
    EXPECT_EQ(h.settings.stringForKey(keys::kServer), server.serverName()) << "stored as the bare host";
    auto lastLogIn = h.settings.dateForKey(keys::kLastLogIn);
    ASSERT_TRUE(lastLogIn.has_value());
    EXPECT_GE(*lastLogIn, before);
    EXPECT_EQ(h.settings.stringForKey(keys::kAuthCookie), "old cookie") << "only a logout forgets it";

    const auto encrypted = service::encryptPassword("presenter").value();
    EXPECT_EQ(h.login->encryptedPassword().get(), encrypted);
    EXPECT_EQ(h.login->loginInfo().get().DataReceiverEndpoint, server.receiverUrl());
    // The server runs on this machine's clock.
    EXPECT_LT(std::fabs(h.login->timeOffset().get()), 5.0);

    const auto link = h.login->manageUrl().get();
    EXPECT_EQ(link.text, control::kManageOnlineRecordings);
    EXPECT_EQ(link.link, control::manageRecordingsAddress(server.serverName(), "presenter", encrypted));
    EXPECT_EQ(link.color, model::StyledText::Color::Blue);
    EXPECT_TRUE(link.underlined);
}

TEST_F(PasswordLogin, WrongPasswordIsReportedAndForgetsTheProviderLogin) {
    h.usePassword(server.serverName(), "presenter", "presenter");
    ASSERT_TRUE(h.runLogin());
    const auto firstLogIn = h.settings.dateForKey(keys::kLastLogIn);
    ASSERT_TRUE(firstLogIn.has_value());

    h.settings.setString(keys::kAuthCookie, "old cookie");
    h.login->password().set("wrong");
    ASSERT_TRUE(h.runLogin());
    EXPECT_FALSE(h.loggedIn.get());
    EXPECT_EQ(h.loggedInChanges, (std::vector<bool>{true, false}));
    EXPECT_TRUE(h.everyChangeOnMainThread());
    EXPECT_EQ(h.login->loginMessage().get(), control::kInvalidLogin);
    EXPECT_EQ(h.login->loginStatus().get(), control::kInvalidLogin);
    EXPECT_EQ(h.settings.dateForKey(keys::kLastLogIn), firstLogIn) << "written only by a successful login";
    EXPECT_FALSE(h.settings.contains(keys::kAuthCookie));
    const auto link = h.login->manageUrl().get();
    EXPECT_EQ(link.color, model::StyledText::Color::Gray);
    EXPECT_EQ(link.link, "");
    EXPECT_FALSE(link.underlined);
}

TEST_F(PasswordLogin, MissingPiecesStartNoAttempt) {
    struct Case {
        const char* what;
        std::optional<std::string> server, user;
        std::string password;
    };
    const Case cases[] = {
        {"nothing set", std::nullopt, std::nullopt, ""},
        {"no server", std::nullopt, "presenter", "presenter"},
        {"empty server", "", "presenter", "presenter"},
        {"no user name", server.serverName(), std::nullopt, "presenter"},
        {"no password", server.serverName(), "presenter", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LoginHarness fresh;
        if (c.server) fresh.settings.setString(keys::kServer, *c.server);
        if (c.user) fresh.settings.setString(keys::kLogin, *c.user);
        fresh.login->password().set(c.password);
        fresh.login->logIn();
        EXPECT_FALSE(fresh.login->isLoginRunning());
        EXPECT_EQ(fresh.login->loginStatus().get(), control::kNotLoggedIn);
        EXPECT_FALSE(fresh.login->showMessageArea().get());
    }
    EXPECT_EQ(attemptsStarted(log), 0u);
}

TEST_F(PasswordLogin, LogOutReactsEveryTimeItIsSet) {
    h.usePassword(server.serverName(), "presenter", "presenter");
    ASSERT_TRUE(h.runLogin());
    h.login->logOut();
    EXPECT_FALSE(h.loggedIn.get());
    EXPECT_EQ(h.login->loginStatus().get(), control::kNotLoggedIn);
    EXPECT_EQ(h.login->manageUrl().get().link, "");

    // Already logged out: the provider login is forgotten all the same.
    h.settings.setString(keys::kOAuthURL, "orvanta-recorder://h/?oauth_consumer_key=orvantainternal&userkey=alice");
    h.settings.setString(keys::kAuthCookie, "old cookie");
    h.login->logOut();
    EXPECT_FALSE(h.settings.contains(keys::kOAuthURL));
    EXPECT_FALSE(h.settings.contains(keys::kAuthCookie));
    EXPECT_EQ(h.loggedInChanges, (std::vector<bool>{true, false}));
}

// ---- the identity-provider road

TEST(ProviderLogin, ConsumerKeyDecidesTheStoredLoginName) {
    ProviderData data;
    DevServer server(data.args());
    struct Case {
        std::string query;
        bool loggedIn;
        std::string login;
    };
    const Case cases[] = {
        {"oauth_consumer_key=orvantainternal&userkey=alice", true, "alice"},
        {"userkey=bob&oauth_consumer_key=campus", true, "campus\\bob"},
        {"oauth_consumer_key=campus&userkey=alice", false, "campus\\alice"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        LoginHarness h;
        const std::string url = "orvanta-recorder://" + server.serverName() + "/?" + c.query;
        h.settings.setString(keys::kServer, server.serverName());
        h.settings.setString(keys::kOAuthURL, url);
        h.settings.setBool(keys::kSaveLogin, true);
        ASSERT_TRUE(h.runLogin()) << "no user name or password is needed";
        EXPECT_EQ(h.loggedIn.get(), c.loggedIn);
        EXPECT_TRUE(h.everyChangeOnMainThread());
        EXPECT_EQ(h.settings.stringForKey(keys::kLogin), c.login);
        EXPECT_EQ(h.login->encryptedPassword().get(), "") << "set only on the password road";
        if (c.loggedIn) {
            EXPECT_EQ(h.login->loginStatus().get(), control::kLoggedIn);
            EXPECT_EQ(h.settings.stringForKey(keys::kOAuthURL), url);
        } else {
            EXPECT_EQ(h.login->loginStatus().get(), control::kInvalidLogin);
            EXPECT_FALSE(h.settings.contains(keys::kOAuthURL)) << "a failed provider login forgets the address";
        }
    }
}

TEST(ProviderLogin, SavedLoginTriesTheCookieFirst) {
    ProviderData data;
    DevServer server(data.args());
    test::LogCapture log;
    // The server remembers presenter from a password login.
    {
        LoginHarness h;
        h.usePassword(server.serverName(), "presenter", "presenter");
        ASSERT_TRUE(h.runLogin());
        ASSERT_TRUE(h.loggedIn.get());
    }
    // An address that would log in as somebody else is not used when the cookie works.
    {
        LoginHarness h;
        h.settings.setString(keys::kServer, server.serverName());
        h.settings.setString(keys::kLogin, "presenter");
        h.settings.setString(keys::kOAuthURL, "orvanta-recorder://h/?oauth_consumer_key=orvantainternal&userkey=alice");
        ASSERT_TRUE(h.runLogin());
        EXPECT_TRUE(h.loggedIn.get());
        EXPECT_TRUE(log.contains("Logged in with cookie."));
        EXPECT_EQ(h.settings.stringForKey(keys::kLogin), "presenter") << "the address was not used";
    }
    // alice never logged in: the cookie fails and the address is used.
    {
        LoginHarness h;
        h.settings.setString(keys::kServer, server.serverName());
        h.settings.setString(keys::kLogin, "alice");
        h.settings.setString(keys::kOAuthURL, "orvanta-recorder://h/?oauth_consumer_key=orvantainternal&userkey=alice");
        ASSERT_TRUE(h.runLogin());
        EXPECT_TRUE(h.loggedIn.get());
        EXPECT_TRUE(log.contains("Could not log in with cookie, proceeding to manual login with OAuth."));
    }
}

// ---- failures

TEST(LoginFailure, UnreachableServerForgetsTheProviderLogin) {
    test::LogCapture log;
    const std::string closed = closedServerName();
    for (bool viaProvider : {false, true}) {
        SCOPED_TRACE(viaProvider ? "identity provider" : "password");
        LoginHarness h;
        h.usePassword(closed, "presenter", "presenter");
        if (viaProvider)
            h.settings.setString(keys::kOAuthURL, "orvanta-recorder://h/?oauth_consumer_key=orvantainternal&userkey=a");
        h.settings.setString(keys::kAuthCookie, "old cookie");
        ASSERT_TRUE(h.runLogin());
        EXPECT_FALSE(h.loggedIn.get());
        EXPECT_EQ(h.loggedInChanges, std::vector<bool>{}) << "it was false already";
        EXPECT_EQ(h.login->loginMessage().get(), control::kServerUnreachable);
        EXPECT_EQ(h.login->loginStatus().get(), control::kNotLoggedIn);
        EXPECT_FALSE(h.settings.contains(keys::kOAuthURL));
        EXPECT_FALSE(h.settings.contains(keys::kAuthCookie));
        EXPECT_FALSE(h.settings.contains(keys::kLastLogIn));
        EXPECT_EQ(h.attemptsFinished, 1);
    }
    EXPECT_TRUE(log.contains("Exception: "));
}

TEST(LoginFailure, OutdatedRecorderIsSentToTheDownload) {
    test::LogCapture log;
    DevServer server({"--quiet", "--min-recorder-version", "999.0"});
    LoginHarness h;
    h.settings.setDate(keys::kLastLogIn, std::chrono::system_clock::now() - std::chrono::hours(24));
    const auto lastLogIn = h.settings.dateForKey(keys::kLastLogIn);
    h.login->showLoginWindow();
    ASSERT_TRUE(h.login->loginWindowShowing().get());
    h.usePassword(server.serverName(), "presenter", "presenter");
    ASSERT_TRUE(h.runLogin());

    const std::string download = server.baseUrl() + "/Orvanta/Pages/Recorder/Download.aspx";
    EXPECT_FALSE(h.loggedIn.get());
    EXPECT_EQ(h.login->loginMessage().get(), control::kRecorderOutOfDate);
    EXPECT_EQ(h.login->loginStatus().get(), control::kNotLoggedIn);
    EXPECT_EQ(h.login->requiredVersion().get(), download);
    EXPECT_TRUE(log.contains("Required version: " + download));
    EXPECT_EQ(h.ui.newVersionSheets, 1);
    EXPECT_EQ(h.ui.sheetsClosed, 1);
    EXPECT_FALSE(h.login->loginWindowShowing().get());
    EXPECT_EQ(h.settings.dateForKey(keys::kLastLogIn), lastLogIn);
}

// ---- cancelling

TEST(LoginCancel, StatusChangesAtOnceAndTheOutcomeStillArrives) {
    test::LogCapture log;
    DevServer server({"--quiet", "--slow-ms", "1500"});
    for (bool firstUse : {false, true}) {
        SCOPED_TRACE(firstUse ? "first use" : "logged in before");
        LoginHarness h;
        if (!firstUse) h.settings.setDate(keys::kLastLogIn, std::chrono::system_clock::now());
        h.login->showLoginWindow();
        h.usePassword(server.serverName(), "presenter", "presenter");
        h.login->logIn();
        ASSERT_TRUE(h.login->isLoginRunning());
        EXPECT_EQ(h.login->loginStatus().get(), control::kLoggingIn);
        h.login->logIn();  // one attempt at a time

        h.login->cancelLogin();
        EXPECT_FALSE(h.login->isLoginRunning());
        EXPECT_EQ(h.login->loginStatus().get(), control::kNotLoggedIn);
        EXPECT_FALSE(h.login->loginWindowShowing().get());
        EXPECT_EQ(h.ui.sheetsClosed, 1);
        EXPECT_EQ(h.ui.terminations, firstUse ? 1 : 0) << "cancelling the first login quits";

        // The call already under way is not interrupted; its outcome is applied when it returns.
        ASSERT_TRUE(h.waitForAttempts(1));
        EXPECT_TRUE(h.loggedIn.get());
        EXPECT_TRUE(h.everyChangeOnMainThread());
        EXPECT_EQ(h.login->loginStatus().get(), control::kLoggedIn);
        h.login->waitForLoginThread();
        EXPECT_EQ(h.attemptsFinished, 1);
    }
    EXPECT_EQ(attemptsStarted(log), 2u) << "one attempt per round";
}

TEST(LoginCancel, CancelledAttemptDoesNotOverwriteANewerOne) {
    DevServer slow({"--quiet", "--slow-ms", "2000"});
    DevServer fast({"--quiet"});
    test::LogCapture log;
    LoginHarness h;
    h.settings.setDate(keys::kLastLogIn, std::chrono::system_clock::now());
    h.usePassword(slow.serverName(), "presenter", "wrong");
    h.login->logIn();
    ASSERT_TRUE(h.login->isLoginRunning());
    h.login->cancelLogin();

    h.usePassword(fast.serverName(), "presenter", "presenter");
    ASSERT_TRUE(h.runLogin());
    EXPECT_TRUE(h.loggedIn.get());

    // The cancelled attempt's refusal comes later and is dropped.
    h.login->waitForLoginThread();
    EXPECT_TRUE(h.loggedIn.get());
    EXPECT_EQ(h.login->loginStatus().get(), control::kLoggedIn);
    EXPECT_EQ(h.attemptsFinished, 1);
    EXPECT_EQ(attemptsStarted(log), 2u);
    EXPECT_TRUE(log.contains("its outcome is dropped"));
}

TEST(LoginCancel, DestroyingTheControllerWaitsForTheAttempt) {
    DevServer server({"--quiet", "--slow-ms", "500"});
    LoginHarness h;
    h.usePassword(server.serverName(), "presenter", "presenter");
    h.login->logIn();
    ASSERT_TRUE(h.login->isLoginRunning());
    h.login.reset();  // must neither hang nor leave the thread behind
    EXPECT_TRUE(h.loggedIn.get()) << "the outcome was handed over while waiting";
    EXPECT_TRUE(h.everyChangeOnMainThread());
}

// ---- the login sheet

TEST(LoginSheet, ShowingPreparesTheSheet) {
    struct Case {
        const char* what;
        bool loggedInBefore, saveLogin, mainWindow;
        bool showing, keepsLogin, messageArea;
        const char* cancelTitle;
    };
    const Case cases[] = {
        {"first use", false, false, true, true, false, true, control::kQuitTitle},
        {"saved login", true, true, true, true, true, false, control::kCancelTitle},
        {"login not saved", true, false, true, true, false, false, control::kCancelTitle},
        {"no main window", true, true, false, false, true, false, control::kCancelTitle},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LoginHarness h;
        h.ui.hasMainWindow = c.mainWindow;
        if (c.loggedInBefore) h.settings.setDate(keys::kLastLogIn, std::chrono::system_clock::now());
        h.settings.setBool(keys::kSaveLogin, c.saveLogin);
        h.settings.setString(keys::kLogin, "presenter");
        h.login->password().set("secret");
        h.login->externalLoginShowing().set(true);
        h.login->showMessageArea().set(true);

        h.login->showLoginWindow();
        EXPECT_EQ(h.ui.sheetsShown, 1);
        EXPECT_EQ(h.login->loginWindowShowing().get(), c.showing);
        EXPECT_FALSE(h.login->externalLoginShowing().get());
        EXPECT_EQ(h.settings.contains(keys::kLogin), c.keepsLogin);
        EXPECT_EQ(h.login->password().get(), c.keepsLogin ? "secret" : "");
        EXPECT_EQ(h.login->showMessageArea().get(), c.messageArea);
        EXPECT_EQ(h.login->cancelLoginText().get(), c.cancelTitle);
        EXPECT_EQ(h.login->loginMessage().get(), c.loggedInBefore ? "" : control::kFirstUseWelcome);

        h.login->showLoginWindow();
        EXPECT_EQ(h.ui.sheetsShown, c.showing ? 1 : 2) << "a sheet on screen is not shown again";
        h.login->didEndSheet();
        EXPECT_FALSE(h.login->loginWindowShowing().get());
    }
}

TEST(LoginSheet, SuccessfulLoginClosesTheSheet) {
    DevServer server({"--quiet"});
    LoginHarness h;
    h.login->showLoginWindow();
    ASSERT_TRUE(h.login->loginWindowShowing().get());
    EXPECT_EQ(h.login->cancelLoginText().get(), control::kQuitTitle);
    h.usePassword(server.serverName(), "presenter", "presenter");
    ASSERT_TRUE(h.runLogin());
    EXPECT_EQ(h.ui.sheetsClosed, 1);
    EXPECT_FALSE(h.login->loginWindowShowing().get());
    EXPECT_EQ(h.ui.terminations, 0);

    // A failed login keeps it open.
    h.login->showLoginWindow();
    h.usePassword(server.serverName(), "presenter", "wrong");
    ASSERT_TRUE(h.runLogin());
    EXPECT_TRUE(h.login->loginWindowShowing().get());
    EXPECT_EQ(h.ui.sheetsClosed, 1);
}

// ---- identity providers

TEST(ExternalProviders, PopUpListsTheServersProviders) {
    ProviderData withProviders;
    ProviderData withoutProviders(false);
    DevServer two(withProviders.args());
    DevServer none(withoutProviders.args());
    struct Case {
        const char* what;
        std::string server, login;
        std::vector<std::string> titles;
        int selected;
        bool enabled;
    };
    const Case cases[] = {
        {"providers", two.serverName(), "presenter", {"Orvanta", "Campus login", "Guest accounts"}, 0, true},
        {"login of a provider", two.serverName(), "guests\\eve", {"Orvanta", "Campus login", "Guest accounts"}, 2,
         true},
        {"server typed with its scheme", "http://" + two.serverName() + "/", "", {"Orvanta", "Campus login",
                                                                                   "Guest accounts"}, 0, true},
        {"no providers", none.serverName(), "", {"Orvanta"}, 0, false},
        {"unreachable server", closedServerName(), "", {"Error Loading Providers"}, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LoginHarness h;
        h.settings.setString(keys::kServer, c.server);
        if (!c.login.empty()) h.settings.setString(keys::kLogin, c.login);
        EXPECT_TRUE(h.login->externalProviders().get().popUpHidden);
        EXPECT_TRUE(h.login->externalProviders().get().updateButtonEnabled);

        std::vector<std::vector<std::string>> shown;
        auto watch = h.login->externalProviders().observe([&](const control::ExternalProviderList& list) {
            std::vector<std::string> titles;
            for (const auto& item : list.items) titles.push_back(item.title);
            shown.push_back(titles);
        });
        h.login->getExternalProviders();
        ASSERT_EQ(shown.size(), 2u);
        EXPECT_EQ(shown[0], std::vector<std::string>{control::kLoadingProviders});
        const auto list = h.login->externalProviders().get();
        std::vector<std::string> titles;
        for (const auto& item : list.items) titles.push_back(item.title);
        EXPECT_EQ(titles, c.titles);
        EXPECT_EQ(list.selectedIndex, c.selected);
        EXPECT_EQ(list.popUpEnabled, c.enabled);
        EXPECT_FALSE(list.popUpHidden);
        EXPECT_TRUE(list.updateButtonHidden);
        EXPECT_FALSE(list.items.front().provider.has_value());
    }
}

TEST(ExternalProviders, ServerChangeBringsBackTheLoadButton) {
    ProviderData data;
    DevServer server(data.args());
    LoginHarness h;
    EXPECT_FALSE(h.login->externalProviders().get().updateButtonEnabled) << "no server yet";
    h.settings.setString(keys::kServer, server.serverName());
    h.login->getExternalProviders();
    ASSERT_FALSE(h.login->externalProviders().get().popUpHidden);

    h.settings.setString(keys::kServer, "");
    auto list = h.login->externalProviders().get();
    EXPECT_TRUE(list.popUpHidden);
    EXPECT_FALSE(list.updateButtonHidden);
    EXPECT_FALSE(list.updateButtonEnabled);
    h.settings.setString(keys::kServer, "elsewhere");
    EXPECT_TRUE(h.login->externalProviders().get().updateButtonEnabled);
}

TEST(ExternalProviders, ProviderPageSignsTheUserIn) {
    ProviderData data;
    DevServer server(data.args());
    LoginHarness h;
    h.settings.setString(keys::kServer, server.serverName());
    h.login->getExternalProviders();
    h.login->loginMessage().set("earlier message");
    std::vector<std::string> pages;
    auto watch = h.login->externalPageAddress().observe([&](const std::string& a) { pages.push_back(a); });

    const auto address = h.login->setExternalProvider(1);
    const std::string expected = "http://" + server.serverName() +
                                 "/Orvanta/Pages/Auth/Login.aspx?instance=campus&action=relogin&returnURL=http://" +
                                 server.serverName() + "/Orvanta/Pages/Recorder/ExternalLogin.aspx";
    ASSERT_EQ(address, expected);
    EXPECT_EQ(pages, (std::vector<std::string>{"about:blank", expected}));
    EXPECT_TRUE(h.login->externalLoginShowing().get());
    EXPECT_TRUE(h.login->loadingExternalPage().get());
    EXPECT_EQ(h.login->loginMessage().get(), "");
    EXPECT_EQ(h.login->externalProviders().get().selectedIndex, 1);

    // The page the server serves there hands over the provider account.
    const std::string page = test::commandOutput("curl -s '" + *address + "'");
    EXPECT_NE(page.find(R"(function getUserInfo() { return "campus\\bob\nb0b"; })"), std::string::npos) << page;
    const int finishedBefore = h.attemptsFinished;
    h.login->webViewDidFinishLoad("campus\\bob\nb0b");
    ASSERT_TRUE(h.login->isLoginRunning());
    ASSERT_TRUE(h.waitForAttempts(finishedBefore + 1));
    EXPECT_TRUE(h.loggedIn.get());
    EXPECT_EQ(h.settings.stringForKey(keys::kLogin), "campus\\bob");
    EXPECT_EQ(h.login->password().get(), "b0b");

    // Back to the server's own accounts.
    EXPECT_EQ(h.login->setExternalProvider(0), std::nullopt);
    EXPECT_FALSE(h.login->externalLoginShowing().get());
    EXPECT_FALSE(h.login->loadingExternalPage().get());
    EXPECT_EQ(h.login->setExternalProvider(7), std::nullopt);
}

TEST(ExternalProviders, PageWithoutCredentialsAsksForTheProviderLogin) {
    DevServer server({"--quiet"});
    for (const std::optional<std::string>& info : {std::optional<std::string>(), std::optional<std::string>("")}) {
        LoginHarness h;
        h.usePassword(server.serverName(), "presenter", "presenter");
        h.login->loadingExternalPage().set(true);
        h.login->webViewDidFinishLoad(info);
        EXPECT_FALSE(h.login->loadingExternalPage().get());
        EXPECT_EQ(h.login->loginMessage().get(), control::kUseProviderPage);
        EXPECT_FALSE(h.login->isLoginRunning());
    }
    // A text without a line feed carries no password: no login starts.
    LoginHarness h;
    h.usePassword(server.serverName(), "presenter", "presenter");
    h.login->webViewDidFinishLoad("someone");
    EXPECT_EQ(h.settings.stringForKey(keys::kLogin), "someone");
    EXPECT_EQ(h.login->password().get(), "");
    EXPECT_FALSE(h.login->isLoginRunning());
}

}  // namespace
}  // namespace orvanta::login_test
