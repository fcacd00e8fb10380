#include "control/Keychain.h"

#include <libsecret/secret.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "control/GlibHandles.h"
#include "core/Log.h"

namespace orvanta::control {

namespace {

using glib::CancellablePtr;
using glib::ErrorSlot;
using glib::GTextPtr;
using glib::ObjectUnref;

constexpr const char* kServicePrefix = "LessonBeam-";

// ---- owning handles for the GLib objects used here

struct HashTableUnref {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
struct SecretValueUnref {
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};

using ServicePtr = std::unique_ptr<SecretService, ObjectUnref>;
using AttributesPtr = std::unique_ptr<GHashTable, HashTableUnref>;
using SecretValuePtr = std::unique_ptr<SecretValue, SecretValueUnref>;

// Makes a private GLib main context the thread's default while it lives, so that nothing the bus
// objects queue lands in the process's global context, where nobody would dispatch it.
class PrivateMainContext {
public:
    PrivateMainContext() : context_(g_main_context_new()) { g_main_context_push_thread_default(context_); }
    ~PrivateMainContext() {
        // Let what the released objects queued run its clean-up before the context goes.
        for (int i = 0; i < kMaxCleanUpPasses && g_main_context_iteration(context_, FALSE); ++i) {
        }
        g_main_context_pop_thread_default(context_);
        g_main_context_unref(context_);
    }
    PrivateMainContext(const PrivateMainContext&) = delete;
    PrivateMainContext& operator=(const PrivateMainContext&) = delete;

private:
    static constexpr int kMaxCleanUpPasses = 100;
    GMainContext* context_;
};

// Cancels the operations that use `cancellable` once `limit` has passed, unless destroyed before.
class Deadline {
public:
    Deadline(GCancellable* cancellable, std::chrono::milliseconds limit)
        : cancellable_(G_CANCELLABLE(g_object_ref(cancellable))) {
        thread_ = std::thread([this, limit] {
            {
                std::unique_lock lock(mutex_);
                if (cv_.wait_for(lock, limit, [this] { return finished_; })) return;
            }
            g_cancellable_cancel(cancellable_.get());
        });
    }
    ~Deadline() {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

private:
    CancellablePtr cancellable_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool finished_ = false;
    std::thread thread_;
};

// The process's shared session-bus connection, which the secret service proxy uses, held for one
// operation. By default GLib ends the program when that connection closes; a session bus that goes
// away must not take the recorder with it, so that is switched off. Once the last holder lets go the
// connection is dropped, and the next operation connects anew.
class SessionBus {
public:
    SessionBus(GCancellable* cancellable, GError** error)
        : connection_(g_bus_get_sync(G_BUS_TYPE_SESSION, cancellable, error)) {
        if (connection_) g_dbus_connection_set_exit_on_close(connection_.get(), FALSE);
    }

