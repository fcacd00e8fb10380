#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "capture/devices/CaptureDevice.h"

namespace orvanta::capture {

// The sound sources of the PulseAudio server (or PipeWire's PulseAudio service): the server named
// by PULSE_SERVER, else the default one. The connection is made on the first query and made again
// on a later query when the server was not there or went away, so a sound server started after
// this object is still found. Every query gives up after the time limit and then lists nothing.
class PulseDevices {
public:
    struct Listing {
        // The server's default source first, then the other sources that are not monitors of an
        // output, then the monitors.
        std::vector<CaptureDevicePtr> sources;
        CaptureDevicePtr defaultSource;  // null when the server names none (or is not there)
    };

    // `changed` is called on the connection's own thread when a source was added, removed or
    // changed, when the server's default changed, and when the connection to the server broke.
    explicit PulseDevices(std::function<void()> changed,
                          std::chrono::milliseconds timeLimit = std::chrono::seconds(2));
    ~PulseDevices();
    PulseDevices(const PulseDevices&) = delete;
    PulseDevices& operator=(const PulseDevices&) = delete;

    // Called from within `changed`, this returns the previous listing instead of asking the server.
    Listing list();

    // The device describing a source: uniqueID "pulse:<name>", address <name>.
    static CaptureDevicePtr deviceForSource(const std::string& name, const std::string& description);

private:
    struct Connection;
    std::unique_ptr<Connection> connection_;
};

}  // namespace orvanta::capture
