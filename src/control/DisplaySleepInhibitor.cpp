#include "control/DisplaySleepInhibitor.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <utility>

#include "control/GlibHandles.h"
#include "control/Keychain.h"
#include "core/Log.h"

namespace orvanta::control {

namespace {

using glib::CancellablePtr;
using glib::ErrorSlot;
using glib::GTextPtr;
using glib::ObjectUnref;

constexpr const char* kScreenSaverName = "org.freedesktop.ScreenSaver";
constexpr const char* kScreenSaverInterface = "org.freedesktop.ScreenSaver";
// Desktops register the service at one or the other.
constexpr const char* kScreenSaverPaths[] = {"/org/freedesktop/ScreenSaver", "/ScreenSaver"};

constexpr const char* kLogindName = "org.freedesktop.login1";
constexpr const char* kLogindPath = "/org/freedesktop/login1";
constexpr const char* kLogindInterface = "org.freedesktop.login1.Manager";

// ---- owning handles for the GLib objects used here

struct ContextUnref {
    void operator()(GMainContext* context) const { g_main_context_unref(context); }
};
struct SourceDestroy {
    void operator()(GSource* source) const {
        g_source_destroy(source);
        g_source_unref(source);
    }
};
struct VariantUnref {
    void operator()(GVariant* value) const { g_variant_unref(value); }
};

using ContextPtr = std::unique_ptr<GMainContext, ContextUnref>;
using ConnectionPtr = std::unique_ptr<GDBusConnection, ObjectUnref>;
using ResultPtr = std::unique_ptr<GAsyncResult, ObjectUnref>;
using FdListPtr = std::unique_ptr<GUnixFDList, ObjectUnref>;
using SourcePtr = std::unique_ptr<GSource, SourceDestroy>;
using VariantPtr = std::unique_ptr<GVariant, VariantUnref>;

// Makes a main context the thread's default for its lifetime.
class ThreadDefaultContext {
public:
    explicit ThreadDefaultContext(GMainContext* context) : context_(context) {
        g_main_context_push_thread_default(context_);
    }
    ~ThreadDefaultContext() { g_main_context_pop_thread_default(context_); }
    ThreadDefaultContext(const ThreadDefaultContext&) = delete;
    ThreadDefaultContext& operator=(const ThreadDefaultContext&) = delete;

private:
    GMainContext* context_;
};

// One open file descriptor; closing reports whether it went well.
class Descriptor {
public:
    Descriptor() = default;
    ~Descriptor() { close(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    void reset(int fd) {
        close();
        fd_ = fd;
    }
    bool close() { return fd_ >= 0 && ::close(std::exchange(fd_, -1)) == 0; }

private:
    int fd_ = -1;
};

// A private connection to one message bus. Its events go to a main context of its own, not the
// process's global one (where nobody may be dispatching them); releasing the context releases
// whatever is still queued there.
struct BusConnection {
    ContextPtr context;
    ConnectionPtr connection;  // declared after the context: goes first

    // Connects and registers with the bus, giving up after the time-out. Nothing on failure (logged).
    static std::optional<BusConnection> open(const char* what, const std::string& address) {
        BusConnection bus{ContextPtr(g_main_context_new()), nullptr};
        ThreadDefaultContext scope(bus.context.get());
        CancellablePtr cancellable(g_cancellable_new());
        ResultPtr result;
        g_dbus_connection_new_for_address(
            address.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, cancellable.get(),
            [](GObject*, GAsyncResult* res, gpointer slot) {
                static_cast<ResultPtr*>(slot)->reset(G_ASYNC_RESULT(g_object_ref(res)));
            },
            &result);
        SourcePtr timeout(g_timeout_source_new(static_cast<guint>(kSleepInhibitorCallTimeout.count())));
        g_source_set_callback(
            timeout.get(),
            [](gpointer c) {
                g_cancellable_cancel(static_cast<GCancellable*>(c));
                return G_SOURCE_REMOVE;
            },
            cancellable.get(), nullptr);
        g_source_attach(timeout.get(), bus.context.get());
        // Once cancelled, the attempt ends promptly with an error, so this always finishes.
        while (!result) g_main_context_iteration(bus.context.get(), TRUE);
        timeout.reset();

        ErrorSlot error;
        bus.connection.reset(g_dbus_connection_new_for_address_finish(result.get(), error.out()));
        if (!bus.connection) {
            core::logf("Display sleep: cannot connect to the %s bus at %s: %s", what, address.c_str(),
                       error.message().c_str());
            return std::nullopt;
        }
        return bus;
    }
};

bool isUnknownObject(const GError* error) {
    return g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD) ||
           g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_OBJECT) ||
           g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_INTERFACE);
}

}  // namespace

struct DisplaySleepInhibitor::Held {
    std::optional<BusConnection> screenSaverBus;  // the screen saver drops our cookies when it closes
    const char* screenSaverPath = nullptr;
    Descriptor logindInhibitor;
};

DisplaySleepInhibitor::DisplaySleepInhibitor() = default;

DisplaySleepInhibitor::~DisplaySleepInhibitor() { stopPreventingSleep(); }

