#pragma once

#include <sys/types.h>

#include <string>

namespace orvanta::test {

// An X server of its own for a test, on a display number the server picks itself among the free
// ones. The constructor returns once the server accepts connections and throws std::runtime_error
// when it does not start; the destructor stops it and waits. The server also ends when the test
// process dies.
class XServer {
public:
    enum class Kind {
        Xvfb,  // virtual frame buffer; fixed screen size
        Xvnc,  // VNC server without a port; its screen size can be changed with xrandr
    };

    // One screen of width × height pixels at the given depth (24 gives 32 bits per pixel).
    XServer(int width, int height, int depth, Kind kind = Kind::Xvfb);
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    // The display name, ":N".
    std::string display() const { return ":" + std::to_string(number_); }
    int number() const { return number_; }
    pid_t pid() const { return pid_; }

    // Ends the server (SIGTERM, SIGKILL after 5 s) and waits for it. Later calls do nothing.
    void stop();

private:
    pid_t pid_ = -1;
    int number_ = -1;
};

}  // namespace orvanta::test
