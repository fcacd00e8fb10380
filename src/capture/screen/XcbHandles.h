#pragma once

#include <cstdlib>
#include <memory>

#include <xcb/xcb.h>

namespace orvanta::capture::xcb {

// Owning handles for what the X connection hands out.

struct ConnectionDeleter {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
// A connection; also one that failed to connect, which must still be disconnected.
using ConnectionPtr = std::unique_ptr<xcb_connection_t, ConnectionDeleter>;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
// A reply or error the library allocated with malloc.
template <typename T>
using ReplyPtr = std::unique_ptr<T, FreeDeleter>;
using ErrorPtr = ReplyPtr<xcb_generic_error_t>;

// Waits for the reply of a request: Reply(connection, cookie, &error) through the library's
// xcb_*_reply function.
template <typename Reply, typename Cookie, typename Fn>
ReplyPtr<Reply> reply(xcb_connection_t* connection, Fn fn, Cookie cookie, ErrorPtr* error = nullptr) {
    xcb_generic_error_t* raw = nullptr;
    ReplyPtr<Reply> result(fn(connection, cookie, &raw));
    ErrorPtr owned(raw);
    if (error) *error = std::move(owned);
    return result;
}

// The outcome of a checked request without reply: null when it succeeded.
inline ErrorPtr check(xcb_connection_t* connection, xcb_void_cookie_t cookie) {
    return ErrorPtr(xcb_request_check(connection, cookie));
}

}  // namespace orvanta::capture::xcb
