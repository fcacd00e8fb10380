#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "capture/MovieStitcher.h"
#include "capture/RecorderTestSupport.h"
#include "capture/StaticDeviceDirectory.h"
#include "capture/camera/VideoRecorder.h"
#include "core/Settings.h"
#include "core/SettingsKeys.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/TestUserInterface.h"

namespace orvanta::capture {
namespace {

using namespace std::chrono_literals;
using test::StaticDeviceDirectory;

std::string nameOf(const CaptureDevicePtr& d) { return d ? d->localizedDisplayName : "-"; }

class VideoRecorderTest : public ::testing::Test {
protected:
    VideoRecorderTest() : settings(temp.path() / "settings.json") {
        directory->setDevices({StaticDeviceDirectory::camera("Front Camera"), StaticDeviceDirectory::camera("Desk Camera")},
                              {StaticDeviceDirectory::microphone("USB Microphone"),
                               StaticDeviceDirectory::microphone("Headset")});
    }
    ~VideoRecorderTest() override {
        recorder.reset();
        test::runMainLoopFor(10ms);
    }

    std::string validator(const std::string& body) {
        const auto path = temp.path() / ("validator-" + std::to_string(validators++));
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        return path.string();
    }

    // A recorder that has listed the devices.
    void makeRecorder(const std::string& validatorPath = "/bin/true", std::chrono::milliseconds limit = 10s) {
        recorder = std::make_unique<VideoRecorder>(directory, settings, &ui);
        recorder->setDelegate(&events);
        recorder->setValidator(validatorPath, limit);
        recorder->awakeFromNib();
        ASSERT_TRUE(test::runMainLoopUntil([&] { return recorder->devicesAreListed(); }, 20s));
    }

    void record(const std::filesystem::path& streamPath, std::chrono::milliseconds length) {
        recorder->startSession();
        recorder->setRecording(true, streamPath.string(), nullptr);
        ASSERT_TRUE(test::runMainLoopUntil([&] { return events.started == 1; }, 10s));
        test::runMainLoopFor(length);
        recorder->setRecording(false, nullptr);
        ASSERT_TRUE(test::runMainLoopUntil([&] { return events.finished == 1; }, 20s));
    }

