// Whole recordings of a real X server: the refresh thread, the grab thread and the movie writer
// together, checked with ffprobe and by decoding frames; and the failures that end a capture.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "MovieProbe.h"
#include "ScreenMovieProbe.h"
#include "ScreenPainter.h"
#include "capture/screen/GlScreenCapture.h"
#include "capture/screen/ScreenCaptureErrors.h"
#include "core/RunLoop.h"
#include "core/Settings.h"
#include "core/SettingsKeys.h"
#include "support/Files.h"
#include "support/ScopedEnvironment.h"
#include "support/TempDir.h"
#include "support/XServer.h"

using namespace orvanta;
using namespace orvanta::capture;
using namespace std::chrono_literals;

namespace {

// A capture of one display at 5 frames per second, with its own settings and main loop.
struct Recorder {
    test::TempDir dir;
    core::Settings settings{dir.path() / "settings.json"};
    core::RunLoop loop;
    std::filesystem::path movie = dir.path() / "screen.mov";
    std::vector<core::Error> stopErrors;  // what reached the main loop
    std::unique_ptr<GlScreenCapture> capture;

    explicit Recorder(const std::string& display) {
        settings.setInteger(core::kScreenCaptureFrameRate, 5);
        ScreenCaptureEnvironment environment;
        environment.settings = &settings;
        environment.mainLoop = &loop;
        environment.displayName = display;
        capture = std::make_unique<GlScreenCapture>(environment);
        capture->setStopRecordingHandler([this](const core::Error& error) { stopErrors.push_back(error); });
    }

