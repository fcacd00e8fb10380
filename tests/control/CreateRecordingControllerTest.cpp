#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "capture/camera/VideoRecorder.h"
#include "control/AppController.h"
#include "control/ApplicationControllers.h"
#include "control/CoursesController.h"
#include "control/CreateRecordingController.h"
#include "control/RecordingsController.h"
#include "control/SessionChooserController.h"
#include "core/Paths.h"
#include "core/RunLoop.h"
#include "core/Settings.h"
#include "core/SettingsKeys.h"
#include "model/Segment.h"
#include "model/Stream.h"
#include "support/Files.h"
#include "support/ScopedEnvironment.h"
#include "support/TestUserInterface.h"
#include "support/UserFolders.h"

namespace orvanta::control {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The recording session with everything it works with, on the test devices (a tone microphone, a
// test-pattern camera) and no server. Segment times come from a clock the test moves.
struct RecordingHarness {
    test::UserFolders folders;
    test::ScopedEnvironment environment;
    core::RunLoop& loop = core::RunLoop::main();
    std::unique_ptr<core::Settings> settings;
    test::TestUserInterface ui;
    std::unique_ptr<AppController> app;
    std::unique_ptr<ApplicationControllers> controllers;
    std::unique_ptr<CoursesController> courses;
    std::unique_ptr<SessionChooserController> chooser;
    std::unique_ptr<RecordingsController> recordings;
    std::unique_ptr<capture::VideoRecorder> video;
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    std::unique_ptr<CreateRecordingController> controller;

    RecordingHarness() {
        environment.set("ORVANTA_TEST_DEVICES", "1");
        environment.set("PULSE_SERVER", "unix:" + folders.path("tmp").string() + "/no-sound-server");
        settings = std::make_unique<core::Settings>(core::settingsFilePath());
        settings->setString(core::kLastVideoDevice, "None");
        settings->setString(core::kLastAudioDevice, "Test Tone Microphone");
        settings->setBool(core::kRecordAudioVideo, true);
        ui.sheetAnswer = 0;
        app = std::make_unique<AppController>(*settings, loop, ui);
        controllers = std::make_unique<ApplicationControllers>(*app, ui);
        courses = std::make_unique<CoursesController>(*settings, loop, controllers->loginController().loggedIn(), &ui);
        chooser = std::make_unique<SessionChooserController>(*courses, loop);
        recordings = std::make_unique<RecordingsController>(*controllers, nullptr);
        video = std::make_unique<capture::VideoRecorder>(capture::systemDeviceDirectory(), *settings, &ui);
        video->setValidator("/bin/true", 10s);
        video->awakeFromNib();
        loop.runUntil([&] { return video->devicesAreListed(); }, 20s);
        controller = std::make_unique<CreateRecordingController>(*controllers, *chooser, *recordings, *video,
                                                                 [this] { return now; });
        controller->awakeFromNib();
    }
    ~RecordingHarness() {
        controller.reset();
        video.reset();
        recordings.reset();
        chooser.reset();
        courses.reset();
        loop.runUntil([] { return false; }, 20ms);
        controllers.reset();
        app.reset();
    }

    void at(double seconds) { now = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                               std::chrono::duration<double>(seconds)); }
    void startOffline(const std::string& session) {
        chooser->sessionName().set(session);
        controller->startStopRecording();
        start = now;
    }
    // Stops and waits until the recording is handed on (joined, for camera and microphone).
    std::shared_ptr<model::Recording> stop() {
        auto recording = controller->currentRecording();
        controller->startStopRecording();
        loop.runUntil([&] { return !controller->isRecording().get() && recording->State() == model::kStateReady; },
                      20s);
        return recording;
    }

    std::chrono::steady_clock::time_point start = now;
};

std::string describeSegments(const model::Recording& recording) {
    auto segments = recording.Segments();
    std::sort(segments.begin(), segments.end(), [](const auto& a, const auto& b) { return a->Start() < b->Start(); });
    std::string out;
    for (const auto& s : segments)
        out += "[" + std::to_string(static_cast<int>(s->Start())) + "," +
               (s->End() ? std::to_string(static_cast<int>(*s->End())) : std::string("open")) + "]";
    return out;
}

TEST(CreateRecordingControllerTest, CanRecordSaysWhatIsMissing) {
    RecordingHarness h;
    const auto microphone = h.video->selectedAudioDevice();
    ASSERT_TRUE(microphone);
    struct Case {
        const char* what;
        std::string session;
        bool audioVideo, screen, presentations, device;
        bool canRecord;
        std::string message;  // empty: whatever it was (a recording may start)
    };
    const std::vector<Case> cases{
        {"no session name", "", true, true, true, true, false, "Specify a Session to begin recording."},
        {"no source", "Lecture", false, false, false, true, false, "Choose a capture source to begin recording."},
        {"camera and microphone without devices", "Lecture", true, false, false, false, false,
         "Select a Video or Audio device to begin recording."},
        {"microphone", "Lecture", true, false, false, true, true, ""},
        {"screen alone", "Lecture", false, true, false, false, true, ""},
        {"presentations alone", "Lecture", false, false, true, false, true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        h.video->setSelectedAudioDevice(c.device ? microphone : nullptr);
        h.controller->recordAudioVideo().set(c.audioVideo);
        h.controller->recordScreenCapture().set(c.screen);
        h.controller->recordPresentations().set(c.presentations);
        h.chooser->sessionName().set(c.session);
        EXPECT_EQ(h.controller->canRecord().get(), c.canRecord);
        if (!c.message.empty()) {
            EXPECT_EQ(h.controller->toRecordMessage().get(), c.message);
        }
    }
}

TEST(CreateRecordingControllerTest, PausesBecomeTheKeptSegments) {
    struct Case {
        const char* what;
        std::vector<std::pair<double, const char*>> steps;  // at t: "pause" (pause or resume)
        double stopAt;
        std::string segments;
    };
    const std::vector<Case> cases{
        {"never paused", {}, 20, ""},
        {"pause at 10, resume at 15, stop at 20", {{10, "pause"}, {15, "pause"}}, 20, "[0,10][15,20]"},
        {"stopped while paused", {{10, "pause"}}, 20, "[0,10]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingHarness h;
        h.settings->setBool(core::kHasRun, true);
        h.startOffline("Lecture");
        ASSERT_TRUE(h.controller->isRecording().get());
        auto recording = h.controller->currentRecording();
        for (const auto& [t, action] : c.steps) {
            h.at(t);
            h.controller->pauseRecording();
            EXPECT_EQ(recording->State(), h.controller->isPaused() ? model::kStatePaused : model::kStateRecording);
        }
        h.loop.runUntil([] { return false; }, 300ms);  // some sound in the file
        h.at(c.stopAt);
        h.stop();
        EXPECT_EQ(describeSegments(*recording), c.segments);
        EXPECT_EQ(recording->State(), model::kStateReady);
        EXPECT_FALSE(h.controller->isRecording().get());
        EXPECT_EQ(h.controller->startStopTitle().get(), "Start Recording");
        EXPECT_TRUE(h.ui.sheets.empty());
        // The manifest lies beside the media and carries the segments.
        const fs::path manifest = fs::path(recording->RecordingPath()) / (*recording->Guid() + ".xml");
        ASSERT_TRUE(fs::exists(manifest));
        const std::string text = test::readFile(manifest);
        EXPECT_EQ(text.find("<Segment>") != std::string::npos, !c.segments.empty()) << text;
        EXPECT_TRUE(fs::exists(recording->VideoStream()->FilePath()));
    }
}

TEST(CreateRecordingControllerTest, AnOfflineRecordingKeepsItsSessionNameAndThanksOnce) {
    RecordingHarness h;
    h.startOffline("Monday Lecture");
    auto first = h.controller->currentRecording();
    EXPECT_EQ(first->SessionName(), "Monday Lecture");
    EXPECT_FALSE(first->SessionID());
    EXPECT_EQ(first->VideoStream()->Tag(), "AUDIO");
    EXPECT_TRUE(h.settings->boolForKey(core::kRecordAudioVideo));
    h.stop();
    ASSERT_EQ(h.ui.sheets.size(), 1u);
    EXPECT_EQ(h.ui.sheets[0].messageText, "You have completed your first recording.");
    EXPECT_EQ(h.recordings->selectedRecording(), first);

    h.startOffline("Tuesday Lecture");
    h.stop();
    EXPECT_EQ(h.ui.sheets.size(), 1u);  // only the first time
}

}  // namespace
}  // namespace orvanta::control
