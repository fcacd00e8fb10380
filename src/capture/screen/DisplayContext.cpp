#include "capture/screen/DisplayContext.h"

#include <cstdlib>

#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include "core/Log.h"

namespace orvanta::capture {

namespace {

const char* connectionErrorText(int code) {
    switch (code) {
    case XCB_CONN_ERROR: return "the display cannot be reached";
    case XCB_CONN_CLOSED_EXT_NOTSUPPORTED: return "an extension is not supported";
    case XCB_CONN_CLOSED_MEM_INSUFFICIENT: return "out of memory";
    case XCB_CONN_CLOSED_REQ_LEN_EXCEED: return "request too long";
    case XCB_CONN_CLOSED_PARSE_ERR: return "no display is set or its name is not valid";
    case XCB_CONN_CLOSED_INVALID_SCREEN: return "the display has no such screen";
    default: return "the connection failed";
    }
}

bool extensionPresent(xcb_connection_t* c, xcb_extension_t* extension) {
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(c, extension);
    return data && data->present;
}

}  // namespace

std::shared_ptr<DisplayContext> DisplayContext::open(const std::string& displayName, std::string* error) {
    return open(displayName, Options{}, error);
}

std::shared_ptr<DisplayContext> DisplayContext::open(const std::string& displayName, const Options& options,
                                                     std::string* error) {
    std::string shownName = displayName;
    if (shownName.empty()) {
        const char* env = std::getenv("DISPLAY");
        shownName = env ? env : "";
    }
    int screenNumber = 0;
    xcb::ConnectionPtr connection(xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber));
    if (!connection || xcb_connection_has_error(connection.get())) {
        if (error) {
            int code = connection ? xcb_connection_has_error(connection.get()) : XCB_CONN_ERROR;
            *error = "Could not connect to the X display \"" + shownName + "\": " + connectionErrorText(code) + ".";
        }
        return nullptr;
    }
    xcb_connection_t* c = connection.get();
    const xcb_setup_t* setup = xcb_get_setup(c);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
    if (!it.rem || !it.data) {
        if (error) *error = "The X display \"" + shownName + "\" has no screen " + std::to_string(screenNumber) + ".";
        return nullptr;
    }

    std::shared_ptr<DisplayContext> context(new DisplayContext());
    context->displayName_ = shownName;
    context->root_ = it.data->root;
    context->imageLsbFirst_ = setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
    for (xcb_format_iterator_t f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f)) {
        if (f.data->depth == it.data->root_depth) context->bitsPerPixel_ = f.data->bits_per_pixel;
    }

    // Extensions are asked for all at once, then their answers collected.
    const bool shmPresent = options.allowSharedMemory && extensionPresent(c, &xcb_shm_id);
    const bool xfixesPresent = extensionPresent(c, &xcb_xfixes_id);
    const bool randrPresent = extensionPresent(c, &xcb_randr_id);
    xcb_shm_query_version_cookie_t shmCookie{};
    xcb_xfixes_query_version_cookie_t xfixesCookie{};
    xcb_randr_query_version_cookie_t randrCookie{};
    if (shmPresent) shmCookie = xcb_shm_query_version(c);
    // The cursor image request needs the version handshake first.
    if (xfixesPresent) xfixesCookie = xcb_xfixes_query_version(c, 4, 0);
    if (randrPresent) randrCookie = xcb_randr_query_version(c, 1, 1);
    if (shmPresent)
        context->hasSharedMemory_ =
            xcb::reply<xcb_shm_query_version_reply_t>(c, xcb_shm_query_version_reply, shmCookie) != nullptr;
    if (xfixesPresent) {
        auto version = xcb::reply<xcb_xfixes_query_version_reply_t>(c, xcb_xfixes_query_version_reply, xfixesCookie);
        context->hasCursorImages_ = version && version->major_version >= 1;
    }
    if (randrPresent && xcb::reply<xcb_randr_query_version_reply_t>(c, xcb_randr_query_version_reply, randrCookie)) {
        auto info = xcb::reply<xcb_randr_get_screen_info_reply_t>(
            c, xcb_randr_get_screen_info_reply, xcb_randr_get_screen_info(c, context->root_));
        if (info && info->rate > 0) context->refreshRate_ = info->rate;
    }
    if (!context->hasSharedMemory_)
        core::logf("Shared memory images are not available on display \"%s\"; screen grabs are copied through the "
                   "connection",
                   shownName.c_str());
    context->connection_ = std::move(connection);
    return context;
}

DisplayContext::~DisplayContext() = default;

std::optional<DisplayRect> DisplayContext::mainDisplayBounds() const {
    xcb_connection_t* c = connection_.get();
    auto geometry = xcb::reply<xcb_get_geometry_reply_t>(c, xcb_get_geometry_reply, xcb_get_geometry(c, root_));
    if (!geometry) return std::nullopt;
    return DisplayRect{0, 0, static_cast<float>(geometry->width), static_cast<float>(geometry->height)};
}

bool DisplayContext::connectionLost() const { return xcb_connection_has_error(connection_.get()) != 0; }

}  // namespace orvanta::capture
