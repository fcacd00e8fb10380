#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/VideoFrame.h"
#include "core/Error.h"

namespace orvanta::capture {

class MovieWriter;

// Told when the movie file cannot be written: synchronously from the writer's constructor when the
// file cannot be created (codes 80 and 81), and once from the writer's compression thread when
// writing fails later, for example on a full disk (code 81, the failure reason says what failed).
// The delegate may call writeAndCloseMovie() from that call but must not destroy the writer in it.
class MovieWriterDelegate {
public:
    virtual ~MovieWriterDelegate() = default;
    virtual void movieWriterFailedWithError(MovieWriter& writer, const core::Error& error) = 0;
};

// Sound encoder settings. Zero means "as the incoming sound" for sample rate and channels and
// "the encoder's choice" for the bit rate.
struct AudioCompression {
    std::string encoderName = "aac";  // FFmpeg encoder name: "aac" or "alac"
    std::int64_t bitRate = 0;         // bits per second
    int sampleRate = 0;
    int channels = 0;
};

// Encoder settings for one movie: what the stored presets ("h264", "mpeg4") and the caller's
// quality and frame rate make of them.
struct CompressionOptions {
    std::string codec;          // "avc1" (libx264) or "mp4v" (mpeg4)
    std::string encoderName;    // FFmpeg encoder name, e.g. "libx264", "mpeg4"
    std::uint32_t quality = 0x300;
    std::int32_t frameRate = 0;           // expected frames per second
    std::int64_t bitRate = 0;             // bits per second, 0 = encoder's choice
    std::int32_t keyFrameInterval = 0;    // frames between key frames, 0 = encoder's choice
    std::vector<std::pair<std::string, std::string>> encoderOptions;  // passed to the encoder as given
    std::string pixelFormat;              // FFmpeg pixel format name; empty = the encoder's first (yuv420p)
    AudioCompression audio;               // for the sound track, when sound is appended
};

// Incoming sound: interleaved PCM, as a microphone delivers it.
struct AudioSampleBuffer {
    enum class Format { S16, F32 };
    Format format = Format::S16;
    int sampleRate = 48000;
    int channels = 1;
    std::int64_t presentationTime = 0;  // in units of timeScale
    std::int32_t timeScale = 48000;
    const std::uint8_t* data = nullptr;
    std::size_t byteCount = 0;          // frames = byteCount / (bytes per sample * channels)
};

// Writes one movie file: video frames with their own time stamps, compressed in the order they
// were handed over on one compression thread, optional sound encoded as AAC, and on close a
// sound track cut to the video's length. While the file is open it is written in fragments of
// about a second, so a crash leaves a playable movie up to a few seconds before the crash (the
// encoder's look-ahead plus one fragment); closing rewrites it as an ordinary, self-contained
// movie without re-encoding (a file that cannot be rewritten stays fragmented and playable).
//
// Both tracks start at time 0: video at the first frame's time stamp, sound with its first
// sample. Which tracks the movie has is settled once both have produced samples, or once one of
// them has run for two seconds alone; media of the other kind arriving later is not recorded.
//
// Every frame handed over is asked for its pixels once and gives them back once (releasePixels),
// as soon as they have been converted for the encoder, or at once when the frame is dropped:
// after close, without pixels, or with a time stamp not later than the frame before.
class MovieWriter {
public:
    // Encoder options from the stored preset for the codec ("avc1" → "h264", otherwise "mpeg4"),
    // at the given quality (0x300 = as stored) and expected frame rate; the data rate is not used.
    // `codec` is set to the codec the preset names. A preset that cannot be read leaves the
    // codec's defaults; null when the encoder is not available. There is no settings dialog:
    // showOptions is only logged.
    static std::shared_ptr<const CompressionOptions> compressionOptions(std::string* codec, std::uint32_t quality,
                                                                        std::int32_t dataRate, std::int32_t frameRate,
                                                                        bool showOptions);

    // Creates the file (and its folder); on failure the delegate is told (errors 80 and 81 in
    // domain "orvanta") before the constructor returns and the writer stays inert. Without
    // options the encoder's defaults are used. An odd output size is rounded down to even; a zero
    // one takes the first frame's size.
    MovieWriter(const std::string& path, const std::string& codec, std::uint32_t pixelsWide, std::uint32_t pixelsHigh,
                std::shared_ptr<const CompressionOptions> options, MovieWriterDelegate* delegate);
    ~MovieWriter();  // closes the movie if still open
    MovieWriter(const MovieWriter&) = delete;
    MovieWriter& operator=(const MovieWriter&) = delete;

    // Queues the frame for compression and returns at once; frames are encoded in the order queued.
    // False when the writer is not open (the frame is dropped and its pixels given back at once).
    bool compressFrameOnSeparateThread(std::shared_ptr<VideoFrame> frame);
    // Appends sound; any thread. Copies the samples. The sound is taken as one continuous stream
    // (presentation times are not used); it must keep the format of the first buffer.
    void processAudioSamples(const AudioSampleBuffer& buffer);
    // Encodes what is queued, finishes the tracks and closes the file; returns when the file is
    // complete (called from the delegate, it returns at once and the compression thread finishes
    // the file). Later frames and sound are dropped. Closing again does nothing.
    void writeAndCloseMovie();

    MovieWriterDelegate* delegate() const;
    bool isOpen() const;
    const std::string& path() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace orvanta::capture
