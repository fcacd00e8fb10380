#include "capture/screen/CursorImage.h"

#include <algorithm>
#include <cstddef>

namespace orvanta::capture {

CursorImage cursorImageFromArgb(int pointerX, int pointerY, int width, int height, int hotX, int hotY,
                                const std::uint32_t* argb) {
    CursorImage image;
    if (width <= 0 || height <= 0 || !argb) return image;
    image.x = pointerX - hotX;
    image.y = pointerY - hotY;
    image.width = width;
    image.height = height;
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    image.pixels.resize(count * 4);
    std::uint8_t* out = image.pixels.data();
    for (std::size_t i = 0; i < count; ++i, out += 4) {
        const std::uint32_t p = argb[i];
        out[0] = static_cast<std::uint8_t>(p);
        out[1] = static_cast<std::uint8_t>(p >> 8);
        out[2] = static_cast<std::uint8_t>(p >> 16);
        out[3] = static_cast<std::uint8_t>(p >> 24);
    }
    return image;
}

void paintCursor(const PixelBuffer& frame, const CursorImage& cursor) {
    if (cursor.empty() || !frame.data) return;
    const long frameWidth = frame.width, frameHeight = frame.height;
    // The part of the cursor that overlaps the frame.
    const long firstColumn = std::max(0L, -static_cast<long>(cursor.x));
    const long lastColumn = std::min(static_cast<long>(cursor.width), frameWidth - cursor.x);  // exclusive
    const long firstRow = std::max(0L, -static_cast<long>(cursor.y));
    const long lastRow = std::min(static_cast<long>(cursor.height), frameHeight - cursor.y);
    for (long r = firstRow; r < lastRow; ++r) {
        const std::uint8_t* src = cursor.pixels.data() + (static_cast<std::size_t>(r) * cursor.width + firstColumn) * 4;
        std::uint8_t* dst = frame.data + static_cast<std::size_t>(cursor.y + r) * frame.rowBytes +
                            static_cast<std::size_t>(cursor.x + firstColumn) * 4;
        for (long c = firstColumn; c < lastColumn; ++c, src += 4, dst += 4) {
            const double keep = 1.0 - src[3] / 255.0;
            for (int k = 0; k < 3; ++k) {
                // Colours that are not properly premultiplied could go past white; they stop there.
                const double value = src[k] + dst[k] * keep;
                dst[k] = static_cast<std::uint8_t>(std::min(255.0, value));
            }
        }
    }
}

}  // namespace orvanta::capture
