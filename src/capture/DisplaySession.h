#pragma once

namespace orvanta::capture {

enum class DisplaySession { X11, Wayland, Unknown };

// The kind of graphical session the program runs in, from the environment: $XDG_SESSION_TYPE
// "x11" or "wayland" when set; otherwise Wayland when $WAYLAND_DISPLAY is set, X11 when only
// $DISPLAY is set, and Unknown without either (or for any other session type). Empty variables
// count as unset.
DisplaySession currentDisplaySession();

}  // namespace orvanta::capture
