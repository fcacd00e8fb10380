#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/VideoFrame.h"
#include "core/Error.h"

namespace orvanta::capture {

class MovieWriter;

// Told when the movie file cannot be written at all.
class MovieWriterDelegate {
public:
    virtual ~MovieWriterDelegate() = default;
    virtual void movieWriterFailedWithError(MovieWriter& writer, const core::Error& error) = 0;
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
// sound track cut to the video's length. While the file is open it is written so that a crash
// leaves a playable movie up to about the last second; a normally closed file is an ordinary,
// self-contained movie.
class MovieWriter {
public:
    // Encoder options from the stored preset for the codec ("avc1" → "h264", otherwise "mpeg4").
    // `codec` is set to the codec the preset names. Null when no options can be made.
    static std::shared_ptr<const CompressionOptions> compressionOptions(std::string* codec, std::uint32_t quality,
                                                                        std::int32_t dataRate, std::int32_t frameRate,
                                                                        bool showOptions);

    // Creates the file (and its folder); on failure the delegate is told (errors 80 and 81 in
    // domain "orvanta") before the constructor returns and the writer stays inert.
    MovieWriter(const std::string& path, const std::string& codec, std::uint32_t pixelsWide, std::uint32_t pixelsHigh,
                std::shared_ptr<const CompressionOptions> options, MovieWriterDelegate* delegate);
    ~MovieWriter();  // closes the movie if still open
    MovieWriter(const MovieWriter&) = delete;
    MovieWriter& operator=(const MovieWriter&) = delete;

    // Queues the frame for compression and returns at once; frames are encoded in the order queued.
    bool compressFrameOnSeparateThread(std::shared_ptr<VideoFrame> frame);
    // Appends sound; any thread. Copies the samples.
    void processAudioSamples(const AudioSampleBuffer& buffer);
    // Encodes what is queued, finishes the tracks and closes the file. Later frames are dropped.
    void writeAndCloseMovie();

    MovieWriterDelegate* delegate() const;
    bool isOpen() const;
    const std::string& path() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace orvanta::capture