    GDBusConnection* get() const { return connection_.get(); }

private:
    std::unique_ptr<GDBusConnection, ObjectUnref> connection_;
};

// Generic passwords: any item with these two attributes, whoever made it.
const SecretSchema* passwordSchema() {
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = "org.freedesktop.Secret.Generic";
        s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &schema;
}

AttributesPtr itemAttributes(const std::string& service, const std::string& account) {
    return AttributesPtr(
        secret_attributes_build(passwordSchema(), "service", service.c_str(), "account", account.c_str(), nullptr));
}

// Runs op(service, cancellable, error) against the secret service on the session bus, within
// kKeychainTimeout. The result of op, or false (logged) when the service cannot be reached.
template <typename Op>
bool withSecretService(const char* what, const std::string& service, const std::string& account, Op&& op) {
    auto address = Keychain::sessionBusAddress();
    if (!address) {
        core::logf("Keychain: cannot %s %s (%s): there is no session bus", what, service.c_str(), account.c_str());
        return false;
    }
    PrivateMainContext context;
    CancellablePtr cancellable(g_cancellable_new());
    Deadline deadline(cancellable.get(), kKeychainTimeout);
    ErrorSlot error;
    SessionBus bus(cancellable.get(), error.out());
    if (!bus.get() || g_dbus_connection_is_closed(bus.get())) {
        core::logf("Keychain: cannot %s %s (%s): no session bus at %s: %s", what, service.c_str(), account.c_str(),
                   address->c_str(), bus.get() ? "the connection is closed" : error.message().c_str());
        return false;
    }
    // A service object of our own (not the shared one libsecret keeps), so that it is released
    // with the connection after this operation.
    ServicePtr secrets(static_cast<SecretService*>(g_initable_new(
        SECRET_TYPE_SERVICE, cancellable.get(), error.out(), "flags", SECRET_SERVICE_OPEN_SESSION, nullptr)));
    if (!secrets) {
        core::logf("Keychain: cannot %s %s (%s): no secret service: %s", what, service.c_str(), account.c_str(),
                   error.message().c_str());
        return false;
    }
    bool ok = op(secrets.get(), cancellable.get(), error);
    if (!ok && error.isSet())
        core::logf("Keychain: cannot %s %s (%s): %s", what, service.c_str(), account.c_str(), error.message().c_str());
    return ok;
}

}  // namespace

std::string Keychain::serviceName(const std::string& server) { return kServicePrefix + server; }

std::optional<std::string> Keychain::sessionBusAddress() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return address;
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    if (!runtimeDir || !*runtimeDir) return std::nullopt;
    const std::filesystem::path socket = std::filesystem::path(runtimeDir) / "bus";
    std::error_code ec;
    if (!std::filesystem::is_socket(socket, ec)) return std::nullopt;
    GTextPtr escaped(g_dbus_address_escape_value(socket.c_str()));
    return std::string("unix:path=") + escaped.get();
}

bool Keychain::storePassword(const std::string& server, const std::string& account, const std::string& password) {
    const std::string service = serviceName(server);
    return withSecretService("save the password of", service, account,
                             [&](SecretService* secrets, GCancellable* cancellable, ErrorSlot& error) {
                                 auto attributes = itemAttributes(service, account);
                                 SecretValuePtr value(secret_value_new(
                                     password.data(), static_cast<gssize>(password.size()), "text/plain"));
                                 // An item with the same attributes has its secret replaced.
                                 return secret_service_store_sync(secrets, passwordSchema(), attributes.get(),
                                                                  SECRET_COLLECTION_DEFAULT, service.c_str(),
                                                                  value.get(), cancellable, error.out()) != FALSE;
                             });
}

std::optional<std::string> Keychain::findPassword(const std::string& server, const std::string& account) {
    const std::string service = serviceName(server);
    std::optional<std::string> password;
    withSecretService("read the password of", service, account,
                      [&](SecretService* secrets, GCancellable* cancellable, ErrorSlot& error) {
                          auto attributes = itemAttributes(service, account);
                          SecretValuePtr value(secret_service_lookup_sync(secrets, passwordSchema(),
                                                                          attributes.get(), cancellable, error.out()));
                          if (!value) return !error.isSet();
                          gsize length = 0;
                          const gchar* bytes = secret_value_get(value.get(), &length);
                          password = std::string(bytes ? bytes : "", bytes ? length : 0);
                          return true;
                      });
    return password;
}

bool Keychain::removePassword(const std::string& server, const std::string& account) {
    const std::string service = serviceName(server);
    bool removed = false;
    withSecretService("remove the password of", service, account,
                      [&](SecretService* secrets, GCancellable* cancellable, ErrorSlot& error) {
                          auto attributes = itemAttributes(service, account);
                          removed = secret_service_clear_sync(secrets, passwordSchema(), attributes.get(),
                                                              cancellable, error.out()) != FALSE;
                          return removed || !error.isSet();
                      });
    return removed;
}

}  // namespace orvanta::control
