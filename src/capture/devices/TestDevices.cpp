#include "capture/devices/TestDevices.h"

#include <chrono>
#include <cstdlib>
#include <string>
#include <string_view>

#include "capture/devices/CameraInput.h"
#include "capture/devices/MicrophoneInput.h"

namespace orvanta::capture::test_devices {

namespace {

CaptureDevicePtr makeDevice(const char* uniqueID, const char* name, MediaType type, std::string address) {
    auto device = std::make_shared<CaptureDevice>();
    device->uniqueID = uniqueID;
    device->localizedDisplayName = name;
    device->mediaTypes = {type};
    device->address = std::move(address);
    return device;
}

}  // namespace

bool enabled() {
    const char* value = std::getenv(kEnvironmentVariable);
    return value && std::string_view(value) == "1";
}

CaptureDevicePtr camera() {
    return enabled() ? makeDevice(kCameraID, kCameraName, MediaType::Video, "testsrc2") : nullptr;
}

CaptureDevicePtr toneMicrophone() {
    return enabled() ? makeDevice(kToneID, kToneName, MediaType::Sound, "sine=440") : nullptr;
}

std::unique_ptr<VideoInput> openCamera(const CameraFormat& format, core::Error* error) {
    const std::string pattern = "testsrc2=size=" + std::to_string(format.width) + "x" +
                                std::to_string(format.height) + ":rate=" + std::to_string(format.frameRate);
    return openCameraInput("lavfi", pattern, format, true, std::chrono::seconds(5), error);
}

std::unique_ptr<AudioInput> openToneMicrophone() { return openToneInput(440, 48000, 2); }

}  // namespace orvanta::capture::test_devices
