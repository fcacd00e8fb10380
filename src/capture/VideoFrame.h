#pragma once

#include <array>
#include <cstdint>

namespace orvanta::capture {

// A picture in memory, rows top to bottom. By default 32-bit BGRA pixels (blue, green, red, alpha
// bytes) at `data`, `rowBytes` apart. A picture in another layout (a camera's YUV, for instance)
// names its FFmpeg pixel format (an AVPixelFormat value) and gives up to four planes, each with its
// own row length in bytes, as the format orders them.
struct PixelBuffer {
    static constexpr int kBGRA = -1;

    std::uint8_t* data = nullptr;  // BGRA pixels; for another format, the first plane
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t rowBytes = 0;
    int pixelFormat = kBGRA;
    std::array<std::uint8_t*, 4> planes{};  // used when pixelFormat is not kBGRA
    std::array<int, 4> planeRowBytes{};
};

// One frame on its way to the movie writer. The writer asks for the pixels on its compression
// thread and gives them back as soon as the encoder no longer needs them; the owner (the screen
// capture's reader pool, the camera recorder) then reuses the memory.
class VideoFrame {
public:
    VideoFrame(std::int64_t timeStamp, std::int32_t timeScale) : timeStamp_(timeStamp), timeScale_(timeScale) {}
    virtual ~VideoFrame() = default;
    VideoFrame(const VideoFrame&) = delete;
    VideoFrame& operator=(const VideoFrame&) = delete;

    std::int64_t timeStamp() const { return timeStamp_; }
    std::int32_t timeScale() const { return timeScale_; }

    // The finished pixels, or null when they could not be obtained (the frame is then dropped and
    // its memory already given back).
    virtual const PixelBuffer* pixelBuffer() = 0;
    // Gives the pixels back to their owner. Called once, after pixelBuffer().
    virtual void releasePixels() = 0;

private:
    std::int64_t timeStamp_;
    std::int32_t timeScale_;
};

}  // namespace orvanta::capture
