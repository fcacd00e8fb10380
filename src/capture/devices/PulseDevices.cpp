#include "capture/devices/PulseDevices.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>

#include "capture/devices/PulseHandles.h"
#include "core/Log.h"

namespace orvanta::capture {

namespace {

using Clock = std::chrono::steady_clock;

struct SourceInfo {
    std::string name;
    std::string description;
    bool monitor = false;
};

}  // namespace

// Lock order: the main loop's lock before `mutex`. The main loop's callbacks run with its lock
// held and take `mutex` to hand over what they learnt; a waiting query holds only `mutex`.
struct PulseDevices::Connection {
    std::function<void()> changed;
    std::chrono::milliseconds timeLimit;
    pulse::MainloopPtr loop;
    bool loopRunning = false;
    pulse::ContextPtr context;  // guarded by the main loop's lock
    bool announcedReady = false;  // guarded by the main loop's lock

    std::mutex queryMutex;  // one query at a time

    std::mutex mutex;
    std::condition_variable wake;
    pa_context_state_t state = PA_CONTEXT_UNCONNECTED;  // of `context`
    Listing lastListing;

    // What one query collects; guarded by `mutex`.
    struct Reply {
        Connection* connection = nullptr;
        bool sourcesDone = false;
        bool serverDone = false;
        std::vector<SourceInfo> sources;
        std::string defaultSource;
    };

    static void onState(pa_context* context, void* userdata) {
        auto* self = static_cast<Connection*>(userdata);
        const pa_context_state_t state = pa_context_get_state(context);
        bool broke = false;
        if (state == PA_CONTEXT_READY) {
            self->announcedReady = true;
            pa_operation* subscribing = pa_context_subscribe(
                context, static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER),
                nullptr, nullptr);
            if (subscribing) pa_operation_unref(subscribing);
        } else if (!PA_CONTEXT_IS_GOOD(state) && self->announcedReady) {
            self->announcedReady = false;
            broke = true;
        }
        {
            std::lock_guard lock(self->mutex);
            self->state = state;
        }
        self->wake.notify_all();
        if (broke) {
            core::logf("Sound server connection lost: %s", pa_strerror(pa_context_errno(context)));
            self->changed();
        }
    }

