#pragma once

#include <cstdint>
#include <string>

#include <xcb/xcb.h>

namespace orvanta::test {

// Draws on the root window of an X display, sets the root window's cursor and moves the pointer,
// so that tests know what a screen grab must show. Colours are 0xRRGGBB (a 24-bit TrueColor root).
class ScreenPainter {
public:
    // Throws std::runtime_error when the display cannot be reached.
    explicit ScreenPainter(const std::string& display);
    ~ScreenPainter();
    ScreenPainter(const ScreenPainter&) = delete;
    ScreenPainter& operator=(const ScreenPainter&) = delete;

    int width() const;
    int height() const;

    void fill(std::uint32_t rgb);
    void fillRect(int x, int y, int width, int height, std::uint32_t rgb);
    // A solid square cursor of the given size and colour with its hot spot at (hotX, hotY).
    void setSquareCursor(int size, std::uint16_t red, std::uint16_t green, std::uint16_t blue, int hotX, int hotY);
    void movePointer(int x, int y);
    // Waits until the server has done everything asked so far.
    void sync();

private:
    xcb_connection_t* connection_ = nullptr;
    xcb_screen_t* screen_ = nullptr;
    xcb_gcontext_t gc_ = 0;
    xcb_cursor_t cursor_ = 0;
};

}  // namespace orvanta::test
