#include "capture/devices/CameraInput.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

extern "C" {
#include <libavutil/imgutils.h>
}

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "capture/MovieWriter.h"
#include "capture/MovieWriterTestSupport.h"
#include "capture/devices/CameraFrame.h"
#include "support/Latch.h"
#include "support/TempDir.h"

namespace orvanta::capture {
namespace {

using namespace std::chrono_literals;
using writertest::probeMovie;
using writertest::RecordingDelegate;

// What a started camera delivered.
struct Delivery {
    std::mutex mutex;
    std::vector<std::shared_ptr<VideoFrame>> frames;
    std::vector<core::Error> errors;
    int framesAfterError = 0;
    test::Latch failed;

    VideoInput::FrameHandler frameHandler(MovieWriter* writer = nullptr) {
        return [this, writer](std::shared_ptr<VideoFrame> frame) {
            {
                std::lock_guard lock(mutex);
                if (!errors.empty()) ++framesAfterError;
                frames.push_back(frame);
            }
            if (writer) writer->compressFrameOnSeparateThread(frame);
        };
    }
    VideoInput::ErrorHandler errorHandler() {
        return [this](const core::Error& error) {
            {
                std::lock_guard lock(mutex);
                errors.push_back(error);
            }
            failed.set();
        };
    }
};

std::unique_ptr<VideoInput> openPattern(const std::string& graph, bool paced, core::Error* error) {
    return openCameraInput("lavfi", graph, CameraFormat{}, paced, 5s, error);
}

std::size_t threadCount() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
    return count;
}

// The test pattern at 15 frames per second, paced by the clock: pictures come at that rate with
// rising time stamps on the steady clock, describe a 640x480 picture in the pattern's own format,
// and make a movie of that size with every picture in it.
TEST(CameraInput, PacedPatternDeliversPicturesAtItsRateIntoAMovie) {
    test::TempDir dir;
    const auto movie = dir.path() / "camera.mov";
    core::Error error;
    auto camera = openPattern("testsrc2=size=640x480:rate=15", true, &error);
    ASSERT_TRUE(camera) << error.localizedFailureReason();

    std::string codec = "mp4v";
    auto options = MovieWriter::compressionOptions(&codec, 0x300, 512000, 15, false);
    RecordingDelegate writerDelegate;
    Delivery delivery;
    const auto before = std::chrono::steady_clock::now();
    {
        MovieWriter writer(movie.string(), codec, 640, 480, options, &writerDelegate);
        camera->start(delivery.frameHandler(&writer), delivery.errorHandler());
        std::this_thread::sleep_for(2s);
        camera->stop();
        writer.writeAndCloseMovie();
    }
    const auto after = std::chrono::steady_clock::now();
    EXPECT_TRUE(writerDelegate.errors().empty());

    std::lock_guard lock(delivery.mutex);
    EXPECT_TRUE(delivery.errors.empty());
    const auto count = static_cast<int>(delivery.frames.size());
    EXPECT_GE(count, 26);  // 2 s at 15 per second, give or take the start
    EXPECT_LE(count, 32);
    const auto micros = [](std::chrono::steady_clock::time_point t) {
        return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
    };
    std::int64_t previous = micros(before);
    for (const auto& frame : delivery.frames) {
        EXPECT_EQ(frame->timeScale(), 1000000);
        EXPECT_GT(frame->timeStamp(), previous);
        previous = frame->timeStamp();
    }
    EXPECT_LT(previous, micros(after));
    // Paced: the pictures span the time they were shown at, not a burst.
    ASSERT_GE(count, 2);
    const double span = static_cast<double>(delivery.frames.back()->timeStamp() - delivery.frames.front()->timeStamp());
    EXPECT_NEAR(span / (count - 1), 1e6 / 15, 1e6 / 15 * 0.2);

    const PixelBuffer* pixels = delivery.frames.front()->pixelBuffer();
    ASSERT_TRUE(pixels);
    EXPECT_EQ(pixels->width, 640u);
    EXPECT_EQ(pixels->height, 480u);
    ASSERT_NE(pixels->pixelFormat, PixelBuffer::kBGRA);
    const auto format = static_cast<AVPixelFormat>(pixels->pixelFormat);
    for (int plane = 0; plane < av_pix_fmt_count_planes(format); ++plane) {
        EXPECT_TRUE(pixels->planes[static_cast<std::size_t>(plane)]) << plane;
        EXPECT_GE(pixels->planeRowBytes[static_cast<std::size_t>(plane)], av_image_get_linesize(format, 640, plane))
            << plane;
    }

    const auto facts = probeMovie(movie);
    ASSERT_TRUE(facts.readable);
    const auto* video = facts.stream("video");
    ASSERT_TRUE(video);
    EXPECT_EQ(video->width, 640);
    EXPECT_EQ(video->height, 480);
    EXPECT_NEAR(video->frames, count, 1);
}

// A source that ends stops the input like an unplugged camera: every picture before the end,
// then the error once, and nothing after it.
TEST(CameraInput, SourceThatEndsIsReportedOnceAsDisconnected) {
    core::Error error;
    auto camera = openPattern("testsrc2=size=320x240:rate=30:duration=0.5", false, &error);
    ASSERT_TRUE(camera) << error.localizedFailureReason();
    Delivery delivery;
    camera->start(delivery.frameHandler(), delivery.errorHandler());
    ASSERT_TRUE(delivery.failed.wait());
    std::this_thread::sleep_for(100ms);  // room for anything that should not come
    camera->stop();
    std::lock_guard lock(delivery.mutex);
    EXPECT_EQ(delivery.frames.size(), 15u);
    ASSERT_EQ(delivery.errors.size(), 1u);
    EXPECT_EQ(delivery.errors[0].domain, kCaptureErrorDomain);
    EXPECT_EQ(delivery.errors[0].code, kCaptureDeviceNotConnected);
    EXPECT_EQ(delivery.framesAfterError, 0);
}

// Stopping returns while pictures are flowing, a second stop does nothing, and the frames kept by
// an observer stay readable after the camera is gone.
TEST(CameraInput, StopsPromptlyAndFramesOutliveTheCamera) {
    core::Error error;
    auto camera = openPattern("testsrc2=size=320x240:rate=30", true, &error);
    ASSERT_TRUE(camera) << error.localizedFailureReason();
    Delivery delivery;
    test::Latch some;
    camera->start(
        [&](std::shared_ptr<VideoFrame> frame) {
            std::lock_guard lock(delivery.mutex);
            delivery.frames.push_back(frame);
            if (delivery.frames.size() == 3) some.set();
        },
        delivery.errorHandler());
    ASSERT_TRUE(some.wait());
    camera->stop();
    camera->stop();
    std::size_t count;
    {
        std::lock_guard lock(delivery.mutex);
        count = delivery.frames.size();
    }
    std::this_thread::sleep_for(100ms);
    camera.reset();
    std::lock_guard lock(delivery.mutex);
    EXPECT_EQ(delivery.frames.size(), count);
    EXPECT_TRUE(delivery.errors.empty());
    for (const auto& frame : delivery.frames) {
        frame->releasePixels();
        const PixelBuffer* pixels = frame->pixelBuffer();
        ASSERT_TRUE(pixels);
        // Reading every row of the first plane: the memory is still the frame's.
        unsigned sum = 0;
        for (std::uint32_t y = 0; y < pixels->height; ++y) sum += pixels->planes[0][y * pixels->planeRowBytes[0]];
        EXPECT_GT(sum, 0u);
    }
}

struct OpenFailureCase {
    const char* name;
    const char* inputFormat;
    const char* url;
    CaptureErrorCode code;
};

void PrintTo(const OpenFailureCase& c, std::ostream* os) { *os << c.name; }

class CameraOpenFailureTest : public ::testing::TestWithParam<OpenFailureCase> {};

// Devices that cannot be opened fail at once with what went wrong, naming the device.
TEST_P(CameraOpenFailureTest, FailsWithTheDeviceAndTheReason) {
    core::Error error;
    auto camera = openCameraInput(GetParam().inputFormat, GetParam().url, CameraFormat{}, false, 10s, &error);
    EXPECT_FALSE(camera);
    EXPECT_EQ(error.domain, kCaptureErrorDomain);
    EXPECT_EQ(error.code, GetParam().code);
    EXPECT_FALSE(error.description.empty());
    EXPECT_NE(error.failureReason.find(GetParam().url), std::string::npos) << error.failureReason;
}

INSTANTIATE_TEST_SUITE_P(
    Devices, CameraOpenFailureTest,
    ::testing::Values(
        OpenFailureCase{"MissingNode", "video4linux2", "/dev/video-orvanta-missing", kCaptureDeviceNotConnected},
        OpenFailureCase{"NotACamera", "video4linux2", "/dev/null", kCaptureDeviceFailed},
        OpenFailureCase{"BadPattern", "lavfi", "nosuchfilter=size=320x240", kCaptureDeviceFailed},
        OpenFailureCase{"UnknownKind", "orvanta-no-such-input", "/dev/video0", kCaptureDeviceFailed}),
    [](const ::testing::TestParamInfo<OpenFailureCase>& info) { return std::string(info.param.name); });

// A source that blocks while opening (here a pipe nobody writes to) gives "did not answer" once
// the time limit has passed; the open goes on by itself and cleans up when it finally fails.
TEST(CameraInput, OpenThatHangsTimesOutAndFinishesOnItsOwn) {
    test::TempDir dir;
    const auto fifo = dir.path() / "camera.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::size_t threadsBefore = threadCount();

    core::Error error;
    auto camera = openCameraInput("lavfi", "movie=" + fifo.string(), CameraFormat{}, false, 300ms, &error);
    EXPECT_FALSE(camera);
    EXPECT_EQ(error.domain, kCaptureErrorDomain);
    EXPECT_EQ(error.code, kCaptureDeviceTimedOut);
    EXPECT_EQ(error.description, "The camera did not answer.");
    EXPECT_NE(error.failureReason.find(fifo.string()), std::string::npos) << error.failureReason;
    EXPECT_GT(threadCount(), threadsBefore);  // the open is still waiting

    // Let the open through: the pipe opens and ends at once, the open fails and its thread ends.
    const int writer = ::open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    ::close(writer);
    const auto deadline = std::chrono::steady_clock::now() + test::kGenerous;
    while (threadCount() > threadsBefore && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(threadCount(), threadsBefore);
}

}  // namespace
}  // namespace orvanta::capture
