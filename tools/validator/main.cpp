// orvanta-validator --device: opens every camera once, each on a thread of its own, and tells by
// its exit status whether all of them answered. The recorder runs it before offering the cameras,
// so that a camera whose driver hangs or fails takes this process down instead of the recorder.
//
// Exit status: 0 all cameras answered (also when there are none), 3 one or more failed or did not
// answer within 5 seconds (named on standard error), 2 bad usage.

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "capture/devices/V4l2Cameras.h"
#include "validator/DeviceProbe.h"

namespace {

using namespace orvanta;

constexpr auto kAnswerTimeLimit = std::chrono::seconds(5);
constexpr int kAllAnswered = 0;
constexpr int kBadUsage = 2;
constexpr int kDeviceFailed = 3;

// The result of one probe, shared with its thread: a thread stuck in the driver may outlive main.
struct Probe {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::string failure;
};

int usage() {
    std::fprintf(stderr,
                 "usage: orvanta-validator --device [--sysfs-root DIR] [--dev-root DIR]\n"
                 "  Opens every camera once; exit status 0 when all answered, 3 when one did not.\n");
    return kBadUsage;
}

}  // namespace

int main(int argc, char** argv) {
    bool device = false;
    std::string sysfsRoot = capture::V4l2Cameras::kSysfsRoot;
    std::string devRoot = capture::V4l2Cameras::kDevRoot;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--device")
            device = true;
        else if (argument == "--sysfs-root" && i + 1 < argc)
            sysfsRoot = argv[++i];
        else if (argument == "--dev-root" && i + 1 < argc)
            devRoot = argv[++i];
        else
            return usage();
    }
    if (!device) return usage();

    bool allAnswered = true;
    bool hung = false;
    for (const auto& camera : capture::V4l2Cameras(sysfsRoot, devRoot).list()) {
        auto probe = std::make_shared<Probe>();
        std::thread([probe, node = camera->address] {
            std::string failure = validator::probeCamera(node);
            {
                std::lock_guard lock(probe->mutex);
                probe->failure = std::move(failure);
                probe->finished = true;
            }
            probe->done.notify_all();
        }).detach();

        std::unique_lock lock(probe->mutex);
        if (!probe->done.wait_for(lock, kAnswerTimeLimit, [&] { return probe->finished; })) {
            std::fprintf(stderr, "%s (%s): did not answer within %lld seconds\n", camera->address.c_str(),
                         camera->localizedDisplayName.c_str(), static_cast<long long>(kAnswerTimeLimit.count()));
            allAnswered = false;
            hung = true;
        } else if (!probe->failure.empty()) {
            std::fprintf(stderr, "%s (%s): %s\n", camera->address.c_str(), camera->localizedDisplayName.c_str(),
                         probe->failure.c_str());
            allAnswered = false;
        }
    }
    std::fflush(stderr);
    std::fflush(stdout);
    // A thread stuck in a driver call cannot be joined or cancelled; leave without waiting for it.
    if (hung) ::_exit(kDeviceFailed);
    return allAnswered ? kAllAnswered : kDeviceFailed;
}
