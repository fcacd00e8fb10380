#pragma once

#include <memory>
#include <string>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace orvanta::test {

// A D-Bus message bus daemon of the test's own (session-bus rules, no service activation, anyone
// may own any name). address() is empty when it did not start. The destructor ends it.
class MessageBus {
public:
    MessageBus();
    ~MessageBus();
    MessageBus(const MessageBus&) = delete;
    MessageBus& operator=(const MessageBus&) = delete;

    const std::string& address() const { return address_; }
    // Stops (or resumes) the daemon: it still accepts connections but answers nothing.
    void setStopped(bool stopped);

private:
    TempDir dir_;
    std::unique_ptr<ChildProcess> daemon_;
    std::string address_;
};

}  // namespace orvanta::test
