#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "capture/devices/CaptureInput.h"
#include "core/Error.h"

namespace orvanta::capture {

// Opens a camera through libavdevice: `inputFormatName` "video4linux2" with a device node as
// `url` (asked for the size and frame rate of `format`), or "lavfi" with a filter graph such as
// "testsrc2=size=640x480:rate=15" (which sets its own size and rate). Pictures are decoded
// (raw, MJPEG or whatever the device gives) and delivered as CameraFrame objects in the device's
// pixel format, stamped with the steady clock in microseconds when they arrive.
//
// `pacedByClock` holds each picture back until it is due (for sources that would otherwise
// produce pictures as fast as they can, such as test patterns). The caller waits at most
// `openTimeLimit`: a device that does not answer by then gives kCaptureDeviceTimedOut while the
// open goes on, and is cleaned up, on its own thread. Null with *error set on failure.
std::unique_ptr<VideoInput> openCameraInput(const std::string& inputFormatName, const std::string& url,
                                            const CameraFormat& format, bool pacedByClock,
                                            std::chrono::milliseconds openTimeLimit, core::Error* error);

}  // namespace orvanta::capture
