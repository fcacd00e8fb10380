#pragma once

#include <gio/gio.h>

#include <memory>
#include <string>
#include <utility>

namespace orvanta::control::glib {

// Owning handles for GLib objects.
struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct GFree {
    void operator()(gchar* text) const { g_free(text); }
};

using CancellablePtr = std::unique_ptr<GCancellable, ObjectUnref>;
using GTextPtr = std::unique_ptr<gchar, GFree>;

// A GError out-parameter that frees what it receives.
class ErrorSlot {
public:
    ErrorSlot() = default;
    ErrorSlot(const ErrorSlot&) = delete;
    ErrorSlot& operator=(const ErrorSlot&) = delete;
    ~ErrorSlot() { reset(); }

    GError** out() {
        reset();
        return &error_;
    }
    const GError* get() const { return error_; }
    bool isSet() const { return error_ != nullptr; }
    std::string message() const { return error_ && error_->message ? error_->message : "unknown error"; }

private:
    void reset() {
        if (error_) g_error_free(std::exchange(error_, nullptr));
    }
    GError* error_ = nullptr;
};

}  // namespace orvanta::control::glib
