#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "capture/FileSequence.h"
#include "capture/MovieFiles.h"
#include "capture/MovieProbe.h"
#include "capture/MovieStitcher.h"
#include "capture/MovieStitcherOperation.h"
#include "capture/RecordingStitcher.h"
#include "core/Operation.h"
#include "core/RunLoop.h"
#include "model/ManagedObjectContext.h"
#include "model/Recording.h"
#include "model/Stream.h"
#include "support/Files.h"
#include "support/LogCapture.h"
#include "support/ModelFixture.h"
#include "support/TempDir.h"

using namespace orvanta;
using model::Recording;
using test::Clip;
namespace fs = std::filesystem;

namespace {

using test::LoopHost;

constexpr double kOneFrame = 1.0 / 30;


// What a child file holds.
enum class Content { Clip_A, Clip_B, Clip_C, Clip_Small, Corrupt };

struct Stored {
    int state = 0, faultType = 0;
    std::optional<std::string> faultString;
};

struct RecordingStitcherTest : ::testing::Test {
    test::TempDir dir;
    core::RunLoop loop;
    LoopHost host{dir.path(), loop};
    std::unique_ptr<model::ManagedObjectContext> context = test::openContext(dir.path(), &host);
    std::unique_ptr<core::OperationQueue> queue = std::make_unique<core::OperationQueue>(2, "stitching");

    RecordingStitcherTest() { host.setContext(context.get()); }
    ~RecordingStitcherTest() override {
        // A join still reporting must not wait on a loop nobody runs any more.
        queue->cancelAllOperations();
        loop.shutdown();
        queue.reset();
        host.clearRequests();
        host.setContext(nullptr);
        context.reset();
    }

    std::shared_ptr<Recording> makeRecording(int state, const char* tag = model::kTagCamera) {
        auto recording = context->insert<Recording>("Recording");
        if (tag) {
            auto stream = context->insert<model::Stream>("Stream");
            stream->setValueForKey("Tag", std::string(tag));
            if (std::string(tag) == model::kTagScreen)
                recording->setScreenCaptureStream(stream);
            else
                recording->setVideoStream(stream);
        }
        recording->setState(state);
        EXPECT_FALSE(context->save());
        return recording;
    }

    static std::string finalPathOf(const Recording& recording) {
        auto video = recording.VideoStream();
        return video ? video->FilePath() : std::string();
    }
    // The n-th file of the sequence of a final path.
    static std::string childPath(const std::string& finalPath, int n) {
        std::string path = capture::fileURLWithNextSequence(finalPath);
        for (int i = 0; i < n; ++i) path = capture::fileURLWithNextSequence(path);
        return path;
    }
    static void put(const std::string& path, Content content) {
        if (content == Content::Corrupt) {
            test::copyClip(Clip::A, path);
            fs::resize_file(path, 3000);  // the movie's index is at its end
            return;
        }
        const Clip clips[] = {Clip::A, Clip::B, Clip::C, Clip::Small};
        test::copyClip(clips[static_cast<int>(content)], path);
    }

    void stitch(const std::shared_ptr<Recording>& recording) { capture::stitchFiles(recording, host, *queue); }

    // Runs the main loop until the recording's join has reported.
    bool waitForJoin(const std::shared_ptr<Recording>& recording) {
        auto op = recording->stitchingOperation();
        if (!op) return true;
        return loop.runUntil([&op] { return op->isFinished(); }, std::chrono::seconds(30));
    }

    // The recording as another context reads it from the store file.
    Stored stored(const Recording& recording) {
        test::TestHost otherHost(dir.path());
        auto other = test::openContext(dir.path(), &otherHost);
        Stored s;
        for (const auto& r : other->all<Recording>("Recording"))
            if (r->Guid() == recording.Guid()) {
                s.state = r->State();
                s.faultType = r->FaultTypeValue();
                s.faultString = r->FaultString();
            }
        otherHost.clearRequests();
        return s;
    }
};

double durationOf(std::initializer_list<Clip> clips) {
    double sum = 0;
    for (Clip c : clips) sum += test::movieDuration(test::clipPath(c));
    return sum;
}

}  // namespace

