// Helper program of camera_bench.sh: records the test-pattern camera and a microphone with the
// camera recorder for a while, the way a recording does.
//
//   camera_tool SECONDS MICROPHONE STREAM_PATH
//
// The movie is the first file of the stream's sequence (G.DV.mov → G_0.DV.mov); its path is printed.
// MICROPHONE is the display name of a PulseAudio source (PULSE_SERVER says which server). The
// camera is 640x480 at 15 frames per second, compressed with the "H.264 Video, 640 x 480" preset.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "capture/FileSequence.h"
#include "capture/camera/VideoRecorder.h"
#include "core/RunLoop.h"
#include "core/Settings.h"
#include "core/SettingsKeys.h"

namespace {

using namespace orvanta;

class Events : public capture::VideoRecorderDelegate {
public:
    bool started = false, finished = false, failed = false;
    void videoRecorderDidStartRecording(capture::VideoRecorder&) override { started = true; }
    void videoRecorderDidChangeAudioVolume(capture::VideoRecorder&, float) override {}
    void videoRecorderDidStopRecordingWithError(capture::VideoRecorder& recorder, const core::Error& error) override {
        std::fprintf(stderr, "recording stopped: %s\n", error.localizedDescription().c_str());
        failed = true;
        recorder.setRecording(false, nullptr);
    }
    void videoRecorderDidFinishRecording(capture::VideoRecorder&) override { finished = true; }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: camera_tool SECONDS MICROPHONE STREAM_PATH\n");
        return 2;
    }
    const double seconds = std::atof(argv[1]);
    const std::string microphone = argv[2];
    const std::string movie = argv[3];
    ::setenv("ORVANTA_TEST_DEVICES", "1", 1);
    const auto settingsFile =
        std::filesystem::temp_directory_path() / ("camera_tool-" + std::to_string(::getpid()) + ".json");
    int status = 0;
    {
        core::Settings settings(settingsFile);
        settings.setString(core::kVideoCompressionOption, "QTCompressionOptionsSD480SizeH264Video");
        settings.setDouble(core::kVideoFrameRate, 15);
        settings.setString(core::kLastVideoDevice, "Test Camera");
        settings.setString(core::kLastAudioDevice, microphone);
        core::RunLoop& loop = core::RunLoop::main();
        Events events;
        capture::VideoRecorder recorder(capture::systemDeviceDirectory(), settings, nullptr);
        recorder.setDelegate(&events);
        recorder.setValidator("/bin/true", std::chrono::seconds(10));
        recorder.awakeFromNib();
        loop.runUntil([&] { return recorder.devicesAreListed(); }, std::chrono::seconds(20));
        if (!recorder.selectedVideoDevice() || !recorder.selectedAudioDevice() ||
            recorder.selectedAudioDevice()->localizedDisplayName != microphone) {
            std::fprintf(stderr, "the test camera or the microphone \"%s\" is not there\n", microphone.c_str());
            return 1;
        }
        recorder.startSession();
        recorder.setRecording(true, movie, nullptr);
        loop.runUntil([&] { return events.failed; }, std::chrono::milliseconds(static_cast<long long>(seconds * 1000)));
        recorder.setRecording(false, nullptr);
        loop.runUntil([&] { return events.finished; }, std::chrono::seconds(30));
        if (!events.finished || events.failed) status = 1;
    }
    std::filesystem::remove(settingsFile);
    std::printf("%s\n", capture::fileURLWithNextSequence(movie).c_str());
    return status;
}
