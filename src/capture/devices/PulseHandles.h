#pragma once

#include <pulse/pulseaudio.h>

#include <memory>

namespace orvanta::capture::pulse {

// Owning handles for the libpulse objects of the device list.

struct MainloopDeleter {
    void operator()(pa_threaded_mainloop* m) const { pa_threaded_mainloop_free(m); }
};
using MainloopPtr = std::unique_ptr<pa_threaded_mainloop, MainloopDeleter>;

// Dropping a context also detaches its callbacks and closes the connection, so that nothing calls
// back into its owner afterwards. Must run with the main loop locked (or stopped).
struct ContextDeleter {
    void operator()(pa_context* c) const {
        pa_context_set_state_callback(c, nullptr, nullptr);
        pa_context_set_subscribe_callback(c, nullptr, nullptr);
        pa_context_disconnect(c);
        pa_context_unref(c);
    }
};
using ContextPtr = std::unique_ptr<pa_context, ContextDeleter>;

struct OperationDeleter {
    void operator()(pa_operation* o) const { pa_operation_unref(o); }
};
using OperationPtr = std::unique_ptr<pa_operation, OperationDeleter>;

// Holds the lock of a threaded main loop for a scope.
class MainloopLock {
public:
    explicit MainloopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
    ~MainloopLock() { pa_threaded_mainloop_unlock(loop_); }
    MainloopLock(const MainloopLock&) = delete;
    MainloopLock& operator=(const MainloopLock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

}  // namespace orvanta::capture::pulse
