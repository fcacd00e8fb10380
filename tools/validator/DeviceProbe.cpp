#include "validator/DeviceProbe.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

#include "capture/devices/FileDescriptor.h"

namespace orvanta::validator {

namespace {

int ioctlRetrying(int fd, unsigned long request, void* argument) {
    int result;
    do {
        result = ::ioctl(fd, request, argument);
    } while (result < 0 && errno == EINTR);
    return result;
}

}  // namespace

std::string probeCamera(const std::string& node) {
    capture::FileDescriptor fd(::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return std::string("cannot be opened: ") + std::strerror(errno);

    v4l2_capability capability{};
    if (ioctlRetrying(fd.get(), VIDIOC_QUERYCAP, &capability) < 0)
        return std::string("does not report its capabilities: ") + std::strerror(errno);
    const auto caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) ? capability.device_caps
                                                                        : capability.capabilities;

    v4l2_format format{};
    format.type = (caps & V4L2_CAP_VIDEO_CAPTURE_MPLANE) && !(caps & V4L2_CAP_VIDEO_CAPTURE)
                      ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE
                      : V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (ioctlRetrying(fd.get(), VIDIOC_G_FMT, &format) < 0)
        return std::string("does not report its format: ") + std::strerror(errno);
    return {};
}

}  // namespace orvanta::validator