TEST_F(RecordingStitcherTest, StoppedRecordingIsJoinedAndBecomesReady) {
    auto recording = makeRecording(model::kStateStopped);
    const std::string finalPath = finalPathOf(*recording);
    for (int i = 0; i < 3; ++i) put(childPath(finalPath, i), static_cast<Content>(i));

    std::vector<std::pair<bool, std::thread::id>> stitchingChanges;
    auto observation = recording->observe("isStitching", [&](const std::string&) {
        stitchingChanges.emplace_back(recording->isStitching(), std::this_thread::get_id());
    });

    test::LogCapture log;
    auto hook = capture::makeStitchFilesHook(host, [this]() -> core::OperationQueue& { return *queue; });
    hook(recording);
    EXPECT_EQ(recording->State(), model::kStatePostProcessing);
    EXPECT_TRUE(recording->isStitching());
    EXPECT_EQ(stored(*recording).state, model::kStatePostProcessing) << "saved before the join starts";
    auto op = recording->stitchingOperation();
    ASSERT_TRUE(op);
    EXPECT_TRUE(fs::exists(finalPath + ".STITCH") || fs::exists(finalPath));

    // Asking again while the join runs (or after) queues nothing more.
    hook(recording);
    EXPECT_EQ(recording->stitchingOperation(), op);

    ASSERT_TRUE(waitForJoin(recording));
    EXPECT_EQ(recording->State(), model::kStateReady);
    EXPECT_FALSE(recording->isStitching());
    EXPECT_EQ(stored(*recording).state, model::kStateReady) << "the result is saved";
    EXPECT_EQ(recording->stitchingOperation(), op) << "kept, so the recording joins only once";

    EXPECT_NEAR(test::movieDuration(finalPath), durationOf({Clip::A, Clip::B, Clip::C}), kOneFrame);
    EXPECT_FALSE(fs::exists(finalPath + ".STITCH"));
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(fs::exists(childPath(finalPath, i))) << "the recorded files stay";
    }

    // Both changes were made on the main thread.
    ASSERT_EQ(stitchingChanges.size(), 2u);
    EXPECT_TRUE(stitchingChanges[0].first);
    EXPECT_FALSE(stitchingChanges[1].first);
    for (const auto& change : stitchingChanges) {
        EXPECT_EQ(change.second, std::this_thread::get_id());
    }

    // Once joined, asking again changes nothing.
    hook(recording);
    EXPECT_EQ(recording->State(), model::kStateReady);
    EXPECT_EQ(recording->stitchingOperation(), op);
}

