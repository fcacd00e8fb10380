#include "support/UserFolders.h"

#include <initializer_list>
#include <utility>

namespace orvanta::test {

UserFolders::UserFolders() {
    for (auto [var, sub] : std::initializer_list<std::pair<const char*, const char*>>{
             {"XDG_DATA_HOME", "data"},
             {"XDG_CONFIG_HOME", "config"},
             {"XDG_STATE_HOME", "state"},
             {"XDG_DOCUMENTS_DIR", "Documents"},
             {"XDG_DESKTOP_DIR", "Desktop"},
             {"TMPDIR", "tmp"},
             {"ORVANTA_MACHINE_CRASH_DIR", "var-crash"}}) {
        std::filesystem::create_directories(dir_.path() / sub);
        env_.set(var, (dir_.path() / sub).string());
    }
}

}  // namespace orvanta::test
