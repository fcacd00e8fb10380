#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "capture/FfmpegHandles.h"
#include "capture/devices/CaptureInput.h"
#include "core/Error.h"

namespace orvanta::capture {

// A camera opened through libavformat/libavdevice, with the decoder for its pictures.
struct OpenedCamera {
    // Set to make a blocking read or open of the input give up; outlives the input that polls it.
    std::shared_ptr<std::atomic<bool>> interrupt = std::make_shared<std::atomic<bool>>(false);
    ff::InputContextPtr input;
    ff::CodecContextPtr decoder;
    int stream = -1;
    // The device's packets may point into the driver's buffers, which go away with the input: such
    // packets are copied before decoding, so that the pictures outlive the input.
    bool copyPackets = false;
    std::string url;
};

// Opens the input `url` of the input format `inputFormatName` ("video4linux2", "lavfi", …) and
// its decoder; blocks as long as the device does. A video4linux2 camera is asked for the size
// and frame rate of `format` (and opened with its own when it refuses them). Null with *error set
// (kCaptureErrorDomain) when it fails; setting *interrupt makes it give up where it can.
std::unique_ptr<OpenedCamera> openCameraBlocking(const std::string& inputFormatName, const std::string& url,
                                                 const CameraFormat& format,
                                                 std::shared_ptr<std::atomic<bool>> interrupt, core::Error* error);

// The system error number an FFmpeg result stands for, or 0.
int errnoOfAverror(int code);

}  // namespace orvanta::capture
