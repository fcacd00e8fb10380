#include "capture/MovieWriter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "capture/MovieWriterTestSupport.h"
#include "core/SettingsKeys.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace orvanta::capture {
namespace {

using namespace writertest;
namespace fs = std::filesystem;

std::shared_ptr<const CompressionOptions> optionsFor(std::string* codec, int frameRate) {
    return MovieWriter::compressionOptions(codec, 0x300, 512000, frameRate, false);
}

struct CodecCase {
    const char* codec;
    const char* expectedCodecName;
};

void PrintTo(const CodecCase& c, std::ostream* os) { *os << c.codec; }

class MovieWriterCodecTest : public ::testing::TestWithParam<CodecCase> {};

// Both codecs the capture uses: the track has the asked size, the first frame's time scale, every
// frame in order with its own time stamp, and the whole duration.
TEST_P(MovieWriterCodecTest, WritesTheFramesAtTheirTimesInTheOutputSize) {
    test::TempDir dir;
    fs::path movie = dir.path() / "screen.mov";
    std::string codec = GetParam().codec;
    auto options = optionsFor(&codec, 10);
    ASSERT_TRUE(options);
    EXPECT_EQ(codec, GetParam().codec);
    auto counts = std::make_shared<FrameCounts>();
    RecordingDelegate delegate;
    {
        MovieWriter writer(movie.string(), codec, 96, 64, options, &delegate);
        EXPECT_TRUE(writer.isOpen());
        feedFrames(writer, 25, 6, 60, 96, 64, counts);
        writer.writeAndCloseMovie();
        EXPECT_FALSE(writer.isOpen());
    }
    EXPECT_TRUE(delegate.errors().empty());
    EXPECT_EQ(counts->releases, 25);
    EXPECT_EQ(counts->pixelRequests, 25);
    EXPECT_EQ(counts->doubleReleases, 0);

    MovieFacts facts = probeMovie(movie);
    ASSERT_TRUE(facts.readable);
    ASSERT_EQ(facts.streams.size(), 1u);
    const StreamFacts* video = facts.stream("video");
    ASSERT_TRUE(video);
    EXPECT_EQ(video->codec, GetParam().expectedCodecName);
    EXPECT_EQ(video->width, 96);
    EXPECT_EQ(video->height, 64);
    EXPECT_EQ(video->timeBase, "1/60");
    EXPECT_EQ(video->frames, 25);
    EXPECT_NEAR(facts.duration, 2.5, 0.05);

    std::vector<std::int64_t> pts = videoPacketTimes(movie);
    std::sort(pts.begin(), pts.end());
    ASSERT_EQ(pts.size(), 25u);
    for (std::size_t i = 0; i < pts.size(); ++i) EXPECT_EQ(pts[i], static_cast<std::int64_t>(i) * 6) << i;
    std::vector<std::int64_t> dts = videoPacketTimes(movie, true);
    for (std::size_t i = 1; i < dts.size(); ++i) EXPECT_LT(dts[i - 1], dts[i]) << i;

    std::vector<int> grey = decodedGreyLevels(movie);
    ASSERT_EQ(grey.size(), 25u);
    for (std::size_t i = 0; i < grey.size(); ++i) EXPECT_NEAR(grey[i], 16 + static_cast<int>(i) * 7, 6) << i;

    EXPECT_FALSE(hasTopLevelBox(movie, "moof"));
    EXPECT_TRUE(hasTopLevelBox(movie, "moov"));
    EXPECT_FALSE(fs::exists(movie.string() + ".tmp"));
}

INSTANTIATE_TEST_SUITE_P(Codecs, MovieWriterCodecTest,
                         ::testing::Values(CodecCase{"avc1", "h264"}, CodecCase{"mp4v", "mpeg4"}),
                         [](const auto& info) { return std::string(info.param.codec); });

class MovieWriterTest : public ::testing::Test {
protected:
    test::TempDir dir;
    std::shared_ptr<FrameCounts> counts = std::make_shared<FrameCounts>();
    RecordingDelegate delegate;

