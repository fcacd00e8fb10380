#pragma once

#include <memory>
#include <optional>
#include <string>

#include <xcb/xcb.h>

#include "capture/screen/XcbHandles.h"

namespace orvanta::capture {

// Bounds of a display in pixels.
struct DisplayRect {
    float x = 0, y = 0, width = 0, height = 0;
    bool operator==(const DisplayRect&) const = default;
};

// The screen grabs' connection to the X display: the root window of the default screen stands
// for the main display. The connection is shared by the readers of a capture; the library
// serialises requests from several threads itself, so no further lock is needed around it.
class DisplayContext {
public:
    struct Options {
        // Off: grabs are copied through the connection even where shared memory works.
        bool allowSharedMemory = true;
    };

    // Connects to the display (empty name: $DISPLAY). Null, with *error describing why, when
    // there is no usable connection.
    static std::shared_ptr<DisplayContext> open(const std::string& displayName, std::string* error);
    static std::shared_ptr<DisplayContext> open(const std::string& displayName, const Options& options,
                                                std::string* error);

    ~DisplayContext();
    DisplayContext(const DisplayContext&) = delete;
    DisplayContext& operator=(const DisplayContext&) = delete;

    xcb_connection_t* connection() const { return connection_.get(); }
    xcb_window_t root() const { return root_; }
    const std::string& displayName() const { return displayName_; }

    // Bits per pixel of the root window's pixels in images (32 for depth 24 and 32).
    int bitsPerPixel() const { return bitsPerPixel_; }
    // Whether image pixels come least significant byte first (B, G, R, X in memory).
    bool imageLsbFirst() const { return imageLsbFirst_; }
    // Whether grabs can go through shared memory (MIT-SHM).
    bool hasSharedMemory() const { return hasSharedMemory_; }
    // Whether the cursor image can be asked for (XFixes).
    bool hasCursorImages() const { return hasCursorImages_; }
    // Refresh rate of the screen in Hz as the server reports it; 0 when unknown.
    double refreshRate() const { return refreshRate_; }

    // The main display's bounds now (the root window's geometry); nothing when the server does not
    // answer.
    std::optional<DisplayRect> mainDisplayBounds() const;
    // True once the connection has broken (the server went away).
    bool connectionLost() const;

private:
    DisplayContext() = default;

    xcb::ConnectionPtr connection_;
    xcb_window_t root_ = 0;
    std::string displayName_;
    int bitsPerPixel_ = 0;
    bool imageLsbFirst_ = true;
    bool hasSharedMemory_ = false;
    bool hasCursorImages_ = false;
    double refreshRate_ = 0;
};

}  // namespace orvanta::capture
