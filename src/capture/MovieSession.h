#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/AudioEncoder.h"
#include "capture/FfmpegHandles.h"
#include "capture/MovieOutput.h"
#include "capture/MovieWriter.h"
#include "capture/VideoEncoder.h"

namespace orvanta::capture {

// Sound copied from a caller's buffer, waiting for the compression thread.
struct AudioChunk {
    AudioInputFormat format;
    std::vector<std::uint8_t> data;
};

// Everything that happens to one open movie on its compression thread: tracks and encoders made on
// first use, packets written in fragments, and on finish the last samples, the index and the
// conversion into a self-contained movie. Used by one thread only.
//
// Which tracks the movie has is fixed when its header is written: once both a video and a sound
// track have produced samples, or once one of them has produced `kTrackWaitSeconds` of samples
// without the other, or at finish. A kind of media that first arrives after that is dropped.
class MovieSession {
public:
    static constexpr double kTrackWaitSeconds = 2.0;

    // Told once, on the first write failure; after it everything handed in is dropped and the file
    // keeps what was written before.
    using FailureHandler = std::function<void(int code, const std::string& reason)>;

    MovieSession(std::string path, std::unique_ptr<MovieOutput> output, std::string codec, std::uint32_t width,
                 std::uint32_t height, std::shared_ptr<const CompressionOptions> options, FailureHandler onFailure);
    ~MovieSession();
    MovieSession(const MovieSession&) = delete;
    MovieSession& operator=(const MovieSession&) = delete;

    // Takes the frame's pixels, converts them and gives them back (always, exactly once), then
    // encodes the copy.
    void addFrame(VideoFrame& frame);
    void addAudio(const AudioChunk& chunk);
    // Encodes what the encoders hold, trims the sound to the video and leaves a finished movie.
    void finish();

    bool failed() const { return failed_; }

private:
    struct Pending {
        ff::PacketPtr packet;
        int track;
        AVRational timeBase;
    };

    bool startVideo(const VideoFrame& frame, const PixelBuffer& pixels);
    bool startAudio(const AudioInputFormat& format);
    int takePacket(AVPacket* packet, int track, AVRational timeBase);
    int writeHeaderWhenReady(bool force);
    double pendingSeconds(int track) const;
    std::int64_t frameDuration() const;  // in the frames' time scale
    std::int64_t encoderFrameDuration() const;  // the same in the encoder's time base
    std::optional<double> soundCut() const;
    void makeSelfContained();
    void fail(int code, const std::string& what);

    const std::string path_;
    std::unique_ptr<MovieOutput> output_;
    const std::string codec_;
    const std::uint32_t width_;
    const std::uint32_t height_;
    const std::shared_ptr<const CompressionOptions> options_;
    const FailureHandler onFailure_;

    std::unique_ptr<VideoEncoder> video_;
    int videoTrack_ = -1;
    bool videoRefused_ = false;
    std::int32_t timeScale_ = 0;
    std::int64_t firstTimeStamp_ = 0;
    std::int64_t lastPts_ = AV_NOPTS_VALUE;
    std::int64_t lastInterval_ = 0;

    std::unique_ptr<AudioEncoder> audio_;
    int audioTrack_ = -1;
    bool audioRefused_ = false;
    bool audioFormatLogged_ = false;

    std::vector<Pending> pending_;
    bool failed_ = false;
    bool finished_ = false;
};

}  // namespace orvanta::capture
