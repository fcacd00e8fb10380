#include "core/Util.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <system_error>

#include "core/Log.h"

namespace orvanta::core {

// ---- Texts -----------------------------------------------------------------------------------

std::map<std::string, std::string> queryParameters(std::string_view query) {
    std::map<std::string, std::string> result;
    while (!query.empty()) {
        size_t amp = query.find('&');
        std::string_view item = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
        if (item.empty()) continue;
        size_t eq = item.find('=');
        std::string key(item.substr(0, eq));
        std::string value = eq == std::string_view::npos ? std::string{} : std::string(item.substr(eq + 1));
        result.insert_or_assign(std::move(key), std::move(value));
    }
    return result;
}

std::string urlEncode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    auto keep = [](unsigned char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
               c == '_' || c == '~' || c == '!' || c == '*' || c == '\'' || c == '(' || c == ')';
    };
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (keep(c)) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        }
    }
    return out;
}

std::string stringWithUUID() {
    std::array<uint8_t, 16> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        logf("%s: RAND_bytes failed, using the system random device", ORV_FUNC);
        std::random_device device;
        for (auto& b : bytes) b = static_cast<uint8_t>(device());
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                  bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

std::string descriptionCompat(std::chrono::system_clock::time_point date) {
    auto seconds = std::chrono::floor<std::chrono::seconds>(date).time_since_epoch().count();
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (gmtime_r(&t, &tm) == nullptr) return {};
    char text[64];
    size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    return std::string(text, n);
}

bool isNullOrEmpty(const std::optional<std::string>& text) { return !text || text->empty(); }

std::string durationFromTimeInterval(double seconds) {
    // Also catches NaN. The upper bound keeps the arithmetic below far from overflow.
    if (!(seconds > 0)) seconds = 0;
    if (seconds > 1e15) seconds = 1e15;
    auto totalMinutes = static_cast<long long>(seconds / 60);
    auto secs = static_cast<long long>(seconds - 60.0 * static_cast<double>(totalMinutes));
    long long hours = totalMinutes / 60;
    long long minutes = totalMinutes % 60;
    char text[64];
    std::snprintf(text, sizeof text, "%.2lld:%.2lld:%02lld", hours, minutes, secs);
    return text;
}

// ---- Errors ------------------------------------------------------------------------------------

std::optional<std::string> messageFromError(const Error* error) {
    if (error == nullptr) return std::nullopt;
    if (error->code == kURLErrorNotConnectedToInternet) return std::string("You appear to be offline");
    return error->localizedDescription();
}

void throwWithSoapError(const Error* error) {
    if (error != nullptr) throw OrvantaSoapException(*error);
}

// ---- Processes -------------------------------------------------------------------------------

namespace {

class SpawnFileActions {
public:
    SpawnFileActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
    ~SpawnFileActions() {
        if (ok_) posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
    bool ok() const { return ok_; }
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_{};
    bool ok_ = false;
};

constexpr const char* kZipProgram = "/usr/bin/zip";

}  // namespace

bool createZipArchive(const std::filesystem::path& archive, const std::filesystem::path& inDir,
                      const std::vector<std::string>& args) {
    SpawnFileActions actions;
    if (!actions.ok() || posix_spawn_file_actions_addchdir_np(actions.get(), inDir.c_str()) != 0 ||
        posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0) != 0) {
        logf("%s: cannot prepare to run %s", ORV_FUNC, kZipProgram);
        return false;
    }

    // An archive name that begins with "-" would be read as an option.
    std::string archiveArg = archive.string();
    if (!archiveArg.empty() && archiveArg.front() == '-') archiveArg = "./" + archiveArg;

    std::vector<std::string> strings;
    strings.reserve(args.size() + 2);
    strings.emplace_back("zip");
    strings.push_back(std::move(archiveArg));
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    argv.reserve(strings.size() + 1);
    for (auto& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    int rc = posix_spawn(&pid, kZipProgram, actions.get(), nullptr, argv.data(), environ);
    if (rc != 0) {
        logf("%s: cannot run %s in %s: %s", ORV_FUNC, kZipProgram, inDir.c_str(),
             std::generic_category().message(rc).c_str());
        return false;
    }

    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        int error = errno;
        if (error != EINTR) {
            logf("%s: waiting for %s failed: %s", ORV_FUNC, kZipProgram, std::generic_category().message(error).c_str());
            return false;
        }
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    if (WIFEXITED(status))
        logf("%s: %s exited with status %d", ORV_FUNC, kZipProgram, WEXITSTATUS(status));
    else
        logf("%s: %s ended by signal %d", ORV_FUNC, kZipProgram, WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return false;
}

std::string escapeXmlText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '\'': out += "&apos;"; break;
            case '"': out += "&quot;"; break;
            default: out += c; break;
        }
    }
    return out;
}

}  // namespace orvanta::core
