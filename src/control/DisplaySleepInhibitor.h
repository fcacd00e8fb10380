#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

namespace orvanta::control {

// How the display is being kept awake.
enum class SleepPreventionResult : int {
    None = 0,     // nothing requested, or released again
    ScreenSaver,  // org.freedesktop.ScreenSaver.Inhibit on the session bus
    Logind,       // an "idle" block inhibitor from logind on the system bus
    Failed,       // requested, but neither was available
};

// Keeps the display from going to sleep while a lecture is recorded.
//
// The desktop's screen saver service (org.freedesktop.ScreenSaver on the session bus, at either of
// its two object paths) is asked first; its inhibition lasts as long as the cookie is not handed
// back and the connection that asked stays open, so the connection is kept until release. Without
// one, logind is asked for an "idle" block inhibitor on the system bus, which lasts as long as the
// file descriptor it returns stays open.
//
// Every bus step (connecting, each call) gives up after kSleepInhibitorCallTimeout; a missing bus or
// service is only logged. Use from one thread at a time. The destructor releases what is held.
class DisplaySleepInhibitor {
public:
    DisplaySleepInhibitor();
    ~DisplaySleepInhibitor();
    DisplaySleepInhibitor(const DisplaySleepInhibitor&) = delete;
    DisplaySleepInhibitor& operator=(const DisplaySleepInhibitor&) = delete;

    // Asks for the display to stay awake; logs "Succeeded preventing sleep" or "Failed to prevent
    // sleep". An inhibition still held from an earlier call is released first, so none is leaked.
    void startPreventingSleep();
    // When the last start succeeded, releases the inhibition and logs "Allowing the system to sleep
    // again" or "Failed to allow the system to sleep again". Both fields are then reset to 0.
    void stopPreventingSleep();

    // The screen saver's cookie, or the logind descriptor's number; 0 when nothing is held.
    std::uint32_t sleepPreventionAssertion() const { return sleepPreventionAssertion_; }
    SleepPreventionResult sleepPreventionSuccess() const { return sleepPreventionSuccess_; }
    bool isPreventingSleep() const {
        return sleepPreventionSuccess_ == SleepPreventionResult::ScreenSaver ||
               sleepPreventionSuccess_ == SleepPreventionResult::Logind;
    }

    static constexpr const char* kApplicationName = "Orvanta Recorder";
    static constexpr const char* kReason = "Orvanta Recording in Progress";

private:
    struct Held;  // the bus connection or descriptor that keeps the inhibition alive

    std::uint32_t sleepPreventionAssertion_ = 0;
    SleepPreventionResult sleepPreventionSuccess_ = SleepPreventionResult::None;
    std::unique_ptr<Held> held_;
};

inline constexpr std::chrono::milliseconds kSleepInhibitorCallTimeout{2000};

}  // namespace orvanta::control
