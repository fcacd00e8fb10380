#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "capture/VideoFrame.h"

namespace orvanta::capture {

class FrameReader;

// Supplies a reader's finished pixels and takes the reader back.
class ScreenFrameDelegate {
public:
    virtual ~ScreenFrameDelegate() = default;
    // The reader's finished picture, or null when the read failed (the reader is then back in its
    // pool already).
    virtual const PixelBuffer* getPixelBuffer(const std::shared_ptr<FrameReader>& reader) = 0;
    // The reader's buffer may be overwritten again.
    virtual void releasePixels(const std::shared_ptr<FrameReader>& reader) = 0;
};

// One screen grab on its way to the movie writer. The reader goes back to the delegate exactly
// once: when the encoder lets go of the pixels, when they could not be read, or at the latest
// when the frame is destroyed. Frames must not outlive their delegate.
class ScreenVideoFrame final : public VideoFrame {
public:
    ScreenVideoFrame(std::shared_ptr<FrameReader> frameData, std::int64_t timeStamp, std::int32_t timeScale,
                     ScreenFrameDelegate* delegate);
    ~ScreenVideoFrame() override;

    const PixelBuffer* pixelBuffer() override;
    void releasePixels() override;

    const std::shared_ptr<FrameReader>& frameData() const { return frameData_; }

private:
    std::shared_ptr<FrameReader> frameData_;
    ScreenFrameDelegate* delegate_;
    std::atomic<bool> returned_{false};
};

// Time stamp in units of timeScale for a grab that began `seconds` after the capture started
// (truncated).
inline std::int64_t frameTimeStamp(double seconds, std::int32_t timeScale) {
    return static_cast<std::int64_t>(seconds * static_cast<double>(timeScale));
}

}  // namespace orvanta::capture
