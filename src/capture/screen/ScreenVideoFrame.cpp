#include "capture/screen/ScreenVideoFrame.h"

#include "capture/screen/FrameReader.h"

namespace orvanta::capture {

ScreenVideoFrame::ScreenVideoFrame(std::shared_ptr<FrameReader> frameData, std::int64_t timeStamp,
                                   std::int32_t timeScale, ScreenFrameDelegate* delegate)
    : VideoFrame(timeStamp, timeScale), frameData_(std::move(frameData)), delegate_(delegate) {}

ScreenVideoFrame::~ScreenVideoFrame() { releasePixels(); }

const PixelBuffer* ScreenVideoFrame::pixelBuffer() {
    if (returned_.load()) return nullptr;
    const PixelBuffer* pixels = delegate_->getPixelBuffer(frameData_);
    // Without pixels the delegate has taken the reader back already.
    if (!pixels) returned_.store(true);
    return pixels;
}

void ScreenVideoFrame::releasePixels() {
    if (returned_.exchange(true)) return;
    delegate_->releasePixels(frameData_);
}

}  // namespace orvanta::capture
