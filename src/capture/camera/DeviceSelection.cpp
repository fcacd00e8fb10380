#include "capture/camera/DeviceSelection.h"

#include <algorithm>

namespace orvanta::capture {

namespace {
CaptureDevicePtr firstNamed(const std::vector<CaptureDevicePtr>& list, const std::string& name) {
    for (const auto& device : list)
        if (device && device->localizedDisplayName == name) return device;
    return nullptr;
}
}  // namespace

bool containsDevice(const std::vector<CaptureDevicePtr>& list, const CaptureDevicePtr& device) {
    return std::any_of(list.begin(), list.end(), [&](const CaptureDevicePtr& d) { return sameDevice(d, device); });
}

CaptureDevicePtr defaultAudioDevice(const std::vector<CaptureDevicePtr>& audio) {
    if (auto builtIn = firstNamed(audio, kBuiltInMicrophoneName)) return builtIn;
    return audio.empty() ? nullptr : audio.front();
}

DeviceLists listDevices(DeviceDirectory& directory, bool defaultDevicesOnly, const CaptureDevicePtr& selectedVideo) {
    DeviceLists lists;
    if (defaultDevicesOnly) {
        if (auto video = directory.defaultInputDevice(MediaType::Video)) lists.video.push_back(video);
        if (auto audio = directory.defaultInputDevice(MediaType::Sound)) lists.audio.push_back(audio);
    } else {
        lists.video = directory.inputDevices(MediaType::Video);
        for (auto& muxed : directory.inputDevices(MediaType::Muxed))
            if (!containsDevice(lists.video, muxed)) lists.video.push_back(muxed);
        lists.audio = directory.inputDevices(MediaType::Sound);
    }
    if (deviceProvidesAudio(selectedVideo) && !containsDevice(lists.audio, selectedVideo))
        lists.audio.insert(lists.audio.begin(), selectedVideo);
    return lists;
}

DeviceSelection selectionAfterRefresh(const DeviceLists& lists, DeviceSelection selection) {
    if (!containsDevice(lists.video, selection.video)) selection.video = nullptr;
    if (!containsDevice(lists.audio, selection.audio)) selection.audio = defaultAudioDevice(lists.audio);
    return selection;
}

DeviceSelection defaultSelection(const DeviceLists& lists, DeviceSelection selection,
                                 const std::optional<std::string>& lastVideoDevice,
                                 const std::optional<std::string>& lastAudioDevice) {
    if (!lists.video.empty()) {
        if (lastVideoDevice && *lastVideoDevice == kNoVideoDeviceName) {
            selection.video = nullptr;
        } else {
            if (lastVideoDevice)
                if (auto named = firstNamed(lists.video, *lastVideoDevice)) selection.video = named;
            if (!selection.video) selection.video = lists.video.back();
        }
    }
    if (!lists.audio.empty()) {
        if (lastAudioDevice)
            if (auto named = firstNamed(lists.audio, *lastAudioDevice)) selection.audio = named;
        if (!selection.audio) selection.audio = defaultAudioDevice(lists.audio);
    }
    return selection;
}

}  // namespace orvanta::capture
