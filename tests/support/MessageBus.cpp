#include "support/MessageBus.h"

#include <signal.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace orvanta::test {

MessageBus::MessageBus() {
    const auto config = dir_.path() / "bus.conf";
    std::ofstream(config) << R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=)" << (dir_.path() / "bus").string()
                          << R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
    daemon_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        "dbus-daemon", "--nofork", "--print-address=1", "--config-file=" + config.string()});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (address_.empty() && std::chrono::steady_clock::now() < deadline && daemon_->running()) {
        const std::string out = daemon_->output();
        if (auto eol = out.find('\n'); eol != std::string::npos) address_ = out.substr(0, eol);
        if (address_.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

MessageBus::~MessageBus() {
    setStopped(false);  // a stopped process would not act on the signal that ends it
    daemon_->kill(SIGTERM);
    daemon_->wait(std::chrono::seconds(10));
}

void MessageBus::setStopped(bool stopped) {
    if (daemon_->running()) daemon_->kill(stopped ? SIGSTOP : SIGCONT);
}

}  // namespace orvanta::test