    test::TempDir temp;
    core::Settings settings;
    std::shared_ptr<StaticDeviceDirectory> directory = std::make_shared<StaticDeviceDirectory>();
    test::TestUserInterface ui;
    test::RecorderEvents events;
    std::unique_ptr<VideoRecorder> recorder;
    int validators = 0;
};

TEST_F(VideoRecorderTest, TheValidatorDecidesWhetherAllDevicesAreListed) {
    struct Case {
        const char* what;
        std::string script;
        std::chrono::milliseconds limit;
        std::size_t cameras, microphones;
        bool driverAlert;
    };
    const std::vector<Case> cases{
        {"all devices safe", "exit 0", 10s, 2, 2, false},
        {"a device failed", "exit 3", 10s, 1, 1, true},
        {"the validator hangs", "sleep 3", 300ms, 1, 1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ui.alerts.clear();
        makeRecorder(validator(c.script), c.limit);
        EXPECT_EQ(recorder->videoDevices().size(), c.cameras);
        EXPECT_EQ(recorder->audioDevices().size(), c.microphones);
        ASSERT_EQ(ui.alerts.size(), c.driverAlert ? 1u : 0u);
        if (c.driverAlert) {
            EXPECT_EQ(ui.alerts[0].messageText, "Device Driver Error");
            EXPECT_EQ(nameOf(recorder->videoDevices()[0]), "Front Camera");  // the system's default
        }
        recorder.reset();
    }
}

TEST_F(VideoRecorderTest, SelectionFollowsSettingsAndDevicesThatComeAndGo) {
    settings.setString(core::kLastVideoDevice, "Front Camera");
    settings.setString(core::kLastAudioDevice, "Headset");
    makeRecorder();
    EXPECT_EQ(nameOf(recorder->selectedVideoDevice()), "Front Camera");
    EXPECT_EQ(nameOf(recorder->selectedAudioDevice()), "Headset");

    int announcements = 0;
    auto watch = recorder->observe("selectedVideoDevice", [&](const std::string&) { ++announcements; });
    // The camera and the headset are unplugged.
    directory->changeDevices({StaticDeviceDirectory::camera("Desk Camera")},
                             {StaticDeviceDirectory::microphone("USB Microphone")});
    ASSERT_TRUE(test::runMainLoopUntil([&] { return recorder->videoDevices().size() == 1; }, 10s));
    EXPECT_EQ(nameOf(recorder->selectedVideoDevice()), "-");
    EXPECT_EQ(nameOf(recorder->selectedAudioDevice()), "USB Microphone");
    EXPECT_EQ(announcements, 1);

    recorder->rememberSelectedDevices();
    EXPECT_EQ(settings.stringForKey(core::kLastVideoDevice), "None");
    EXPECT_EQ(settings.stringForKey(core::kLastAudioDevice), "USB Microphone");

    // "None" is kept at the next start even though a camera is there.
    recorder.reset();
    makeRecorder();
    EXPECT_EQ(nameOf(recorder->selectedVideoDevice()), "-");
}

TEST_F(VideoRecorderTest, ABusyCameraIsDeselectedOnceTheUserSawWhy) {
    directory->setDevices({StaticDeviceDirectory::camera("Busy Camera", "busy")},
                          {StaticDeviceDirectory::microphone("USB Microphone")});
    makeRecorder();
    ASSERT_EQ(nameOf(recorder->selectedVideoDevice()), "Busy Camera");
    recorder->startSession();
    ASSERT_EQ(ui.sheets.size(), 1u);
    EXPECT_EQ(ui.sheets[0].messageText, "The camera is in use by another program.");
    test::runMainLoopFor(50ms);
    EXPECT_EQ(nameOf(recorder->selectedVideoDevice()), "Busy Camera");  // still, while the sheet is open
    ui.answerSheet(0);
    ASSERT_TRUE(test::runMainLoopUntil([&] { return !recorder->selectedVideoDevice(); }, 5s));
    EXPECT_TRUE(recorder->hasRecordingDevice());  // the microphone
    recorder->cancelSession();
}

TEST_F(VideoRecorderTest, WithoutACameraTheSoundGoesIntoTheStreamPathItself) {
    settings.setString(core::kLastVideoDevice, "None");
    makeRecorder();
    const auto stream = temp.path() / "G.AUDIO.mov";
    record(stream, 3s);
    EXPECT_TRUE(events.errors.empty());
    ASSERT_TRUE(std::filesystem::exists(stream));
    EXPECT_FALSE(std::filesystem::exists(temp.path() / "G_0.AUDIO.mov"));
    const auto streams = test::movieStreams(stream);
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0].codec, "aac");
    EXPECT_NEAR(streams[0].duration, 3.0, 0.5);
    // The tone is loud: the meter read well above silence while the session ran.
    ASSERT_FALSE(events.levels.empty());
    EXPECT_GT(*std::max_element(events.levels.begin(), events.levels.end()), 5.0f);
}

TEST_F(VideoRecorderTest, CameraRecordingMovesThroughNumberedFilesThatJoin) {
    settings.setString(core::kVideoCompressionOption, "QTCompressionOptions240SizeMPEG4Video");
    makeRecorder();
    test::LogCapture log;
    const auto stream = temp.path() / "G.DV.mov";
    recorder->startSession();
    recorder->setRecording(true, stream.string(), nullptr);
    ASSERT_TRUE(test::runMainLoopUntil([&] { return events.started == 1; }, 10s));
    test::runMainLoopFor(2s);
    recorder->switchToNewRecordingFile();
    test::runMainLoopFor(2s);
    recorder->setRecording(false, nullptr);
    ASSERT_TRUE(test::runMainLoopUntil([&] { return events.finished == 1; }, 20s));

    EXPECT_EQ(events.started, 1);  // once, though two files were started
    EXPECT_TRUE(events.errors.empty());
    EXPECT_TRUE(log.contains("Stopping normally"));
    EXPECT_FALSE(log.contains("Force stopping recording"));
    EXPECT_FALSE(std::filesystem::exists(stream));
    const std::vector<std::string> parts{(temp.path() / "G_0.DV.mov").string(), (temp.path() / "G_1.DV.mov").string()};
    double total = 0;
    for (const auto& part : parts) {
        SCOPED_TRACE(part);
        const auto streams = test::movieStreams(part);
        ASSERT_EQ(streams.size(), 2u);
        EXPECT_EQ(streams[0].type, "video");
        EXPECT_EQ(streams[0].codec, "mpeg4");
        EXPECT_EQ(streams[1].codec, "aac");
        EXPECT_NEAR(streams[0].duration, streams[1].duration, 0.1);
        total += streams[0].duration;
    }
    EXPECT_NEAR(total, 4.0, 0.5);
    core::Error error;
    ASSERT_TRUE(MovieStitcher::stitchMovies(parts, stream.string(), &error)) << error.localizedDescription();
    EXPECT_NEAR(test::movieStreams(stream).at(0).duration, total, 0.1);
}

TEST_F(VideoRecorderTest, ACameraThatStopsDeliveringEndsTheRecordingButKeepsTheFile) {
    directory->setDevices({StaticDeviceDirectory::camera("Loose Camera", "short")},
                          {StaticDeviceDirectory::microphone("USB Microphone")});
    makeRecorder();
    const auto stream = temp.path() / "G.DV.mov";
    recorder->startSession();
    recorder->setRecording(true, stream.string(), nullptr);
    ASSERT_TRUE(test::runMainLoopUntil([&] { return events.finished == 1; }, 15s));
    ASSERT_EQ(events.errors.size(), 1u);
    EXPECT_EQ(events.errors[0].domain, kCaptureErrorDomain);
    const auto streams = test::movieStreams(temp.path() / "G_0.DV.mov");
    ASSERT_FALSE(streams.empty());
    EXPECT_NEAR(streams[0].duration, 1.0, 0.3);
}

}  // namespace
}  // namespace orvanta::capture
