#include "support/CommandLineHome.h"

#include <fstream>

namespace orvanta::test {

CommandLineHome::CommandLineHome() {
    env_.set("HOME", path().string());
    env_.set("XDG_CONFIG_HOME", (path() / "config").string());
    env_.set("XDG_DATA_HOME", (path() / "data").string());
    env_.set("XDG_STATE_HOME", (path() / "state").string());
    env_.set("XDG_DOCUMENTS_DIR", (path() / "Documents").string());
    // No keyring: passwords come from the environment.
    env_.set("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (path() / "no-bus").string());
}

void CommandLineHome::writeSettings(const std::string& json) const {
    const auto folder = path() / "config" / "Orvanta Recorder";
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "settings.json") << json;
}

}  // namespace orvanta::test
