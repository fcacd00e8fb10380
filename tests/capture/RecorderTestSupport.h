#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "capture/camera/VideoRecorder.h"
#include "core/Error.h"

namespace orvanta::test {

// What a recorder told its delegate. Like the recording session, it stops recording when the
// recorder reports an error.
class RecorderEvents : public capture::VideoRecorderDelegate {
public:
    int started = 0;
    int finished = 0;
    std::vector<core::Error> errors;
    std::vector<float> levels;
    std::vector<double> silences;

    void videoRecorderDidStartRecording(capture::VideoRecorder&) override { ++started; }
    void videoRecorderDidChangeAudioVolume(capture::VideoRecorder&, float level) override { levels.push_back(level); }
    void videoRecorderDidStopRecordingWithError(capture::VideoRecorder& recorder, const core::Error& error) override {
        errors.push_back(error);
        recorder.setRecording(false, nullptr);
    }
    void videoRecorderDidFinishRecording(capture::VideoRecorder&) override { ++finished; }
    void videoRecorderDidDetectSilence(capture::VideoRecorder&, double seconds) override {
        silences.push_back(seconds);
    }
};

// Runs the main loop until done() or the time-out; returns done().
bool runMainLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
// Runs the main loop for a while.
void runMainLoopFor(std::chrono::milliseconds duration);

// One track of a movie as ffprobe reports it.
struct StreamSummary {
    std::string type;   // "video" or "audio"
    std::string codec;  // e.g. "h264", "mpeg4", "aac"
    double duration = -1;
};
std::vector<StreamSummary> movieStreams(const std::filesystem::path& movie);
// The mean volume of the movie's sound in dB (ffmpeg's volumedetect); -91 or lower is silence.
double meanVolume(const std::filesystem::path& movie);

}  // namespace orvanta::test
