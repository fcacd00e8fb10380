#include "core/Paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

namespace orvanta::core {

namespace {

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

// An XDG variable counts only when it holds an absolute path.
std::optional<fs::path> absoluteFromEnvironment(const char* name) {
    auto value = environment(name);
    if (!value || (*value)[0] != '/') return std::nullopt;
    return fs::path(*value);
}

// The base folder named by an XDG variable, else home/fallback, else the temporary folder.
fs::path xdgBase(const char* variable, const char* homeRelative) {
    if (auto base = absoluteFromEnvironment(variable)) return *base;
    fs::path home = homeFolder();
    if (home.empty()) return temporaryFolder();
    return home / homeRelative;
}

fs::path xdgConfigHome() {
    if (auto base = absoluteFromEnvironment("XDG_CONFIG_HOME")) return *base;
    fs::path home = homeFolder();
    if (home.empty()) return {};
    return home / ".config";
}

// Reads one entry of user-dirs.dirs, whose lines look like
//   XDG_DOCUMENTS_DIR="$HOME/Documents"
// or hold an absolute path in the quotes. Backslash escapes the next character.
std::optional<fs::path> userDirFromFile(std::string_view variable) {
    fs::path configHome = xdgConfigHome();
    if (configHome.empty()) return std::nullopt;
    std::ifstream in(configHome / "user-dirs.dirs");
    if (!in) return std::nullopt;

    std::optional<fs::path> found;
    std::string line;
    while (std::getline(in, line)) {
        std::string_view rest(line);
        while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
        if (rest.empty() || rest.front() == '#') continue;
        if (rest.substr(0, variable.size()) != variable) continue;
        rest.remove_prefix(variable.size());
        while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
        if (rest.empty() || rest.front() != '=') continue;
        rest.remove_prefix(1);
        while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
        if (rest.empty() || rest.front() != '"') continue;
        rest.remove_prefix(1);

        std::string value;
        bool closed = false;
        for (size_t i = 0; i < rest.size(); ++i) {
            char c = rest[i];
            if (c == '\\' && i + 1 < rest.size()) {
                value += rest[++i];
            } else if (c == '"') {
                closed = true;
                break;
            } else {
                value += c;
            }
        }
        if (!closed) continue;

        constexpr std::string_view kHome = "$HOME";
        if (value.compare(0, kHome.size(), kHome) == 0) {
            std::string tail = value.substr(kHome.size());
            if (!tail.empty() && tail.front() != '/') continue;
            fs::path home = homeFolder();
            if (home.empty()) continue;
            while (!tail.empty() && tail.front() == '/') tail.erase(0, 1);
            found = tail.empty() ? home : home / tail;
        } else if (!value.empty() && value.front() == '/') {
            found = fs::path(value);
        }
        // The last valid line wins, as with the xdg-user-dirs tools.
    }
    return found;
}

fs::path userDir(const char* variable, const char* fallbackName) {
    if (auto dir = absoluteFromEnvironment(variable)) return *dir;
    if (auto dir = userDirFromFile(variable)) return *dir;
    fs::path home = homeFolder();
    if (home.empty()) return {};
    return home / fallbackName;
}

}  // namespace

fs::path homeFolder() {
    if (auto home = environment("HOME")) return fs::path(*home);
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* result = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
        result->pw_dir != nullptr && result->pw_dir[0] == '/')
        return fs::path(result->pw_dir);
    return {};
}

fs::path temporaryFolder() {
    if (auto tmp = environment("TMPDIR")) return fs::path(*tmp);
    return fs::path("/tmp");
}

fs::path applicationSupportFolder() { return xdgBase("XDG_DATA_HOME", ".local/share") / kApplicationName; }

fs::path configFolder() { return xdgBase("XDG_CONFIG_HOME", ".config") / kApplicationName; }

fs::path stateFolder() { return xdgBase("XDG_STATE_HOME", ".local/state") / kApplicationName; }

fs::path diagnosticReportsFolder() { return stateFolder() / "Logs" / "DiagnosticReports"; }

fs::path machineCrashFolder() {
    if (auto dir = environment("ORVANTA_MACHINE_CRASH_DIR")) return fs::path(*dir);
    return fs::path("/var/crash");
}

fs::path logFilePath() { return stateFolder() / "orvanta.log"; }

fs::path documentsFolder() { return userDir("XDG_DOCUMENTS_DIR", "Documents"); }

fs::path desktopFolder() { return userDir("XDG_DESKTOP_DIR", "Desktop"); }

fs::path storeFilePath() { return applicationSupportFolder() / kStoreFileName; }

fs::path defaultRecordingDirectory() {
    fs::path documents = documentsFolder();
    if (documents.empty()) return fs::path(kRecordingsFolderName);
    return documents / kRecordingsFolderName;
}

fs::path settingsFilePath() { return configFolder() / "settings.json"; }

}  // namespace orvanta::core
