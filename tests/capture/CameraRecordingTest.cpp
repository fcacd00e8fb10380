#include <gtest/gtest.h>

#include <filesystem>

#include "capture/MovieStitcher.h"
#include "capture/RecorderTestSupport.h"
#include "capture/camera/VideoRecorder.h"
#include "core/Settings.h"
#include "core/SettingsKeys.h"
#include "support/PulseServer.h"
#include "support/ScopedEnvironment.h"
#include "support/TempDir.h"
#include "support/TestUserInterface.h"

namespace orvanta::capture {
namespace {

using namespace std::chrono_literals;

// The recorder on this machine's own devices: the test-pattern camera and a PulseAudio microphone
// (the monitor of a null sink the test plays a tone into).
class CameraRecordingTest : public ::testing::Test {
protected:
    CameraRecordingTest() : settings(temp.path() / "settings.json") {
        environment.set("ORVANTA_TEST_DEVICES", "1");
        settings.setString(core::kVideoCompressionOption, "QTCompressionOptionsSD480SizeH264Video");
        settings.setDouble(core::kVideoFrameRate, 15);
        settings.setString(core::kLastVideoDevice, "Test Camera");
        settings.setString(core::kLastAudioDevice, test::PulseServer::kMicrophoneName);
    }
    ~CameraRecordingTest() override {
        recorder.reset();
        test::runMainLoopFor(10ms);
    }

    void makeRecorder(const std::string& camera) {
        settings.setString(core::kLastVideoDevice, camera);
        recorder = std::make_unique<VideoRecorder>(systemDeviceDirectory(), settings, &ui);
        recorder->setDelegate(&events);
        recorder->setValidator("/bin/true", 10s);
        recorder->awakeFromNib();
        ASSERT_TRUE(test::runMainLoopUntil([&] { return recorder->devicesAreListed(); }, 20s));
        ASSERT_TRUE(recorder->selectedAudioDevice());
        ASSERT_EQ(recorder->selectedAudioDevice()->localizedDisplayName, test::PulseServer::kMicrophoneName);
    }

    test::TempDir temp;
    test::ScopedEnvironment environment;
    test::PulseServer pulse;
    core::Settings settings;
    test::TestUserInterface ui;
    test::RecorderEvents events;
    std::unique_ptr<VideoRecorder> recorder;
};

TEST_F(CameraRecordingTest, TwentySecondsOfCameraAndMicrophoneJoinIntoOneMovie) {
    pulse.playTone(440);
    makeRecorder("Test Camera");
    ASSERT_TRUE(recorder->selectedVideoDevice());
    const auto stream = temp.path() / "G.DV.mov";
    recorder->startSession();
    recorder->setRecording(true, stream.string(), nullptr);
    ASSERT_TRUE(test::runMainLoopUntil([&] { return events.started == 1; }, 10s));
    test::runMainLoopFor(10s);
    recorder->switchToNewRecordingFile();  // as a device would ask mid-recording
    test::runMainLoopFor(10s);
    recorder->setRecording(false, nullptr);
    ASSERT_TRUE(test::runMainLoopUntil([&] { return events.finished == 1; }, 20s));
    EXPECT_TRUE(events.errors.empty());
    EXPECT_TRUE(events.silences.empty());

    const std::vector<std::string> parts{(temp.path() / "G_0.DV.mov").string(), (temp.path() / "G_1.DV.mov").string()};
    for (const auto& part : parts) {
        SCOPED_TRACE(part);
        const auto streams = test::movieStreams(part);
        ASSERT_EQ(streams.size(), 2u);
        EXPECT_EQ(streams[0].codec, "h264");
        EXPECT_EQ(streams[1].codec, "aac");
        EXPECT_NEAR(streams[0].duration, streams[1].duration, 0.1);
        EXPECT_GT(test::meanVolume(part), -40.0);
    }
    core::Error error;
    ASSERT_TRUE(MovieStitcher::stitchMovies(parts, stream.string(), &error)) << error.localizedDescription();
    const auto joined = test::movieStreams(stream);
    ASSERT_EQ(joined.size(), 2u);
    EXPECT_NEAR(joined[0].duration, 20.0, 0.6);
    EXPECT_NEAR(joined[0].duration, joined[1].duration, 0.1);
}

TEST_F(CameraRecordingTest, TenSecondsOfDigitalSilenceAreReportedOnce) {
    makeRecorder("None");
    recorder->startSession();
    recorder->setRecording(true, (temp.path() / "G.AUDIO.mov").string(), nullptr);
    ASSERT_TRUE(test::runMainLoopUntil([&] { return !events.silences.empty(); }, 15s));
    EXPECT_GE(events.silences[0], VideoRecorder::kSilenceWarningSeconds);
    pulse.playTone(440);
    test::runMainLoopFor(1s);
    recorder->setRecording(false, nullptr);
    ASSERT_TRUE(test::runMainLoopUntil([&] { return events.finished == 1; }, 20s));
    EXPECT_EQ(events.silences.size(), 1u);
}

TEST_F(CameraRecordingTest, AMicrophoneUnpluggedMidRecordingEndsItAndKeepsTheFile) {
    const int module = pulse.loadNullSink("orvanta_usb", "USB Microphone");
    settings.setString(core::kLastAudioDevice, "Monitor of USB Microphone");
    settings.setString(core::kLastVideoDevice, "Test Camera");
    recorder = std::make_unique<VideoRecorder>(systemDeviceDirectory(), settings, &ui);
    recorder->setDelegate(&events);
    recorder->setValidator("/bin/true", 10s);
    recorder->awakeFromNib();
    ASSERT_TRUE(test::runMainLoopUntil([&] { return recorder->devicesAreListed(); }, 20s));
    ASSERT_EQ(recorder->selectedAudioDevice()->localizedDisplayName, "Monitor of USB Microphone");
    const auto stream = temp.path() / "G.DV.mov";
    recorder->startSession();
    recorder->setRecording(true, stream.string(), nullptr);
    ASSERT_TRUE(test::runMainLoopUntil([&] { return events.started == 1; }, 10s));
    test::runMainLoopFor(2s);
    pulse.unloadModule(module);
    ASSERT_TRUE(test::runMainLoopUntil([&] { return events.finished == 1; }, 20s));
    ASSERT_EQ(events.errors.size(), 1u);
    EXPECT_EQ(events.errors[0].code, kCaptureDeviceNotConnected);
    const auto streams = test::movieStreams(temp.path() / "G_0.DV.mov");
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_NEAR(streams[0].duration, 2.0, 0.5);
}

}  // namespace
}  // namespace orvanta::capture
