#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/Observable.h"

namespace orvanta::core {

using SettingDate = std::chrono::system_clock::time_point;
using SettingValue = std::variant<bool, int64_t, double, std::string, SettingDate>;

// How readers see a stored value (or an absent one):
//  - bool: absent NO; numbers non-zero; text whose first significant character (after blanks, a sign
//    and leading zeros) is Y, y, T, t or 1-9 ("YES", "true", "1"); dates NO.
//  - integer: absent 0; bool 0/1; double truncated toward zero (clamped, NaN 0); text by its leading
//    integer ("42abc" 42, otherwise 0); dates 0.
//  - double: absent 0; bool 0/1; integer converted; text by its leading number; dates 0.
//  - string: only text values; anything else reads as none.
//  - date: only date values.
bool settingBoolValue(const std::optional<SettingValue>& value);
int64_t settingIntegerValue(const std::optional<SettingValue>& value);
double settingDoubleValue(const std::optional<SettingValue>& value);
std::optional<std::string> settingStringValue(const std::optional<SettingValue>& value);
std::optional<SettingDate> settingDateValue(const std::optional<SettingValue>& value);

// Typed reading and writing on top of objectForKey / setObject / removeObjectForKey; shared by the
// store and its buffered editor so that the preferences window can work on either.
class SettingsAccess {
public:
    virtual ~SettingsAccess() = default;

    virtual std::optional<SettingValue> objectForKey(const std::string& key) const = 0;
    virtual void setObject(const std::string& key, SettingValue value) = 0;
    virtual void removeObjectForKey(const std::string& key) = 0;

    bool contains(const std::string& key) const { return objectForKey(key).has_value(); }
    bool boolForKey(const std::string& key) const { return settingBoolValue(objectForKey(key)); }
    int64_t integerForKey(const std::string& key) const { return settingIntegerValue(objectForKey(key)); }
    double doubleForKey(const std::string& key) const { return settingDoubleValue(objectForKey(key)); }
    std::optional<std::string> stringForKey(const std::string& key) const {
        return settingStringValue(objectForKey(key));
    }
    std::optional<SettingDate> dateForKey(const std::string& key) const {
        return settingDateValue(objectForKey(key));
    }

    void setBool(const std::string& key, bool value) { setObject(key, SettingValue(std::in_place_type<bool>, value)); }
    void setInteger(const std::string& key, int64_t value) {
        setObject(key, SettingValue(std::in_place_type<int64_t>, value));
    }
    void setDouble(const std::string& key, double value) {
        setObject(key, SettingValue(std::in_place_type<double>, value));
    }
    void setString(const std::string& key, std::string value) {
        setObject(key, SettingValue(std::in_place_type<std::string>, std::move(value)));
    }
    void setDate(const std::string& key, SettingDate value) {
        setObject(key, SettingValue(std::in_place_type<SettingDate>, value));
    }
};

// The per-user key-value store, kept as a JSON object in one file.
//
// Every change is written to the file before the call returns (temporary file in the same folder,
// fsync, rename), so nothing is lost when the process ends. Changes made at the same moment from
// several threads are coalesced into as few writes as possible. A failed write is logged; the value
// stays in memory and the next change tries again.
//
// A file that cannot be read or is not a JSON object is logged and moved aside to
// "<name>.broken-YYYYmmdd-HHMMSS[-N]" (never replacing an existing file); the store then starts empty.
// When it cannot be moved aside, the store does not write at all, so the old file is never replaced.
//
// Observers of a key are called, on the thread that made the change and outside every lock, after each
// real change of it: a new value that differs from the old one, or the removal of a present key.
//
// Values in the file: booleans, integers and strings as JSON values; doubles always with a fraction
// (15.0), non-finite ones as {"$double": "nan"|"inf"|"-inf"}; dates as
// {"$date": <seconds since 1970 as a double>, "$ns": <nanoseconds since 1970>} ("$ns" wins when both are
// read, so a date reloads exactly). Entries of any other form are kept in the file untouched but read as
// absent.
class Settings final : public SettingsAccess {
public:
    // The store for this user, on settingsFilePath(); its file is read on first use.
    static Settings& standard();

    // A store on the given file, read on first use.
    explicit Settings(std::filesystem::path file);
    ~Settings() override;
    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

    const std::filesystem::path& file() const { return file_; }

    std::optional<SettingValue> objectForKey(const std::string& key) const override;
    void setObject(const std::string& key, SettingValue value) override;
    void removeObjectForKey(const std::string& key) override;

    // Writes the value only when the key is absent, in one step. True when it was written.
    bool setObjectIfAbsent(const std::string& key, SettingValue value);

    // Applies several changes with a single file write. A change without a value removes the key.
    using Change = std::pair<std::string, std::optional<SettingValue>>;
    void applyChanges(const std::vector<Change>& changes);

    // All present keys and values.
    std::map<std::string, SettingValue> dictionaryRepresentation() const;

    [[nodiscard]] Subscription observe(const std::string& key, std::function<void(const std::string& key)> callback);

private:
    void ensureLoadedLocked() const;
    // Records the real changes among `changes` under the lock; returns the keys that changed.
    std::vector<std::string> applyLocked(const std::vector<Change>& changes);
    void persist(uint64_t generation);
    void notify(const std::vector<std::string>& keys);

    struct Data;
    const std::filesystem::path file_;
    std::unique_ptr<Data> data_;
    mutable std::mutex dataMutex_;   // guards *data_
    std::mutex writeMutex_;          // one file write at a time; taken before dataMutex_
    uint64_t writtenGeneration_ = 0; // the change generation the file holds; guarded by writeMutex_
    Observable observers_;
};

// Writes the defaults the preferences need, in this order, each only when its key is absent (a present
// value, even an empty string, is kept): AutoUpload YES; ScreenCaptureFrameRate 5; RecordingFolder the
// given folder; HOTKEYS_ENABLED YES; VideoCompressionOption by RecordHighResolution; AudioCompressionOption;
// VideoFrameRate 15.0 (a double, logged as "Defaulting VideoFrameRate: 15").
void applyPreferenceDefaults(Settings& settings, const std::string& defaultRecordingDirectory);

// Buffers changes for the preferences window: reads see buffered values over stored ones; save() applies
// the whole batch to the store with one write, discard() drops it. Thread-safe.
class SettingsEditor final : public SettingsAccess {
public:
    explicit SettingsEditor(Settings& settings) : settings_(settings) {}

    Settings& settings() const { return settings_; }

    std::optional<SettingValue> objectForKey(const std::string& key) const override;
    void setObject(const std::string& key, SettingValue value) override;
    void removeObjectForKey(const std::string& key) override;

    bool hasChanges() const;
    void save();
    void discard();

private:
    Settings& settings_;
    mutable std::mutex mutex_;
    // Buffered changes in the order made (the last one per key counts); no value means removal.
    std::vector<Settings::Change> pending_;
};

}  // namespace orvanta::core
