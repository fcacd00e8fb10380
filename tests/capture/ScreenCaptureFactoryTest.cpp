// Choosing the screen capture back end: the session kind, the add-on library and the aggregate.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <xcb/xcb.h>

#include "capture/AVFCaptureFactory.h"
#include "capture/AggregateCaptureFactory.h"
#include "capture/DisplaySession.h"
#include "capture/GlScreenCaptureFactory.h"
#include "support/Files.h"
#include "support/LogCapture.h"
#include "support/ScopedEnvironment.h"
#include "support/TempDir.h"

using namespace orvanta;
using namespace orvanta::capture;
using Variable = std::optional<std::string>;

namespace {

// Sets the three variables that tell the session kind.
void setSession(test::ScopedEnvironment& environment, Variable type, Variable display, Variable wayland) {
    environment.set("XDG_SESSION_TYPE", type);
    environment.set("DISPLAY", display);
    environment.set("WAYLAND_DISPLAY", wayland);
}

void setX11(test::ScopedEnvironment& environment) { setSession(environment, "x11", ":0", std::nullopt); }
void setWayland(test::ScopedEnvironment& environment) {
    setSession(environment, "wayland", ":0", "wayland-0");
}

// The path of a shared library that is loaded but has no makeAVScreenCapture.
std::string libraryWithoutMaker() {
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&xcb_connect), &info);
    return info.dli_fname ? info.dli_fname : "";
}

class IdleHandler final : public ScreenCaptureHandler {
public:
    void setScreen(unsigned) override {}
    void endRecording() override {}
    void captureScreenToPath(const std::string&) override {}
};

// A member for the aggregate that answers as told and counts what it is asked.
class StandInFactory final : public ScreenCaptureFactory {
public:
    StandInFactory(bool supports, bool yields) : supports_(supports), yields_(yields) {}
    bool supportsScreenCapture() const override { return supports_; }
    std::shared_ptr<ScreenCaptureHandler> createScreenCaptureHandler() override {
        ++created;
        return yields_ ? std::make_shared<IdleHandler>() : nullptr;
    }
    int created = 0;

private:
    bool supports_, yields_;
};

}  // namespace

TEST(DisplaySession, FollowsTheSessionTypeThenTheDisplayVariables) {
    struct Case {
        Variable type, display, wayland;
        DisplaySession expected;
    };
    const Case cases[] = {
        {"x11", ":0", std::nullopt, DisplaySession::X11},
        {"x11", std::nullopt, "wayland-0", DisplaySession::X11},  // the session type decides
        {"wayland", ":0", "wayland-0", DisplaySession::Wayland},  // with Xwayland's $DISPLAY
        {"wayland", std::nullopt, std::nullopt, DisplaySession::Wayland},
        {std::nullopt, ":1", std::nullopt, DisplaySession::X11},
        {"", ":1", "", DisplaySession::X11},  // empty counts as unset
        {std::nullopt, ":1", "wayland-0", DisplaySession::Wayland},
        {std::nullopt, std::nullopt, "wayland-0", DisplaySession::Wayland},
        {std::nullopt, std::nullopt, std::nullopt, DisplaySession::Unknown},
        {"tty", ":1", std::nullopt, DisplaySession::Unknown},
        {"mir", std::nullopt, "wayland-0", DisplaySession::Unknown},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.type.value_or("(unset)") << " " << c.display.value_or("(unset)") << " "
                                        << c.wayland.value_or("(unset)"));
        test::ScopedEnvironment environment;
        setSession(environment, c.type, c.display, c.wayland);
        EXPECT_EQ(currentDisplaySession(), c.expected);
        EXPECT_EQ(GlScreenCaptureFactory().supportsScreenCapture(), c.expected == DisplaySession::X11);
        EXPECT_EQ(AVFCaptureFactory(std::vector<std::string>{}).supportsScreenCapture(),
                  c.expected == DisplaySession::Wayland);
    }
}

TEST(GlScreenCaptureFactory, MakesANewScreenCaptureEachTime) {
    GlScreenCaptureFactory factory;
    auto first = factory.createScreenCaptureHandler();
    auto second = factory.createScreenCaptureHandler();
    ASSERT_TRUE(first);
    EXPECT_NE(first, second);
    EXPECT_NE(dynamic_cast<GlScreenCapture*>(first.get()), nullptr);
}

TEST(AVFCaptureFactory, HandlersFromTheLibraryWorkAndOutliveTheFactory) {
    test::ScopedEnvironment environment;
    setWayland(environment);
    test::TempDir dir;
    const auto calls = dir.path() / "calls.txt";
    std::shared_ptr<ScreenCaptureHandler> handler;
    {
        test::LogCapture log;
        // A place that does not exist is passed over.
        AVFCaptureFactory factory({(dir.path() / "missing" / kCaptureExtrasLibraryName).string(),
                                   ORVANTA_FAKE_CAPTURE_EXTRAS});
        EXPECT_TRUE(factory.hasMaker());
        EXPECT_TRUE(log.contains(std::string("Loading the CaptureExtras library from ") + ORVANTA_FAKE_CAPTURE_EXTRAS));
        EXPECT_FALSE(log.contains("Could not load"));
        handler = factory.createScreenCaptureHandler();
        ASSERT_TRUE(handler);
        EXPECT_NE(factory.createScreenCaptureHandler(), handler);
    }
    // The factory, and its hold on the library, are gone; the handler still runs library code.
    handler->setScreen(2);
    handler->captureScreenToPath(calls.string());
    handler->setStopRecordingHandler([](const core::Error&) {});
    handler->endRecording();
    handler.reset();  // destroyed by the library, which is unloaded after that
    EXPECT_EQ(test::readFile(calls), "capture screen 2\nhandler\nend\ndestroyed\n");
}

