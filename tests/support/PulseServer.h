#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace orvanta::test {

// A PulseAudio daemon of its own for a test, on a private socket, with one null sink whose monitor
// source serves as the microphone. The constructor sets PULSE_SERVER for this process (and its
// children) and returns once the daemon answers; it throws std::runtime_error when it does not
// start. The destructor stops the daemon and restores PULSE_SERVER.
class PulseServer {
public:
    static constexpr const char* kSinkName = "orvanta_mic";
    static constexpr const char* kSinkDescription = "Lecture Microphone";
    // The display name of the microphone source, as the sound server describes a sink's monitor.
    static constexpr const char* kMicrophoneName = "Monitor of Lecture Microphone";

    PulseServer();
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // "unix:<socket>", as PULSE_SERVER takes it.
    const std::string& address() const { return address_; }
    // The monitor source of the null sink: what the recorder records as the microphone.
    std::string microphoneSource() const { return std::string(kSinkName) + ".monitor"; }

    // Plays a sine tone into the null sink until stopTone(); the microphone then hears it.
    void playTone(int frequency = 440);
    void stopTone();

    // Adds a further null sink (its monitor appears as a new source); returns the module number
    // to unload it with. Both raise the sound server's device events.
    int loadNullSink(const std::string& name, const std::string& description);
    void unloadModule(int module);

    // Runs `pactl` against this daemon; returns its standard output, throws when it fails.
    std::string pactl(const std::vector<std::string>& arguments) const;

private:
    TempDir runtime_;
    std::string address_;
    std::string previousServer_;
    bool hadPreviousServer_ = false;
    std::unique_ptr<ChildProcess> daemon_;
    int toneModule_ = -1;
};

}  // namespace orvanta::test
