#pragma once

#include <filesystem>

#include "support/ScopedEnvironment.h"
#include "support/TempDir.h"

namespace orvanta::test {

// Points every per-user folder (data, configuration, state, documents, desktop, temporary files,
// the machine's crash folder) at a fresh temporary tree for the test's lifetime.
class UserFolders {
public:
    UserFolders();
    std::filesystem::path path(const char* sub) const { return dir_.path() / sub; }

private:
    TempDir dir_;
    ScopedEnvironment env_;
};

}  // namespace orvanta::test
