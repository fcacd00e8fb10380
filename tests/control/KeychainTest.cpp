// The saved password against a real secret service: gnome-keyring-daemon on a private D-Bus
// session bus that the test starts (and stops) itself.

#include "control/Keychain.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <optional>
#include <thread>

#include "control/LoginTestSupport.h"
#include "core/SettingsKeys.h"
#include "support/ChildProcess.h"
#include "support/DevServer.h"
#include "support/Files.h"
#include "support/LogCapture.h"
#include "support/MessageBus.h"
#include "support/ScopedEnvironment.h"
#include "support/TempDir.h"

namespace orvanta::login_test {
namespace {

using control::Keychain;
using test::DevServer;
namespace fs = std::filesystem;

// A session bus of the test's own, without service activation (so nothing starts behind the test's
// back), with the per-user folders pointing into a temporary folder.
class PrivateSessionBus {
public:
    PrivateSessionBus() {
        for (const char* sub : {"home", "data", "config", "runtime"}) fs::create_directories(dir_.path() / sub);
        ::chmod((dir_.path() / "runtime").c_str(), 0700);
        env_.set("HOME", (dir_.path() / "home").string());
        env_.set("XDG_DATA_HOME", (dir_.path() / "data").string());
        env_.set("XDG_CONFIG_HOME", (dir_.path() / "config").string());
        env_.set("XDG_RUNTIME_DIR", (dir_.path() / "runtime").string());
        env_.set("DISPLAY", std::nullopt);  // no prompt windows
        env_.set("DBUS_SESSION_BUS_ADDRESS", std::nullopt);

        if (!bus_.address().empty()) env_.set("DBUS_SESSION_BUS_ADDRESS", bus_.address());
    }

    ~PrivateSessionBus() {
        pauseKeyring(false);  // a stopped process would not act on the signal that ends it
        keyring_.reset();
    }

    const std::string& address() const { return bus_.address(); }
    const fs::path& folder() const { return dir_.path(); }