namespace {

// The screen saver's cookie and where it was granted; the connection is kept by the caller.
std::optional<std::pair<std::uint32_t, const char*>> inhibitScreenSaver(GDBusConnection* connection) {
    for (const char* path : kScreenSaverPaths) {
        ErrorSlot error;
        VariantPtr reply(g_dbus_connection_call_sync(
            connection, kScreenSaverName, path, kScreenSaverInterface, "Inhibit",
            g_variant_new("(ss)", DisplaySleepInhibitor::kApplicationName, DisplaySleepInhibitor::kReason),
            G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, static_cast<gint>(kSleepInhibitorCallTimeout.count()),
            nullptr, error.out()));
        if (reply) {
            guint32 cookie = 0;
            g_variant_get(reply.get(), "(u)", &cookie);
            return std::make_pair(cookie, path);
        }
        core::logf("Display sleep: the screen saver at %s did not inhibit: %s", path, error.message().c_str());
        // Only a service that lives at the other path is worth asking again.
        if (!isUnknownObject(error.get())) break;
    }
    return std::nullopt;
}

// logind's "idle" block inhibitor: held while the returned descriptor stays open.
std::optional<int> inhibitLogind() {
    ErrorSlot error;
    GTextPtr address(g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, error.out()));
    if (!address) {
        core::logf("Display sleep: there is no system bus: %s", error.message().c_str());
        return std::nullopt;
    }
    auto bus = BusConnection::open("system", address.get());
    if (!bus) return std::nullopt;
    GUnixFDList* rawFds = nullptr;
    VariantPtr reply(g_dbus_connection_call_with_unix_fd_list_sync(
        bus->connection.get(), kLogindName, kLogindPath, kLogindInterface, "Inhibit",
        g_variant_new("(ssss)", "idle", DisplaySleepInhibitor::kApplicationName, DisplaySleepInhibitor::kReason,
                      "block"),
        G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE, static_cast<gint>(kSleepInhibitorCallTimeout.count()),
        nullptr, &rawFds, nullptr, error.out()));
    FdListPtr fds(rawFds);  // closes the descriptors it still holds
    if (!reply) {
        core::logf("Display sleep: logind did not inhibit: %s", error.message().c_str());
        return std::nullopt;
    }
    gint32 index = -1;
    g_variant_get(reply.get(), "(h)", &index);
    const int fd = fds ? g_unix_fd_list_get(fds.get(), index, error.out()) : -1;
    if (fd < 0) {
        core::logf("Display sleep: logind's reply carries no inhibitor descriptor%s%s", fds ? ": " : "",
                   fds ? error.message().c_str() : "");
        return std::nullopt;
    }
    return fd;
}

}  // namespace

void DisplaySleepInhibitor::startPreventingSleep() {
    // A second start must not leave the first inhibition behind with nobody to release it.
    if (sleepPreventionSuccess_ != SleepPreventionResult::None) stopPreventingSleep();

    auto held = std::make_unique<Held>();
    if (auto address = Keychain::sessionBusAddress(); !address) {
        core::logf("Display sleep: there is no session bus");
    } else if (auto bus = BusConnection::open("session", *address)) {
        if (auto granted = inhibitScreenSaver(bus->connection.get())) {
            held->screenSaverBus = std::move(bus);
            held->screenSaverPath = granted->second;
            sleepPreventionAssertion_ = granted->first;
            sleepPreventionSuccess_ = SleepPreventionResult::ScreenSaver;
        }
        // Otherwise the connection closes here, which also ends an inhibition the screen saver
        // might still grant after the time-out.
    }
    if (sleepPreventionSuccess_ == SleepPreventionResult::None) {
        if (auto fd = inhibitLogind()) {
            held->logindInhibitor.reset(*fd);
            sleepPreventionAssertion_ = static_cast<std::uint32_t>(*fd);
            sleepPreventionSuccess_ = SleepPreventionResult::Logind;
        }
    }

    if (isPreventingSleep()) {
        held_ = std::move(held);
        core::logf("Succeeded preventing sleep");
    } else {
        sleepPreventionAssertion_ = 0;
        sleepPreventionSuccess_ = SleepPreventionResult::Failed;
        core::logf("Failed to prevent sleep");
    }
}

void DisplaySleepInhibitor::stopPreventingSleep() {
    if (isPreventingSleep() && held_) {
        bool released = false;
        if (sleepPreventionSuccess_ == SleepPreventionResult::ScreenSaver) {
            ErrorSlot error;
            VariantPtr reply(g_dbus_connection_call_sync(
                held_->screenSaverBus->connection.get(), kScreenSaverName, held_->screenSaverPath,
                kScreenSaverInterface, "UnInhibit", g_variant_new("(u)", sleepPreventionAssertion_), nullptr,
                G_DBUS_CALL_FLAGS_NONE, static_cast<gint>(kSleepInhibitorCallTimeout.count()), nullptr,
                error.out()));
            released = reply != nullptr;
            if (!released) core::logf("Display sleep: the screen saver did not release: %s", error.message().c_str());
        } else {
            released = held_->logindInhibitor.close();
            if (!released) core::logf("Display sleep: closing the logind inhibitor failed");
        }
        core::logf(released ? "Allowing the system to sleep again" : "Failed to allow the system to sleep again");
    }
    // Whatever happened, the connection and descriptor go: the inhibition cannot outlive them.
    held_.reset();
    sleepPreventionAssertion_ = 0;
    sleepPreventionSuccess_ = SleepPreventionResult::None;
}

}  // namespace orvanta::control
