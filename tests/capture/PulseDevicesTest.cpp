// Microphones listed by the sound server: order, descriptions, events and an absent server.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "capture/devices/FileDescriptor.h"
#include "capture/devices/PulseDevices.h"
#include "support/Latch.h"
#include "support/PulseServer.h"
#include "support/ScopedEnvironment.h"
#include "support/TempDir.h"

using namespace orvanta;
using namespace orvanta::capture;
using namespace std::chrono_literals;

namespace {

// Counts the change calls and waits for further ones.
class ChangeCounter {
public:
    std::function<void()> callback() {
        return [this] {
            std::lock_guard lock(mutex_);
            ++calls_;
            changed_.notify_all();
        };
    }
    int calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    bool waitBeyond(int previous) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, test::kGenerous, [&] { return calls_ > previous; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int calls_ = 0;
};

std::vector<std::string> names(const PulseDevices::Listing& listing) {
    std::vector<std::string> result;
    for (const auto& source : listing.sources) result.push_back(source->address);
    return result;
}

const CaptureDevice* find(const PulseDevices::Listing& listing, const std::string& name) {
    for (const auto& source : listing.sources)
        if (source->address == name) return source.get();
    return nullptr;
}

// Asks again until the listing satisfies `condition`: the server announces a change a moment
// before every part of it can be read back.
template <typename Condition>
PulseDevices::Listing listUntil(PulseDevices& devices, Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + test::kGenerous;
    PulseDevices::Listing listing = devices.list();
    while (!condition(listing) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
        listing = devices.list();
    }
    return listing;
}

// A socket that takes connections and never answers: a sound server that hangs.
class SilentServer {
public:
    explicit SilentServer(const std::filesystem::path& path) : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd_.get(), 8) != 0)
            throw std::runtime_error("cannot listen on " + path.string());
    }

private:
    FileDescriptor fd_;
};

}  // namespace

