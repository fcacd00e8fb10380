#pragma once

#include <cstdint>
#include <vector>

#include "capture/VideoFrame.h"

namespace orvanta::capture {

// The mouse cursor as it looked at one grab.
struct CursorImage {
    // Top-left corner in display pixels, rows counted from the top: the pointer's location minus
    // the image's hot spot.
    int x = 0, y = 0;
    int width = 0, height = 0;
    // width × height pixels, 4 bytes each in the frames' byte order (blue, green, red, alpha),
    // colours premultiplied by alpha; 4 × width bytes a row.
    std::vector<std::uint8_t> pixels;

    bool empty() const { return width <= 0 || height <= 0 || pixels.empty(); }
};

// A cursor image from the server's form: 32-bit ARGB values (alpha in the top byte, premultiplied),
// the pointer's location and the hot spot within the image.
CursorImage cursorImageFromArgb(int pointerX, int pointerY, int width, int height, int hotX, int hotY,
                                const std::uint32_t* argb);

// Paints the cursor over the frame: each of the first three bytes of a covered frame pixel becomes
// truncate(cursor byte + frame byte × (1 − alpha / 255)), at most 255; the frame's fourth byte is
// left alone. Cursor pixels that fall outside the frame are skipped.
void paintCursor(const PixelBuffer& frame, const CursorImage& cursor);

}  // namespace orvanta::capture
