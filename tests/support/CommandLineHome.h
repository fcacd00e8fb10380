#pragma once

#include <filesystem>
#include <string>

#include "support/ScopedEnvironment.h"
#include "support/TempDir.h"

namespace orvanta::test {

// A home of its own for the `orvanta` processes a test starts: HOME and the XDG folders in a
// temporary directory (recordings under Documents), and no keyring (passwords come from
// $ORVANTA_PASSWORD). Restores the environment when it goes.
class CommandLineHome {
public:
    CommandLineHome();
    const std::filesystem::path& path() const { return dir_.path(); }
    // Replaces the program's settings file with this JSON object text.
    void writeSettings(const std::string& json) const;
    ScopedEnvironment& environment() { return env_; }

private:
    TempDir dir_;
    ScopedEnvironment env_;
};

}  // namespace orvanta::test
