#include "capture/devices/InputErrors.h"

#include <cerrno>
#include <utility>

namespace orvanta::capture {

core::Error captureDeviceError(CaptureErrorCode code, std::string description, std::string failureReason) {
    return core::Error(kCaptureErrorDomain, code, std::move(description), std::move(failureReason));
}

CaptureErrorCode captureCodeForErrno(int errorNumber) {
    switch (errorNumber) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return kCaptureDeviceNotConnected;
    case EBUSY:
        return kCaptureDeviceInUse;
    default:
        return kCaptureDeviceFailed;
    }
}

}  // namespace orvanta::capture
