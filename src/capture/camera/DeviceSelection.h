#pragma once

#include <optional>
#include <string>
#include <vector>

#include "capture/devices/CaptureDevice.h"
#include "capture/devices/DeviceDirectory.h"

namespace orvanta::capture {

// The remembered camera "None": record without a camera.
inline constexpr const char* kNoVideoDeviceName = "None";
// The microphone preferred as the default when present.
inline constexpr const char* kBuiltInMicrophoneName = "Built-in Microphone";

struct DeviceLists {
    std::vector<CaptureDevicePtr> video;
    std::vector<CaptureDevicePtr> audio;
};

struct DeviceSelection {
    CaptureDevicePtr video;
    CaptureDevicePtr audio;
};

// The first microphone named "Built-in Microphone", else the first of the list (null when empty).
CaptureDevicePtr defaultAudioDevice(const std::vector<CaptureDevicePtr>& audio);

// The device lists after a refresh: with defaultDevicesOnly the system's default camera and
// microphone alone, otherwise all cameras (video, then muxed devices) and all microphones. A
// selected camera that records sound is put first among the microphones.
DeviceLists listDevices(DeviceDirectory& directory, bool defaultDevicesOnly, const CaptureDevicePtr& selectedVideo);

// The selection after the lists changed: a camera no longer listed is deselected; a microphone no
// longer listed is replaced by the default microphone.
DeviceSelection selectionAfterRefresh(const DeviceLists& lists, DeviceSelection selection);

// The selection at start-up from the remembered names: the remembered camera, else the last
// camera of the list ("None": no camera); the remembered microphone, else the default one.
DeviceSelection defaultSelection(const DeviceLists& lists, DeviceSelection selection,
                                 const std::optional<std::string>& lastVideoDevice,
                                 const std::optional<std::string>& lastAudioDevice);

bool containsDevice(const std::vector<CaptureDevicePtr>& list, const CaptureDevicePtr& device);

}  // namespace orvanta::capture
