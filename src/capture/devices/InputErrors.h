#pragma once

#include <string>

#include "capture/devices/CaptureInput.h"
#include "core/Error.h"

namespace orvanta::capture {

// An error of a camera or microphone, in kCaptureErrorDomain: `description` says what failed for
// the user, `failureReason` names the device and what the system said.
core::Error captureDeviceError(CaptureErrorCode code, std::string description, std::string failureReason);

// The error code for a system error number met while opening or reading a device: a node or
// source that is not there is "not connected", a busy one "in use", anything else "failed".
CaptureErrorCode captureCodeForErrno(int errorNumber);

}  // namespace orvanta::capture
