// Keeping the display awake, against message buses the test starts itself: one stands for the
// session bus, one for the system bus. No screen saver or logind runs here, so small stand-ins
// own their names on those buses and record what they are asked.

#include "control/DisplaySleepInhibitor.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/ChildProcess.h"
#include "support/Latch.h"
#include "support/LogCapture.h"
#include "support/MessageBus.h"
#include "support/ScopedEnvironment.h"
#include "support/TempDir.h"

namespace orvanta::control {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kSucceeded = "Succeeded preventing sleep";
constexpr const char* kFailed = "Failed to prevent sleep";
constexpr const char* kAllowing = "Allowing the system to sleep again";
constexpr const char* kFailedToAllow = "Failed to allow the system to sleep again";

// ---- a stand-in service: owns a name on a bus and hands each method call to a handler, on a
// thread with a main loop of its own.

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct NodeInfoUnref {
    void operator()(GDBusNodeInfo* info) const { g_dbus_node_info_unref(info); }
};

class StandInService {
public:
    // Answers the invocation (or keeps it with hold()); runs on the service's thread.
    using Handler = std::function<void(StandInService&, const std::string& method, GVariant* parameters,
                                       GDBusMethodInvocation* invocation)>;

    StandInService(const std::string& address, const std::string& name, const std::string& path,
                   const std::string& introspection, Handler handler)
        : handler_(std::move(handler)),
          node_(g_dbus_node_info_new_for_xml(introspection.c_str(), nullptr)),
          context_(g_main_context_new()),
          loop_(g_main_loop_new(context_, FALSE)) {
        thread_ = std::thread([this, address, name, path] { run(address, name, path); });
        ready_.wait();
    }

    ~StandInService() {
        // Quits from inside the loop, so a quit cannot come before the loop runs.
        GSource* quit = g_idle_source_new();
        g_source_set_callback(
            quit,
            [](gpointer loop) {
                g_main_loop_quit(static_cast<GMainLoop*>(loop));
                return G_SOURCE_REMOVE;
            },
            loop_, nullptr);
        g_source_attach(quit, context_);
        g_source_unref(quit);
        thread_.join();
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
    }
    StandInService(const StandInService&) = delete;
    StandInService& operator=(const StandInService&) = delete;

    bool serving() const { return serving_; }
    // Keeps the call unanswered until the service ends.
    void hold(GDBusMethodInvocation* invocation) { held_.push_back(invocation); }

private:
    void run(const std::string& address, const std::string& name, const std::string& path) {
        g_main_context_push_thread_default(context_);
        std::unique_ptr<GDBusConnection, ObjectUnref> connection(g_dbus_connection_new_for_address_sync(
            address.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr));
        guint registration = 0;
        if (connection && node_) {
            static const GDBusInterfaceVTable vtable = {
                [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                   GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self) {
                    auto* service = static_cast<StandInService*>(self);
                    service->handler_(*service, method, parameters, invocation);
                },
                nullptr, nullptr, {}};
            registration = g_dbus_connection_register_object(connection.get(), path.c_str(), node_->interfaces[0],
                                                             &vtable, this, nullptr, nullptr);
            GVariant* reply = g_dbus_connection_call_sync(
                connection.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                "RequestName", g_variant_new("(su)", name.c_str(), 4u /* do not queue */), G_VARIANT_TYPE("(u)"),
                G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
            if (reply) {
                guint32 outcome = 0;
                g_variant_get(reply, "(u)", &outcome);
                serving_ = registration != 0 && outcome == 1;  // the primary owner
                g_variant_unref(reply);
            }
        }
        ready_.set();
        g_main_loop_run(loop_);

        for (GDBusMethodInvocation* invocation : held_)
            g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.Failed", "ending");
        held_.clear();
        if (registration) g_dbus_connection_unregister_object(connection.get(), registration);
        if (connection) g_dbus_connection_close_sync(connection.get(), nullptr, nullptr);
        connection.reset();
        while (g_main_context_iteration(context_, FALSE)) {
        }
        g_main_context_pop_thread_default(context_);
    }

    Handler handler_;
    std::unique_ptr<GDBusNodeInfo, NodeInfoUnref> node_;
    GMainContext* context_;
    GMainLoop* loop_;
    std::vector<GDBusMethodInvocation*> held_;  // only touched on the service's thread
    bool serving_ = false;                      // written before ready_ is set
    test::Latch ready_;
    std::thread thread_;
};

// ---- the screen saver and logind stand-ins

enum class Behaviour { Answers, Refuses, Silent };

struct ScreenSaverCall {
    std::string method;
    std::string application, reason;  // Inhibit
    std::uint32_t cookie = 0;          // UnInhibit; Inhibit: the cookie handed out
};

class ScreenSaverStandIn {
public:
    ScreenSaverStandIn(const std::string& address, const std::string& path, Behaviour behaviour)
        : behaviour_(behaviour),
          service_(address, "org.freedesktop.ScreenSaver", path, R"(<node>
  <interface name="org.freedesktop.ScreenSaver">
    <method name="Inhibit"><arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="u" direction="out"/></method>
    <method name="UnInhibit"><arg type="u" direction="in"/></method>
  </interface>
</node>)",
                   [this](StandInService& service, const std::string& method, GVariant* parameters,
                          GDBusMethodInvocation* invocation) { answer(service, method, parameters, invocation); }) {}

