// The pure parts of the screen capture: output size, cursor painting, time stamps.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "capture/screen/CaptureSize.h"
#include "capture/screen/CursorImage.h"
#include "capture/screen/ScreenVideoFrame.h"

using namespace orvanta::capture;

TEST(CaptureSize, LargeDisplaysShrinkToMultiplesOf8WithinTheArea) {
    struct Case {
        std::uint32_t w, h;
        std::optional<std::int64_t> limit;
        CaptureSize expected;
    };
    const Case cases[] = {
        {2880, 1800, 2000000, {1784, 1112}},
        {2560, 1600, 2073600, {1816, 1136}},
        {3840, 2160, 2073600, {1920, 1080}},  // 16:9 lands exactly on the limit
        {5120, 1440, 2073600, {2712, 760}},   // very wide
        // Within the limit (or without one) the size stays exactly, multiple of 8 or not.
        {1920, 1080, 2073600, {1920, 1080}},
        {1366, 768, 2073600, {1366, 768}},
        {1001, 999, 2000000, {1001, 999}},
        {4000, 3000, std::nullopt, {4000, 3000}},
        {4000, 3000, 0, {4000, 3000}},
        // A tiny limit still leaves a picture.
        {1920, 1080, 10, {8, 8}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " limit " << c.limit.value_or(-1));
        const CaptureSize size = captureOutputSize(c.w, c.h, c.limit);
        EXPECT_EQ(size, c.expected);
        if (c.limit && *c.limit >= 64 && static_cast<std::int64_t>(c.w) * c.h > *c.limit) {
            EXPECT_EQ(size.width % 8, 0u);
            EXPECT_EQ(size.height % 8, 0u);
            EXPECT_LE(static_cast<std::int64_t>(size.width) * size.height, *c.limit);
        }
    }
}

TEST(CaptureSize, UsesTheProgramsMaximumArea) {
    // "Max Screen Capture Area" is 1920 × 1080.
    EXPECT_EQ(captureOutputSize(1920, 1080), (CaptureSize{1920, 1080}));
    EXPECT_EQ(captureOutputSize(2880, 1800), (CaptureSize{1816, 1136}));
}

namespace {

// A frame of w × h pixels, every pixel (b, g, r, a) = fill; rows padded to rowBytes.
struct TestFrame {
    std::uint32_t w, h, rowBytes;
    std::vector<std::uint8_t> bytes;
    TestFrame(std::uint32_t w_, std::uint32_t h_, std::uint8_t fill, std::uint8_t alpha, std::uint32_t padding = 0)
        : w(w_), h(h_), rowBytes(w_ * 4 + padding), bytes(static_cast<std::size_t>(rowBytes) * h_, 0xEE) {
        for (std::uint32_t y = 0; y < h; ++y)
            for (std::uint32_t x = 0; x < w; ++x) {
                std::uint8_t* p = pixel(static_cast<int>(x), static_cast<int>(y));
                p[0] = p[1] = p[2] = fill;
                p[3] = alpha;
            }
    }
    PixelBuffer buffer() { return {bytes.data(), w, h, rowBytes}; }
    std::uint8_t* pixel(int x, int y) { return bytes.data() + static_cast<std::size_t>(y) * rowBytes + x * 4; }
};

CursorImage solidCursor(int x, int y, int w, int h, std::uint8_t value, std::uint8_t alpha) {
    CursorImage c;
    c.x = x;
    c.y = y;
    c.width = w;
    c.height = h;
    c.pixels.assign(static_cast<std::size_t>(w) * h * 4, value);
    for (std::size_t i = 3; i < c.pixels.size(); i += 4) c.pixels[i] = alpha;
    return c;
}

}  // namespace

