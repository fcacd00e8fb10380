#include "core/Settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <system_error>

#include "core/Log.h"
#include "core/Paths.h"
#include "core/SettingsKeys.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace orvanta::core {

// ---------------------------------------------------------------------------------------------
// Reading values as a type

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view skipBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    return text;
}

// The integer at the start of the text (after blanks), clamped to the 64-bit range; 0 when none.
int64_t leadingInteger(std::string_view text) {
    text = skipBlanks(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    constexpr uint64_t kMaxMagnitude = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1;
    uint64_t magnitude = 0;
    bool overflow = false;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        if (!overflow) {
            magnitude = magnitude * 10 + static_cast<uint64_t>(c - '0');
            if (magnitude > kMaxMagnitude) overflow = true;
        }
    }
    if (negative) {
        if (overflow || magnitude >= kMaxMagnitude) return std::numeric_limits<int64_t>::min();
        return -static_cast<int64_t>(magnitude);
    }
    if (overflow || magnitude >= kMaxMagnitude) return std::numeric_limits<int64_t>::max();
    return static_cast<int64_t>(magnitude);
}

// The number at the start of the text (after blanks); 0 when none.
double leadingDouble(std::string_view text) {
    text = skipBlanks(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    double value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    (void)end;
    return ec == std::errc() ? value : 0.0;
}

int64_t truncateToInteger(double value) {
    if (std::isnan(value)) return 0;
    // 2^63 is exactly representable; anything at or beyond it does not fit.
    constexpr double kLimit = 9223372036854775808.0;
    if (value >= kLimit) return std::numeric_limits<int64_t>::max();
    if (value < -kLimit) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(value);
}

// Text is true when its first significant character, after blanks, a sign and leading zeros,
// is Y, y, T, t or a digit 1-9.
bool textIsTrue(std::string_view text) {
    text = skipBlanks(text);
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
    while (!text.empty() && text.front() == '0') text.remove_prefix(1);
    if (text.empty()) return false;
    char c = text.front();
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

}  // namespace

bool settingBoolValue(const std::optional<SettingValue>& value) {
    if (!value) return false;
    return std::visit(Overloaded{
                          [](bool b) { return b; },
                          [](int64_t i) { return i != 0; },
                          [](double d) { return d != 0.0; },
                          [](const std::string& s) { return textIsTrue(s); },
                          [](const SettingDate&) { return false; },
                      },
                      *value);
}

int64_t settingIntegerValue(const std::optional<SettingValue>& value) {
    if (!value) return 0;
    return std::visit(Overloaded{
                          [](bool b) -> int64_t { return b ? 1 : 0; },
                          [](int64_t i) { return i; },
                          [](double d) { return truncateToInteger(d); },
                          [](const std::string& s) { return leadingInteger(s); },
                          [](const SettingDate&) -> int64_t { return 0; },
                      },
                      *value);
}

double settingDoubleValue(const std::optional<SettingValue>& value) {
    if (!value) return 0.0;
    return std::visit(Overloaded{
                          [](bool b) { return b ? 1.0 : 0.0; },
                          [](int64_t i) { return static_cast<double>(i); },
                          [](double d) { return d; },
                          [](const std::string& s) { return leadingDouble(s); },
                          [](const SettingDate&) { return 0.0; },
                      },
                      *value);
}

std::optional<std::string> settingStringValue(const std::optional<SettingValue>& value) {
    if (!value) return std::nullopt;
    if (const auto* s = std::get_if<std::string>(&*value)) return *s;
    return std::nullopt;
}

std::optional<SettingDate> settingDateValue(const std::optional<SettingValue>& value) {
    if (!value) return std::nullopt;
    if (const auto* d = std::get_if<SettingDate>(&*value)) return *d;
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// The file

namespace {

constexpr const char* kDateTag = "$date";
constexpr const char* kDateNanosecondsTag = "$ns";
constexpr const char* kDoubleTag = "$double";

json toJson(const SettingValue& value) {
    return std::visit(Overloaded{
                          [](bool b) { return json(b); },
                          [](int64_t i) { return json(i); },
                          [](double d) {
                              if (std::isnan(d)) return json{{kDoubleTag, "nan"}};
                              if (std::isinf(d)) return json{{kDoubleTag, d > 0 ? "inf" : "-inf"}};
                              return json(d);
                          },
                          [](const std::string& s) { return json(s); },
                          [](const SettingDate& date) {
                              auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(date.time_since_epoch());
                              return json{{kDateTag, static_cast<double>(ns.count()) / 1e9},
                                          {kDateNanosecondsTag, static_cast<int64_t>(ns.count())}};
                          },
                      },
                      value);
}

std::optional<SettingDate> dateFromJson(const json& object) {
    auto ns = object.find(kDateNanosecondsTag);
    if (ns != object.end() && ns->is_number_integer()) {
        if (ns->is_number_unsigned() && ns->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
        return SettingDate(std::chrono::duration_cast<SettingDate::duration>(
            std::chrono::nanoseconds(ns->get<int64_t>())));
    }
    auto seconds = object.find(kDateTag);
    if (seconds == object.end() || !seconds->is_number()) return std::nullopt;
    double s = seconds->get<double>();
    // About ±292 years around 1970 fit into nanoseconds.
    if (!std::isfinite(s) || std::fabs(s) > 9.2e9) return std::nullopt;
    auto nanos = std::chrono::nanoseconds(static_cast<int64_t>(std::llround(s * 1e9)));
    return SettingDate(std::chrono::duration_cast<SettingDate::duration>(nanos));
}

std::optional<SettingValue> fromJson(const json& value) {
    switch (value.type()) {
        case json::value_t::boolean:
            return SettingValue(std::in_place_type<bool>, value.get<bool>());
        case json::value_t::number_integer:
            return SettingValue(std::in_place_type<int64_t>, value.get<int64_t>());
        case json::value_t::number_unsigned: {
            auto u = value.get<uint64_t>();
            if (u <= static_cast<uint64_t>(INT64_MAX))
                return SettingValue(std::in_place_type<int64_t>, static_cast<int64_t>(u));
            return SettingValue(std::in_place_type<double>, static_cast<double>(u));
        }
        case json::value_t::number_float:
            return SettingValue(std::in_place_type<double>, value.get<double>());
        case json::value_t::string:
            return SettingValue(std::in_place_type<std::string>, value.get<std::string>());
        case json::value_t::object: {
            if (value.contains(kDateTag) || value.contains(kDateNanosecondsTag)) {
                if (auto date = dateFromJson(value)) return SettingValue(*date);
                return std::nullopt;
            }
            auto tag = value.find(kDoubleTag);
            if (tag != value.end() && tag->is_string()) {
                const auto& text = tag->get_ref<const std::string&>();
                if (text == "nan") return SettingValue(std::numeric_limits<double>::quiet_NaN());
                if (text == "inf") return SettingValue(std::numeric_limits<double>::infinity());
                if (text == "-inf") return SettingValue(-std::numeric_limits<double>::infinity());
            }
            return std::nullopt;
        }
        default:
            return std::nullopt;
    }
}

// A file descriptor closed when it goes out of scope.
class UniqueFd {
public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    // Closes now and reports whether closing succeeded.
    bool close() {
        int fd = std::exchange(fd_, -1);
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_;
};

std::string errnoText(int error) { return std::error_code(error, std::generic_category()).message(); }

// Writes `text` to `file` so that the file holds either the old or the new contents, never a part.
bool writeFileAtomically(const fs::path& requested, const std::string& text) {
    fs::path file = requested;
    std::error_code ec;
    if (fs::is_symlink(file, ec)) {
        // Keep a link placed by the user and replace the file it points to.
        fs::path target = fs::weakly_canonical(file, ec);
        if (!ec) file = target;
    }
    fs::path folder = file.parent_path();
    if (!folder.empty()) {
        fs::create_directories(folder, ec);
        if (ec) {
            logf("Could not create the settings folder %s: %s", folder.c_str(), ec.message().c_str());
            return false;
        }
    }

    std::string pattern = (folder / (file.filename().string() + ".tmp-XXXXXX")).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    UniqueFd fd(::mkostemp(name.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        int error = errno;
        logf("Could not write the settings file %s: %s", file.c_str(), errnoText(error).c_str());
        return false;
    }
    auto fail = [&](const char* step) {
        int error = errno;
        ::unlink(name.data());
        logf("Could not write the settings file %s (%s): %s", file.c_str(), step, errnoText(error).c_str());
        return false;
    };

    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd.get(), data, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail("write");
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    if (::fsync(fd.get()) != 0) return fail("fsync");
    if (!fd.close()) return fail("close");
    if (::rename(name.data(), file.c_str()) != 0) return fail("rename");

    // Make the rename itself durable; a failure here leaves a valid file either way.
    UniqueFd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
    return true;
}

// Moves a file that cannot be used aside, under a name that does not exist yet. Returns the new name.
std::optional<fs::path> moveAside(const fs::path& file) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    const std::string base = file.string() + ".broken-" + stamp;

    for (int n = 0; n < 10000; ++n) {
        std::string candidate = n == 0 ? base : base + "-" + std::to_string(n);
        if (::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, candidate.c_str(), RENAME_NOREPLACE) == 0)
            return fs::path(candidate);
        if (errno == EEXIST) continue;
        if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
            // File system without the no-replace rename: a hard link never replaces either.
            if (::link(file.c_str(), candidate.c_str()) == 0) {
                ::unlink(file.c_str());
                return fs::path(candidate);
            }
            if (errno == EEXIST) continue;
        }
        return std::nullopt;
    }
    return std::nullopt;
}

enum class ReadResult { Missing, Read, Unreadable };

ReadResult readWholeFile(const fs::path& file, std::string& out) {
    std::error_code ec;
    auto status = fs::status(file, ec);
    if (status.type() == fs::file_type::not_found) return ReadResult::Missing;
    if (ec || !fs::is_regular_file(status)) return ReadResult::Unreadable;
    std::ifstream in(file, std::ios::binary);
    if (!in) return ReadResult::Unreadable;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) return ReadResult::Unreadable;
    out = buffer.str();
    return ReadResult::Read;
}

}  // namespace

struct Settings::Data {
    bool loaded = false;
    bool writable = true;
    std::map<std::string, SettingValue> values;
    // Entries of the file this version does not understand; written back as they were.
    std::map<std::string, json> foreign;
    // Bumped on every change that must reach the file.
    uint64_t generation = 0;
};

Settings& Settings::standard() {
    static Settings settings(settingsFilePath());
    return settings;
}

Settings::Settings(fs::path file) : file_(std::move(file)), data_(std::make_unique<Data>()) {}

Settings::~Settings() = default;

void Settings::ensureLoadedLocked() const {
    Data& d = *data_;
    if (d.loaded) return;
    d.loaded = true;

    std::string text;
    ReadResult result = readWholeFile(file_, text);
    if (result == ReadResult::Missing) return;

    const char* problem = nullptr;
    json document;
    if (result == ReadResult::Unreadable) {
        problem = "cannot be read";
    } else {
        document = json::parse(text, nullptr, /*allow_exceptions=*/false);
        if (document.is_discarded())
            problem = "is not valid JSON";
        else if (!document.is_object())
            problem = "does not hold a JSON object";
    }

    if (problem != nullptr) {
        if (auto aside = moveAside(file_)) {
            logf("Settings file %s %s; kept it as %s and starting with no settings", file_.c_str(), problem,
                 aside->c_str());
        } else {
            int error = errno;
            d.writable = false;
            logf("Settings file %s %s and could not be moved aside (%s); starting with no settings and "
                 "leaving the file untouched",
                 file_.c_str(), problem, errnoText(error).c_str());
        }
        return;
    }

    for (const auto& [key, raw] : document.items()) {
        if (auto value = fromJson(raw)) {
            d.values.emplace(key, std::move(*value));
        } else {
            logf("Settings file %s: ignoring the value of %s, which is of an unknown form", file_.c_str(), key.c_str());
            d.foreign.emplace(key, raw);
        }
    }
}

std::optional<SettingValue> Settings::objectForKey(const std::string& key) const {
    std::lock_guard lock(dataMutex_);
    ensureLoadedLocked();
    auto it = data_->values.find(key);
    if (it == data_->values.end()) return std::nullopt;
    return it->second;
}

std::map<std::string, SettingValue> Settings::dictionaryRepresentation() const {
    std::lock_guard lock(dataMutex_);
    ensureLoadedLocked();
    return data_->values;
}

std::vector<std::string> Settings::applyLocked(const std::vector<Change>& changes) {
    ensureLoadedLocked();
    Data& d = *data_;

    // The value each key had before the batch, in the order the keys first appear.
    std::vector<std::pair<std::string, std::optional<SettingValue>>> before;
    std::set<std::string> seen;
    for (const auto& [key, value] : changes) {
        if (!seen.insert(key).second) continue;
        auto it = d.values.find(key);
        before.emplace_back(key, it == d.values.end() ? std::nullopt : std::optional<SettingValue>(it->second));
    }

    bool dirty = false;
    for (const auto& [key, value] : changes) {
        if (d.foreign.erase(key) != 0) dirty = true;
        if (value)
            d.values.insert_or_assign(key, *value);
        else
            d.values.erase(key);
    }

    std::vector<std::string> changed;
    for (const auto& [key, old] : before) {
        auto it = d.values.find(key);
        std::optional<SettingValue> now = it == d.values.end() ? std::nullopt : std::optional<SettingValue>(it->second);
        if (now != old) changed.push_back(key);
    }
    if (dirty || !changed.empty()) ++d.generation;
    return changed;
}

void Settings::applyChanges(const std::vector<Change>& changes) {
    if (changes.empty()) return;
    std::vector<std::string> changed;
    uint64_t generation;
    {
        std::lock_guard lock(dataMutex_);
        uint64_t previous = data_->generation;
        changed = applyLocked(changes);
        generation = data_->generation;
        if (generation == previous) return;
    }
    persist(generation);
    notify(changed);
}

void Settings::setObject(const std::string& key, SettingValue value) {
    applyChanges({Change(key, std::move(value))});
}

void Settings::removeObjectForKey(const std::string& key) { applyChanges({Change(key, std::nullopt)}); }

bool Settings::setObjectIfAbsent(const std::string& key, SettingValue value) {
    uint64_t generation;
    {
        std::lock_guard lock(dataMutex_);
        ensureLoadedLocked();
        if (data_->values.count(key) != 0) return false;
        applyLocked({Change(key, std::move(value))});
        generation = data_->generation;
    }
    persist(generation);
    notify({key});
    return true;
}

void Settings::persist(uint64_t generation) {
    std::lock_guard writeLock(writeMutex_);
    // A write that began after this change already carried it.
    if (writtenGeneration_ >= generation) return;

    json document = json::object();
    uint64_t snapshot;
    {
        std::lock_guard lock(dataMutex_);
        if (!data_->writable) return;
        snapshot = data_->generation;
        for (const auto& [key, raw] : data_->foreign) document[key] = raw;
        for (const auto& [key, value] : data_->values) document[key] = toJson(value);
    }
    if (writeFileAtomically(file_, document.dump(2) + "\n")) writtenGeneration_ = snapshot;
}

void Settings::notify(const std::vector<std::string>& keys) {
    for (const auto& key : keys) observers_.didChangeValueForKey(key);
}

Subscription Settings::observe(const std::string& key, std::function<void(const std::string& key)> callback) {
    return observers_.observe(key, std::move(callback));
}

// ---------------------------------------------------------------------------------------------

void applyPreferenceDefaults(Settings& settings, const std::string& defaultRecordingDirectory) {
    settings.setObjectIfAbsent(kAutoUpload, SettingValue(kDefaultAutoUpload));
    settings.setObjectIfAbsent(kScreenCaptureFrameRate, SettingValue(kDefaultScreenCaptureFrameRate));
    settings.setObjectIfAbsent(kRecordingFolder, SettingValue(defaultRecordingDirectory));
    settings.setObjectIfAbsent(kHotkeysEnabled, SettingValue(kDefaultHotkeysEnabled));
    if (!settings.contains(kVideoCompressionOption)) {
        const char* option = settings.boolForKey(kRecordHighResolution) ? kVideoCompressionHighResolution
                                                                       : kVideoCompressionStandard;
        settings.setObjectIfAbsent(kVideoCompressionOption, SettingValue(std::string(option)));
    }
    settings.setObjectIfAbsent(kAudioCompressionOption, SettingValue(std::string(kDefaultAudioCompressionOption)));
    if (settings.setObjectIfAbsent(kVideoFrameRate, SettingValue(kDefaultVideoFrameRate)))
        logf("Defaulting %s: %d", kVideoFrameRate, static_cast<int>(kDefaultVideoFrameRate));
}

// ---------------------------------------------------------------------------------------------

std::optional<SettingValue> SettingsEditor::objectForKey(const std::string& key) const {
    {
        std::lock_guard lock(mutex_);
        for (auto it = pending_.rbegin(); it != pending_.rend(); ++it)
            if (it->first == key) return it->second;
    }
    return settings_.objectForKey(key);
}

void SettingsEditor::setObject(const std::string& key, SettingValue value) {
    std::lock_guard lock(mutex_);
    std::erase_if(pending_, [&](const Settings::Change& c) { return c.first == key; });
    pending_.emplace_back(key, std::move(value));
}

void SettingsEditor::removeObjectForKey(const std::string& key) {
    std::lock_guard lock(mutex_);
    std::erase_if(pending_, [&](const Settings::Change& c) { return c.first == key; });
    pending_.emplace_back(key, std::nullopt);
}

bool SettingsEditor::hasChanges() const {
    std::lock_guard lock(mutex_);
    return !pending_.empty();
}

void SettingsEditor::save() {
    std::vector<Settings::Change> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(pending_);
    }
    settings_.applyChanges(batch);
}

void SettingsEditor::discard() {
    std::lock_guard lock(mutex_);
    pending_.clear();
}

}  // namespace orvanta::core
