#pragma once

#include "capture/ScreenCaptureHandler.h"

// The interface of the screen-capture add-on library, libCaptureExtras.so, loaded at run time.
//
// The library exports one plain C symbol:
//
//   orvanta::capture::ScreenCaptureHandler* makeAVScreenCapture();
//
// It takes no arguments and returns a new handler (created with `new` inside the library), or null
// when it cannot make one; it never lets an exception out. The caller owns the handler and
// destroys it through its virtual destructor, so the library's own code frees it. The library must
// stay loaded for as long as any handler it made is alive (its code and virtual tables live
// there); AVFCaptureFactory ties every handler to the loaded library for that reason. Library and
// program are built against the same ScreenCaptureHandler.h with the same compiler and C++
// library.
extern "C" orvanta::capture::ScreenCaptureHandler* makeAVScreenCapture();

namespace orvanta::capture {

using MakeAVScreenCaptureFunction = ScreenCaptureHandler* (*)();
inline constexpr const char* kMakeAVScreenCaptureSymbol = "makeAVScreenCapture";
inline constexpr const char* kCaptureExtrasLibraryName = "libCaptureExtras.so";

}  // namespace orvanta::capture
