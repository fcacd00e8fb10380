#pragma once

#include <cstdint>

#include "capture/FfmpegHandles.h"
#include "capture/VideoFrame.h"

namespace orvanta::capture {

// A decoded camera picture on its way to the movie writer and the preview. The frame holds its own
// reference to the picture, so it stays valid however long it is kept: giving the pixels back
// (releasePixels) does nothing, and observers may keep the frame after the writer is done with it.
class CameraFrame final : public VideoFrame {
public:
    // Takes over `picture`; time stamp in microseconds.
    CameraFrame(ff::FramePtr picture, std::int64_t timeStamp);

    // The picture's planes in its own pixel format; null when it holds no pixels.
    const PixelBuffer* pixelBuffer() override;
    void releasePixels() override {}

    const AVFrame* picture() const { return picture_.get(); }

private:
    ff::FramePtr picture_;
    PixelBuffer buffer_;
    bool hasPixels_ = false;
};

}  // namespace orvanta::capture
