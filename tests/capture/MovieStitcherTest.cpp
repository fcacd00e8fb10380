#include <gtest/gtest.h>


#include <filesystem>
#include <mutex>

#include "capture/MovieFiles.h"
#include "capture/MovieProbe.h"
#include "capture/MovieStitcher.h"
#include "capture/MovieStitcherOperation.h"
#include "capture/MovieWriter.h"
#include "capture/MovieWriterTestSupport.h"
#include "core/Operation.h"
#include "support/Files.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

using namespace orvanta;
using capture::MovieStitcher;
using test::Clip;
using capture::MovieWriter;
using capture::writertest::FrameCounts;
using capture::writertest::TestFrame;
namespace writertest = capture::writertest;
namespace fs = std::filesystem;

namespace {

constexpr double kOneFrame = 1.0 / 30;

struct StitchFolder : ::testing::Test {
    test::TempDir dir;
    const std::string finalPath = (dir.path() / "G.DV.mov").string();
    const std::string stitchPath = finalPath + ".STITCH";

    std::string child(int n) const { return (dir.path() / ("G_" + std::to_string(n) + ".DV.mov")).string(); }

    std::vector<std::string> makeChildren(std::initializer_list<Clip> clips) {
        std::vector<std::string> paths;
        for (Clip clip : clips) {
            paths.push_back(child(static_cast<int>(paths.size())));
            test::copyClip(clip, paths.back());
        }
        return paths;
    }

    static std::vector<std::string> digests(const std::vector<std::string>& files) {
        std::vector<std::string> out;
        for (const auto& f : files) out.push_back(test::fileDigest(f));
        return out;
    }

    static std::vector<std::shared_ptr<capture::SourceMovie>> open(const std::vector<std::string>& paths) {
        std::vector<std::shared_ptr<capture::SourceMovie>> movies;
        for (const auto& p : paths) {
            core::Error error;
            auto movie = capture::SourceMovie::movieWithFile(p, &error);
            EXPECT_TRUE(movie) << error.localizedDescription();
            if (movie) movies.push_back(movie);
        }
        return movies;
    }

    // Files in the folder that are open in this process.
    size_t openFilesInFolder() const {
        size_t count = 0;
        for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
            std::error_code ec;
            auto target = fs::read_symlink(entry.path(), ec);
            if (!ec && target.string().starts_with(dir.path().string())) ++count;
        }
        return count;
    }
};

// Records what an operation tells its delegate.
class RecordingDelegate : public capture::MovieStitcherOperationDelegate {
public:
    void movieStitcherOperationDidFailToStitchMoviesAtPath(capture::MovieStitcherOperation&, const std::string& path,
                                                           const core::Error& error) override {
        std::lock_guard lock(mutex);
        failures.push_back({path, error});
    }
    void movieStitcherOperationDidStitchMoviesAtPath(capture::MovieStitcherOperation&,
                                                     const std::string& path) override {
        std::lock_guard lock(mutex);
        successes.push_back(path);
    }

    std::mutex mutex;
    std::vector<std::pair<std::string, core::Error>> failures;
    std::vector<std::string> successes;
};

}  // namespace

TEST(MovieStitcherName, IntermediateFileIsThePathWithSTITCH) {
    EXPECT_EQ(MovieStitcher::stitchedMovieFileName("/r/G.DV.mov"), "/r/G.DV.mov.STITCH");
    EXPECT_EQ(MovieStitcher::stitchedMovieFileName(""), ".STITCH");
}

