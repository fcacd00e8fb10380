#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "capture/devices/CaptureDevice.h"
#include "capture/devices/CaptureInput.h"
#include "core/Error.h"
#include "core/Observable.h"

namespace orvanta::capture {

// The cameras and microphones of this machine, and the way to open them.
class DeviceDirectory {
public:
    virtual ~DeviceDirectory() = default;

    // The devices of one media type, in the system's order; an empty list when there are none.
    virtual std::vector<CaptureDevicePtr> inputDevices(MediaType type) = 0;
    // The system's default device of a media type, or null.
    virtual CaptureDevicePtr defaultInputDevice(MediaType type) = 0;
    // Called, on any thread, whenever a device of any kind was connected or disconnected.
    [[nodiscard]] virtual core::Subscription observeDevices(std::function<void()> changed) = 0;

    // Opening never blocks for long: a device that does not answer within a few seconds fails
    // with an error, as does one that is gone or held by another program. Null then, and *error set.
    virtual std::unique_ptr<VideoInput> openVideoInput(const CaptureDevice& device, const CameraFormat& format,
                                                       core::Error* error) = 0;
    virtual std::unique_ptr<AudioInput> openAudioInput(const CaptureDevice& device, core::Error* error) = 0;
};

// Cameras through V4L2 (connect and disconnect events from udev), microphones through the
// PulseAudio server (PipeWire's PulseAudio service serves as well), and, when the environment
// variable ORVANTA_TEST_DEVICES is set to 1, the test-pattern camera and the tone microphone
// (listed after the others). One directory per process; created on first use.
std::shared_ptr<DeviceDirectory> systemDeviceDirectory();

}  // namespace orvanta::capture