TEST_F(RecordingStitcherTest, DecisionsMadeWithoutJoining) {
    struct Case {
        const char* name;
        int state;
        const char* tag;
        std::vector<std::optional<Content>> children;  // by sequence number; nullopt = no file
        std::optional<Content> finalFile;
        bool stitchFolderLeftOver;  // an intermediate "file" that cannot be removed
        int expectedState;
        int expectedFault;
        std::string faultPrefix;
        const char* logLine;
        std::optional<Content> expectedFinal;  // what the final file then holds
        std::vector<bool> childrenAfter;       // which sequence files still exist
    };
    const Case cases[] = {
        {"final file already there", model::kStateStopped, model::kTagCamera, {Content::Clip_B, Content::Clip_C},
         Content::Clip_A, false, model::kStateReady, 0, "", "Final movie file exists, skipping stitching",
         Content::Clip_A, {true, true}},
        {"one file is renamed", model::kStateStopped, model::kTagCamera, {Content::Clip_B}, std::nullopt, false,
         model::kStateReady, 0, "", "Bypassing QTKit stitch", Content::Clip_B, {false}},
        {"a gap ends the sequence", model::kStatePostProcessing, model::kTagAudio,
         {Content::Clip_A, std::nullopt, Content::Clip_C}, std::nullopt, false, model::kStateReady, 0, "",
         "Bypassing QTKit stitch", Content::Clip_A, {false, false, true}},
        {"no files at all", model::kStateStopped, model::kTagCamera, {}, std::nullopt, false, model::kStateFailed,
         model::kFaultPostProcessing, "Recording file not found", "No movie files to stitch", std::nullopt, {}},
        {"sequence starts late", model::kStateFailed, model::kTagCamera, {std::nullopt, Content::Clip_A},
         std::nullopt, false, model::kStateFailed, model::kFaultPostProcessing, "Recording file not found",
         "No movie files to stitch", std::nullopt, {false, true}},
        {"intermediate file cannot be removed", model::kStateStopped, model::kTagCamera,
         {Content::Clip_A, Content::Clip_B}, std::nullopt, true, model::kStateFailed, model::kFaultPostProcessing,
         "Unable to remove intermediate file ", "Unable to remove intermediate STITCH file", std::nullopt,
         {true, true}},
        {"screen only", model::kStateStopped, model::kTagScreen, {}, std::nullopt, false, model::kStateReady, 0, "",
         nullptr, std::nullopt, {}},
        {"already ready", model::kStateReady, model::kTagCamera, {Content::Clip_A, Content::Clip_B}, std::nullopt,
         false, model::kStateReady, 0, "", nullptr, std::nullopt, {true, true}},
        {"uploading", model::kStateUploading, model::kTagCamera, {Content::Clip_A}, std::nullopt, false,
         model::kStateUploading, 0, "", nullptr, std::nullopt, {true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto recording = makeRecording(c.state, c.tag);
        const std::string finalPath = finalPathOf(*recording);
        for (size_t i = 0; i < c.children.size(); ++i)
            if (c.children[i]) put(childPath(finalPath, static_cast<int>(i)), *c.children[i]);
        if (c.finalFile) put(finalPath, *c.finalFile);
        if (c.stitchFolderLeftOver) {
            fs::create_directories(finalPath + ".STITCH");
            std::ofstream(finalPath + ".STITCH/inside") << "x";
        }
        const std::string finalDigest = c.finalFile ? test::fileDigest(finalPath) : "";

        test::LogCapture log;
        stitch(recording);
        EXPECT_FALSE(recording->stitchingOperation());
        EXPECT_EQ(queue->operationCount(), 0u);
        EXPECT_EQ(recording->State(), c.expectedState);
        EXPECT_EQ(recording->FaultTypeValue(), c.expectedFault);
        if (!c.faultPrefix.empty()) {
            EXPECT_TRUE(recording->FaultString().value_or("").starts_with(c.faultPrefix))
                << recording->FaultString().value_or("(none)");
        }
        if (c.logLine) {
            EXPECT_TRUE(log.contains(c.logLine));
        }
        if (c.expectedFinal) {
            const Clip clips[] = {Clip::A, Clip::B, Clip::C, Clip::Small};
            EXPECT_EQ(test::fileDigest(finalPath), test::fileDigest(test::clipPath(clips[static_cast<int>(*c.expectedFinal)])));
        } else if (!c.finalFile) {
            EXPECT_FALSE(fs::exists(finalPath));
        }
        if (c.finalFile) {
            EXPECT_EQ(test::fileDigest(finalPath), finalDigest) << "an existing final file is kept";
        }
        for (size_t i = 0; i < c.childrenAfter.size(); ++i)
            EXPECT_EQ(fs::exists(childPath(finalPath, static_cast<int>(i))), c.childrenAfter[i]) << "file " << i;
    }
}

TEST_F(RecordingStitcherTest, JoinsThatRunInTheBackground) {
    struct Case {
        const char* name;
        int state;
        std::vector<Content> children;
        bool stitchFileLeftOver;
        int expectedState;
        const char* faultString;
        const char* logLine;
        std::vector<Clip> joined;  // what the final movie is made of; empty: no final movie
    };
    const Case cases[] = {
        {"left-over intermediate file is replaced", model::kStatePostProcessing,
         {Content::Clip_A, Content::Clip_B}, true, model::kStateReady, nullptr, nullptr, {Clip::A, Clip::B}},
        {"unreadable file is left out", model::kStateStopped, {Content::Clip_A, Content::Corrupt, Content::Clip_C},
         false, model::kStateReady, nullptr, "Unable to create QTMovie reference to", {Clip::A, Clip::C}},
        {"failed recording is tried again", model::kStateFailed, {Content::Clip_C, Content::Clip_A}, false,
         model::kStateReady, nullptr, nullptr, {Clip::C, Clip::A}},
        {"no file readable", model::kStateStopped, {Content::Corrupt, Content::Corrupt}, false, model::kStateFailed,
         "Unable to post-process this recording", "Failed to stitch video files into a single movie", {}},
        {"files that do not fit together", model::kStateStopped, {Content::Clip_A, Content::Clip_Small}, false,
         model::kStateFailed, "Unable to post-process this recording",
         "Failed to stitch video files into a single movie", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto recording = makeRecording(c.state);
        if (c.state == model::kStateFailed)
            recording->updateAttributes({{"FaultType", int64_t{4}}, {"FaultString", std::string("earlier")}});
        const std::string finalPath = finalPathOf(*recording);
        std::vector<std::string> children, digests;
        for (Content content : c.children) {
            children.push_back(childPath(finalPath, static_cast<int>(children.size())));
            put(children.back(), content);
            digests.push_back(test::fileDigest(children.back()));
        }
        if (c.stitchFileLeftOver) std::ofstream(finalPath + ".STITCH") << "left over from an interrupted join";

        test::LogCapture log;
        stitch(recording);
        EXPECT_EQ(recording->State(), model::kStatePostProcessing);
        ASSERT_TRUE(recording->stitchingOperation());
        ASSERT_TRUE(waitForJoin(recording));

        EXPECT_EQ(recording->State(), c.expectedState);
        const Stored s = stored(*recording);
        EXPECT_EQ(s.state, c.expectedState);
        if (c.faultString) {
            EXPECT_EQ(recording->FaultTypeValue(), model::kFaultPostProcessing);
            EXPECT_EQ(recording->FaultString(), c.faultString);
            EXPECT_EQ(s.faultType, model::kFaultPostProcessing);
            EXPECT_EQ(s.faultString, c.faultString);
            EXPECT_FALSE(recording->canUpload());
        }
        if (c.logLine) {
            EXPECT_TRUE(log.contains(c.logLine));
        }
        EXPECT_FALSE(fs::exists(finalPath + ".STITCH"));
        if (c.joined.empty()) {
            EXPECT_FALSE(fs::exists(finalPath));
        } else {
            double sum = 0;
            for (Clip clip : c.joined) sum += test::movieDuration(test::clipPath(clip));
            EXPECT_NEAR(test::movieDuration(finalPath), sum, kOneFrame);
        }
        for (size_t i = 0; i < children.size(); ++i)
            EXPECT_EQ(test::fileDigest(children[i]), digests[i]) << "recorded file " << i << " is untouched";
    }
}

TEST_F(RecordingStitcherTest, StoppingTheUploadDuringAJoinLeavesTheRecordingToBeJoinedAgain) {
    auto recording = makeRecording(model::kStateStopped);
    const std::string finalPath = finalPathOf(*recording);
    for (int i = 0; i < 3; ++i) put(childPath(finalPath, i), static_cast<Content>(i));
    stitch(recording);
    auto op = recording->stitchingOperation();
    ASSERT_TRUE(op);
    recording->stopUploading();  // detaches the delegate and cancels the join
    ASSERT_TRUE(waitForJoin(recording));
    // Whether the join was stopped or had already finished, nobody changed the recording, no
    // intermediate file is left and whatever is at the final path is a whole movie.
    EXPECT_EQ(recording->State(), model::kStatePostProcessing);
    EXPECT_FALSE(fs::exists(finalPath + ".STITCH"));
    if (fs::exists(finalPath)) {
        EXPECT_NEAR(test::movieDuration(finalPath), durationOf({Clip::A, Clip::B, Clip::C}), kOneFrame);
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(fs::exists(childPath(finalPath, i)));
    }
}

TEST_F(RecordingStitcherTest, KilledJoinLosesNothingAndIsDoneAgainAtTheNextStart) {
    auto recording = makeRecording(model::kStatePostProcessing);
    const std::string finalPath = finalPathOf(*recording);
    const std::string stitchPath = capture::MovieStitcher::stitchedMovieFileName(finalPath);
    std::vector<std::string> children, digests;
    for (int i = 0; i < 3; ++i) {
        children.push_back(childPath(finalPath, i));
        put(children.back(), static_cast<Content>(i));
        digests.push_back(test::fileDigest(children.back()));
    }

    // Another process joins the same files and is killed half-way through writing.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::vector<std::shared_ptr<capture::SourceMovie>> movies;
        core::Error error;
        for (const auto& c : children) movies.push_back(capture::SourceMovie::movieWithFile(c, &error));
        auto finalMovie = capture::WritableMovie::initToWritableFile(stitchPath, &error);
        int samples = 0;
        capture::MovieStitcher::stitchMovies(movies, *finalMovie, finalPath, &error, [&samples] {
            if (++samples == 150) ::kill(::getpid(), SIGKILL);
            return false;
        });
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);

    EXPECT_FALSE(fs::exists(finalPath)) << "no half-written movie under the final name";
    EXPECT_TRUE(fs::exists(stitchPath));
    for (size_t i = 0; i < children.size(); ++i) {
        EXPECT_EQ(test::fileDigest(children[i]), digests[i]);
    }

    // At the next start the recording, still post-processing, is joined again from the start.
    test::LogCapture log;
    stitch(recording);
    ASSERT_TRUE(recording->stitchingOperation());
    ASSERT_TRUE(waitForJoin(recording));
    EXPECT_EQ(recording->State(), model::kStateReady);
    EXPECT_FALSE(fs::exists(stitchPath));
    EXPECT_NEAR(test::movieDuration(finalPath), durationOf({Clip::A, Clip::B, Clip::C}), kOneFrame);
    EXPECT_EQ(test::commandOutput("ffmpeg -nostdin -v error -i '" + finalPath + "' -f null - 2>&1"), "");
}
