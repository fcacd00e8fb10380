// Recordings cut short by a crash: finished from what their movie files hold, unless a live process
// still records them.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/Util.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

#include "capture/FileSequence.h"
#include "capture/MovieWriter.h"
#include "capture/MovieWriterTestSupport.h"
#include "control/MovieDuration.h"
#include "control/RecordingLock.h"
#include "control/RecordingRecovery.h"
#include "core/Operation.h"
#include "core/RunLoop.h"
#include "model/ManagedObjectContext.h"
#include "model/Recording.h"
#include "model/Segment.h"
#include "model/Stream.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/ModelFixture.h"
#include "support/TempDir.h"

using namespace orvanta;
using model::Recording;
namespace fs = std::filesystem;

namespace {

using test::LoopHost;

using test::forkChild;

constexpr double kTolerance = 0.3;


std::shared_ptr<const capture::CompressionOptions> h264(std::string* codec) {
    *codec = "avc1";
    return capture::MovieWriter::compressionOptions(codec, 0x300, 512000, 10, false);
}

// A finished movie of `frames` pictures at ten a second.
void writeMovie(const fs::path& path, int frames) {
    std::string codec;
    auto options = h264(&codec);
    auto counts = std::make_shared<capture::writertest::FrameCounts>();
    capture::MovieWriter writer(path.string(), codec, 96, 64, options, nullptr);
    capture::writertest::feedFrames(writer, frames, 6, 60, 96, 64, counts);
    writer.writeAndCloseMovie();
}


// A movie whose writer dies while recording: a child records ten frames a second and is killed.
void writeMovieOfAKilledRecorder(const fs::path& path, std::chrono::milliseconds recordFor) {
    pid_t child = forkChild([&] {
        std::string codec;
        auto options = h264(&codec);
        auto counts = std::make_shared<capture::writertest::FrameCounts>();
        capture::MovieWriter writer(path.string(), codec, 96, 64, options, nullptr);
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 300; ++i) {
            writer.compressFrameOnSeparateThread(std::make_shared<capture::writertest::TestFrame>(
                i * 6, 60, 96, 64, static_cast<std::uint8_t>(i * 5), counts));
            std::this_thread::sleep_until(start + std::chrono::milliseconds(100 * (i + 1)));
        }
        return 3;
    });
    ASSERT_GT(child, 0);
    std::this_thread::sleep_for(recordFor);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
}

// What ffprobe makes of a movie's length; negative when it cannot read it.
double probedDuration(const fs::path& movie) {
    auto facts = capture::writertest::probeMovie(movie);
    return facts.readable ? facts.duration : -1;
}

double secondsBetween(model::Date from, model::Date to) { return std::chrono::duration<double>(to - from).count(); }

