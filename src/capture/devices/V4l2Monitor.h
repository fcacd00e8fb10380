#pragma once

#include <filesystem>
#include <functional>
#include <thread>

#include "capture/devices/FileDescriptor.h"
#include "capture/devices/UdevHandles.h"

namespace orvanta::capture {

// Tells when a camera was connected or disconnected. Listens to udev's events for the
// video4linux subsystem when a udev daemon runs; otherwise (containers, minimal systems) watches
// the device folder for video nodes coming and going. The callback runs on the monitor's own
// thread; the destructor returns once it no longer runs.
class V4l2Monitor {
public:
    enum class Source { Automatic, DeviceFolder };

    V4l2Monitor(std::function<void()> changed, Source source = Source::Automatic,
                std::filesystem::path devRoot = "/dev");
    ~V4l2Monitor();
    V4l2Monitor(const V4l2Monitor&) = delete;
    V4l2Monitor& operator=(const V4l2Monitor&) = delete;

    // Whether events come from udev (else from the device folder, or from nowhere when neither
    // could be watched).
    bool usesUdev() const { return static_cast<bool>(monitor_); }
    bool watching() const { return static_cast<bool>(monitor_) || static_cast<bool>(inotify_); }

private:
    bool startUdev();
    bool startDeviceFolder(const std::filesystem::path& devRoot);
    void run();
    void readUdevEvents();
    void readFolderEvents();

    std::function<void()> changed_;
    udev::ContextPtr context_;
    udev::MonitorPtr monitor_;
    FileDescriptor inotify_;
    FileDescriptor stop_;
    std::thread thread_;
};

}  // namespace orvanta::capture
