#include "capture/devices/V4l2Monitor.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/Log.h"

namespace orvanta::capture {

namespace {

// Where a running udev daemon keeps its control socket.
constexpr const char* kUdevControl = "/run/udev/control";

}  // namespace

V4l2Monitor::V4l2Monitor(std::function<void()> changed, Source source, std::filesystem::path devRoot)
    : changed_(std::move(changed)), stop_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!stop_) {
        core::logf("Camera monitor: no event fd (%s); camera changes are not noticed", std::strerror(errno));
        return;
    }
    const bool started = (source == Source::Automatic && ::access(kUdevControl, F_OK) == 0 && startUdev()) ||
                         startDeviceFolder(devRoot);
    if (!started) {
        core::logf("Camera monitor: neither udev nor %s can be watched; camera changes are not noticed",
                   devRoot.c_str());
        return;
    }
    thread_ = std::thread([this] { run(); });
}

V4l2Monitor::~V4l2Monitor() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        if (::write(stop_.get(), &one, sizeof one) < 0) core::logf("Camera monitor: stop signal failed");
        thread_.join();
    }
}

bool V4l2Monitor::startUdev() {
    context_.reset(udev_new());
    if (!context_) return false;
    udev::MonitorPtr monitor(udev_monitor_new_from_netlink(context_.get(), "udev"));
    if (!monitor || udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "video4linux", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor.get()) < 0)
        return false;
    monitor_ = std::move(monitor);
    return true;
}

bool V4l2Monitor::startDeviceFolder(const std::filesystem::path& devRoot) {
    FileDescriptor fd(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (!fd) return false;
    if (::inotify_add_watch(fd.get(), devRoot.c_str(), IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO) < 0)
        return false;
    inotify_ = std::move(fd);
    return true;
}

void V4l2Monitor::run() {
    const int source = monitor_ ? udev_monitor_get_fd(monitor_.get()) : inotify_.get();
    pollfd fds[2] = {{stop_.get(), POLLIN, 0}, {source, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            core::logf("Camera monitor: poll failed (%s)", std::strerror(errno));
            return;
        }
        if (fds[0].revents) return;
        if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            core::logf("Camera monitor: event source closed");
            return;
        }
        if (fds[1].revents & POLLIN) {
            if (monitor_)
                readUdevEvents();
            else
                readFolderEvents();
        }
    }
}

void V4l2Monitor::readUdevEvents() {
    bool changed = false;
    while (udev::DevicePtr device{udev_monitor_receive_device(monitor_.get())}) {
        const char* action = udev_device_get_action(device.get());
        if (action && (std::string_view(action) == "add" || std::string_view(action) == "remove")) changed = true;
    }
    if (changed) changed_();
}

void V4l2Monitor::readFolderEvents() {
    alignas(inotify_event) char buffer[4096];
    bool changed = false;
    for (;;) {
        const ssize_t length = ::read(inotify_.get(), buffer, sizeof buffer);
        if (length <= 0) break;
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            if (event->len > 0 && std::string_view(event->name).starts_with("video")) changed = true;
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    if (changed) changed_();
}

}  // namespace orvanta::capture