    static void onEvent(pa_context*, pa_subscription_event_type_t type, uint32_t, void* userdata) {
        const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        // A source's other changes (volume, a recording starting, suspending) leave the list as it is.
        if (facility == PA_SUBSCRIPTION_EVENT_SOURCE &&
            (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_CHANGE)
            return;
        if (facility == PA_SUBSCRIPTION_EVENT_SOURCE || facility == PA_SUBSCRIPTION_EVENT_SERVER)
            static_cast<Connection*>(userdata)->changed();
    }

    static void onSource(pa_context*, const pa_source_info* info, int eol, void* userdata) {
        auto* reply = static_cast<Reply*>(userdata);
        {
            std::lock_guard lock(reply->connection->mutex);
            if (eol != 0 || !info)
                reply->sourcesDone = true;
            else
                reply->sources.push_back({info->name ? info->name : "", info->description ? info->description : "",
                                          info->monitor_of_sink != PA_INVALID_INDEX});
        }
        if (eol != 0 || !info) reply->connection->wake.notify_all();
    }

    static void onServer(pa_context*, const pa_server_info* info, void* userdata) {
        auto* reply = static_cast<Reply*>(userdata);
        {
            std::lock_guard lock(reply->connection->mutex);
            if (info && info->default_source_name) reply->defaultSource = info->default_source_name;
            reply->serverDone = true;
        }
        reply->connection->wake.notify_all();
    }

    // Makes sure a connection is ready, starting a new one when there is none or the last one
    // failed; false when none is ready by the deadline.
    bool connect(Clock::time_point deadline) {
        {
            pulse::MainloopLock lock(loop.get());
            const pa_context_state_t current = context ? pa_context_get_state(context.get()) : PA_CONTEXT_UNCONNECTED;
            if (current == PA_CONTEXT_READY) return true;
            if (!context || !PA_CONTEXT_IS_GOOD(current)) {
                context.reset();
                announcedReady = false;
                {
                    std::lock_guard stateLock(mutex);
                    state = PA_CONTEXT_UNCONNECTED;
                }
                pulse::ContextPtr fresh(pa_context_new(pa_threaded_mainloop_get_api(loop.get()), "Orvanta Recorder"));
                if (!fresh) return false;
                pa_context_set_state_callback(fresh.get(), &Connection::onState, this);
                pa_context_set_subscribe_callback(fresh.get(), &Connection::onEvent, this);
                // The server named by PULSE_SERVER or the client configuration; never start one.
                if (pa_context_connect(fresh.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return false;
                context = std::move(fresh);
            }
        }
        std::unique_lock lock(mutex);
        wake.wait_until(lock, deadline, [this] { return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state); });
        return state == PA_CONTEXT_READY;
    }

    Listing query() {
        const auto deadline = Clock::now() + timeLimit;
        if (!loopRunning || !connect(deadline)) return {};
        Reply reply;
        reply.connection = this;
        pulse::OperationPtr sourcesOperation, serverOperation;
        {
            pulse::MainloopLock lock(loop.get());
            if (!context) return {};
            sourcesOperation.reset(pa_context_get_source_info_list(context.get(), &Connection::onSource, &reply));
            serverOperation.reset(pa_context_get_server_info(context.get(), &Connection::onServer, &reply));
        }
        bool complete = false;
        {
            std::unique_lock lock(mutex);
            complete = sourcesOperation && serverOperation &&
                       wake.wait_until(lock, deadline, [&] {
                           return (reply.sourcesDone && reply.serverDone) || !PA_CONTEXT_IS_GOOD(state);
                       }) &&
                       reply.sourcesDone && reply.serverDone && state == PA_CONTEXT_READY;
        }
        {
            // After cancelling, the callbacks that write into `reply` no longer run.
            pulse::MainloopLock lock(loop.get());
            if (sourcesOperation) pa_operation_cancel(sourcesOperation.get());
            if (serverOperation) pa_operation_cancel(serverOperation.get());
            sourcesOperation.reset();
            serverOperation.reset();
        }
        if (!complete) {
            core::logf("The sound server did not list its sources in time");
            return {};
        }
        return order(std::move(reply.sources), reply.defaultSource);
    }

    static Listing order(std::vector<SourceInfo> sources, const std::string& defaultName) {
        std::stable_sort(sources.begin(), sources.end(), [&](const SourceInfo& a, const SourceInfo& b) {
            auto rank = [&](const SourceInfo& s) { return s.name == defaultName ? 0 : s.monitor ? 2 : 1; };
            return rank(a) < rank(b);
        });
        Listing listing;
        for (const SourceInfo& source : sources) {
            listing.sources.push_back(deviceForSource(source.name, source.description));
            if (source.name == defaultName) listing.defaultSource = listing.sources.back();
        }
        return listing;
    }
};

PulseDevices::PulseDevices(std::function<void()> changed, std::chrono::milliseconds timeLimit)
    : connection_(std::make_unique<Connection>()) {
    connection_->changed = std::move(changed);
    connection_->timeLimit = timeLimit;
    connection_->loop.reset(pa_threaded_mainloop_new());
    if (connection_->loop) {
        pa_threaded_mainloop_set_name(connection_->loop.get(), "orvanta-pulse");
        connection_->loopRunning = pa_threaded_mainloop_start(connection_->loop.get()) >= 0;
    }
    if (!connection_->loopRunning) core::logf("No sound server main loop; no microphones are listed");
}

PulseDevices::~PulseDevices() {
    if (connection_->loopRunning) pa_threaded_mainloop_stop(connection_->loop.get());
    // The loop's thread has ended: the context goes without its lock.
    connection_->context.reset();
}

PulseDevices::Listing PulseDevices::list() {
    Connection& c = *connection_;
    if (c.loopRunning && pa_threaded_mainloop_in_thread(c.loop.get())) {
        std::lock_guard lock(c.mutex);
        return c.lastListing;
    }
    std::lock_guard queryLock(c.queryMutex);
    Listing listing = c.query();
    std::lock_guard lock(c.mutex);
    c.lastListing = listing;
    return listing;
}

CaptureDevicePtr PulseDevices::deviceForSource(const std::string& name, const std::string& description) {
    auto device = std::make_shared<CaptureDevice>();
    device->uniqueID = "pulse:" + name;
    device->localizedDisplayName = description.empty() ? name : description;
    device->mediaTypes = {MediaType::Sound};
    device->address = name;
    return device;
}

}  // namespace orvanta::capture
