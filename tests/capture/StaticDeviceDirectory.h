#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "capture/devices/DeviceDirectory.h"

namespace orvanta::test {

// A fixed set of devices for recorder tests. Cameras open as the test pattern and microphones as the
// tone, except devices whose address is "busy" (opening fails as if another program held them) or
// "short" (a camera that stops delivering after one second, as if unplugged).
class StaticDeviceDirectory : public capture::DeviceDirectory {
public:
    static capture::CaptureDevicePtr camera(const std::string& name, const std::string& address = "pattern");
    static capture::CaptureDevicePtr microphone(const std::string& name, const std::string& address = "tone");

    void setDevices(std::vector<capture::CaptureDevicePtr> video, std::vector<capture::CaptureDevicePtr> audio);
    // Replaces the lists and tells the observers, as a plug or unplug would.
    void changeDevices(std::vector<capture::CaptureDevicePtr> video, std::vector<capture::CaptureDevicePtr> audio);

    std::vector<capture::CaptureDevicePtr> inputDevices(capture::MediaType type) override;
    capture::CaptureDevicePtr defaultInputDevice(capture::MediaType type) override;
    core::Subscription observeDevices(std::function<void()> changed) override;
    std::unique_ptr<capture::VideoInput> openVideoInput(const capture::CaptureDevice& device,
                                                        const capture::CameraFormat& format,
                                                        core::Error* error) override;
    std::unique_ptr<capture::AudioInput> openAudioInput(const capture::CaptureDevice& device,
                                                        core::Error* error) override;

private:
    std::mutex mutex_;
    std::vector<capture::CaptureDevicePtr> video_, audio_;
    core::Signal<> changed_;
};

}  // namespace orvanta::test