    bool serving() const { return service_.serving(); }
    std::vector<ScreenSaverCall> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    void answer(StandInService& service, const std::string& method, GVariant* parameters,
                GDBusMethodInvocation* invocation) {
        ScreenSaverCall call{method, {}, {}, 0};
        if (method == "Inhibit") {
            const gchar *application = nullptr, *reason = nullptr;
            g_variant_get(parameters, "(&s&s)", &application, &reason);
            call.application = application;
            call.reason = reason;
            call.cookie = nextCookie_++;
        } else {
            g_variant_get(parameters, "(u)", &call.cookie);
        }
        {
            std::lock_guard lock(mutex_);
            calls_.push_back(call);
        }
        if (behaviour_ == Behaviour::Silent) return service.hold(invocation);
        if (behaviour_ == Behaviour::Refuses)
            return g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.AccessDenied",
                                                              "not now");
        g_dbus_method_invocation_return_value(invocation,
                                              method == "Inhibit" ? g_variant_new("(u)", call.cookie) : nullptr);
    }

    Behaviour behaviour_;
    std::uint32_t nextCookie_ = 4101;
    mutable std::mutex mutex_;
    std::vector<ScreenSaverCall> calls_;
    StandInService service_;  // last: stops answering before the rest goes
};

// A pipe's reading end; the writing end goes out as the inhibitor.
class ReadEnd {
public:
    explicit ReadEnd(int fd) : fd_(fd) {}
    ~ReadEnd() { ::close(fd_); }
    ReadEnd(const ReadEnd&) = delete;
    ReadEnd& operator=(const ReadEnd&) = delete;

    // True once every copy of the writing end is closed; waits up to `wait` for that.
    bool writerClosed(std::chrono::milliseconds wait) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return false;
        char byte = 0;
        return ::read(fd_, &byte, 1) == 0;
    }

private:
    int fd_;
};

struct LogindCall {
    std::string what, who, why, mode;
};

class LogindStandIn {
public:
    explicit LogindStandIn(const std::string& address)
        : service_(address, "org.freedesktop.login1", "/org/freedesktop/login1", R"(<node>
  <interface name="org.freedesktop.login1.Manager">
    <method name="Inhibit"><arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="h" direction="out"/></method>
  </interface>
</node>)",
                   [this](StandInService&, const std::string&, GVariant* parameters,
                          GDBusMethodInvocation* invocation) { answer(parameters, invocation); }) {}

    bool serving() const { return service_.serving(); }
    std::vector<LogindCall> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    // The reading ends of the inhibitors handed out, in order.
    const ReadEnd& inhibitor(size_t i) const {
        std::lock_guard lock(mutex_);
        return *readEnds_.at(i);
    }

private:
    void answer(GVariant* parameters, GDBusMethodInvocation* invocation) {
        const gchar *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
        g_variant_get(parameters, "(&s&s&s&s)", &what, &who, &why, &mode);
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            return g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.Failed", "pipe");
        std::unique_ptr<GUnixFDList, ObjectUnref> fds(g_unix_fd_list_new());
        const gint index = g_unix_fd_list_append(fds.get(), ends[1], nullptr);  // appends a copy
        ::close(ends[1]);
        {
            std::lock_guard lock(mutex_);
            calls_.push_back({what, who, why, mode});
            readEnds_.push_back(std::make_unique<ReadEnd>(ends[0]));
        }
        g_dbus_method_invocation_return_value_with_unix_fd_list(invocation, g_variant_new("(h)", index), fds.get());
    }

    mutable std::mutex mutex_;
    std::vector<LogindCall> calls_;
    std::vector<std::unique_ptr<ReadEnd>> readEnds_;
    StandInService service_;  // last: stops answering before the rest goes
};

