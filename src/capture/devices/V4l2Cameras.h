#pragma once

#include <filesystem>
#include <vector>

#include "capture/devices/CaptureDevice.h"

namespace orvanta::capture {

// The cameras the kernel's video4linux layer lists, found from sysfs without opening them (opening
// a device with a bad driver can hang; the device validator does that in a process of its own).
// Only capture nodes are listed, in the order of their node numbers. Each camera's uniqueID is
// "v4l2:" followed by its stable /dev/v4l/by-id link when there is one, else by its device node;
// the address is the device node. Cameras sharing a name are told apart as "Name", "Name (2)", ...
class V4l2Cameras {
public:
    static constexpr const char* kSysfsRoot = "/sys/class/video4linux";
    static constexpr const char* kDevRoot = "/dev";

    // Both folders can be moved for tests.
    explicit V4l2Cameras(std::filesystem::path sysfsRoot = kSysfsRoot, std::filesystem::path devRoot = kDevRoot);

    std::vector<CaptureDevicePtr> list() const;

private:
    std::filesystem::path sysfsRoot_;
    std::filesystem::path devRoot_;
};

}  // namespace orvanta::capture
