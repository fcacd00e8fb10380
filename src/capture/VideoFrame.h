#pragma once

#include <cstdint>

namespace orvanta::capture {

// A picture in memory: 32-bit BGRA pixels (blue, green, red, alpha bytes), rows top to bottom.
struct PixelBuffer {
    std::uint8_t* data = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t rowBytes = 0;
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
