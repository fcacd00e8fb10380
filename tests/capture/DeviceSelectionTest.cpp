#include <gtest/gtest.h>

#include "capture/camera/DeviceSelection.h"

namespace orvanta::capture {
namespace {

CaptureDevicePtr device(const std::string& name, MediaType type) {
    return std::make_shared<const CaptureDevice>(CaptureDevice{"id:" + name, name, {type}, name});
}

std::string nameOf(const CaptureDevicePtr& d) { return d ? d->localizedDisplayName : "-"; }

const CaptureDevicePtr kFront = device("Front Camera", MediaType::Video);
const CaptureDevicePtr kDesk = device("Desk Camera", MediaType::Video);
const CaptureDevicePtr kUsbMic = device("USB Microphone", MediaType::Sound);
const CaptureDevicePtr kBuiltIn = device("Built-in Microphone", MediaType::Sound);
const CaptureDevicePtr kHeadset = device("Headset", MediaType::Sound);

TEST(DeviceSelectionTest, DefaultsFollowTheRememberedNames) {
    struct Case {
        const char* what;
        std::vector<CaptureDevicePtr> video, audio;
        std::optional<std::string> lastVideo, lastAudio;
        std::string expectedVideo, expectedAudio;
    };
    const std::vector<Case> cases{
        {"remembered camera and microphone", {kFront, kDesk}, {kUsbMic, kHeadset}, "Front Camera", "Headset",
         "Front Camera", "Headset"},
        {"None keeps the camera off", {kFront, kDesk}, {kUsbMic}, "None", "USB Microphone", "-", "USB Microphone"},
        {"unknown camera name takes the last camera", {kFront, kDesk}, {kUsbMic}, "Gone Camera", {}, "Desk Camera",
         "USB Microphone"},
        {"nothing remembered takes the last camera", {kFront, kDesk}, {kUsbMic}, {}, {}, "Desk Camera",
         "USB Microphone"},
        {"no cameras at all", {}, {kUsbMic}, "Front Camera", {}, "-", "USB Microphone"},
        {"unknown microphone takes the built-in one", {kFront}, {kUsbMic, kBuiltIn}, {}, "Gone Microphone",
         "Front Camera", "Built-in Microphone"},
        {"without a built-in microphone the first one", {kFront}, {kHeadset, kUsbMic}, {}, {}, "Front Camera",
         "Headset"},
        {"no microphones at all", {kFront}, {}, {}, "Headset", "Front Camera", "-"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const DeviceSelection s = defaultSelection({c.video, c.audio}, {}, c.lastVideo, c.lastAudio);
        EXPECT_EQ(nameOf(s.video), c.expectedVideo);
        EXPECT_EQ(nameOf(s.audio), c.expectedAudio);
    }
}

TEST(DeviceSelectionTest, ARefreshDropsDevicesThatAreGone) {
    struct Case {
        const char* what;
        DeviceLists lists;
        DeviceSelection before;
        std::string expectedVideo, expectedAudio;
    };
    // The same devices listed again are new objects with the same identity.
    const auto frontAgain = device("Front Camera", MediaType::Video);
    const std::vector<Case> cases{
        {"both still there", {{frontAgain}, {kUsbMic}}, {kFront, kUsbMic}, "Front Camera", "USB Microphone"},
        {"camera unplugged", {{kDesk}, {kUsbMic}}, {kFront, kUsbMic}, "-", "USB Microphone"},
        {"microphone unplugged: the built-in one", {{kFront}, {kHeadset, kBuiltIn}}, {kFront, kUsbMic}, "Front Camera",
         "Built-in Microphone"},
        {"microphone unplugged: the first one", {{kFront}, {kHeadset}}, {kFront, kUsbMic}, "Front Camera", "Headset"},
        {"everything gone", {{}, {}}, {kFront, kUsbMic}, "-", "-"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const DeviceSelection s = selectionAfterRefresh(c.lists, c.before);
        EXPECT_EQ(nameOf(s.video), c.expectedVideo);
        EXPECT_EQ(nameOf(s.audio), c.expectedAudio);
    }
}

}  // namespace
}  // namespace orvanta::capture
