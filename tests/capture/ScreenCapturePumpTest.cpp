// The frame pump driven by hand: refreshes at chosen times on a clock the test sets, real grabs of
// an X server, a real movie writer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "ScreenMovieProbe.h"
#include "capture/screen/FrameReader.h"
#include "capture/screen/GlScreenCapture.h"
#include "capture/screen/QueueController.h"
#include "core/RunLoop.h"
#include "core/Settings.h"
#include "core/SettingsKeys.h"
#include "support/TempDir.h"
#include "support/XServer.h"

using namespace orvanta;
using namespace orvanta::capture;

class ScreenCapturePump : public testing::Test {
protected:
    static void SetUpTestSuite() { server_ = std::make_unique<test::XServer>(320, 240, 24); }
    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override {
        settings_.setInteger(core::kScreenCaptureFrameRate, 5);
        ScreenCaptureEnvironment environment;
        environment.settings = &settings_;
        environment.mainLoop = &loop_;
        environment.displayName = server_->display();
        environment.clock = [this] { return clock_.load(); };
        environment.driveRefresh = false;
        capture_ = std::make_unique<GlScreenCapture>(environment);
        capture_->captureScreenToPath(movie_.string());
        ASSERT_TRUE(capture_->isRecording());
        ASSERT_FALSE(capture_->lastError());
        ASSERT_DOUBLE_EQ(capture_->frameInterval(), 0.2);
        EXPECT_EQ(capture_->refreshRate(), 0.0);  // the test drives the refreshes
        pool_ = capture_->frameQueueController();
        ASSERT_TRUE(pool_);
        ASSERT_EQ(pool_->freeCount(), GlScreenCapture::kReaderCount);
    }

    // One display refresh at time t.
    void tick(double t) {
        clock_ = t;
        EXPECT_TRUE(capture_->displayLinkCallback());
    }

    // Waits until n grabs in all have been made: each is in the filled queue or, when it landed there
    // before the refresh that started it was over, already handed to the writer.
    testing::AssertionResult grabbed(std::uint64_t n) {
        return waitFor([&] { return capture_->statistics().framesQueued + pool_->filledCount() >= n; });
    }
    // Waits until no reader is in flight: every one is in the free or the filled queue.
    testing::AssertionResult settled() {
        return waitFor([&] { return pool_->freeCount() + pool_->filledCount() == GlScreenCapture::kReaderCount; });
    }
    template <typename Condition>
    testing::AssertionResult waitFor(Condition done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (done()) return testing::AssertionSuccess();
        const ScreenCaptureStatistics s = capture_->statistics();
        return testing::AssertionFailure() << "filled " << pool_->filledCount() << " free " << pool_->freeCount()
                                           << " grabs " << s.grabsStarted << " failed " << s.grabsFailed << " queued "
                                           << s.framesQueued;
    }

    std::vector<double> finish() {
        pool_.reset();
        capture_->endRecording();
        EXPECT_FALSE(capture_->isRecording());
        EXPECT_FALSE(capture_->lastError());
        return test::videoFrameTimes(movie_);
    }

    static std::unique_ptr<test::XServer> server_;
    test::TempDir dir_;
    core::Settings settings_{dir_.path() / "settings.json"};
    core::RunLoop loop_;
    std::atomic<double> clock_{0};
    std::filesystem::path movie_ = dir_.path() / "screen.mov";
    std::unique_ptr<GlScreenCapture> capture_;
    std::shared_ptr<QueueController> pool_;
};
std::unique_ptr<test::XServer> ScreenCapturePump::server_;

