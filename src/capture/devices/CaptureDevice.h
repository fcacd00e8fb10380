#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace orvanta::capture {

enum class MediaType {
    Video,  // a camera
    Sound,  // a microphone
    Muxed,  // a device that delivers pictures and sound together
};

// One camera or microphone as the system lists it. Devices are compared by uniqueID: the same
// camera listed again after a refresh is the same device.
struct CaptureDevice {
    std::string uniqueID;              // e.g. "v4l2:/dev/video0", "pulse:alsa_input.usb-…", "test:camera"
    std::string localizedDisplayName;  // what the user sees and what the settings remember
    std::vector<MediaType> mediaTypes;
    std::string address;               // what opening it needs: a device node, a source name, a test pattern

    bool hasMediaType(MediaType type) const {
        return std::find(mediaTypes.begin(), mediaTypes.end(), type) != mediaTypes.end();
    }
};

using CaptureDevicePtr = std::shared_ptr<const CaptureDevice>;

// Whether the device can record sound: not the empty placeholder, and muxed or sound.
inline bool deviceProvidesAudio(const CaptureDevicePtr& device) {
    return device && (device->hasMediaType(MediaType::Muxed) || device->hasMediaType(MediaType::Sound));
}

inline bool sameDevice(const CaptureDevicePtr& a, const CaptureDevicePtr& b) {
    if (!a || !b) return !a && !b;
    return a->uniqueID == b->uniqueID;
}

}  // namespace orvanta::capture
