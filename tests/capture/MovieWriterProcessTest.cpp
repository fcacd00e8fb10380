// The movie writer in a process of its own: killed while recording, or running out of file space.
// The child is forked before it starts any thread, records, and reports through its exit status.

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "capture/MovieWriter.h"
#include "capture/MovieWriterTestSupport.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace orvanta::capture {
namespace {

using test::forkChild;

using namespace writertest;
namespace fs = std::filesystem;


// The exit status of the child, or -signal when a signal ended it. A child still running after
// the time limit is killed (-1002).
int waitForChild(pid_t pid, std::chrono::seconds limit = std::chrono::seconds(40)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0) return -1000;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1002;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return -WTERMSIG(status);
    return -1001;
}

// A recording killed outright keeps nearly everything recorded before the kill.
TEST(MovieWriterProcessTest, AKilledRecordingLeavesAPlayableMovie) {
    test::TempDir dir;
    fs::path movie = dir.path() / "screen.mov";
    constexpr auto kRecordFor = std::chrono::milliseconds(7000);
    pid_t child = forkChild([&] {
        std::string codec = "avc1";
        auto options = MovieWriter::compressionOptions(&codec, 0x300, 512000, 10, false);
        auto counts = std::make_shared<FrameCounts>();
        MovieWriter writer(movie.string(), codec, 96, 64, options, nullptr);
        auto start = std::chrono::steady_clock::now();
        // Ten frames a second until killed (and in any case not for ever).
        for (int i = 0; i < 600; ++i) {
            writer.compressFrameOnSeparateThread(
                std::make_shared<TestFrame>(i * 6, 60, 96, 64, static_cast<std::uint8_t>(i * 5), counts));
            std::this_thread::sleep_until(start + std::chrono::milliseconds(100 * (i + 1)));
        }
        return 3;
    });
    ASSERT_GT(child, 0);
    std::this_thread::sleep_for(kRecordFor);
    ::kill(child, SIGKILL);
    EXPECT_EQ(waitForChild(child), -SIGKILL);

    MovieFacts facts = probeMovie(movie);
    ASSERT_TRUE(facts.readable);
    const StreamFacts* video = facts.stream("video");
    ASSERT_TRUE(video);
    EXPECT_EQ(video->codec, "h264");
    EXPECT_GE(facts.duration, 4.0);
    EXPECT_GE(video->frames, 40);
    std::vector<std::int64_t> dts = videoPacketTimes(movie, true);
    for (std::size_t i = 1; i < dts.size(); ++i) EXPECT_LT(dts[i - 1], dts[i]) << i;
    // It decodes from start to end.
    std::vector<int> grey = decodedGreyLevels(movie);
    EXPECT_EQ(grey.size(), static_cast<std::size_t>(video->frames));
}

// Stops the recording when told of a failure, as the capture pipelines do.
class ClosingDelegate : public RecordingDelegate {
public:
    void movieWriterFailedWithError(MovieWriter& writer, const core::Error& error) override {
        RecordingDelegate::movieWriterFailedWithError(writer, error);
        writer.writeAndCloseMovie();
    }
};

// The file system refuses more data in the middle of a recording: the delegate hears of it once
// (error 81) and may close the writer right there; later frames still give their pixels back, and
// what was written stays readable.
TEST(MovieWriterProcessTest, AWriteFailureWhileRecordingIsReportedOnceAndKeepsWhatWasWritten) {
    test::TempDir dir;
    fs::path movie = dir.path() / "screen.mov";
    constexpr rlim_t kFileLimit = 120 * 1024;
    pid_t child = forkChild([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{kFileLimit, kFileLimit};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
        std::string codec = "avc1";
        auto options = MovieWriter::compressionOptions(&codec, 0x300, 512000, 10, false);
        auto counts = std::make_shared<FrameCounts>();
        ClosingDelegate delegate;
        int frames = 0;
        {
            MovieWriter writer(movie.string(), codec, 96, 64, options, &delegate);
            // Noise does not compress: the file grows fast. Stop a little after the failure.
            int afterFailure = 0;
            for (; frames < 2000 && afterFailure < 20; ++frames) {
                writer.compressFrameOnSeparateThread(std::make_shared<TestFrame>(
                    frames * 6, 60, 96, 64, 0, counts, /*withPixels=*/true, /*noise=*/true));
                if (!delegate.errors().empty()) ++afterFailure;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            writer.writeAndCloseMovie();
        }
        std::vector<core::Error> errors = delegate.errors();
        if (errors.size() != 1) return 20 + static_cast<int>(std::min<std::size_t>(errors.size(), 9));
        if (errors[0].code != 81 || errors[0].domain != "orvanta") return 30;
        if (errors[0].failureReason.find("File too large") == std::string::npos) return 31;
        if (errors[0].userInfo.count(core::kFileNameKey) == 0) return 32;
        if (counts->releases != frames || counts->doubleReleases != 0) return 40;
        return 0;
    });
    ASSERT_GT(child, 0);
    EXPECT_EQ(waitForChild(child), 0);

    EXPECT_LE(fs::file_size(movie), kFileLimit);
    EXPECT_FALSE(fs::exists(movie.string() + ".tmp"));
    MovieFacts facts = probeMovie(movie);
    ASSERT_TRUE(facts.readable);
    ASSERT_TRUE(facts.stream("video"));
    EXPECT_GT(facts.stream("video")->frames, 0);
    EXPECT_GT(facts.duration, 0.0);
}

}  // namespace
}  // namespace orvanta::capture