TEST_F(StitchFolder, JoinsMoviesEndToEndByCopyingEverySample) {
    const auto children = makeChildren({Clip::A, Clip::B, Clip::C});
    const auto before = digests(children);

    core::Error error;
    ASSERT_TRUE(MovieStitcher::stitchMovies(children, finalPath, &error)) << error.localizedDescription();
    EXPECT_FALSE(fs::exists(stitchPath));
    EXPECT_EQ(digests(children), before) << "the children are only read";

    // As long as the children together, with the same tracks.
    double sum = 0;
    for (const auto& c : children) sum += test::movieDuration(c);
    EXPECT_NEAR(test::movieDuration(finalPath), sum, kOneFrame);
    const auto tracks = test::movieTracks(finalPath);
    ASSERT_EQ(tracks.size(), 2u);
    EXPECT_EQ(tracks, test::movieTracks(children[0]));
    EXPECT_EQ(tracks[0].codec, "mpeg4");
    EXPECT_EQ(tracks[1].codec, "aac");

    // Every video sample copied byte for byte, in order; the sound too, except the priming sample
    // that each later child marks as discarded before its start.
    const auto joined = test::moviePackets(finalPath);
    std::vector<std::string> video, sound;
    for (size_t i = 0; i < children.size(); ++i) {
        const auto packets = test::moviePackets(children[i]);
        for (const auto& h : test::trackHashes(packets, 0)) video.push_back(h);
        for (const auto& h : test::trackHashes(packets, 1, i == 0)) sound.push_back(h);
    }
    EXPECT_EQ(test::trackHashes(joined, 0), video);
    EXPECT_EQ(test::trackHashes(joined, 1), sound);

    // Each child starts where the one before it ended, sound and picture together.
    const auto secondChild = test::moviePackets(children[1]);
    const std::string firstFrameOfSecond = test::trackHashes(secondChild, 0).front();
    const std::string firstSoundOfSecond = test::trackHashes(secondChild, 1, false).front();
    const double secondStart = test::movieDuration(children[0]);
    for (const auto& p : joined) {
        if (p.hash == firstFrameOfSecond) {
            EXPECT_NEAR(p.time, secondStart, 0.002);
        }
        if (p.hash == firstSoundOfSecond) {
            EXPECT_NEAR(p.time, secondStart, 0.002);
        }
    }
    // Decode times strictly increase in every track.
    for (int track : {0, 1}) {
        int64_t last = INT64_MIN;
        for (const auto& p : joined)
            if (p.stream == track) {
                EXPECT_GT(p.dts, last) << "track " << track;
                last = p.dts;
            }
    }
    // And the whole movie decodes cleanly.
    EXPECT_EQ(test::commandOutput("ffmpeg -nostdin -v error -i '" + finalPath + "' -f null - 2>&1"), "");
}

TEST_F(StitchFolder, MovieCutShortByACrashIsUsedUpToTheCut) {
    auto children = makeChildren({Clip::A, Clip::Fragmented, Clip::C});
    fs::resize_file(children[1], fs::file_size(children[1]) * 7 / 10);
    test::LogCapture log;
    core::Error error;
    ASSERT_TRUE(MovieStitcher::stitchMovies(children, finalPath, &error)) << error.localizedDescription();
    EXPECT_TRUE(log.contains("Leaving out a damaged sample of movie " + children[1]));
    // Nothing damaged reaches the joined movie, and the part of the cut movie that was there is in it.
    EXPECT_EQ(test::commandOutput("ffmpeg -nostdin -v error -i '" + finalPath + "' -f null - 2>&1"), "");
    const double ends = test::movieDuration(children[0]) + test::movieDuration(children[2]);
    EXPECT_GT(test::movieDuration(finalPath), ends + 0.9);
    EXPECT_LT(test::movieDuration(finalPath), ends + 2.0);
}

