#include "support/PulseServer.h"

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace orvanta::test {

PulseServer::PulseServer() {
    const std::string socket = (runtime_.path() / "native").string();
    address_ = "unix:" + socket;
    if (const char* previous = std::getenv("PULSE_SERVER")) {
        hadPreviousServer_ = true;
        previousServer_ = previous;
    }
    const std::string home = runtime_.path().string();
    daemon_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        "env", "HOME=" + home, "XDG_RUNTIME_DIR=" + home, "XDG_CONFIG_HOME=" + home, "DBUS_SESSION_BUS_ADDRESS=",
        "DISPLAY=", "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
        "--log-target=stderr", "--log-level=error",
        "-L", "module-native-protocol-unix socket=" + socket + " auth-anonymous=1",
        "-L", std::string("module-null-sink sink_name=") + kSinkName +
                  " rate=48000 channels=2 sink_properties=\"device.description='" + kSinkDescription + "'\"",
        "-L", "module-always-sink"});
    ::setenv("PULSE_SERVER", address_.c_str(), 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!daemon_->running()) break;
        if (runProcess({"pactl", "info"}, {}, std::chrono::seconds(5)).code == 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const std::string errors = daemon_->errors();
    daemon_.reset();
    if (hadPreviousServer_) ::setenv("PULSE_SERVER", previousServer_.c_str(), 1);
    else ::unsetenv("PULSE_SERVER");
    throw std::runtime_error("the PulseAudio daemon did not start: " + errors);
}

PulseServer::~PulseServer() {
    if (daemon_ && daemon_->running()) {
        daemon_->kill(SIGTERM);
        if (!daemon_->wait(std::chrono::seconds(5))) daemon_->kill(SIGKILL);
    }
    daemon_.reset();
    if (hadPreviousServer_) ::setenv("PULSE_SERVER", previousServer_.c_str(), 1);
    else ::unsetenv("PULSE_SERVER");
}

std::string PulseServer::pactl(const std::vector<std::string>& arguments) const {
    std::vector<std::string> argv{"pactl", "--server=" + address_};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ProcessResult result = runProcess(argv, {}, std::chrono::seconds(10));
    if (result.code != 0) throw std::runtime_error("pactl failed: " + result.err);
    return result.out;
}

void PulseServer::playTone(int frequency) {
    stopTone();
    toneModule_ = std::stoi(pactl({"load-module", "module-sine", std::string("sink=") + kSinkName,
                                   "frequency=" + std::to_string(frequency)}));
}

void PulseServer::stopTone() {
    if (toneModule_ < 0) return;
    unloadModule(toneModule_);
    toneModule_ = -1;
}

int PulseServer::loadNullSink(const std::string& name, const std::string& description) {
    return std::stoi(pactl({"load-module", "module-null-sink", "sink_name=" + name,
                            "sink_properties=\"device.description='" + description + "'\""}));
}

void PulseServer::unloadModule(int module) { pactl({"unload-module", std::to_string(module)}); }

}  // namespace orvanta::test
