#include "capture/StaticDeviceDirectory.h"

#include "capture/devices/CameraInput.h"
#include "capture/devices/MicrophoneInput.h"

namespace orvanta::test {

using namespace capture;

CaptureDevicePtr StaticDeviceDirectory::camera(const std::string& name, const std::string& address) {
    return std::make_shared<const CaptureDevice>(CaptureDevice{"static:" + name, name, {MediaType::Video}, address});
}

CaptureDevicePtr StaticDeviceDirectory::microphone(const std::string& name, const std::string& address) {
    return std::make_shared<const CaptureDevice>(CaptureDevice{"static:" + name, name, {MediaType::Sound}, address});
}

void StaticDeviceDirectory::setDevices(std::vector<CaptureDevicePtr> video, std::vector<CaptureDevicePtr> audio) {
    std::lock_guard lock(mutex_);
    video_ = std::move(video);
    audio_ = std::move(audio);
}

void StaticDeviceDirectory::changeDevices(std::vector<CaptureDevicePtr> video, std::vector<CaptureDevicePtr> audio) {
    setDevices(std::move(video), std::move(audio));
    changed_.emit();
}

std::vector<CaptureDevicePtr> StaticDeviceDirectory::inputDevices(MediaType type) {
    std::lock_guard lock(mutex_);
    if (type == MediaType::Video) return video_;
    if (type == MediaType::Sound) return audio_;
    return {};
}

CaptureDevicePtr StaticDeviceDirectory::defaultInputDevice(MediaType type) {
    auto list = inputDevices(type);
    return list.empty() ? nullptr : list.front();
}

core::Subscription StaticDeviceDirectory::observeDevices(std::function<void()> changed) {
    return changed_.connect(std::move(changed));
}

std::unique_ptr<VideoInput> StaticDeviceDirectory::openVideoInput(const CaptureDevice& device,
                                                                  const CameraFormat& format, core::Error* error) {
    if (device.address == "busy") {
        *error = core::Error(kCaptureErrorDomain, kCaptureDeviceInUse, "The camera is in use by another program.",
                             device.localizedDisplayName + " is busy.");
        return nullptr;
    }
    std::string pattern = "testsrc2=size=" + std::to_string(format.width) + "x" + std::to_string(format.height) +
                          ":rate=" + std::to_string(format.frameRate);
    if (device.address == "short") pattern += ":duration=1";
    return openCameraInput("lavfi", pattern, format, true, std::chrono::seconds(5), error);
}

std::unique_ptr<AudioInput> StaticDeviceDirectory::openAudioInput(const CaptureDevice& device, core::Error* error) {
    if (device.address == "busy") {
        *error = core::Error(kCaptureErrorDomain, kCaptureDeviceInUse, "The microphone is in use.",
                             device.localizedDisplayName + " is busy.");
        return nullptr;
    }
    return openToneInput(440, 48000, 2);
}

}  // namespace orvanta::test