TEST(AVFCaptureFactory, LogsWhyNoHandlerCanBeMade) {
    struct Case {
        const char* name;
        bool wayland;
        std::vector<std::string> candidates;
        const char* logLine;
    };
    const Case cases[] = {
        {"not a Wayland session", false, {ORVANTA_FAKE_CAPTURE_EXTRAS}, "Not a Wayland session"},
        {"no library", true, {"/nonexistent/libCaptureExtras.so"},
         "Could not load captureextras.  Error: /nonexistent/libCaptureExtras.so: cannot open shared object file"},
        {"no library on the search path", true, {"/nonexistent/libCaptureExtras.so", "libCaptureExtras.so"},
         "Could not load captureextras.  Error: libCaptureExtras.so: cannot open shared object file"},
        {"no maker", true, {libraryWithoutMaker()}, "Could not load makeAVScreenCapture.  Error: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::ScopedEnvironment environment;
        if (c.wayland)
            setWayland(environment);
        else
            setX11(environment);
        test::LogCapture log;
        AVFCaptureFactory factory(c.candidates);
        EXPECT_TRUE(log.contains(c.logLine)) << (log.lines().empty() ? "" : log.lines().back());
        EXPECT_FALSE(factory.hasMaker());
        EXPECT_EQ(factory.createScreenCaptureHandler(), nullptr);
    }
}

TEST(AggregateCaptureFactory, FirstSupportingMemberWithAHandlerWins) {
    AggregateCaptureFactory empty;
    EXPECT_FALSE(empty.supportsScreenCapture());
    EXPECT_EQ(empty.createScreenCaptureHandler(), nullptr);
    empty.addScreenCaptureFactory(nullptr);  // ignored
    EXPECT_FALSE(empty.supportsScreenCapture());

    auto unsupported = std::make_shared<StandInFactory>(false, true);
    auto empty1 = std::make_shared<StandInFactory>(true, false);
    auto yielding = std::make_shared<StandInFactory>(true, true);
    auto later = std::make_shared<StandInFactory>(true, true);
    AggregateCaptureFactory aggregate;
    aggregate.addScreenCaptureFactory(unsupported);
    EXPECT_FALSE(aggregate.supportsScreenCapture());
    EXPECT_EQ(aggregate.createScreenCaptureHandler(), nullptr);
    EXPECT_EQ(unsupported->created, 0);  // not asked at all

    aggregate.addScreenCaptureFactory(empty1);
    aggregate.addScreenCaptureFactory(nullptr);
    aggregate.addScreenCaptureFactory(yielding);
    aggregate.addScreenCaptureFactory(later);
    EXPECT_TRUE(aggregate.supportsScreenCapture());
    auto handler = aggregate.createScreenCaptureHandler();
    EXPECT_NE(dynamic_cast<IdleHandler*>(handler.get()), nullptr);
    EXPECT_EQ(unsupported->created, 0);
    EXPECT_EQ(empty1->created, 1);
    EXPECT_EQ(yielding->created, 1);
    EXPECT_EQ(later->created, 0);
}

TEST(AggregateCaptureFactory, X11SessionsGetTheX11CaptureWaylandSessionsTheLibrarys) {
    auto makeAggregate = [] {
        auto aggregate = std::make_unique<AggregateCaptureFactory>();
        aggregate->addScreenCaptureFactory(std::make_shared<GlScreenCaptureFactory>());
        aggregate->addScreenCaptureFactory(
            std::make_shared<AVFCaptureFactory>(std::vector<std::string>{ORVANTA_FAKE_CAPTURE_EXTRAS}));
        return aggregate;
    };
    {
        test::ScopedEnvironment environment;
        setX11(environment);
        auto handler = makeAggregate()->createScreenCaptureHandler();
        EXPECT_NE(dynamic_cast<GlScreenCapture*>(handler.get()), nullptr);
    }
    {
        test::ScopedEnvironment environment;
        setWayland(environment);
        auto handler = makeAggregate()->createScreenCaptureHandler();
        ASSERT_NE(handler, nullptr);
        EXPECT_EQ(dynamic_cast<GlScreenCapture*>(handler.get()), nullptr);
    }
    {
        test::ScopedEnvironment environment;
        setSession(environment, std::nullopt, std::nullopt, std::nullopt);
        auto aggregate = makeAggregate();
        EXPECT_FALSE(aggregate->supportsScreenCapture());
        EXPECT_EQ(aggregate->createScreenCaptureHandler(), nullptr);
    }
}
