#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "capture/devices/CaptureInput.h"
#include "core/Error.h"

namespace orvanta::capture {

// Records a source of the PulseAudio server (PULSE_SERVER, or the default server; PipeWire's
// PulseAudio service serves as well): 48000 Hz, 2 channels, 16-bit interleaved, in buffers of up
// to 20 ms, presentation times on the steady clock in microseconds. An empty `sourceName` records
// the server's default source. The caller waits at most `connectTimeLimit`: a server that is not
// there or does not answer gives kCaptureDeviceTimedOut, a source that does not exist
// kCaptureDeviceNotConnected. When the source goes away while recording (it is never moved to
// another one), the error handler is told kCaptureDeviceNotConnected once.
std::unique_ptr<AudioInput> openPulseInput(const std::string& sourceName, core::Error* error,
                                           std::chrono::milliseconds connectTimeLimit = std::chrono::seconds(5));

// A synthetic microphone for tests: a sine tone of `frequency` Hz at half of full scale on every
// channel, 16-bit interleaved, in 10 ms buffers delivered at the rate a real device would.
std::unique_ptr<AudioInput> openToneInput(int frequency, int sampleRate, int channels);

}  // namespace orvanta::capture
