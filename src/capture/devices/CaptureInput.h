#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "capture/MovieWriter.h"
#include "capture/VideoFrame.h"
#include "core/Error.h"

namespace orvanta::capture {

// Errors of capture devices. The first four keep the numbers the recorder's error table reacts to
// (restart on the next file or stop); the others say what went wrong with a device.
inline constexpr const char* kCaptureErrorDomain = "OrvantaCaptureErrorDomain";
enum CaptureErrorCode : int {
    kCaptureNoDataCaptured = 1200,
    kCaptureSessionConfigurationChanged = 1201,
    kCaptureMediaChanged = 1204,
    kCaptureMediaDiscontinuity = 1207,
    kCaptureDeviceInUse = 1300,         // another program holds the device
    kCaptureDeviceNotConnected = 1301,  // the device is gone (before opening or while capturing)
    kCaptureDeviceTimedOut = 1302,      // the device did not answer within the time limit
    kCaptureDeviceFailed = 1303,        // any other failure to open or read the device
};
// The recording "finished successfully" flag of an error that ended a file, in its userInfo.
inline constexpr const char* kCaptureRecordingSuccessfullyFinishedKey = "RecordingSuccessfullyFinished";

// What the recorder asks of a camera; a camera that cannot give it delivers what it can.
struct CameraFormat {
    std::uint32_t width = 640;
    std::uint32_t height = 480;
    int frameRate = 30;  // frames per second
};

// An opened camera. Frames arrive on the input's own thread, in order, with time stamps on the
// steady clock in microseconds (time scale 1,000,000), so that pictures and sound of one moment
// carry the same time.
class VideoInput {
public:
    using FrameHandler = std::function<void(std::shared_ptr<VideoFrame> frame)>;
    // Told at most once, on the input's thread, when the device stops delivering: unplugged,
    // taken away or failing. No frames follow.
    using ErrorHandler = std::function<void(const core::Error& error)>;

    virtual ~VideoInput() = default;  // stops first
    virtual void start(FrameHandler onFrame, ErrorHandler onError) = 0;
    // Returns once no handler runs any more; calling it again does nothing.
    virtual void stop() = 0;
};

// An opened microphone. Sound arrives on the input's own thread in buffers of about 10 to 50 ms,
// presentation times on the steady clock in microseconds (time scale 1,000,000).
class AudioInput {
public:
    using SampleHandler = std::function<void(const AudioSampleBuffer& samples)>;
    using ErrorHandler = std::function<void(const core::Error& error)>;

    virtual ~AudioInput() = default;  // stops first
    virtual void start(SampleHandler onSamples, ErrorHandler onError) = 0;
    virtual void stop() = 0;
};

}  // namespace orvanta::capture