// H.264 with B-frames decodes its first pictures before time 0, and a camera's pictures come at
// uneven times, so a child can start decoding before the child before it stops: it is moved just
// enough later.
TEST_F(StitchFolder, ChildrenThatDecodeBeforeTheirStartStillJoin) {
    std::vector<std::string> children;
    for (int n = 0; n < 3; ++n) {
        children.push_back(child(n));
        std::string codec = "avc1";
        auto options = MovieWriter::compressionOptions(&codec, 0x300, 0, 15, false);
        writertest::RecordingDelegate delegate;
        auto counts = std::make_shared<FrameCounts>();
        {
            MovieWriter writer(children.back(), codec, 320, 240, options, &delegate);
            // Microsecond stamps about 1/15 s apart, some early and some late, as a camera's.
            const std::int64_t jitter[] = {0, 9000, -7000, 3000, 12000, -2000};
            for (int i = 0; i < 30; ++i)
                writer.compressFrameOnSeparateThread(std::make_shared<TestFrame>(
                    i * 66667 + jitter[i % 6], 1000000, 320, 240, static_cast<std::uint8_t>(16 + (i * 7) % 224), counts,
                    true, i % 4 == 0));
            writer.writeAndCloseMovie();
        }
        ASSERT_TRUE(delegate.errors().empty());
    }
    core::Error error;
    ASSERT_TRUE(MovieStitcher::stitchMovies(children, finalPath, &error)) << error.localizedDescription();
    const auto packets = test::moviePackets(finalPath);
    ASSERT_EQ(packets.size(), 90u);
    for (std::size_t i = 1; i < packets.size(); ++i) EXPECT_GT(packets[i].dts, packets[i - 1].dts) << i;
    EXPECT_NEAR(test::movieDuration(finalPath), 3 * test::movieDuration(children[0]), 0.2);
}

