#pragma once

#include <memory>

#include "capture/devices/CaptureDevice.h"
#include "capture/devices/CaptureInput.h"
#include "core/Error.h"

namespace orvanta::capture {

// A camera showing a moving test pattern and a microphone playing a 440 Hz tone, for trying the
// recorder and for tests on machines without devices. They exist only while the environment
// variable ORVANTA_TEST_DEVICES is "1" (read at every call).
namespace test_devices {

inline constexpr const char* kEnvironmentVariable = "ORVANTA_TEST_DEVICES";
inline constexpr const char* kCameraID = "test:camera";
inline constexpr const char* kCameraName = "Test Camera";
inline constexpr const char* kToneID = "test:tone";
inline constexpr const char* kToneName = "Test Tone Microphone";

bool enabled();
// Null while the test devices are switched off.
CaptureDevicePtr camera();
CaptureDevicePtr toneMicrophone();

// The test pattern at the asked size and frame rate, paced by the clock like a real camera.
std::unique_ptr<VideoInput> openCamera(const CameraFormat& format, core::Error* error);
std::unique_ptr<AudioInput> openToneMicrophone();

}  // namespace test_devices

}  // namespace orvanta::capture