// A child process that holds a recording's lock until it is killed.
class LockHolder {
public:
    explicit LockHolder(const std::string& folder) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        pid_ = forkChild([&] {
            ::close(fds[0]);
            auto lock = control::RecordingLock::acquire(folder);
            char answer = lock ? 'y' : 'n';
            if (::write(fds[1], &answer, 1) != 1) return 2;
            ::pause();
            return 0;
        });
        ::close(fds[1]);
        char answer = 0;
        locked_ = ::read(fds[0], &answer, 1) == 1 && answer == 'y';
        ::close(fds[0]);
    }
    ~LockHolder() { kill(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    bool locked() const { return locked_; }
    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    bool locked_ = false;
};

struct RecoveryTest : ::testing::Test {
    test::TempDir dir;
    core::RunLoop loop;
    LoopHost host{dir.path(), loop};
    std::unique_ptr<model::ManagedObjectContext> context = test::openContext(dir.path(), &host);
    std::unique_ptr<core::OperationQueue> queue = std::make_unique<core::OperationQueue>(2, "stitching");
    const model::Date start = test::utc(2024, 3, 5, 9, 0, 0);

    RecoveryTest() { host.setContext(context.get()); }
    ~RecoveryTest() override {
        queue->cancelAllOperations();
        loop.shutdown();
        queue.reset();
        host.clearRequests();
        host.setContext(nullptr);
        context.reset();
    }

    std::shared_ptr<Recording> makeRecording(int state) {
        auto recording = context->insert<Recording>("Recording");
        recording->setValueForKey("StartTime", start);
        recording->setValueForKey("SessionName", std::string("Lecture"));
        recording->setState(state);
        return recording;
    }
    std::shared_ptr<model::Stream> addStream(const std::shared_ptr<Recording>& recording, const char* tag,
                                             double startOffset = 0) {
        auto stream = context->insert<model::Stream>("Stream");
        stream->setValueForKey("StartTime", start + std::chrono::milliseconds(static_cast<int>(startOffset * 1000)));
        if (std::string(tag) == model::kTagScreen) {
            recording->setScreenCaptureStream(stream);
        } else {
            stream->setValueForKey("Tag", std::string(tag));
            stream->setValueForKey("Description", std::string("Video"));
            recording->setVideoStream(stream);
        }
        return stream;
    }
    void addSegment(const std::shared_ptr<Recording>& recording, double from, std::optional<double> to) {
        auto segment = context->insert<model::Segment>("Segment");
        segment->setValueForKey("Start", from);
        if (to) segment->setValueForKey("End", *to);
        recording->addToMany("Segments", segment);
    }
    void save() { ASSERT_FALSE(context->save()); }

    // The n-th numbered file next to a stream's final path.
    static fs::path sequenceFile(const model::Stream& stream, int n) {
        std::string path = capture::fileURLWithNextSequence(stream.FilePath());
        for (int i = 0; i < n; ++i) path = capture::fileURLWithNextSequence(path);
        return path;
    }
    static fs::path manifestOf(Recording& recording) {
        return fs::path(recording.RecordingPath()) / (*recording.Guid() + ".xml");
    }

    std::vector<std::shared_ptr<Recording>> recover() {
        return control::recoverInterruptedRecordings(*context, host, *queue);
    }
    // Runs the main loop until every join the recordings started has reported.
    void waitForJoins(const std::vector<std::shared_ptr<Recording>>& recordings) {
        for (const auto& recording : recordings)
            if (auto op = recording->stitchingOperation()) {
                ASSERT_TRUE(loop.runUntil([&op] { return op->isFinished(); }, std::chrono::seconds(30)));
            }
    }
    // The state of a recording as a fresh context reads it from the store file.
    int storedState(const Recording& recording) {
        test::TestHost otherHost(dir.path());
        auto other = test::openContext(dir.path(), &otherHost);
        int state = -1;
        for (const auto& r : other->all<Recording>("Recording"))
            if (r->Guid() == recording.Guid()) state = r->State();
        otherHost.clearRequests();
        return state;
    }
};

// Screen movie of a killed writer, camera sequence of two files: everything is measured from the
// files, the camera's files are joined, the recording is ready and says it was recovered.
TEST_F(RecoveryTest, ARecordingCutShortIsFinishedFromItsFiles) {
    auto recording = makeRecording(model::kStateRecording);
    auto screen = addStream(recording, model::kTagScreen);
    auto camera = addStream(recording, model::kTagCamera, 0.5);
    addSegment(recording, 0, 0.8);
    addSegment(recording, 1.2, std::nullopt);
    save();

    const fs::path screenFile = screen->FilePath();
    writeMovieOfAKilledRecorder(screenFile, std::chrono::milliseconds(4000));
    writeMovie(sequenceFile(*camera, 0), 20);
    writeMovie(sequenceFile(*camera, 1), 15);
    const double screenSeconds = probedDuration(screenFile);
    ASSERT_GT(screenSeconds, 0.5) << "the killed writer left a readable movie";
    const double cameraSeconds = probedDuration(sequenceFile(*camera, 0)) + probedDuration(sequenceFile(*camera, 1));
    EXPECT_NEAR(cameraSeconds, 3.5, kTolerance);

    auto recovered = recover();
    ASSERT_EQ(recovered.size(), 1u);
    waitForJoins(recovered);

    EXPECT_EQ(recording->State(), model::kStateReady);
    EXPECT_EQ(storedState(*recording), model::kStateReady);
    EXPECT_EQ(recording->FaultString(), std::string(control::kRecoveredFaultString));

    auto screenEnd = screen->dateValue("EndTime");
    auto cameraEnd = camera->dateValue("EndTime");
    ASSERT_TRUE(screenEnd && cameraEnd);
    EXPECT_NEAR(secondsBetween(start, *screenEnd), screenSeconds, kTolerance);
    EXPECT_NEAR(secondsBetween(start, *cameraEnd), 0.5 + cameraSeconds, kTolerance);
    auto end = recording->dateValue("EndTime");
    ASSERT_TRUE(end);
    EXPECT_EQ(*end, std::max(*screenEnd, *cameraEnd)) << "the longest stream";
    const double length = secondsBetween(start, *end);
    EXPECT_EQ(recording->Length(), core::durationFromTimeInterval(length));

    // The segment still open is closed at the end; the closed one keeps its end.
    auto segments = recording->Segments();
    ASSERT_EQ(segments.size(), 2u);
    for (const auto& segment : segments) {
        ASSERT_TRUE(segment->End());
        EXPECT_DOUBLE_EQ(*segment->End(), segment->Start() == 0 ? 0.8 : length);
    }

    // The camera's movie is joined at the stream's path; nothing recorded went away.
    EXPECT_NEAR(probedDuration(camera->FilePath()), cameraSeconds, kTolerance);
    EXPECT_TRUE(fs::exists(sequenceFile(*camera, 0)));
    EXPECT_TRUE(fs::exists(sequenceFile(*camera, 1)));
    EXPECT_NEAR(probedDuration(screenFile), screenSeconds, 1e-6);

    // The manifest, as a stop writes it.
    const std::string manifest = test::readFile(manifestOf(*recording));
    EXPECT_NE(manifest.find("<RecordingInfo"), std::string::npos) << manifest;
    EXPECT_NE(manifest.find(*recording->Guid()), std::string::npos);
    EXPECT_NE(manifest.find(*screen->Guid()), std::string::npos);
    EXPECT_FALSE(fs::exists(manifestOf(*recording).string() + ".tmp"));

    EXPECT_FALSE(control::RecordingLock::isHeldElsewhere(recording->RecordingPath()));
    EXPECT_TRUE(recover().empty()) << "recovered once";
}

// Paused when the recorder stopped: the segments end at the pause and stay so.
TEST_F(RecoveryTest, APausedRecordingKeepsItsSegments) {
    auto recording = makeRecording(model::kStatePaused);
    auto screen = addStream(recording, model::kTagScreen);
    addSegment(recording, 0, 0.8);
    addSegment(recording, 1.2, 1.5);
    save();
    writeMovie(screen->FilePath(), 20);

    ASSERT_EQ(recover().size(), 1u);
    EXPECT_EQ(recording->State(), model::kStateReady) << "no camera: nothing to join";
    EXPECT_EQ(storedState(*recording), model::kStateReady);
    auto end = recording->dateValue("EndTime");
    ASSERT_TRUE(end);
    EXPECT_NEAR(secondsBetween(start, *end), 2.0, kTolerance);
    EXPECT_EQ(recording->Length(), core::durationFromTimeInterval(secondsBetween(start, *end)));
    std::vector<std::pair<double, std::optional<double>>> segments;
    for (const auto& segment : recording->Segments()) segments.emplace_back(segment->Start(), segment->End());
    std::sort(segments.begin(), segments.end());
    EXPECT_EQ(segments, (std::vector<std::pair<double, std::optional<double>>>{{0, 0.8}, {1.2, 1.5}}));
    EXPECT_TRUE(fs::exists(manifestOf(*recording)));
}

// A recording another process still records is not touched; once that process is gone it is.
TEST_F(RecoveryTest, ARecordingLockedByALiveProcessIsLeftAlone) {
    auto recording = makeRecording(model::kStateRecording);
    auto screen = addStream(recording, model::kTagScreen);
    save();
    writeMovie(screen->FilePath(), 10);

    LockHolder holder(recording->RecordingPath());
    ASSERT_TRUE(holder.locked());
    EXPECT_TRUE(control::RecordingLock::isHeldElsewhere(recording->RecordingPath()));
    const int saves = host.saveCount;

    EXPECT_TRUE(recover().empty());
    EXPECT_EQ(recording->State(), model::kStateRecording);
    EXPECT_FALSE(recording->dateValue("EndTime"));
    EXPECT_FALSE(screen->dateValue("EndTime"));
    EXPECT_FALSE(recording->FaultString());
    EXPECT_FALSE(fs::exists(manifestOf(*recording)));
    EXPECT_EQ(host.saveCount, saves);

    holder.kill();  // the lock ends with the process
    EXPECT_FALSE(control::RecordingLock::isHeldElsewhere(recording->RecordingPath()));
    ASSERT_EQ(recover().size(), 1u);
    EXPECT_EQ(recording->State(), model::kStateReady);
}

TEST(RecordingLockTest, OneHolderAtATimeAndReleasedByTheDestructor) {
    test::TempDir dir;
    const std::string folder = dir.path().string();
    EXPECT_FALSE(control::RecordingLock::isHeldElsewhere(folder)) << "no lock file";
    {
        auto lock = control::RecordingLock::acquire(folder);
        ASSERT_TRUE(lock);
        EXPECT_TRUE(control::RecordingLock::isHeldElsewhere(folder));
        EXPECT_TRUE(control::RecordingLock::isHeldElsewhere(folder)) << "testing does not take the lock";
        core::Error error;
        EXPECT_FALSE(control::RecordingLock::acquire(folder, &error));
        EXPECT_FALSE(error.localizedDescription().empty());
    }
    EXPECT_FALSE(control::RecordingLock::isHeldElsewhere(folder));
    EXPECT_TRUE(control::RecordingLock::acquire(folder));
    core::Error error;
    EXPECT_FALSE(control::RecordingLock::acquire((dir.path() / "missing").string(), &error));
}

// A stream without a usable movie ends where it starts, keeps its file records, and the recording is
// recovered from the others. A camera stream that recorded nothing then fails to join, as at a stop.
TEST_F(RecoveryTest, AStreamWithoutAUsableFileKeepsItsData) {
    enum class Screen { Missing, Garbage, Fine };
    struct Case {
        const char* name;
        Screen screen;
        int cameraFiles;
        int state;
        std::optional<std::string> faultString;
    };
    const Case cases[] = {
        {"screen file missing", Screen::Missing, 1, model::kStateReady, control::kRecoveredFaultString},
        {"screen file unreadable", Screen::Garbage, 1, model::kStateReady, control::kRecoveredFaultString},
        {"camera recorded nothing", Screen::Fine, 0, model::kStateFailed, "Recording file not found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto recording = makeRecording(model::kStateRecording);
        auto screen = addStream(recording, model::kTagScreen);
        auto camera = addStream(recording, model::kTagCamera, 0.2);
        save();
        const fs::path screenFile = screen->FilePath();
        if (c.screen == Screen::Garbage) std::ofstream(screenFile) << "not a movie";
        if (c.screen == Screen::Fine) writeMovie(screenFile, 15);
        for (int n = 0; n < c.cameraFiles; ++n) writeMovie(sequenceFile(*camera, n), 10);

        auto recovered = recover();
        ASSERT_EQ(recovered.size(), 1u);
        waitForJoins(recovered);
        EXPECT_EQ(recording->State(), c.state);
        EXPECT_EQ(recording->FaultString(), c.faultString);

        const double screenSeconds = c.screen == Screen::Fine ? 1.5 : 0;
        const double cameraSeconds = c.cameraFiles ? 0.2 + 1.0 : 0.2;
        EXPECT_NEAR(secondsBetween(start, *screen->dateValue("EndTime")), screenSeconds, kTolerance);
        EXPECT_NEAR(secondsBetween(start, *camera->dateValue("EndTime")), cameraSeconds, kTolerance);
        EXPECT_NEAR(secondsBetween(start, *recording->dateValue("EndTime")), std::max(screenSeconds, cameraSeconds),
                    kTolerance);
        EXPECT_EQ(screen->Files().size(), 1u);
        EXPECT_EQ(camera->Files().size(), 1u);
        EXPECT_EQ(fs::exists(screenFile), c.screen != Screen::Missing);
        if (c.screen == Screen::Garbage) {
            EXPECT_EQ(test::readFile(screenFile), "not a movie");
        }
        EXPECT_TRUE(fs::exists(manifestOf(*recording)));
    }
}

// Only recordings cut short while recording or paused are recovered.
TEST_F(RecoveryTest, RecordingsInOtherStatesAreUntouched) {
    const int states[] = {0,
                          model::kStateStopped,
                          model::kStatePostProcessing,
                          model::kStateReady,
                          model::kStateUploading,
                          model::kStateUploadComplete,
                          model::kStateFailed};
    std::vector<std::shared_ptr<Recording>> recordings;
    for (int state : states) {
        auto recording = makeRecording(state);
        auto screen = addStream(recording, model::kTagScreen);
        writeMovie(screen->FilePath(), 10);
        recordings.push_back(recording);
    }
    save();
    const int saves = host.saveCount;

    EXPECT_TRUE(recover().empty());
    EXPECT_EQ(host.saveCount, saves);
    EXPECT_TRUE(host.stitchRequests.empty());
    for (size_t i = 0; i < recordings.size(); ++i) {
        SCOPED_TRACE(states[i]);
        const auto& recording = recordings[i];
        EXPECT_EQ(recording->State(), states[i]);
        EXPECT_FALSE(recording->dateValue("EndTime"));
        EXPECT_FALSE(recording->ScreenCaptureStream()->dateValue("EndTime"));
        EXPECT_FALSE(recording->FaultString());
        EXPECT_FALSE(recording->stitchingOperation());
        EXPECT_FALSE(fs::exists(manifestOf(*recording)));
    }
}

// What the measurement makes of movies cut short and of numbered sequences.
TEST(MovieDurationTest, MeasuresWhatCanBeRead) {
    test::TempDir dir;
    const fs::path whole = dir.path() / "G.DV.mov";
    EXPECT_FALSE(control::readableMovieDuration(whole.string()));
    EXPECT_FALSE(control::readableSequenceDuration(whole.string()));

    writeMovie(dir.path() / "G_0.DV.mov", 12);
    writeMovie(dir.path() / "G_1.DV.mov", 8);
    writeMovie(dir.path() / "G_3.DV.mov", 30);  // after a gap: not part of the sequence
    const double first = probedDuration(dir.path() / "G_0.DV.mov");
    const double second = probedDuration(dir.path() / "G_1.DV.mov");
    EXPECT_NEAR(first, 1.2, kTolerance);
    EXPECT_NEAR(*control::readableMovieDuration((dir.path() / "G_0.DV.mov").string()), first, 0.1);
    EXPECT_NEAR(*control::readableSequenceDuration(whole.string()), first + second, 0.2);
    writeMovie(whole, 5);  // once joined, the final file is what counts
    EXPECT_NEAR(*control::readableSequenceDuration(whole.string()), 0.5, kTolerance);

    const fs::path killed = dir.path() / "killed.mov";
    writeMovieOfAKilledRecorder(killed, std::chrono::milliseconds(4000));
    const double probed = probedDuration(killed);
    ASSERT_GT(probed, 0.5);
    EXPECT_NEAR(*control::readableMovieDuration(killed.string()), probed, kTolerance);

    // Cut in the middle of its data: counts as far as it goes.
    const fs::path cut = dir.path() / "cut.mov";
    fs::copy_file(killed, cut);
    fs::resize_file(cut, fs::file_size(killed) * 2 / 3);
    auto cutSeconds = control::readableMovieDuration(cut.string());
    ASSERT_TRUE(cutSeconds);
    EXPECT_GT(*cutSeconds, 0.0);
    EXPECT_LT(*cutSeconds, probed);
}

}  // namespace