TEST(CursorPainting, BlendsPremultipliedColoursAndLeavesFrameAlpha) {
    struct Case {
        std::uint8_t cursor, alpha, frame, expected;
    };
    const Case cases[] = {
        {64, 128, 200, 163},  // 64 + 200 × (1 − 128/255) = 163.6
        {255, 255, 10, 255},  // opaque: the cursor alone
        {0, 255, 200, 0},
        {0, 0, 200, 200},     // transparent: the frame alone
        {1, 1, 100, 100},     // 1 + 100 × 254/255 = 100.6
        {128, 128, 255, 255}, // 128 + 255 × 127/255 = 255
        {200, 0, 200, 255},   // not premultiplied: stops at white
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "cursor " << int(c.cursor) << " alpha " << int(c.alpha) << " frame "
                                        << int(c.frame));
        TestFrame frame(4, 4, c.frame, 0x42);
        paintCursor(frame.buffer(), solidCursor(1, 1, 2, 2, c.cursor, c.alpha));
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x) {
                const bool covered = x >= 1 && x <= 2 && y >= 1 && y <= 2;
                const std::uint8_t* p = frame.pixel(x, y);
                for (int k = 0; k < 3; ++k) EXPECT_EQ(p[k], covered ? c.expected : c.frame) << x << "," << y;
                EXPECT_EQ(p[3], 0x42);
            }
    }
}

TEST(CursorPainting, PaintsOnlyWhereTheCursorOverlapsTheFrame) {
    struct Case {
        const char* name;
        int x, y;
    };
    // A 4 × 4 opaque cursor on an 8 × 6 frame.
    const Case cases[] = {
        {"left", -2, 1},      {"top", 3, -3},        {"right", 6, 2},         {"bottom", 0, 4},
        {"top-left", -3, -3}, {"bottom-right", 7, 5}, {"outside left", -4, 0}, {"outside below", 2, 6},
        {"far away", -1000, 1000}, {"inside", 2, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Padding after each row must stay untouched as well.
        TestFrame frame(8, 6, 10, 0, /*padding=*/8);
        paintCursor(frame.buffer(), solidCursor(c.x, c.y, 4, 4, 250, 255));
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 8; ++x) {
                const bool covered = x >= c.x && x < c.x + 4 && y >= c.y && y < c.y + 4;
                EXPECT_EQ(frame.pixel(x, y)[0], covered ? 250 : 10) << x << "," << y;
            }
        for (int y = 0; y < 6; ++y)
            for (int i = 0; i < 8; ++i) EXPECT_EQ(frame.bytes[y * frame.rowBytes + 32 + i], 0xEE);
    }
}

TEST(CursorPainting, ServerImageBecomesFrameByteOrderAtPointerMinusHotSpot) {
    // ARGB values: alpha top byte, then red, green, blue.
    const std::uint32_t argb[] = {0xFF112233, 0x80402010, 0x00000000, 0xC0C00000, 0x7F7F7F7F, 0xFF0000FF};
    const CursorImage image = cursorImageFromArgb(100, 50, 3, 2, 2, 1, argb);
    EXPECT_EQ(image.x, 98);
    EXPECT_EQ(image.y, 49);
    EXPECT_EQ(image.width, 3);
    EXPECT_EQ(image.height, 2);
    const std::vector<std::uint8_t> expected = {0x33, 0x22, 0x11, 0xFF, 0x10, 0x20, 0x40, 0x80, 0, 0, 0, 0,
                                                0x00, 0x00, 0xC0, 0xC0, 0x7F, 0x7F, 0x7F, 0x7F, 0xFF, 0, 0, 0xFF};
    EXPECT_EQ(image.pixels, expected);
    EXPECT_TRUE(cursorImageFromArgb(1, 1, 0, 16, 0, 0, argb).empty());
}

TEST(FrameTimeStamp, SecondsBecomeTruncatedUnitsOfTheTimeScale) {
    EXPECT_EQ(frameTimeStamp(1.2345, 60), 74);
    EXPECT_EQ(frameTimeStamp(0.0, 60), 0);
    EXPECT_EQ(frameTimeStamp(0.0166, 60), 0);
    EXPECT_EQ(frameTimeStamp(10.0, 60), 600);
    EXPECT_EQ(frameTimeStamp(3600.99, 60), 216059);
}
