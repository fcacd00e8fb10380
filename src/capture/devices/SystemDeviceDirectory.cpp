#include "capture/devices/SystemDeviceDirectory.h"

#include <algorithm>
#include <chrono>
#include <string_view>

#include "capture/devices/CameraInput.h"
#include "capture/devices/InputErrors.h"
#include "capture/devices/MicrophoneInput.h"
#include "capture/devices/TestDevices.h"
#include "core/Log.h"

namespace orvanta::capture {

namespace {

constexpr auto kCameraOpenTimeLimit = std::chrono::seconds(5);

bool listed(const std::vector<CaptureDevicePtr>& devices, const CaptureDevice& device) {
    return std::any_of(devices.begin(), devices.end(),
                       [&](const CaptureDevicePtr& d) { return d->uniqueID == device.uniqueID; });
}

bool hasPrefix(const std::string& text, std::string_view prefix) { return text.starts_with(prefix); }

void fail(core::Error* error, CaptureErrorCode code, const CaptureDevice& device, const std::string& reason) {
    if (error)
        *error = captureDeviceError(code, "The device “" + device.localizedDisplayName + "” is not available.",
                                    reason);
}

void notConnected(core::Error* error, const CaptureDevice& device) {
    core::logf("Device %s (%s) is not connected", device.localizedDisplayName.c_str(), device.uniqueID.c_str());
    fail(error, kCaptureDeviceNotConnected, device, device.uniqueID + " is no longer connected.");
}

}  // namespace

SystemDeviceDirectory::SystemDeviceDirectory(Options options)
    : cameras_(options.sysfsRoot, options.devRoot),
      sound_([this] { changed_.emit(); }, options.soundTimeLimit),
      cameraMonitor_([this] { changed_.emit(); }, options.cameraEvents, options.devRoot) {}

SystemDeviceDirectory::~SystemDeviceDirectory() = default;

std::vector<CaptureDevicePtr> SystemDeviceDirectory::inputDevices(MediaType type) {
    std::vector<CaptureDevicePtr> devices;
    CaptureDevicePtr testDevice;
    switch (type) {
        case MediaType::Video:
            devices = cameras_.list();
            testDevice = test_devices::camera();
            break;
        case MediaType::Sound:
            devices = sound_.list().sources;
            testDevice = test_devices::toneMicrophone();
            break;
        case MediaType::Muxed:
            break;
    }
    if (testDevice) devices.push_back(std::move(testDevice));
    return devices;
}

CaptureDevicePtr SystemDeviceDirectory::defaultInputDevice(MediaType type) {
    switch (type) {
        case MediaType::Video: {
            auto cameras = cameras_.list();
            return cameras.empty() ? test_devices::camera() : cameras.front();
        }
        case MediaType::Sound: {
            auto listing = sound_.list();
            if (listing.defaultSource) return listing.defaultSource;
            return test_devices::toneMicrophone();
        }
        case MediaType::Muxed:
            break;
    }
    return nullptr;
}

core::Subscription SystemDeviceDirectory::observeDevices(std::function<void()> changed) {
    return changed_.connect(std::move(changed));
}

std::unique_ptr<VideoInput> SystemDeviceDirectory::openVideoInput(const CaptureDevice& device,
                                                                  const CameraFormat& format, core::Error* error) {
    if (device.uniqueID == test_devices::kCameraID && test_devices::enabled())
        return test_devices::openCamera(format, error);
    if (hasPrefix(device.uniqueID, "v4l2:")) {
        const auto cameras = cameras_.list();
        const auto it = std::find_if(cameras.begin(), cameras.end(),
                                     [&](const CaptureDevicePtr& d) { return d->uniqueID == device.uniqueID; });
        // The node of a camera can change when it is plugged in again; open the one listed now.
        if (it != cameras.end())
            return openCameraInput("video4linux2", (*it)->address, format, false, kCameraOpenTimeLimit, error);
    }
    notConnected(error, device);
    return nullptr;
}

std::unique_ptr<AudioInput> SystemDeviceDirectory::openAudioInput(const CaptureDevice& device, core::Error* error) {
    if (device.uniqueID == test_devices::kToneID && test_devices::enabled()) return test_devices::openToneMicrophone();
    if (hasPrefix(device.uniqueID, "pulse:") && listed(sound_.list().sources, device))
        return openPulseInput(device.address, error);
    notConnected(error, device);
    return nullptr;
}

std::shared_ptr<DeviceDirectory> systemDeviceDirectory() {
    // One directory per process: it holds the connection to the sound server and the camera
    // monitor's thread.
    static const std::shared_ptr<DeviceDirectory> directory = std::make_shared<SystemDeviceDirectory>();
    return directory;
}

}  // namespace orvanta::capture
