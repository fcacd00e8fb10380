#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace orvanta::control {

// The saved login password, kept in the desktop's secret store (the Secret Service on the session
// bus) as a generic password: service "LessonBeam-<server>", account the user name.
//
// Every operation connects to the session bus for its own duration, so a bus that comes and goes
// (or a test's private one) leaves no stale connection behind, and losing the bus never ends the
// program. A missing session bus fails at once, without starting one; any other failure (no secret
// service, a locked store, a refused prompt) is logged and reported as failure, never thrown; no
// operation takes longer than kKeychainTimeout. Safe to call from any thread.
class Keychain {
public:
    // The service name of a server's password item.
    static std::string serviceName(const std::string& server);

    // Saves the password of the account, replacing the password of an existing item for the same
    // service and account. False when it could not be saved.
    static bool storePassword(const std::string& server, const std::string& account, const std::string& password);
    // The saved password; none when there is no item or the store cannot be reached.
    static std::optional<std::string> findPassword(const std::string& server, const std::string& account);
    // Removes the item. False when there was none or the store cannot be reached.
    static bool removePassword(const std::string& server, const std::string& account);

    // The address of the session bus: $DBUS_SESSION_BUS_ADDRESS, else the per-user bus socket
    // $XDG_RUNTIME_DIR/bus when it exists; none when there is no session bus to talk to.
    static std::optional<std::string> sessionBusAddress();
};

inline constexpr std::chrono::seconds kKeychainTimeout{10};

}  // namespace orvanta::control
