#pragma once

#include <filesystem>
#include <memory>

#include "capture/devices/DeviceDirectory.h"
#include "capture/devices/PulseDevices.h"
#include "capture/devices/V4l2Cameras.h"
#include "capture/devices/V4l2Monitor.h"
#include "core/Observable.h"

namespace orvanta::capture {

// The devices of this machine: V4L2 cameras, then the test camera; the sound server's sources,
// then the tone microphone (the test devices only while switched on, see TestDevices.h).
class SystemDeviceDirectory : public DeviceDirectory {
public:
    struct Options {
        std::filesystem::path sysfsRoot = V4l2Cameras::kSysfsRoot;
        std::filesystem::path devRoot = V4l2Cameras::kDevRoot;
        V4l2Monitor::Source cameraEvents = V4l2Monitor::Source::Automatic;
        std::chrono::milliseconds soundTimeLimit = std::chrono::seconds(2);
    };

    SystemDeviceDirectory() : SystemDeviceDirectory(Options{}) {}
    explicit SystemDeviceDirectory(Options options);
    ~SystemDeviceDirectory() override;

    std::vector<CaptureDevicePtr> inputDevices(MediaType type) override;
    CaptureDevicePtr defaultInputDevice(MediaType type) override;
    [[nodiscard]] core::Subscription observeDevices(std::function<void()> changed) override;
    std::unique_ptr<VideoInput> openVideoInput(const CaptureDevice& device, const CameraFormat& format,
                                               core::Error* error) override;
    std::unique_ptr<AudioInput> openAudioInput(const CaptureDevice& device, core::Error* error) override;

private:
    // Declared first so that it outlives the back ends that call it.
    core::Signal<> changed_;
    V4l2Cameras cameras_;
    PulseDevices sound_;
    V4l2Monitor cameraMonitor_;
};

}  // namespace orvanta::capture
