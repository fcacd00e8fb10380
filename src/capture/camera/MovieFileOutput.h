#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/MovieWriter.h"
#include "capture/VideoFrame.h"
#include "core/Error.h"

namespace orvanta::capture {

class MovieFileOutput;

// What a movie-file output reports. Start and finish come on the main loop; sound buffers come on
// the microphone's thread, for every buffer the session delivers, whether a file is being recorded
// or not.
class MovieFileOutputDelegate {
public:
    virtual ~MovieFileOutputDelegate() = default;
    // The first samples went into the file.
    virtual void captureOutputDidStartRecordingToOutputFile(MovieFileOutput& output, const std::string& path) = 0;
    // The file is closed and complete as far as it goes; error is null when nothing went wrong.
    virtual void captureOutputDidFinishRecordingToOutputFile(MovieFileOutput& output, const std::string& path,
                                                             const core::Error* error) = 0;
    virtual void captureOutputDidOutputAudioSampleBuffer(MovieFileOutput& output,
                                                         const AudioSampleBuffer& samples) = 0;
};

// Records what a capture session delivers (camera pictures and microphone sound) into movie files,
// one file at a time: recordToOutputFile starts a file, switches to another one without losing a
// sample, or (with an empty path) ends recording. Each file is written by its own MovieWriter;
// finishing a file happens on a background thread, so the devices' threads never wait for a disk.
//
// Picture and sound of a file start together: sound from before the first picture is left out, and
// sound that only begins after it is preceded by as much silence.
class MovieFileOutput {
public:
    MovieFileOutput();
    ~MovieFileOutput();  // ends recording and waits for every file to be finished
    MovieFileOutput(const MovieFileOutput&) = delete;
    MovieFileOutput& operator=(const MovieFileOutput&) = delete;

    void setDelegate(MovieFileOutputDelegate* delegate);

    // Compression of the next file: the video codec and options ("avc1" or "mp4v"), the picture
    // size (0 × 0 = the camera's), and the sound encoder settings.
    void setCompressionOptions(const std::string& codec, std::shared_ptr<const CompressionOptions> options,
                               std::uint32_t width, std::uint32_t height);
    // Pictures closer together than this are not recorded (0 = every picture).
    void setMinimumVideoFrameInterval(double seconds);
    double minimumVideoFrameInterval() const;

    // Starts recording to the file, or moves to it from the current one (every later sample goes
    // to the new file; the old one is finished in the background and reported). An empty path ends
    // recording. Main loop.
    void recordToOutputFile(const std::string& path);
    // The file being recorded, or empty.
    std::string outputFileURL() const;

    // From the session, on the devices' threads.
    void addVideoFrame(const std::shared_ptr<VideoFrame>& frame);
    void addAudioSamples(const AudioSampleBuffer& samples);
    // Whether pictures are expected (a camera is connected): sound waits for the first picture.
    void setExpectsVideo(bool expectsVideo);

    // Waits until every file handed to the background is finished (for tests and shutdown).
    void waitForFinishedFiles();

private:
    struct File;

    std::shared_ptr<File> openFile(const std::string& path);
    void finishInBackground(std::shared_ptr<File> file);
    void reportStart(const std::shared_ptr<File>& file);

    mutable std::mutex mutex_;
    MovieFileOutputDelegate* delegate_ = nullptr;
    std::string codec_ = "mp4v";
    std::shared_ptr<const CompressionOptions> options_;
    std::uint32_t width_ = 0;
    std::uint32_t height_ = 0;
    double minimumInterval_ = 0;
    bool expectsVideo_ = false;
    std::shared_ptr<File> current_;
    std::vector<std::thread> finishers_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace orvanta::capture
