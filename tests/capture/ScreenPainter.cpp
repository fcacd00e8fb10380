#include "ScreenPainter.h"

#include <cstdlib>
#include <stdexcept>

namespace orvanta::test {

ScreenPainter::ScreenPainter(const std::string& display) {
    int screenNumber = 0;
    connection_ = xcb_connect(display.c_str(), &screenNumber);
    if (xcb_connection_has_error(connection_)) {
        xcb_disconnect(connection_);
        throw std::runtime_error("cannot connect to " + display);
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection_));
    for (int i = 0; i < screenNumber; ++i) xcb_screen_next(&it);
    screen_ = it.data;
    gc_ = xcb_generate_id(connection_);
    xcb_create_gc(connection_, gc_, screen_->root, 0, nullptr);
    sync();
}

ScreenPainter::~ScreenPainter() {
    if (cursor_) xcb_free_cursor(connection_, cursor_);
    xcb_free_gc(connection_, gc_);
    xcb_disconnect(connection_);
}

int ScreenPainter::width() const { return screen_->width_in_pixels; }
int ScreenPainter::height() const { return screen_->height_in_pixels; }

void ScreenPainter::fill(std::uint32_t rgb) { fillRect(0, 0, width(), height(), rgb); }

void ScreenPainter::fillRect(int x, int y, int w, int h, std::uint32_t rgb) {
    xcb_change_gc(connection_, gc_, XCB_GC_FOREGROUND, &rgb);
    xcb_rectangle_t r{static_cast<int16_t>(x), static_cast<int16_t>(y), static_cast<uint16_t>(w),
                      static_cast<uint16_t>(h)};
    xcb_poly_fill_rectangle(connection_, screen_->root, gc_, 1, &r);
    xcb_flush(connection_);
}

void ScreenPainter::setSquareCursor(int size, std::uint16_t red, std::uint16_t green, std::uint16_t blue, int hotX,
                                    int hotY) {
    // A one-bit picture that is set everywhere serves as both the shape and the mask.
    xcb_pixmap_t bits = xcb_generate_id(connection_);
    xcb_create_pixmap(connection_, 1, bits, screen_->root, static_cast<uint16_t>(size), static_cast<uint16_t>(size));
    xcb_gcontext_t bitGc = xcb_generate_id(connection_);
    uint32_t one = 1;
    xcb_create_gc(connection_, bitGc, bits, XCB_GC_FOREGROUND, &one);
    xcb_rectangle_t all{0, 0, static_cast<uint16_t>(size), static_cast<uint16_t>(size)};
    xcb_poly_fill_rectangle(connection_, bits, bitGc, 1, &all);
    if (cursor_) xcb_free_cursor(connection_, cursor_);
    cursor_ = xcb_generate_id(connection_);
    xcb_create_cursor(connection_, cursor_, bits, bits, red, green, blue, 0, 0, 0, static_cast<uint16_t>(hotX),
                      static_cast<uint16_t>(hotY));
    xcb_change_window_attributes(connection_, screen_->root, XCB_CW_CURSOR, &cursor_);
    xcb_free_gc(connection_, bitGc);
    xcb_free_pixmap(connection_, bits);
    sync();
}

void ScreenPainter::movePointer(int x, int y) {
    xcb_warp_pointer(connection_, XCB_NONE, screen_->root, 0, 0, 0, 0, static_cast<int16_t>(x),
                     static_cast<int16_t>(y));
    sync();
}

void ScreenPainter::sync() {
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
}

}  // namespace orvanta::test