// ---- fixture: both buses, pointed at by the environment; the stand-ins are started per test

struct DisplaySleepInhibitorTest : ::testing::Test {
    test::LogCapture log;
    test::TempDir home;
    test::MessageBus sessionBus, systemBus;
    test::ScopedEnvironment env;
    std::optional<ScreenSaverStandIn> screenSaver;
    std::optional<LogindStandIn> logind;

    void SetUp() override {
        ASSERT_FALSE(sessionBus.address().empty()) << "the private session bus did not start";
        ASSERT_FALSE(systemBus.address().empty()) << "the private system bus did not start";
        env.set("DBUS_SESSION_BUS_ADDRESS", sessionBus.address());
        env.set("DBUS_SYSTEM_BUS_ADDRESS", systemBus.address());
        env.set("XDG_RUNTIME_DIR", home.path().string());
    }

    void startScreenSaver(Behaviour behaviour, const std::string& path = "/org/freedesktop/ScreenSaver") {
        screenSaver.emplace(sessionBus.address(), path, behaviour);
        ASSERT_TRUE(screenSaver->serving());
    }
    void startLogind() {
        logind.emplace(systemBus.address());
        ASSERT_TRUE(logind->serving());
    }
    // The system bus is not there at all.
    void dropSystemBus() { env.set("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (home.path() / "no-bus").string()); }

    size_t count(const std::string& text) const {
        size_t n = 0;
        for (const auto& line : log.lines()) n += line.find(text) != std::string::npos;
        return n;
    }
};

void expectInhibitCall(const ScreenSaverCall& call) {
    EXPECT_EQ(call.method, "Inhibit");
    EXPECT_EQ(call.application, "Orvanta Recorder");
    EXPECT_EQ(call.reason, "Orvanta Recording in Progress");
}

// ---- which service is used, and what start and stop leave behind

enum class LogindSetup { Serving, NotServing, NoSystemBus };

struct FallbackCase {
    const char* name;
    std::optional<Behaviour> screenSaver;  // none: nobody owns the name
    const char* screenSaverPath;
    LogindSetup logind;
    SleepPreventionResult expected;
};

void PrintTo(const FallbackCase& c, std::ostream* out) { *out << c.name; }

class DisplaySleepFallbackTest : public DisplaySleepInhibitorTest,
                                 public ::testing::WithParamInterface<FallbackCase> {};

TEST_P(DisplaySleepFallbackTest, InhibitsThroughTheFirstServiceThatGrantsItAndReleasesAtStop) {
    const FallbackCase& c = GetParam();
    if (c.screenSaver) {
        ASSERT_NO_FATAL_FAILURE(startScreenSaver(*c.screenSaver, c.screenSaverPath));
    }
    if (c.logind == LogindSetup::Serving) {
        ASSERT_NO_FATAL_FAILURE(startLogind());
    }
    if (c.logind == LogindSetup::NoSystemBus) dropSystemBus();

    DisplaySleepInhibitor inhibitor;
    const auto started = std::chrono::steady_clock::now();
    inhibitor.startPreventingSleep();
    const auto took = std::chrono::steady_clock::now() - started;
    // A service that never answers is given up on, not waited for.
    EXPECT_LT(took, kSleepInhibitorCallTimeout + 3s);

    EXPECT_EQ(inhibitor.sleepPreventionSuccess(), c.expected);
    const bool succeeded = c.expected != SleepPreventionResult::Failed;
    EXPECT_EQ(inhibitor.isPreventingSleep(), succeeded);
    EXPECT_EQ(count(kSucceeded), succeeded ? 1u : 0u);
    EXPECT_EQ(count(kFailed), succeeded ? 0u : 1u);

    // The screen saver, when its name is owned, is always asked first, with our names.
    const auto asked = screenSaver ? screenSaver->calls() : std::vector<ScreenSaverCall>{};
    ASSERT_EQ(asked.size(), c.screenSaver ? 1u : 0u);
    if (!asked.empty()) expectInhibitCall(asked[0]);
    // logind only when the screen saver did not grant it.
    const auto logindAsked = logind ? logind->calls() : std::vector<LogindCall>{};
    ASSERT_EQ(logindAsked.size(), c.logind == LogindSetup::Serving && c.expected != SleepPreventionResult::ScreenSaver
                                      ? 1u
                                      : 0u);
    if (!logindAsked.empty()) {
        EXPECT_EQ(logindAsked[0].what, "idle");
        EXPECT_EQ(logindAsked[0].who, "Orvanta Recorder");
        EXPECT_EQ(logindAsked[0].why, "Orvanta Recording in Progress");
        EXPECT_EQ(logindAsked[0].mode, "block");
    }

    if (c.expected == SleepPreventionResult::ScreenSaver)
        EXPECT_EQ(inhibitor.sleepPreventionAssertion(), asked.at(0).cookie);
    else if (c.expected == SleepPreventionResult::Logind)
        // The inhibitor is held open while recording.
        EXPECT_FALSE(logind->inhibitor(0).writerClosed(100ms));
    else
        EXPECT_EQ(inhibitor.sleepPreventionAssertion(), 0u);

    inhibitor.stopPreventingSleep();
    EXPECT_EQ(inhibitor.sleepPreventionSuccess(), SleepPreventionResult::None);
    EXPECT_EQ(inhibitor.sleepPreventionAssertion(), 0u);
    EXPECT_EQ(count(kAllowing), succeeded ? 1u : 0u);
    EXPECT_EQ(count(kFailedToAllow), 0u);
    if (c.expected == SleepPreventionResult::ScreenSaver) {
        const auto calls = screenSaver->calls();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[1].method, "UnInhibit");
        EXPECT_EQ(calls[1].cookie, calls[0].cookie);
    } else if (c.expected == SleepPreventionResult::Logind) {
        EXPECT_TRUE(logind->inhibitor(0).writerClosed(test::kGenerous));
    }
    if (screenSaver && c.expected != SleepPreventionResult::ScreenSaver) {
        EXPECT_EQ(screenSaver->calls().size(), 1u) << "nothing to hand back to a screen saver that did not grant";
    }
}

const FallbackCase kFallbackCases[] = {
    {"ScreenSaverFirst", Behaviour::Answers, "/org/freedesktop/ScreenSaver", LogindSetup::Serving,
     SleepPreventionResult::ScreenSaver},
    {"ScreenSaverAtTheShortPath", Behaviour::Answers, "/ScreenSaver", LogindSetup::NoSystemBus,
     SleepPreventionResult::ScreenSaver},
    {"NoScreenSaver", std::nullopt, "", LogindSetup::Serving, SleepPreventionResult::Logind},
    {"ScreenSaverRefuses", Behaviour::Refuses, "/org/freedesktop/ScreenSaver", LogindSetup::Serving,
     SleepPreventionResult::Logind},
    {"ScreenSaverNeverAnswers", Behaviour::Silent, "/org/freedesktop/ScreenSaver", LogindSetup::Serving,
     SleepPreventionResult::Logind},
    {"NeitherOnTheBuses", std::nullopt, "", LogindSetup::NotServing, SleepPreventionResult::Failed},
    {"NeitherAndNoSystemBus", std::nullopt, "", LogindSetup::NoSystemBus, SleepPreventionResult::Failed},
    {"NothingAnswers", Behaviour::Silent, "/ScreenSaver", LogindSetup::NoSystemBus, SleepPreventionResult::Failed},
};

INSTANTIATE_TEST_SUITE_P(Services, DisplaySleepFallbackTest, ::testing::ValuesIn(kFallbackCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DisplaySleepInhibitorTest, WithoutAnyBusNothingIsHeldAndStopDoesNothing) {
    env.set("DBUS_SESSION_BUS_ADDRESS", std::nullopt);  // and no bus socket in XDG_RUNTIME_DIR
    dropSystemBus();
    {
        DisplaySleepInhibitor inhibitor;
        inhibitor.startPreventingSleep();
        EXPECT_EQ(inhibitor.sleepPreventionSuccess(), SleepPreventionResult::Failed);
        EXPECT_EQ(count(kFailed), 1u);
        inhibitor.stopPreventingSleep();
        inhibitor.stopPreventingSleep();
        EXPECT_EQ(inhibitor.sleepPreventionSuccess(), SleepPreventionResult::None);
    }
    EXPECT_EQ(count(kAllowing) + count(kFailedToAllow) + count(kSucceeded), 0u);
}

TEST_F(DisplaySleepInhibitorTest, ASessionBusThatNeverAnswersIsGivenUpOn) {
    ASSERT_NO_FATAL_FAILURE(startLogind());
    sessionBus.setStopped(true);
    DisplaySleepInhibitor inhibitor;
    const auto started = std::chrono::steady_clock::now();
    inhibitor.startPreventingSleep();
    EXPECT_LT(std::chrono::steady_clock::now() - started, kSleepInhibitorCallTimeout + 3s);
    sessionBus.setStopped(false);
    EXPECT_EQ(inhibitor.sleepPreventionSuccess(), SleepPreventionResult::Logind);
    EXPECT_EQ(count(kSucceeded), 1u);
}

// ---- nothing held is ever left behind

TEST_F(DisplaySleepInhibitorTest, StartingAgainAndDestroyingReleaseEveryScreenSaverCookie) {
    ASSERT_NO_FATAL_FAILURE(startScreenSaver(Behaviour::Answers));
    {
        DisplaySleepInhibitor inhibitor;
        inhibitor.startPreventingSleep();
        inhibitor.startPreventingSleep();
        EXPECT_EQ(inhibitor.sleepPreventionSuccess(), SleepPreventionResult::ScreenSaver);
        EXPECT_EQ(inhibitor.sleepPreventionAssertion(), screenSaver->calls().back().cookie);
    }
    const auto calls = screenSaver->calls();
    ASSERT_EQ(calls.size(), 4u);
    expectInhibitCall(calls[0]);
    EXPECT_EQ(calls[1].method, "UnInhibit");
    EXPECT_EQ(calls[1].cookie, calls[0].cookie);
    expectInhibitCall(calls[2]);
    EXPECT_NE(calls[2].cookie, calls[0].cookie);
    EXPECT_EQ(calls[3].method, "UnInhibit");  // at destruction
    EXPECT_EQ(calls[3].cookie, calls[2].cookie);
    EXPECT_EQ(count(kSucceeded), 2u);
    EXPECT_EQ(count(kAllowing), 2u);
}

TEST_F(DisplaySleepInhibitorTest, StartingAgainAndDestroyingCloseEveryLogindInhibitor) {
    ASSERT_NO_FATAL_FAILURE(startLogind());
    {
        DisplaySleepInhibitor inhibitor;
        inhibitor.startPreventingSleep();
        inhibitor.startPreventingSleep();
        EXPECT_EQ(inhibitor.sleepPreventionSuccess(), SleepPreventionResult::Logind);
        ASSERT_EQ(logind->calls().size(), 2u);
        EXPECT_TRUE(logind->inhibitor(0).writerClosed(test::kGenerous));
        EXPECT_FALSE(logind->inhibitor(1).writerClosed(100ms));
    }
    EXPECT_TRUE(logind->inhibitor(1).writerClosed(test::kGenerous));
    EXPECT_EQ(count(kSucceeded), 2u);
    EXPECT_EQ(count(kAllowing), 2u);
}

TEST_F(DisplaySleepInhibitorTest, AScreenSaverGoneByTheStopIsReportedAndForgotten) {
    ASSERT_NO_FATAL_FAILURE(startScreenSaver(Behaviour::Answers));
    DisplaySleepInhibitor inhibitor;
    inhibitor.startPreventingSleep();
    ASSERT_EQ(inhibitor.sleepPreventionSuccess(), SleepPreventionResult::ScreenSaver);
    screenSaver.reset();

    inhibitor.stopPreventingSleep();
    EXPECT_EQ(count(kFailedToAllow), 1u);
    EXPECT_EQ(count(kAllowing), 0u);
    EXPECT_EQ(inhibitor.sleepPreventionSuccess(), SleepPreventionResult::None);
    EXPECT_EQ(inhibitor.sleepPreventionAssertion(), 0u);
    // Released means released: a second stop does not try again.
    inhibitor.stopPreventingSleep();
    EXPECT_EQ(count(kFailedToAllow), 1u);
}

}  // namespace
}  // namespace orvanta::control