    fs::path moviePath(const std::string& name = "movie.mov") const { return dir.path() / name; }
};

// Without options (the options call answered nothing) the writer uses the encoder's defaults.
TEST_F(MovieWriterTest, WritesWithTheEncodersDefaultsWhenGivenNoOptions) {
    for (const char* codec : {"avc1", "mp4v"}) {
        fs::path movie = moviePath(std::string(codec) + ".mov");
        {
            MovieWriter writer(movie.string(), codec, 64, 48, nullptr, &delegate);
            feedFrames(writer, 10, 12, 60, 64, 48, counts);
        }  // the destructor closes
        MovieFacts facts = probeMovie(movie);
        ASSERT_TRUE(facts.stream("video")) << codec;
        EXPECT_EQ(facts.stream("video")->frames, 10) << codec;
        EXPECT_NEAR(facts.duration, 2.0, 0.05) << codec;
    }
    EXPECT_TRUE(delegate.errors().empty());
    EXPECT_EQ(counts->releases, 20);
}

// Pictures of another size are scaled to the output size; the scaled content is what was shown.
TEST_F(MovieWriterTest, ScalesSourceFramesOfAnotherSize) {
    std::string codec = "avc1";
    {
        MovieWriter writer(moviePath().string(), codec, 80, 60, optionsFor(&codec, 5), &delegate);
        feedFrames(writer, 6, 12, 60, 320, 240, counts);  // larger
        feedFrames(writer, 4, 12, 60, 40, 30, counts, 72);  // smaller
        writer.writeAndCloseMovie();
    }
    MovieFacts facts = probeMovie(moviePath());
    ASSERT_TRUE(facts.stream("video"));
    EXPECT_EQ(facts.stream("video")->width, 80);
    EXPECT_EQ(facts.stream("video")->height, 60);
    EXPECT_EQ(facts.stream("video")->frames, 10);
    std::vector<int> grey = decodedGreyLevels(moviePath());
    ASSERT_EQ(grey.size(), 10u);
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(grey[i], 16 + i * 7, 6) << i;
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(grey[6 + i], 16 + i * 7, 6) << i;
    EXPECT_EQ(counts->releases, 10);
}

// Odd output sizes cannot be encoded as 4:2:0 pictures; the writer rounds them down rather than
// losing the video.
TEST_F(MovieWriterTest, RoundsAnOddOutputSizeDown) {
    std::string codec = "avc1";
    {
        MovieWriter writer(moviePath().string(), codec, 101, 75, optionsFor(&codec, 5), &delegate);
        feedFrames(writer, 3, 12, 60, 101, 75, counts);
    }
    MovieFacts facts = probeMovie(moviePath());
    ASSERT_TRUE(facts.stream("video"));
    EXPECT_EQ(facts.stream("video")->width, 100);
    EXPECT_EQ(facts.stream("video")->height, 74);
    EXPECT_EQ(facts.stream("video")->frames, 3);
}

TEST_F(MovieWriterTest, CreatesMissingFoldersAndReplacesAnExistingFile) {
    fs::path nested = dir.path() / "a" / "b c" / "movie.mov";
    fs::path existing = moviePath("existing.mov");
    {
        std::ofstream out(existing, std::ios::binary);
        out << std::string(200000, 'x');
    }
    for (const fs::path& movie : {nested, existing}) {
        {
            MovieWriter writer(movie.string(), "mp4v", 64, 48, nullptr, &delegate);
            EXPECT_TRUE(writer.isOpen());
            feedFrames(writer, 5, 12, 60, 64, 48, counts);
        }
        MovieFacts facts = probeMovie(movie);
        ASSERT_TRUE(facts.stream("video")) << movie;
        EXPECT_EQ(facts.stream("video")->frames, 5);
        EXPECT_EQ(test::readFile(movie).find("xxxxxxxx"), std::string::npos) << movie;
    }
    EXPECT_TRUE(delegate.errors().empty());
}

// A path that cannot hold a movie: the delegate hears of it before the constructor returns, and
// the writer takes nothing (but still gives every frame's pixels back).
TEST_F(MovieWriterTest, UnwritablePathsAreReportedSynchronouslyAndTheWriterStaysInert) {
    fs::path plainFile = moviePath("plain.txt");
    std::ofstream(plainFile) << "not a folder";
    fs::create_directories(dir.path() / "folder.mov");
    struct Case {
        fs::path path;
        long code;
        const char* description;
    };
    const Case cases[] = {
        {plainFile / "sub" / "movie.mov", 80, "Failed to write file"},
        {"", 80, "Failed to write file"},
        {dir.path() / "folder.mov", 81, "Failed to create movie storage in file"},
    };
    for (const Case& c : cases) {
        RecordingDelegate told;
        auto frameCounts = std::make_shared<FrameCounts>();
        MovieWriter writer(c.path.string(), "avc1", 64, 48, nullptr, &told);
        std::vector<core::Error> errors = told.errors();
        ASSERT_EQ(errors.size(), 1u) << c.path;
        EXPECT_EQ(errors[0].domain, "orvanta");
        EXPECT_EQ(errors[0].code, c.code) << c.path;
        EXPECT_EQ(errors[0].description, c.description);
        EXPECT_EQ(errors[0].failureReason.rfind("Failed with error -", 0), 0u) << errors[0].failureReason;
        EXPECT_EQ(errors[0].userInfo.at(core::kFileNameKey), c.path.string());
        EXPECT_EQ(writer.delegate(), &told);
        EXPECT_FALSE(writer.isOpen());

        EXPECT_FALSE(writer.compressFrameOnSeparateThread(
            std::make_shared<TestFrame>(0, 60, 64, 48, 100, frameCounts)));
        feedSound(writer, tone(0.1, 48000, 1), 48000, 1);
        writer.writeAndCloseMovie();
        EXPECT_EQ(frameCounts->releases, 1);
        EXPECT_EQ(told.errors().size(), 1u);
    }
    EXPECT_TRUE(fs::is_directory(dir.path() / "folder.mov"));
    EXPECT_TRUE(fs::is_regular_file(plainFile));
}

// Closing a writer that never got anything leaves an empty movie, not a broken file.
TEST_F(MovieWriterTest, ClosingWithoutFramesWritesAMovieWithoutVideo) {
    test::LogCapture log;
    {
        MovieWriter writer(moviePath().string(), "avc1", 64, 48, nullptr, &delegate);
        writer.writeAndCloseMovie();
        writer.writeAndCloseMovie();  // a second close does nothing
    }
    MovieFacts facts = probeMovie(moviePath());
    EXPECT_TRUE(facts.readable);
    EXPECT_TRUE(facts.streams.empty());
    EXPECT_TRUE(delegate.errors().empty());
    EXPECT_TRUE(log.contains("ICMCompressionSessionCompleteFrames() failed"));
}

TEST_F(MovieWriterTest, FramesAfterCloseAreDroppedAndGiveTheirPixelsBack) {
    MovieWriter writer(moviePath().string(), "mp4v", 64, 48, nullptr, &delegate);
    feedFrames(writer, 3, 12, 60, 64, 48, counts);
    writer.writeAndCloseMovie();
    EXPECT_FALSE(writer.isOpen());
    EXPECT_FALSE(writer.compressFrameOnSeparateThread(std::make_shared<TestFrame>(100, 60, 64, 48, 50, counts)));
    EXPECT_EQ(counts->releases, 4);
    EXPECT_EQ(counts->doubleReleases, 0);
    MovieFacts facts = probeMovie(moviePath());
    ASSERT_TRUE(facts.stream("video"));
    EXPECT_EQ(facts.stream("video")->frames, 3);
}

// Every frame gives its pixels back exactly once, whatever becomes of it: encoded, without
// pixels, out of order.
TEST_F(MovieWriterTest, EveryFrameGivesItsPixelsBackExactlyOnce) {
    test::LogCapture log;
    {
        MovieWriter writer(moviePath().string(), "avc1", 64, 48, nullptr, &delegate);
        auto frame = [&](std::int64_t stamp, bool withPixels = true) {
            writer.compressFrameOnSeparateThread(
                std::make_shared<TestFrame>(stamp, 60, 64, 48, 100, counts, withPixels));
        };
        frame(600);         // the first frame's time is the movie's start
        frame(612);
        frame(612);         // same time: dropped
        frame(606);         // earlier: dropped
        frame(624, false);  // no pixels: dropped
        frame(636);
        writer.writeAndCloseMovie();
    }
    EXPECT_EQ(counts->pixelRequests, 6);
    EXPECT_EQ(counts->releases, 6);
    EXPECT_EQ(counts->doubleReleases, 0);
    EXPECT_TRUE(log.contains("not later than the frame before"));
    std::vector<std::int64_t> pts = videoPacketTimes(moviePath());
    std::sort(pts.begin(), pts.end());
    EXPECT_EQ(pts, (std::vector<std::int64_t>{0, 12, 36}));
}

// Frames handed over faster than they can be encoded are encoded in the order handed over, and
// the caller never waits for the encoder.
TEST_F(MovieWriterTest, KeepsTheOrderOfABurstOfFrames) {
    constexpr int kFrames = 90;
    std::string codec = "avc1";
    {
        MovieWriter writer(moviePath().string(), codec, 160, 120, optionsFor(&codec, 30), &delegate);
        feedFrames(writer, kFrames, 2, 60, 160, 120, counts);
        writer.writeAndCloseMovie();
    }
    std::vector<int> grey = decodedGreyLevels(moviePath());
    ASSERT_EQ(grey.size(), static_cast<std::size_t>(kFrames));
    for (int i = 0; i < kFrames; ++i) EXPECT_NEAR(grey[i], 16 + (i * 7) % 224, 6) << i;
    EXPECT_EQ(counts->releases, kFrames);
}

// Video and sound handed over as a camera and a microphone deliver them: a frame every 100 ms and
// the sound of the same 100 ms, until one of them has run out.
void feedCamera(MovieWriter& writer, double videoSeconds, double soundSeconds, AudioSampleBuffer::Format format,
                int sampleRate, int channels, const std::shared_ptr<FrameCounts>& counts) {
    std::vector<std::uint8_t> pcm = tone(soundSeconds, sampleRate, channels, format);
    std::size_t soundAt = 0;
    for (int tick = 0; tick * 0.1 < std::max(videoSeconds, soundSeconds) - 1e-9; ++tick) {
        if (tick * 0.1 < videoSeconds - 1e-9)
            writer.compressFrameOnSeparateThread(std::make_shared<TestFrame>(tick * 3, 30, 64, 48, 120, counts));
        soundAt = feedSound(writer, pcm, sampleRate, channels, format, soundAt, 0.1);
    }
}

struct SoundCase {
    const char* name;
    double videoSeconds, soundSeconds;
    AudioSampleBuffer::Format format;
    int sampleRate, channels;
    double expectedSoundSeconds;
    bool ranLong;
};

void PrintTo(const SoundCase& c, std::ostream* os) { *os << c.name; }

class MovieWriterSoundTest : public ::testing::TestWithParam<SoundCase> {};

// The sound track is AAC in the incoming rate and channels; a sound track longer than the video is
// cut to the video's length, a shorter one is left as it is.
TEST_P(MovieWriterSoundTest, WritesTheSoundTrackEndingNoLaterThanTheVideo) {
    const SoundCase& c = GetParam();
    test::TempDir dir;
    test::LogCapture log;
    fs::path movie = dir.path() / "camera.mov";
    auto counts = std::make_shared<FrameCounts>();
    RecordingDelegate delegate;
    std::string codec = "mp4v";
    {
        MovieWriter writer(movie.string(), codec, 64, 48, optionsFor(&codec, 10), &delegate);
        feedCamera(writer, c.videoSeconds, c.soundSeconds, c.format, c.sampleRate, c.channels, counts);
        writer.writeAndCloseMovie();
    }
    EXPECT_TRUE(delegate.errors().empty());
    MovieFacts facts = probeMovie(movie);
    const StreamFacts* video = facts.stream("video");
    const StreamFacts* sound = facts.stream("audio");
    ASSERT_TRUE(video);
    ASSERT_TRUE(sound);
    EXPECT_EQ(sound->codec, "aac");
    EXPECT_EQ(sound->sampleRate, c.sampleRate);
    EXPECT_NEAR(video->duration, c.videoSeconds, 0.01);
    EXPECT_NEAR(sound->duration, c.expectedSoundSeconds, 0.03);
    EXPECT_LE(sound->duration, video->duration + 0.001);
    EXPECT_NEAR(facts.duration, c.videoSeconds, 0.03);
    EXPECT_EQ(log.contains("Sound track ran long"), c.ranLong);
    EXPECT_FALSE(hasTopLevelBox(movie, "moof"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MovieWriterSoundTest,
    ::testing::Values(SoundCase{"LongerSoundIsCut", 2.0, 3.5, AudioSampleBuffer::Format::S16, 48000, 1, 2.0, true},
                      SoundCase{"ShorterSoundIsKept", 2.0, 1.0, AudioSampleBuffer::Format::S16, 48000, 1, 1.0, false},
                      SoundCase{"FloatStereoIsConverted", 1.5, 2.0, AudioSampleBuffer::Format::F32, 44100, 2, 1.5,
                                true}),
    [](const auto& info) { return std::string(info.param.name); });

// Which tracks a movie has is settled once one kind of media has run for a while alone; sound
// that only starts after that is not recorded, and the video is unharmed.
TEST_F(MovieWriterTest, SoundStartingAfterTheTracksAreSettledIsLeftOut) {
    test::LogCapture log;
    {
        MovieWriter writer(moviePath().string(), "mp4v", 64, 48, nullptr, &delegate);
        feedFrames(writer, 30, 6, 60, 64, 48, counts);
        feedSound(writer, tone(1.0, 48000, 1), 48000, 1);
        writer.writeAndCloseMovie();
    }
    MovieFacts facts = probeMovie(moviePath());
    ASSERT_EQ(facts.streams.size(), 1u);
    ASSERT_TRUE(facts.stream("video"));
    EXPECT_EQ(facts.stream("video")->frames, 30);
    EXPECT_TRUE(log.contains("Sound arrived after the tracks"));
}

// Sound alone (a microphone without a camera) makes a movie with one sound track.
TEST_F(MovieWriterTest, SoundWithoutVideoMakesASoundOnlyMovie) {
    {
        MovieWriter writer(moviePath().string(), "mp4v", 64, 48, nullptr, &delegate);
        feedSound(writer, tone(1.5, 48000, 1), 48000, 1);
        writer.writeAndCloseMovie();
    }
    MovieFacts facts = probeMovie(moviePath());
    ASSERT_EQ(facts.streams.size(), 1u);
    ASSERT_TRUE(facts.stream("audio"));
    EXPECT_NEAR(facts.stream("audio")->duration, 1.5, 0.03);
    EXPECT_TRUE(delegate.errors().empty());
}

}  // namespace
}  // namespace orvanta::capture
