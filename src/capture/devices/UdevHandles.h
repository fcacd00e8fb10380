#pragma once

#include <libudev.h>

#include <memory>

namespace orvanta::capture::udev {

// Owning handles for the libudev objects; each drops its reference at destruction.

struct ContextDeleter {
    void operator()(struct ::udev* u) const { udev_unref(u); }
};
using ContextPtr = std::unique_ptr<struct ::udev, ContextDeleter>;

struct DeviceDeleter {
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
using DevicePtr = std::unique_ptr<udev_device, DeviceDeleter>;

struct MonitorDeleter {
    void operator()(udev_monitor* m) const { udev_monitor_unref(m); }
};
using MonitorPtr = std::unique_ptr<udev_monitor, MonitorDeleter>;

}  // namespace orvanta::capture::udev
