#include "capture/devices/CameraFrame.h"

#include <utility>

namespace orvanta::capture {

CameraFrame::CameraFrame(ff::FramePtr picture, std::int64_t timeStamp)
    : VideoFrame(timeStamp, 1000000), picture_(std::move(picture)) {
    if (!picture_ || !picture_->data[0] || picture_->width <= 0 || picture_->height <= 0 || picture_->format < 0)
        return;
    buffer_.width = static_cast<std::uint32_t>(picture_->width);
    buffer_.height = static_cast<std::uint32_t>(picture_->height);
    buffer_.pixelFormat = picture_->format;
    for (std::size_t i = 0; i < buffer_.planes.size(); ++i) {
        buffer_.planes[i] = picture_->data[i];
        buffer_.planeRowBytes[i] = picture_->linesize[i];
    }
    buffer_.data = picture_->data[0];
    buffer_.rowBytes = picture_->linesize[0] > 0 ? static_cast<std::uint32_t>(picture_->linesize[0]) : 0;
    hasPixels_ = true;
}

const PixelBuffer* CameraFrame::pixelBuffer() { return hasPixels_ ? &buffer_ : nullptr; }

}  // namespace orvanta::capture