TEST(PulseDevices, ListsSourcesDefaultFirstThenMicrophonesThenMonitors) {
    test::PulseServer server;
    server.loadNullSink("hall", "Hall Speakers");
    server.pactl({"load-module", "module-null-source", "source_name=lectern",
                  "description=Lectern"});
    ChangeCounter counter;
    PulseDevices devices(counter.callback());

    struct Case {
        const char* defaultSource;
        std::vector<std::string> expected;
    };
    const std::string mic = server.microphoneSource();
    const std::vector<Case> cases = {
        {"orvanta_mic.monitor", {mic, "lectern", "hall.monitor"}},
        {"hall.monitor", {"hall.monitor", "lectern", mic}},
        {"lectern", {"lectern", mic, "hall.monitor"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.defaultSource);
        server.pactl({"set-default-source", c.defaultSource});
        const auto listing = listUntil(devices, [&](const PulseDevices::Listing& l) { return names(l) == c.expected; });
        EXPECT_EQ(names(listing), c.expected);
        ASSERT_TRUE(listing.defaultSource);
        EXPECT_EQ(listing.defaultSource->address, c.defaultSource);
        EXPECT_EQ(listing.defaultSource, listing.sources.front());
    }

    const auto listing = devices.list();
    const CaptureDevice* microphone = find(listing, mic);
    ASSERT_NE(microphone, nullptr);
    EXPECT_EQ(microphone->localizedDisplayName, test::PulseServer::kMicrophoneName);
    EXPECT_EQ(microphone->uniqueID, "pulse:" + mic);
    EXPECT_EQ(microphone->mediaTypes, std::vector<MediaType>{MediaType::Sound});
    ASSERT_NE(find(listing, "lectern"), nullptr);
    EXPECT_EQ(find(listing, "lectern")->localizedDisplayName, "Lectern");
    EXPECT_EQ(find(listing, "hall.monitor")->localizedDisplayName, "Monitor of Hall Speakers");
}

TEST(PulseDevices, AddedAndRemovedSourcesAreAnnouncedAndListed) {
    test::PulseServer server;
    ChangeCounter counter;
    PulseDevices devices(counter.callback());
    ASSERT_EQ(names(devices.list()), std::vector<std::string>{server.microphoneSource()});

    int before = counter.calls();
    const int module = server.loadNullSink("podium", "Podium");
    EXPECT_TRUE(counter.waitBeyond(before)) << "no change call for a new source";
    auto listing = listUntil(devices, [](const PulseDevices::Listing& l) { return find(l, "podium.monitor"); });
    ASSERT_NE(find(listing, "podium.monitor"), nullptr);
    EXPECT_EQ(find(listing, "podium.monitor")->localizedDisplayName, "Monitor of Podium");

    before = counter.calls();
    server.unloadModule(module);
    EXPECT_TRUE(counter.waitBeyond(before)) << "no change call for a removed source";
    listing = listUntil(devices, [](const PulseDevices::Listing& l) { return !find(l, "podium.monitor"); });
    EXPECT_EQ(find(listing, "podium.monitor"), nullptr);
    EXPECT_NE(find(listing, server.microphoneSource()), nullptr);
}

TEST(PulseDevices, ServerGoingAwayIsAnnouncedAndListsNothing) {
    auto server = std::make_unique<test::PulseServer>();
    ChangeCounter counter;
    PulseDevices devices(counter.callback());
    ASSERT_EQ(devices.list().sources.size(), 1u);
    const int before = counter.calls();
    server.reset();
    EXPECT_TRUE(counter.waitBeyond(before));
    const auto listing = devices.list();
    EXPECT_TRUE(listing.sources.empty());
    EXPECT_FALSE(listing.defaultSource);
}

TEST(PulseDevices, NoServerListsNothingAndAServerStartedLaterIsFound) {
    test::TempDir dir;
    test::ScopedEnvironment environment;
    environment.set("PULSE_SERVER", "unix:" + (dir.path() / "missing" / "native").string());
    ChangeCounter counter;
    PulseDevices devices(counter.callback());
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto listing = devices.list();
        EXPECT_TRUE(listing.sources.empty());
        EXPECT_FALSE(listing.defaultSource);
    }

    test::PulseServer server;  // points PULSE_SERVER at itself
    const auto listing = devices.list();
    EXPECT_EQ(names(listing), std::vector<std::string>{server.microphoneSource()});
    ASSERT_TRUE(listing.defaultSource);
    EXPECT_EQ(listing.defaultSource->localizedDisplayName, test::PulseServer::kMicrophoneName);
}

TEST(PulseDevices, AServerThatDoesNotAnswerIsGivenUpAfterTheTimeLimit) {
    test::TempDir dir;
    SilentServer silent(dir.path() / "native");
    test::ScopedEnvironment environment;
    environment.set("PULSE_SERVER", "unix:" + (dir.path() / "native").string());
    ChangeCounter counter;
    PulseDevices devices(counter.callback(), 300ms);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(devices.list().sources.empty());
    EXPECT_TRUE(devices.list().sources.empty());
    // Two queries of 0.3 s each; far less than the time a hanging wait would take.
    EXPECT_LT(std::chrono::steady_clock::now() - start, test::kGenerous);
}

TEST(PulseDevices, AListingAskedForFromTheChangeCallbackDoesNotWaitForTheServer) {
    test::PulseServer server;
    std::mutex mutex;
    std::vector<size_t> seen;
    test::Latch called;
    std::unique_ptr<PulseDevices> devices;
    devices = std::make_unique<PulseDevices>([&] {
        const auto listing = devices->list();
        {
            std::lock_guard lock(mutex);
            seen.push_back(listing.sources.size());
        }
        called.set();
    });
    ASSERT_EQ(devices->list().sources.size(), 1u);
    server.loadNullSink("balcony", "Balcony");
    ASSERT_TRUE(called.wait());
    std::lock_guard lock(mutex);
    // The listing known before the change: the callback runs on the connection's thread.
    EXPECT_EQ(seen.front(), 1u);
}