TEST_F(ScreenCapturePump, GrabsOnlyWhenMoreThanOneIntervalHasPassed) {
    const double t0 = 0.25;
    const double t1 = t0 + 0.2;
    ASSERT_EQ(t1 - t0, 0.2);  // exactly one interval apart

    tick(t0);  // the first refresh starts the clock and grabs
    EXPECT_EQ(capture_->statistics().grabsStarted, 1u);
    ASSERT_TRUE(grabbed(1));

    tick(t1);  // exactly one interval later: no grab, but the grabbed frame goes to the writer
    EXPECT_EQ(capture_->statistics().grabsStarted, 1u);
    EXPECT_EQ(capture_->statistics().framesQueued, 1u);
    EXPECT_EQ(pool_->filledCount(), 0u);

    tick(std::nextafter(t1, 1.0));  // just past it: grab
    EXPECT_EQ(capture_->statistics().grabsStarted, 2u);
    ASSERT_TRUE(grabbed(2));
    tick(t1 + 0.1);  // the interval counts from the last grab
    EXPECT_EQ(capture_->statistics().grabsStarted, 2u);
    EXPECT_EQ(capture_->statistics().framesQueued, 2u);

    const std::vector<double> times = finish();
    ASSERT_EQ(times.size(), 2u);
    EXPECT_NEAR(times[0], 0.0, 1e-6);
    EXPECT_NEAR(times[1], 12.0 / 60, 1e-6);
}

TEST_F(ScreenCapturePump, TimeStampIsTheGrabTimeInSixtiethsTruncated) {
    tick(0.25);
    ASSERT_TRUE(grabbed(1));
    tick(0.25 + 1.2345);  // grabs 1.2345 s after the start
    ASSERT_TRUE(grabbed(2));
    tick(0.25 + 1.3);
    EXPECT_EQ(capture_->statistics().framesQueued, 2u);

    const std::vector<double> times = finish();
    ASSERT_EQ(times.size(), 2u);
    EXPECT_NEAR(times[1], 74.0 / 60, 1e-6);
}

TEST_F(ScreenCapturePump, SkipsTheGrabWhileEveryReaderIsInUse) {
    tick(0.25);
    ASSERT_TRUE(grabbed(1));
    ASSERT_TRUE(settled());
    // The free readers are all busy elsewhere.
    std::vector<std::shared_ptr<FrameReader>> busy;
    while (auto reader = pool_->removeOldestItemFromFreeQ()) busy.push_back(reader);
    ASSERT_GE(busy.size(), GlScreenCapture::kReaderCount - 1);

    tick(1.0);  // a grab is due, but there is no reader for it
    EXPECT_EQ(capture_->statistics().grabsStarted, 1u);
    EXPECT_EQ(capture_->statistics().grabsSkipped, 1u);
    EXPECT_EQ(capture_->statistics().framesQueued, 1u);  // the frame already grabbed still goes out

    for (auto& reader : busy) pool_->addItemToFreeQ(reader);
    busy.clear();
    tick(1.1);  // the skipped refresh counts as the last grab time
    EXPECT_EQ(capture_->statistics().grabsStarted, 1u);
    tick(1.5);
    EXPECT_EQ(capture_->statistics().grabsStarted, 2u);
    ASSERT_TRUE(grabbed(2));
    tick(1.6);

    // The later frame carries its own grab time, not a count of frames.
    const std::vector<double> times = finish();
    ASSERT_EQ(times.size(), 2u);
    EXPECT_NEAR(times[1], 1.25, 1e-6);
}

TEST_F(ScreenCapturePump, TheLastGrabIsWrittenWhenTheRecordingEnds) {
    tick(0.25);
    ASSERT_TRUE(grabbed(1));
    tick(0.5);
    ASSERT_TRUE(grabbed(2));
    tick(0.75);
    // The last grab may not even have been made when the recording ends; it is written all the same.
    const std::vector<double> times = finish();
    ASSERT_EQ(times.size(), 3u);
    EXPECT_NEAR(times[1], 0.25, 1e-6);
    EXPECT_NEAR(times[2], 0.5, 1e-6);
    EXPECT_EQ(pool_, nullptr);
    EXPECT_EQ(capture_->frameQueueController(), nullptr);  // the pool goes with the recording
}