    // Starts gnome-keyring-daemon with its login keyring unlocked; true once it serves the secrets.
    bool startKeyring() {
        keyring_.emplace(
            std::vector<std::string>{"gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"},
            "keyring password");
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline && keyring_->running()) {
            const std::string reply = test::commandOutput(
                "dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus "
                "org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>&1");
            if (reply.find("boolean true") != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    std::string keyringErrors() const { return keyring_ ? keyring_->errors() : std::string(); }
    // Stops (or resumes) the keyring daemon, so that it takes calls but never answers them.
    void pauseKeyring(bool paused) {
        if (keyring_) keyring_->kill(paused ? SIGSTOP : SIGCONT);
    }

private:
    test::TempDir dir_;
    test::ScopedEnvironment env_;
    test::MessageBus bus_;
    std::optional<test::ChildProcess> keyring_;
};

struct KeychainTest : ::testing::Test {
    test::LogCapture log;
    PrivateSessionBus bus;

    void SetUp() override {
        ASSERT_FALSE(bus.address().empty()) << "the private session bus did not start";
        ASSERT_TRUE(bus.startKeyring()) << bus.keyringErrors();
    }

    // The items the secret service holds for the service and account, as secret-tool lists them.
    static std::string listedItems(const std::string& service, const std::string& account) {
        return test::commandOutput("secret-tool search --all service '" + service + "' account '" + account +
                                   "' 2>&1");
    }
    static size_t count(const std::string& text, const std::string& piece) {
        size_t n = 0;
        for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
        return n;
    }
};

TEST_F(KeychainTest, StoresReplacesReadsAndRemovesThePassword) {
    const std::string server = "lectures.example.edu:8080";
    EXPECT_EQ(Keychain::findPassword(server, "presenter"), std::nullopt);

    ASSERT_TRUE(Keychain::storePassword(server, "presenter", "first"));
    EXPECT_EQ(Keychain::findPassword(server, "presenter"), "first");
    // Saving again replaces the password of the one item.
    ASSERT_TRUE(Keychain::storePassword(server, "presenter", "sec\xC3\xB6nd \\ pass"));
    EXPECT_EQ(Keychain::findPassword(server, "presenter"), "sec\xC3\xB6nd \\ pass");
    const std::string items = listedItems("LessonBeam-" + server, "presenter");
    EXPECT_EQ(count(items, "attribute.service = LessonBeam-" + server), 1u) << items;
    EXPECT_EQ(count(items, "attribute.account = presenter"), 1u) << items;

    // Items are kept apart by server and by account.
    EXPECT_EQ(Keychain::findPassword(server, "someone"), std::nullopt);
    EXPECT_EQ(Keychain::findPassword("other.example.edu", "presenter"), std::nullopt);
    ASSERT_TRUE(Keychain::storePassword("other.example.edu", "presenter", "other"));
    EXPECT_EQ(Keychain::findPassword(server, "presenter"), "sec\xC3\xB6nd \\ pass");

    EXPECT_TRUE(Keychain::removePassword(server, "presenter"));
    EXPECT_EQ(Keychain::findPassword(server, "presenter"), std::nullopt);
    EXPECT_FALSE(Keychain::removePassword(server, "presenter"));
    EXPECT_EQ(Keychain::findPassword("other.example.edu", "presenter"), "other");
}

TEST_F(KeychainTest, ReadsAGenericPasswordSavedByAnotherProgram) {
    auto result = test::runProcess(
        {"secret-tool", "store", "--label=saved elsewhere", "service", "LessonBeam-host:81", "account", "bob"},
        "from the tool", std::chrono::seconds(20));
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(Keychain::findPassword("host:81", "bob"), "from the tool");
}

TEST_F(KeychainTest, PasswordLoginSavesThePasswordWhenAsked) {
    DevServer server({"--quiet"});
    for (bool save : {false, true}) {
        SCOPED_TRACE(save ? "SaveLogin on" : "SaveLogin off");
        LoginHarness h;
        h.usePassword("http://" + server.serverName() + "/", "presenter", "presenter");
        h.settings.setBool(core::kSaveLogin, save);
        ASSERT_TRUE(h.runLogin());
        EXPECT_TRUE(h.loggedIn.get());
        // Saved under the server name as it is stored.
        EXPECT_EQ(Keychain::findPassword(server.serverName(), "presenter"),
                  save ? std::optional<std::string>("presenter") : std::nullopt);
    }

    // The next start reads it back.
    LoginHarness h;
    h.settings.setString(core::kServer, server.serverName());
    h.settings.setString(core::kLogin, "presenter");
    h.login->retrieveSettings();
    EXPECT_EQ(h.login->password().get(), "presenter");
    // Nothing saved for another user leaves the password as it is.
    h.settings.setString(core::kLogin, "someone");
    h.login->password().set("typed");
    h.login->retrieveSettings();
    EXPECT_EQ(h.login->password().get(), "typed");
}

// A secret service that stops answering holds the login up for kKeychainTimeout at most.
TEST_F(KeychainTest, UnresponsiveSecretServiceDoesNotBlockTheLogin) {
    DevServer server({"--quiet"});
    bus.pauseKeyring(true);
    LoginHarness h;
    h.usePassword(server.serverName(), "presenter", "presenter");
    h.settings.setBool(core::kSaveLogin, true);
    ASSERT_TRUE(h.runLogin());
    EXPECT_TRUE(h.loggedIn.get());
    EXPECT_TRUE(log.contains("Keychain: cannot save the password of LessonBeam-" + server.serverName()));
    bus.pauseKeyring(false);
    EXPECT_EQ(Keychain::findPassword(server.serverName(), "presenter"), std::nullopt);
}

// Without a reachable secret service the login goes on and nothing is saved.
TEST(KeychainUnavailable, LoginSucceedsWithoutSavingThePassword) {
    test::LogCapture log;
    DevServer server({"--quiet"});
    test::TempDir emptyRuntime;
    struct Case {
        const char* what;
        std::optional<std::string> busAddress;
        const char* logged;
    };
    const Case cases[] = {
        {"no session bus at all", std::nullopt, "there is no session bus"},
        {"bus address leading nowhere", "unix:path=" + (emptyRuntime.path() / "missing").string(),
         "no session bus at"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::ScopedEnvironment env;
        env.set("DBUS_SESSION_BUS_ADDRESS", c.busAddress);
        env.set("XDG_RUNTIME_DIR", emptyRuntime.path().string());
        env.set("DISPLAY", std::nullopt);

        EXPECT_FALSE(Keychain::storePassword("host", "presenter", "secret"));
        EXPECT_EQ(Keychain::findPassword("host", "presenter"), std::nullopt);

        LoginHarness h;
        h.usePassword(server.serverName(), "presenter", "presenter");
        h.settings.setBool(core::kSaveLogin, true);
        ASSERT_TRUE(h.runLogin());
        EXPECT_TRUE(h.loggedIn.get());
        EXPECT_EQ(h.login->loginStatus().get(), control::kLoggedIn);
        h.login->password().set("typed");
        h.login->retrieveSettings();
        EXPECT_EQ(h.login->password().get(), "typed");
        EXPECT_TRUE(log.contains(c.logged));
    }
}

// A bus without a secret service: fails at once rather than waiting for one to appear.
TEST(KeychainUnavailable, BusWithoutSecretServiceIsReportedAsFailure) {
    test::LogCapture log;
    PrivateSessionBus bus;
    ASSERT_FALSE(bus.address().empty());
    EXPECT_FALSE(Keychain::storePassword("host", "presenter", "secret"));
    EXPECT_EQ(Keychain::findPassword("host", "presenter"), std::nullopt);
    EXPECT_FALSE(Keychain::removePassword("host", "presenter"));
    EXPECT_TRUE(log.contains("no secret service"));
}

}  // namespace
}  // namespace orvanta::login_test