TEST_F(StitchFolder, RefusedJoinsLeaveNothingBehind) {
    struct Case {
        const char* name;
        std::vector<Clip> clips;
        const char* errorText;
    };
    const Case cases[] = {
        {"no movies", {}, "There are no movies to join"},
        {"different picture sizes", {Clip::A, Clip::Small}, "differ"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> children;
        for (Clip clip : c.clips) {
            children.push_back(child(static_cast<int>(children.size())));
            test::copyClip(clip, children.back());
        }
        const auto before = digests(children);
        core::Error error;
        auto movies = open(children);
        auto finalMovie = capture::WritableMovie::initToWritableFile(stitchPath, &error);
        ASSERT_TRUE(finalMovie);
        EXPECT_TRUE(fs::exists(stitchPath));
        EXPECT_FALSE(MovieStitcher::stitchMovies(movies, *finalMovie, finalPath, &error));
        EXPECT_NE(error.localizedDescription().find(c.errorText), std::string::npos) << error.localizedDescription();
        EXPECT_FALSE(fs::exists(stitchPath));
        EXPECT_FALSE(fs::exists(finalPath));
        EXPECT_EQ(digests(children), before);
        for (const auto& p : children) fs::remove(p);
    }
}

TEST_F(StitchFolder, FinalMovieMustBeWrittenToTheIntermediateFile) {
    const auto children = makeChildren({Clip::A, Clip::B});
    core::Error error;
    auto finalMovie = capture::WritableMovie::initToWritableFile((dir.path() / "elsewhere.mov").string(), &error);
    ASSERT_TRUE(finalMovie);
    EXPECT_FALSE(MovieStitcher::stitchMovies(open(children), *finalMovie, finalPath, &error));
    EXPECT_FALSE(fs::exists(dir.path() / "elsewhere.mov"));
    EXPECT_FALSE(fs::exists(finalPath));
}

TEST_F(StitchFolder, CancelledJoinRemovesTheIntermediateFile) {
    const auto children = makeChildren({Clip::A, Clip::B, Clip::C});
    const auto before = digests(children);
    core::Error error;
    auto finalMovie = capture::WritableMovie::initToWritableFile(stitchPath, &error);
    ASSERT_TRUE(finalMovie);
    int polls = 0;
    EXPECT_FALSE(MovieStitcher::stitchMovies(open(children), *finalMovie, finalPath, &error,
                                             [&polls] { return ++polls > 100; }));
    EXPECT_EQ(polls, 101) << "stopped at the first poll that asked it to";
    EXPECT_FALSE(fs::exists(stitchPath));
    EXPECT_FALSE(fs::exists(finalPath));
    EXPECT_EQ(digests(children), before);
}

TEST_F(StitchFolder, WritableMovieThatIsNeverFinishedRemovesItsFile) {
    core::Error error;
    {
        auto movie = capture::WritableMovie::initToWritableFile(stitchPath, &error);
        ASSERT_TRUE(movie);
        EXPECT_TRUE(fs::exists(stitchPath));
    }
    EXPECT_FALSE(fs::exists(stitchPath));
    EXPECT_FALSE(capture::WritableMovie::initToWritableFile((dir.path() / "no/such/folder.mov").string(), &error));
    EXPECT_FALSE(error.localizedDescription().empty());
}

TEST_F(StitchFolder, UnreadableFilesDoNotOpenAsMovies) {
    fs::create_directories(dir.path() / "folder.mov");
    const std::string truncated = child(0);
    test::copyClip(Clip::A, truncated);
    fs::resize_file(truncated, 4000);  // the movie's index is at its end
    for (const std::string& path : {truncated, (dir.path() / "missing.mov").string(), (dir.path() / "folder.mov").string()}) {
        SCOPED_TRACE(path);
        core::Error error;
        EXPECT_FALSE(capture::SourceMovie::movieWithFile(path, &error));
        EXPECT_FALSE(error.localizedDescription().empty());
    }
}

TEST_F(StitchFolder, OperationReportsSuccessAndLetsGoOfItsFiles) {
    const auto children = makeChildren({Clip::A, Clip::B});
    test::LogCapture log;
    core::Error error;
    auto delegate = std::make_shared<RecordingDelegate>();
    auto op = std::make_shared<capture::MovieStitcherOperation>(
        capture::WritableMovie::initToWritableFile(stitchPath, &error), open(children), finalPath, delegate);
    EXPECT_GT(openFilesInFolder(), 0u);
    {
        core::OperationQueue queue(2, "stitching");
        queue.addOperation(op);
        op->waitUntilFinished();
    }
    ASSERT_EQ(delegate->successes, std::vector<std::string>{finalPath});
    EXPECT_TRUE(delegate->failures.empty());
    EXPECT_FALSE(op->isCancelled());
    EXPECT_NEAR(test::movieDuration(finalPath), test::movieDuration(children[0]) + test::movieDuration(children[1]),
                kOneFrame);
    // A finished operation that is kept around holds no files and no delegate.
    EXPECT_EQ(openFilesInFolder(), 0u);
    EXPECT_FALSE(op->delegate());
    EXPECT_TRUE(log.contains("finalPath=" + finalPath));
    EXPECT_TRUE(log.contains("Calling exitQTKitOnThread"));
    EXPECT_TRUE(log.contains("COMPLETE, finalPath=" + finalPath));
}

TEST_F(StitchFolder, OperationFailuresReachTheDelegateAsError1234) {
    struct Case {
        const char* name;
        bool finalMovieStaysHere;  // not handed over to the worker thread
        bool childStaysHere;
        bool childrenFit;
        const char* logLine;
        const char* reason;
        const char* suggestion;
    };
    const Case cases[] = {
        {"final movie not handed over", true, false, true, "ERROR: unable to attach final movie to current thread",
         "Unable to process final QTMovie on a background thread",
         "Please contact technical support to recover your recording"},
        {"child movie not handed over", false, true, true, "ERROR: unable to attach child movie",
         "Unable to process child QTMovie on a background thread",
         "Please contact technical support to recovery your recording"},
        {"join fails", false, false, false, "Failed to stitch video files into a single movie",
         "Failed to stitch video files into a single movie",
         "Please contact technical support to recover your video files"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto children = makeChildren({Clip::A, c.childrenFit ? Clip::B : Clip::Small});
        test::LogCapture log;
        core::Error error;
        auto finalMovie = capture::WritableMovie::initToWritableFile(stitchPath, &error);
        auto movies = open(children);
        auto delegate = std::make_shared<RecordingDelegate>();
        auto op = std::make_shared<capture::MovieStitcherOperation>(finalMovie, movies, finalPath, delegate);
        // Taking a movie back on this thread keeps the worker from attaching it.
        if (c.finalMovieStaysHere) {
            ASSERT_TRUE(finalMovie->thread().attachToCurrentThread());
        }
        if (c.childStaysHere) {
            ASSERT_TRUE(movies.back()->thread().attachToCurrentThread());
        }
        finalMovie.reset();
        movies.clear();
        {
            core::OperationQueue queue(2, "stitching");
            queue.addOperation(op);
            op->waitUntilFinished();
        }
        EXPECT_TRUE(delegate->successes.empty());
        ASSERT_EQ(delegate->failures.size(), 1u);
        const auto& [path, reported] = delegate->failures.front();
        EXPECT_EQ(path, finalPath);
        EXPECT_EQ(reported.domain, "Orvanta");
        EXPECT_EQ(reported.code, 1234);
        EXPECT_EQ(reported.description, "Unable to post-process this recording");
        EXPECT_EQ(reported.failureReason, c.reason);
        EXPECT_EQ(reported.recoverySuggestion, c.suggestion);
        EXPECT_TRUE(op->isCancelled());
        EXPECT_TRUE(log.contains(c.logLine));
        EXPECT_TRUE(log.contains("Calling exitQTKitOnThread"));
        EXPECT_TRUE(log.contains("COMPLETE, finalPath="));
        EXPECT_FALSE(fs::exists(finalPath));
        EXPECT_FALSE(fs::exists(stitchPath));
        for (const auto& p : children) {
            EXPECT_TRUE(fs::exists(p));
        }
        for (const auto& p : children) fs::remove(p);
    }
}

TEST_F(StitchFolder, OperationThatDoesNotJoinTellsNobody) {
    const auto children = makeChildren({Clip::A, Clip::B});
    struct Case {
        const char* name;
        std::string finalPath;
        bool cancelFirst;
        const char* logLine;
    };
    const Case cases[] = {
        {"no final path", "", false, "Skipping movie stitching for nil final path"},
        {"cancelled before it ran", finalPath, true, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::LogCapture log;
        core::Error error;
        auto delegate = std::make_shared<RecordingDelegate>();
        auto op = std::make_shared<capture::MovieStitcherOperation>(
            capture::WritableMovie::initToWritableFile(stitchPath, &error), open(children), c.finalPath, delegate);
        if (c.cancelFirst) op->cancel();
        {
            core::OperationQueue queue(2, "stitching");
            queue.addOperation(op);
            op->waitUntilFinished();
        }
        EXPECT_TRUE(delegate->successes.empty());
        EXPECT_TRUE(delegate->failures.empty());
        if (c.logLine) {
            EXPECT_TRUE(log.contains(c.logLine));
        }
        EXPECT_FALSE(fs::exists(stitchPath));
        EXPECT_FALSE(fs::exists(finalPath));
        EXPECT_EQ(openFilesInFolder(), 0u);
    }
}

TEST_F(StitchFolder, DetachedDelegateHearsNothing) {
    const auto children = makeChildren({Clip::A, Clip::B});
    core::Error error;
    auto delegate = std::make_shared<RecordingDelegate>();
    auto op = std::make_shared<capture::MovieStitcherOperation>(
        capture::WritableMovie::initToWritableFile(stitchPath, &error), open(children), finalPath, delegate);
    std::shared_ptr<model::StitchingOperationHandle> handle = op;
    handle->detachDelegate();
    EXPECT_FALSE(handle->isFinished());
    {
        core::OperationQueue queue(2, "stitching");
        queue.addOperation(op);
        op->waitUntilFinished();
    }
    EXPECT_TRUE(handle->isFinished());
    EXPECT_TRUE(delegate->successes.empty());
    EXPECT_TRUE(fs::exists(finalPath));
}
