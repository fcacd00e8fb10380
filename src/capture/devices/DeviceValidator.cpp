#include "capture/devices/DeviceValidator.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "core/Log.h"

extern char** environ;

namespace orvanta::capture {

namespace {

// Owns the attributes of one posix_spawn call.
class SpawnAttributes {
public:
    SpawnAttributes() { ok_ = posix_spawnattr_init(&attributes_) == 0; }
    ~SpawnAttributes() {
        if (ok_) posix_spawnattr_destroy(&attributes_);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    bool ok() const { return ok_; }
    posix_spawnattr_t* get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
    bool ok_ = false;
};

int exitStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

std::string validatorPath() {
    if (const char* path = std::getenv("ORVANTA_VALIDATOR"); path && *path) return path;
    std::error_code ec;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return "orvanta-validator";
    return (program.parent_path() / "orvanta-validator").string();
}

int runValidator(const std::string& path, std::chrono::seconds limit) {
    SpawnAttributes attributes;
    // A process group of its own, so that a hanging validator goes together with whatever it started.
    if (!attributes.ok() || posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETPGROUP) != 0 ||
        posix_spawnattr_setpgroup(attributes.get(), 0) != 0) {
        core::logf("Cannot prepare to start the validator");
        return -1;
    }
    std::string argument = "--device";
    std::vector<char*> argv{const_cast<char*>(path.c_str()), argument.data(), nullptr};
    pid_t pid = -1;
    if (const int error = posix_spawn(&pid, path.c_str(), nullptr, attributes.get(), argv.data(), environ)) {
        core::logf("Cannot start the validator %s: %s", path.c_str(), std::strerror(error));
        return -1;
    }

    const auto deadline = std::chrono::steady_clock::now() + limit;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return exitStatus(status);
        if (done < 0 && errno != EINTR) {
            core::logf("Lost the validator process: %s", std::strerror(errno));
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
    core::logf("The validator did not finish within %lld s; stopping it", static_cast<long long>(limit.count()));
    ::kill(-pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return -1;
}

}  // namespace orvanta::capture