    // Runs the main loop for a while, so that reported errors arrive.
    void runFor(std::chrono::milliseconds time) {
        loop.runUntil([] { return false; }, time);
    }
    bool waitForStopError() {
        return loop.runUntil([this] { return !stopErrors.empty(); }, 10s);
    }
};

bool isStrictlyIncreasing(const std::vector<double>& values) {
    for (std::size_t i = 1; i < values.size(); ++i)
        if (!(values[i] > values[i - 1])) return false;
    return true;
}

// Reddish, bluish... within what H.264 does to flat colours.
bool near(const std::vector<int>& rgb, int r, int g, int b) {
    return std::abs(rgb[0] - r) <= 40 && std::abs(rgb[1] - g) <= 40 && std::abs(rgb[2] - b) <= 40;
}

std::string describe(const std::vector<int>& rgb) {
    return "(" + std::to_string(rgb[0]) + ", " + std::to_string(rgb[1]) + ", " + std::to_string(rgb[2]) + ")";
}

// Keeps changing the top part of the screen while it exists.
class Animation {
public:
    Animation(const std::string& display, int height)
        : thread_([this, display, height] {
              test::ScreenPainter painter(display);
              for (std::uint32_t step = 0; !stop_; ++step) {
                  painter.fillRect(0, 0, painter.width(), height, 0x101010);
                  painter.fillRect(static_cast<int>(step * 7 % static_cast<std::uint32_t>(painter.width())), 0, 40,
                                   height, 0xF0F0F0);
                  painter.sync();
                  std::this_thread::sleep_for(50ms);
              }
          }) {}
    ~Animation() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace

TEST(ScreenRecording, TenSecondsAtFiveFramesPerSecondWithTheCursor) {
    test::XServer server(640, 480, 24);
    test::ScreenPainter painter(server.display());
    painter.fill(0x000080);
    painter.setSquareCursor(32, 0xFFFF, 0, 0, 0, 0);
    painter.movePointer(400, 300);
    Recorder recorder(server.display());

    {
        Animation animation(server.display(), 100);
        recorder.capture->captureScreenToPath(recorder.movie.string());
        ASSERT_TRUE(recorder.capture->isRecording());
        EXPECT_DOUBLE_EQ(recorder.capture->refreshRate(), 60.0);  // the server names no rate
        recorder.runFor(10s);
        recorder.capture->endRecording();
    }
    EXPECT_FALSE(recorder.capture->isRecording());
    EXPECT_TRUE(recorder.stopErrors.empty());
    EXPECT_FALSE(recorder.capture->lastError());

    const auto tracks = test::movieTracks(recorder.movie);
    ASSERT_EQ(tracks.size(), 1u);
    EXPECT_EQ(tracks[0].type, "video");
    EXPECT_EQ(tracks[0].codec, "h264");
    EXPECT_EQ(tracks[0].width, 640);
    EXPECT_EQ(tracks[0].height, 480);
    const std::vector<double> times = test::videoFrameTimes(recorder.movie);
    EXPECT_GE(times.size(), 45u);
    EXPECT_LE(times.size(), 51u);
    EXPECT_TRUE(isStrictlyIncreasing(times));
    std::vector<double> decodeTimes;
    for (const auto& packet : test::moviePackets(recorder.movie)) decodeTimes.push_back(double(packet.dts));
    EXPECT_TRUE(isStrictlyIncreasing(decodeTimes));
    EXPECT_NEAR(test::movieDuration(recorder.movie), 10.0, 0.3);
    const ScreenCaptureStatistics stats = recorder.capture->statistics();
    EXPECT_EQ(stats.framesQueued, times.size());
    EXPECT_EQ(stats.grabsFailed, 0u);

    // The cursor is where the pointer was; the rest of the screen is as drawn.
    const test::RgbPicture middle = test::decodeFrame(recorder.movie, 5.0, 640, 480);
    ASSERT_FALSE(middle.empty());
    for (auto [x, y] : {std::pair{404, 304}, {416, 316}, {428, 328}})
        EXPECT_TRUE(near(middle.at(x, y), 255, 0, 0)) << x << "," << y << " " << describe(middle.at(x, y));
    for (auto [x, y] : {std::pair{390, 316}, {450, 316}, {416, 290}, {416, 345}})
        EXPECT_TRUE(near(middle.at(x, y), 0, 0, 128)) << x << "," << y << " " << describe(middle.at(x, y));

    // The picture changed while recording.
    const test::RgbPicture early = test::decodeFrame(recorder.movie, 1.0, 640, 480);
    ASSERT_FALSE(early.empty());
    bool changed = false;
    for (int x = 0; x < 640 && !changed; x += 4) changed = early.at(x, 50) != middle.at(x, 50);
    EXPECT_TRUE(changed);
}

TEST(ScreenRecording, GoesOnIntoTheSameFileWhenTheScreenChangesSize) {
    test::XServer server(800, 600, 24, test::XServer::Kind::Xvnc);
    test::ScreenPainter painter(server.display());
    painter.fill(0xFF0000);
    painter.sync();
    Recorder recorder(server.display());
    recorder.capture->captureScreenToPath(recorder.movie.string());
    ASSERT_TRUE(recorder.capture->isRecording());
    EXPECT_EQ(recorder.capture->displayRect(), (DisplayRect{0, 0, 800, 600}));
    recorder.runFor(1200ms);

    const std::string resize =
        test::commandOutput("DISPLAY=" + server.display() + " xrandr -s 1024x768 2>&1; echo rc=$?");
    ASSERT_NE(resize.find("rc=0"), std::string::npos) << resize;
    test::ScreenPainter after(server.display());
    after.fill(0x00FF00);
    ASSERT_TRUE(recorder.loop.runUntil(
        [&] { return recorder.capture->displayRect() == DisplayRect{0, 0, 1024, 768}; }, 5s));
    recorder.runFor(1500ms);
    recorder.capture->endRecording();

    EXPECT_TRUE(recorder.stopErrors.empty());
    const auto tracks = test::movieTracks(recorder.movie);
    ASSERT_EQ(tracks.size(), 1u);
    EXPECT_EQ(tracks[0].width, 800);  // the movie keeps the size it started with
    EXPECT_EQ(tracks[0].height, 600);
    const std::vector<double> times = test::videoFrameTimes(recorder.movie);
    EXPECT_GE(times.size(), 9u);
    EXPECT_TRUE(isStrictlyIncreasing(times));
    ASSERT_FALSE(times.empty());
    EXPECT_GT(times.back(), 2.0);

    // Before the change red, after it green, scaled down into the movie's size. (The pointer sits in
    // the middle of the screen.)
    const test::RgbPicture first = test::decodeFrame(recorder.movie, 0.0, 800, 600);
    const test::RgbPicture last = test::decodeFrame(recorder.movie, times.back(), 800, 600);
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(last.empty());
    EXPECT_TRUE(near(first.at(200, 150), 255, 0, 0)) << describe(first.at(200, 150));
    EXPECT_TRUE(near(last.at(200, 150), 0, 255, 0)) << describe(last.at(200, 150));
    EXPECT_TRUE(near(last.at(790, 590), 0, 255, 0)) << describe(last.at(790, 590));
}

TEST(ScreenRecording, DisplayNotAt32BitsEndsTheCaptureWithError1001) {
    test::XServer server(640, 480, 16);
    Recorder recorder(server.display());
    recorder.capture->captureScreenToPath(recorder.movie.string());
    ASSERT_TRUE(recorder.waitForStopError());
    const core::Error& error = recorder.stopErrors.front();
    EXPECT_EQ(error.domain, "Orvanta");
    EXPECT_EQ(error.code, 1001);
    EXPECT_EQ(error.description, "Color configuration not supported");
    EXPECT_EQ(error.failureReason,
              "Orvanta Recorder only supports 32 bit color when recording Screen Capture. Please change your display "
              "settings to Millions of colors and restart the application.");
    EXPECT_FALSE(recorder.capture->isRecording());
    ASSERT_TRUE(recorder.capture->lastError());
    EXPECT_EQ(recorder.capture->lastError()->code, 1001);
    recorder.runFor(300ms);
    EXPECT_EQ(recorder.stopErrors.size(), 1u);  // reported once
    recorder.capture->endRecording();          // what the recording controller does next
    EXPECT_EQ(recorder.capture->statistics().grabsStarted, 0u);
}

TEST(ScreenRecording, NoDisplayIsAClearError) {
    test::ScopedEnvironment environment;
    environment.set("DISPLAY", std::nullopt);
    for (const char* display : {"", ":9999"}) {
        SCOPED_TRACE(display);
        Recorder recorder(display);
        recorder.capture->captureScreenToPath(recorder.movie.string());
        EXPECT_FALSE(recorder.capture->isRecording());
        ASSERT_TRUE(recorder.waitForStopError());
        const core::Error& error = recorder.stopErrors.front();
        EXPECT_EQ(error.domain, "Orvanta");
        EXPECT_EQ(error.code, kDisplayUnavailableErrorCode);
        EXPECT_EQ(error.description, "Screen capture not available");
        EXPECT_NE(error.failureReason.find("Could not connect to the X display"), std::string::npos)
            << error.failureReason;
        EXPECT_FALSE(std::filesystem::exists(recorder.movie));
        recorder.capture->endRecording();
    }
}

TEST(ScreenRecording, LosingTheDisplayEndsTheCaptureAndKeepsTheMovie) {
    auto server = std::make_unique<test::XServer>(320, 240, 24);
    Recorder recorder(server->display());
    recorder.capture->captureScreenToPath(recorder.movie.string());
    ASSERT_TRUE(recorder.capture->isRecording());
    recorder.runFor(1500ms);
    server.reset();

    ASSERT_TRUE(recorder.waitForStopError());
    EXPECT_EQ(recorder.stopErrors.front().code, kDisplayUnavailableErrorCode);
    EXPECT_NE(recorder.stopErrors.front().failureReason.find("was lost"), std::string::npos)
        << recorder.stopErrors.front().failureReason;
    EXPECT_FALSE(recorder.capture->isRecording());
    recorder.capture->endRecording();

    const std::vector<double> times = test::videoFrameTimes(recorder.movie);
    EXPECT_GE(times.size(), 4u);
    EXPECT_TRUE(isStrictlyIncreasing(times));
}

TEST(ScreenRecording, AMovieFileThatCannotBeCreatedStopsTheRecording) {
    test::XServer server(320, 240, 24);
    Recorder recorder(server.display());
    // A folder cannot be made inside a plain file.
    const auto blocker = recorder.dir.path() / "file";
    { std::ofstream(blocker) << "x"; }
    recorder.capture->captureScreenToPath((blocker / "screen.mov").string());
    EXPECT_FALSE(recorder.capture->isRecording());
    EXPECT_EQ(recorder.capture->refreshRate(), 0.0);  // no refresh thread was started
    ASSERT_TRUE(recorder.capture->lastError());
    EXPECT_EQ(recorder.capture->lastError()->domain, "orvanta");
    ASSERT_TRUE(recorder.waitForStopError());
    EXPECT_EQ(recorder.stopErrors.front().domain, "orvanta");
    EXPECT_TRUE(recorder.stopErrors.front().code == 80 || recorder.stopErrors.front().code == 81)
        << recorder.stopErrors.front().code;
    recorder.capture->endRecording();
}
