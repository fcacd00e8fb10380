#pragma once

#include <functional>
#include <string>

#include "core/Error.h"

namespace orvanta::capture {

// Told, on the main thread, that the screen capture cannot go on and the recording should stop
// with the error.
using StopRecordingHandler = std::function<void(const core::Error& error)>;

// What the recording session controller needs of a screen capture back end.
//
// The add-on library (libCaptureExtras.so) implements this class too, so its layout is part of
// that library's interface: the virtual functions stay in this order, new ones go at the end,
// and both sides are built with the same compiler and C++ library.
class ScreenCaptureHandler {
public:
    virtual ~ScreenCaptureHandler() = default;

    // Chooses the display (an index). A back end may ignore it and capture the main display.
    virtual void setScreen(unsigned index) = 0;
    // Stops capturing and finishes the movie file.
    virtual void endRecording() = 0;
    // Starts capturing into a new movie file at the path.
    virtual void captureScreenToPath(const std::string& path) = 0;
    // Where failures that end the capture are reported; the handler posts it to the main thread and
    // never waits for it. None by default.
    virtual void setStopRecordingHandler(StopRecordingHandler handler) { (void)handler; }
};

}  // namespace orvanta::capture
