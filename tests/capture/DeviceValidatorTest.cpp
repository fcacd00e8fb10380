// The device validator program and the way the recorder runs it.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/devices/DeviceValidator.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/Latch.h"
#include "support/ScopedEnvironment.h"
#include "support/TempDir.h"

using namespace orvanta;
using namespace orvanta::capture;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

fs::path writeScript(const fs::path& folder, const std::string& name, const std::string& body) {
    const fs::path path = folder / name;
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

// Gone: no such process, or only its exit status left for a parent to collect.
bool processGone(pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + test::kGenerous;
    for (;;) {
        const std::string stat = test::readFile("/proc/" + std::to_string(pid) + "/stat");
        const auto close = stat.rfind(')');
        if (stat.empty() || (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z'))
            return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
}

}  // namespace

TEST(DeviceValidator, ThisMachinesCamerasAllAnswer) {
    // No cameras here (or only working ones): the real validator says all is well.
    EXPECT_EQ(runValidator(ORVANTA_VALIDATOR_PATH, 30s), 0);
}

TEST(DeviceValidator, ProgramNamesCamerasThatFailAndRejectsBadUsage) {
    test::TempDir dir;
    const fs::path sys = dir.path() / "sys";
    const fs::path dev = dir.path() / "dev";
    for (const char* entry : {"video0", "video2"}) {
        fs::create_directories(sys / entry);
        std::ofstream(sys / entry / "name") << "Broken Camera\n";
        std::ofstream(sys / entry / "index") << "0\n";
    }
    fs::create_directories(dev);
    // video0 opens but is no camera; video2 has no node at all.
    fs::create_symlink("/dev/null", dev / "video0");
    const std::string validator = ORVANTA_VALIDATOR_PATH;

    struct Case {
        const char* what;
        std::vector<std::string> arguments;
        int code;
        std::vector<std::string> errors;
    };
    const std::vector<Case> cases = {
        {"failing cameras",
         {"--device", "--sysfs-root", sys.string(), "--dev-root", dev.string()},
         3,
         {(dev / "video0").string() + " (Broken Camera): does not report its capabilities",
          (dev / "video2").string() + " (Broken Camera (2)): cannot be opened"}},
        {"no cameras", {"--device", "--sysfs-root", (dir.path() / "none").string()}, 0, {}},
        {"no arguments", {}, 2, {"usage:"}},
        {"unknown argument", {"--device", "--everything"}, 2, {"usage:"}},
        {"missing folder argument", {"--device", "--sysfs-root"}, 2, {"usage:"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> argv{validator};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        const auto result = test::runProcess(argv, {}, 30s);
        EXPECT_EQ(result.code, c.code) << result.err;
        for (const std::string& error : c.errors) EXPECT_NE(result.err.find(error), std::string::npos) << result.err;
        if (c.errors.empty()) {
            EXPECT_EQ(result.err, "");
        }
    }
}

TEST(DeviceValidator, RunReturnsTheExitStatus) {
    test::TempDir dir;
    struct Case {
        const char* what;
        std::string script;
        int status;
    };
    const std::vector<Case> cases = {
        {"all answered", "exit 0", 0},
        {"a camera failed", "exit 3", 3},
        {"asked to check the devices, without a shell in between", "[ \"$#\" = 1 ] && [ \"$1\" = --device ] || exit 9",
         0},
        {"killed by a signal", "kill -KILL $$", 128 + SIGKILL},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path script = writeScript(dir.path(), "validator " + std::to_string(n++), c.script);
        EXPECT_EQ(runValidator(script.string(), 10s), c.status);
    }
}

TEST(DeviceValidator, RunStopsAValidatorThatHangsWithEverythingItStarted) {
    test::TempDir dir;
    const fs::path pids = dir.path() / "pids";
    const fs::path script = writeScript(dir.path(), "hanging-validator",
                                        "sleep 60 &\necho $$ $! > '" + pids.string() + ".tmp'\nmv '" +
                                            pids.string() + ".tmp' '" + pids.string() + "'\nwait");
    EXPECT_EQ(runValidator(script.string(), 1s), -1);
    std::istringstream ids(test::readFile(pids));
    pid_t shell = 0, sleeper = 0;
    ASSERT_TRUE(ids >> shell >> sleeper) << "the script did not start in time";
    EXPECT_TRUE(processGone(shell));
    EXPECT_TRUE(processGone(sleeper));
}

TEST(DeviceValidator, RunFailsWhenTheValidatorCannotBeStarted) {
    test::TempDir dir;
    std::ofstream(dir.path() / "not-executable") << "#!/bin/sh\nexit 0\n";
    for (const fs::path& path : {dir.path() / "missing", dir.path() / "not-executable", dir.path()}) {
        SCOPED_TRACE(path.string());
        EXPECT_EQ(runValidator(path.string(), 5s), -1);
    }
}

TEST(DeviceValidator, PathIsTheOverrideOrBesideTheProgram) {
    test::ScopedEnvironment environment;
    environment.set("ORVANTA_VALIDATOR", "/opt/tools/validator");
    EXPECT_EQ(validatorPath(), "/opt/tools/validator");
    for (const std::optional<std::string>& unset : {std::optional<std::string>(), std::optional<std::string>("")}) {
        environment.set("ORVANTA_VALIDATOR", unset);
        EXPECT_EQ(validatorPath(), (fs::read_symlink("/proc/self/exe").parent_path() / "orvanta-validator").string());
    }
}
