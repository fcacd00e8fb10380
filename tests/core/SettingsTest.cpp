#include "core/Settings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <ctime>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "core/SettingsKeys.h"
#include "support/Files.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using namespace orvanta::core;
using nlohmann::json;
namespace test = orvanta::test;

namespace {

using test::LogCapture;

void writeText(const fs::path& file, const std::string& text) { std::ofstream(file) << text; }

json readJson(const fs::path& file) { return json::parse(test::readFile(file)); }

// Files in `folder` whose names begin with `prefix`.
std::set<std::string> filesStartingWith(const fs::path& folder, const std::string& prefix) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0) names.insert(name);
    }
    return names;
}

const std::string kFolder = "/home/user/Documents/Orvanta Recordings";

class SettingsTest : public ::testing::Test {
protected:
    fs::path file() const { return dir_.path() / "config" / "settings.json"; }
    test::TempDir dir_;
};

// ---- Preference defaults -------------------------------------------------------------------------

TEST_F(SettingsTest, FreshAccountGetsEveryPreferenceDefaultInOrder) {
    LogCapture log;
    Settings settings(file());
    std::vector<std::string> order;
    std::vector<Subscription> subscriptions;
    for (const char* key : {kAutoUpload, kScreenCaptureFrameRate, kRecordingFolder, kHotkeysEnabled,
                            kVideoCompressionOption, kAudioCompressionOption, kVideoFrameRate})
        subscriptions.push_back(settings.observe(key, [&](const std::string& k) { order.push_back(k); }));

    applyPreferenceDefaults(settings, kFolder);

    EXPECT_EQ(order, (std::vector<std::string>{"AutoUpload", "ScreenCaptureFrameRate", "RecordingFolder",
                                               "HOTKEYS_ENABLED", "VideoCompressionOption", "AudioCompressionOption",
                                               "VideoFrameRate"}));
    EXPECT_TRUE(log.contains("Defaulting VideoFrameRate: 15"));

    // Reloaded from the file, with the stored types.
    Settings reloaded(file());
    EXPECT_EQ(reloaded.objectForKey(kAutoUpload), SettingValue(true));
    EXPECT_EQ(reloaded.objectForKey(kScreenCaptureFrameRate), SettingValue(int64_t{5}));
    EXPECT_EQ(reloaded.objectForKey(kRecordingFolder), SettingValue(kFolder));
    EXPECT_EQ(reloaded.objectForKey(kHotkeysEnabled), SettingValue(true));
    EXPECT_EQ(reloaded.stringForKey(kVideoCompressionOption), "QTCompressionOptions240SizeMPEG4Video");
    EXPECT_EQ(reloaded.stringForKey(kAudioCompressionOption), "QTCompressionOptionsVoiceQualityAACAudio");
    EXPECT_EQ(reloaded.objectForKey(kVideoFrameRate), SettingValue(15.0));
    EXPECT_EQ(reloaded.integerForKey(kVideoFrameRate), 15);
    // Written by the uploader when it first needs them, not here.
    EXPECT_FALSE(reloaded.contains(kMaxUploadRetriesKey));
    EXPECT_FALSE(reloaded.contains(kMaxCloseFileRetriesKey));
    EXPECT_FALSE(reloaded.contains(kRecordHighResolution));
}

TEST_F(SettingsTest, RecordHighResolutionChoosesTheVideoDefault) {
    const std::pair<std::optional<SettingValue>, const char*> cases[] = {
        {SettingValue(true), "QTCompressionOptionsSD480SizeH264Video"},
        {SettingValue(std::string("YES")), "QTCompressionOptionsSD480SizeH264Video"},
        {SettingValue(false), "QTCompressionOptions240SizeMPEG4Video"},
        {std::nullopt, "QTCompressionOptions240SizeMPEG4Video"},
    };
    for (const auto& [highResolution, expected] : cases) {
        fs::remove(file());
        Settings settings(file());
        if (highResolution) settings.setObject(kRecordHighResolution, *highResolution);
        applyPreferenceDefaults(settings, kFolder);
        EXPECT_EQ(settings.stringForKey(kVideoCompressionOption), expected);
    }
}

TEST_F(SettingsTest, PresentValuesAreNeverOverwrittenEvenEmptyOnes) {
    const std::map<std::string, SettingValue> present = {
        {kAutoUpload, false},
        {kScreenCaptureFrameRate, int64_t{0}},
        {kRecordingFolder, std::string()},
        {kHotkeysEnabled, std::string()},
        {kVideoCompressionOption, std::string()},
        {kAudioCompressionOption, std::string("custom")},
        {kVideoFrameRate, int64_t{30}},
    };
    {
        Settings settings(file());
        for (const auto& [key, value] : present) settings.setObject(key, value);
    }
    LogCapture log;
    Settings settings(file());
    int notifications = 0;
    std::vector<Subscription> subscriptions;
    for (const auto& [key, value] : present)
        subscriptions.push_back(settings.observe(key, [&](const std::string&) { ++notifications; }));

    applyPreferenceDefaults(settings, kFolder);

    EXPECT_EQ(settings.dictionaryRepresentation(), present);
    EXPECT_EQ(notifications, 0);
    EXPECT_FALSE(log.contains("Defaulting"));
}

// ---- Reading values -----------------------------------------------------------------------------

TEST_F(SettingsTest, AbsentKeysReadAsNothing) {
    Settings settings(file());
    EXPECT_FALSE(settings.contains("Missing"));
    EXPECT_FALSE(settings.objectForKey("Missing"));
    EXPECT_FALSE(settings.boolForKey("Missing"));
    EXPECT_EQ(settings.integerForKey("Missing"), 0);
    EXPECT_EQ(settings.doubleForKey("Missing"), 0.0);
    EXPECT_EQ(settings.stringForKey("Missing"), std::nullopt);
    EXPECT_EQ(settings.dateForKey("Missing"), std::nullopt);
    EXPECT_FALSE(fs::exists(file())) << "reading must not create the file";
}

TEST_F(SettingsTest, TypedReadsConvertStoredValues) {
    struct Case {
        SettingValue value;
        bool asBool;
        int64_t asInteger;
        double asDouble;
    };
    const SettingDate date = std::chrono::system_clock::from_time_t(1'000'000'000);
    const Case cases[] = {
        {true, true, 1, 1.0},
        {false, false, 0, 0.0},
        {int64_t{0}, false, 0, 0.0},
        {int64_t{-7}, true, -7, -7.0},
        {15.9, true, 15, 15.9},
        {-2.7, true, -2, -2.7},
        {1e300, true, std::numeric_limits<int64_t>::max(), 1e300},
        {std::numeric_limits<double>::quiet_NaN(), true, 0, std::numeric_limits<double>::quiet_NaN()},
        {std::string("YES"), true, 0, 0.0},
        {std::string("true"), true, 0, 0.0},
        {std::string("1"), true, 1, 1.0},
        {std::string("NO"), false, 0, 0.0},
        {std::string("0"), false, 0, 0.0},
        {std::string(""), false, 0, 0.0},
        {std::string("  42abc"), true, 42, 42.0},
        {std::string("-3.5"), true, -3, -3.5},
        {std::string("99999999999999999999"), true, std::numeric_limits<int64_t>::max(), 1e20},
        {date, false, 0, 0.0},
    };
    Settings settings(file());
    for (const auto& c : cases) {
        settings.setObject("k", c.value);
        SCOPED_TRACE(testing::Message() << "value index " << c.value.index());
        EXPECT_EQ(settings.boolForKey("k"), c.asBool);
        EXPECT_EQ(settings.integerForKey("k"), c.asInteger);
        if (std::isnan(c.asDouble))
            EXPECT_TRUE(std::isnan(settings.doubleForKey("k")));
        else
            EXPECT_DOUBLE_EQ(settings.doubleForKey("k"), c.asDouble);
        // Only text reads as text and only dates as dates; numbers are not turned into text.
        auto* text = std::get_if<std::string>(&c.value);
        EXPECT_EQ(settings.stringForKey("k"), text ? std::optional<std::string>(*text) : std::nullopt);
        EXPECT_EQ(settings.dateForKey("k").has_value(), std::holds_alternative<SettingDate>(c.value));
    }
}

// ---- The file ---------------------------------------------------------------------------------

TEST_F(SettingsTest, ValuesRoundTripThroughTheFileWithTheirTypes) {
    // A date with nanoseconds must come back exactly: crash-log dates are compared with file times.
    const SettingDate date = SettingDate(std::chrono::nanoseconds(1'700'000'000'123'456'789));
    const SettingDate early = std::chrono::system_clock::from_time_t(-86400);
    const std::map<std::string, SettingValue> values = {
        {"bool", true},
        {"int", int64_t{-42}},
        {"intMax", std::numeric_limits<int64_t>::max()},
        {"whole double", 15.0},
        {"double", 0.1},
        {"inf", -std::numeric_limits<double>::infinity()},
        {"string", std::string("Grüße \"quoted\" \\ /")},
        {"empty", std::string()},
        {"date", date},
        {"early date", early},
    };
    {
        Settings settings(file());
        for (const auto& [key, value] : values) settings.setObject(key, value);
        settings.setDouble("nan", std::numeric_limits<double>::quiet_NaN());
    }

    Settings reloaded(file());
    auto all = reloaded.dictionaryRepresentation();
    ASSERT_TRUE(std::holds_alternative<double>(all.at("nan")));
    EXPECT_TRUE(std::isnan(std::get<double>(all.at("nan"))));
    all.erase("nan");
    EXPECT_EQ(all, values);

    json raw = readJson(file());
    EXPECT_TRUE(raw.at("whole double").is_number_float());
    EXPECT_TRUE(raw.at("int").is_number_integer());
    EXPECT_NEAR(raw.at("date").at("$date").get<double>(), 1'700'000'000.123456789, 1e-6);
    EXPECT_NE(test::readFile(file()).find("\"whole double\": 15.0"), std::string::npos);
}

TEST_F(SettingsTest, RemovalReachesTheFile) {
    {
        Settings settings(file());
        settings.setString(kLogin, "alice");
        settings.setString(kServer, "example.org");
        settings.removeObjectForKey(kLogin);
    }
    Settings reloaded(file());
    EXPECT_FALSE(reloaded.contains(kLogin));
    EXPECT_EQ(reloaded.stringForKey(kServer), "example.org");
}

TEST_F(SettingsTest, BrokenFileIsKeptAsideAndDefaultsApply) {
    const std::pair<std::string, const char*> cases[] = {
        {"{\"AutoUpload\": false,", "is not valid JSON"},
        {"", "is not valid JSON"},
        {"[1, 2]", "does not hold a JSON object"},
        {"\"text\"", "does not hold a JSON object"},
    };
    for (const auto& [content, problem] : cases) {
        SCOPED_TRACE(content);
        fs::path folder = file().parent_path();
        fs::remove_all(folder);
        fs::create_directories(folder);
        writeText(file(), content);
        // Files with the names a kept-aside copy would get in the next seconds must stay untouched.
        std::set<std::string> occupied;
        for (int s = 0; s < 4; ++s) {
            std::time_t t = std::time(nullptr) + s;
            std::tm tm{};
            localtime_r(&t, &tm);
            char stamp[32];
            std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
            std::string name = std::string("settings.json.broken-") + stamp;
            writeText(folder / name, "older copy");
            occupied.insert(name);
        }

        LogCapture log;
        Settings settings(file());
        EXPECT_FALSE(settings.contains(kAutoUpload));
        EXPECT_TRUE(log.contains(problem));

        auto kept = filesStartingWith(folder, "settings.json.broken-");
        ASSERT_EQ(kept.size(), occupied.size() + 1);
        for (const auto& name : kept) {
            if (occupied.count(name))
                EXPECT_EQ(test::readFile(folder / name), "older copy") << name;
            else
                EXPECT_EQ(test::readFile(folder / name), content) << name;
        }

        applyPreferenceDefaults(settings, kFolder);
        EXPECT_TRUE(readJson(file()).at(kAutoUpload).get<bool>());
    }
}

TEST_F(SettingsTest, EntriesOfUnknownFormSurviveWrites) {
    fs::create_directories(file().parent_path());
    writeText(file(), R"({"list": [1, 2], "nothing": null, "AutoUpload": true})");
    Settings settings(file());
    EXPECT_FALSE(settings.contains("list"));
    EXPECT_TRUE(settings.boolForKey(kAutoUpload));

    settings.setInteger(kScreenCaptureFrameRate, 10);
    json raw = readJson(file());
    EXPECT_EQ(raw.at("list"), json::parse("[1, 2]"));
    EXPECT_TRUE(raw.at("nothing").is_null());
    EXPECT_EQ(raw.at(kScreenCaptureFrameRate), 10);

    settings.setString("list", "replaced");
    EXPECT_EQ(readJson(file()).at("list"), "replaced");
}

TEST_F(SettingsTest, FailedWriteIsLoggedAndTheValueStays) {
    // The settings folder cannot be made: a plain file is in its way.
    writeText(dir_.path() / "blocker", "x");
    LogCapture log;
    Settings settings(dir_.path() / "blocker" / "settings.json");
    settings.setString(kRecordingFolder, "/somewhere");
    EXPECT_EQ(settings.stringForKey(kRecordingFolder), "/somewhere");
    EXPECT_TRUE(log.contains("Could not"));
}

TEST_F(SettingsTest, LinkedSettingsFileStaysALink) {
    fs::create_directories(file().parent_path());
    fs::path real = dir_.path() / "dotfiles-settings.json";
    writeText(real, "{}");
    fs::create_symlink(real, file());
    Settings settings(file());
    settings.setBool(kSaveLogin, true);
    EXPECT_TRUE(fs::is_symlink(file()));
    EXPECT_TRUE(readJson(real).at(kSaveLogin).get<bool>());
}

TEST_F(SettingsTest, StandardStoreIsOneObjectOnTheSettingsFile) {
    EXPECT_EQ(&Settings::standard(), &Settings::standard());
    EXPECT_EQ(Settings::standard().file().filename(), "settings.json");
}

// ---- Observation ------------------------------------------------------------------------------

TEST_F(SettingsTest, ObserversFireOncePerRealChange) {
    Settings settings(file());
    std::vector<std::optional<SettingValue>> seen;  // the value read inside the callback
    auto subscription = settings.observe(kVideoFrameRate, [&](const std::string& key) {
        EXPECT_EQ(key, kVideoFrameRate);
        seen.push_back(settings.objectForKey(key));  // reading from the callback must not dead-lock
    });
    int otherKey = 0;
    auto other = settings.observe(kAutoUpload, [&](const std::string&) { ++otherKey; });

    settings.setInteger(kVideoFrameRate, 15);  // change
    settings.setInteger(kVideoFrameRate, 15);  // same value: nothing
    settings.setDouble(kVideoFrameRate, 15.0); // another type: a change
    settings.removeObjectForKey(kVideoFrameRate);
    settings.removeObjectForKey(kVideoFrameRate);  // already absent: nothing
    EXPECT_TRUE(settings.setObjectIfAbsent(kAutoUpload, true));
    EXPECT_FALSE(settings.setObjectIfAbsent(kAutoUpload, false));  // present: kept, nothing announced

    EXPECT_EQ(seen, (std::vector<std::optional<SettingValue>>{SettingValue(int64_t{15}), SettingValue(15.0),
                                                              std::nullopt}));
    EXPECT_EQ(otherKey, 1);

    subscription.reset();
    settings.setInteger(kVideoFrameRate, 1);
    EXPECT_EQ(seen.size(), 3u);
}

// ---- Buffered editing ---------------------------------------------------------------------------

TEST_F(SettingsTest, EditorDiscardLeavesTheStoreAsItWas) {
    Settings settings(file());
    settings.setString(kRecordingFolder, "/recordings");
    int notifications = 0;
    auto subscription = settings.observe(kRecordingFolder, [&](const std::string&) { ++notifications; });

    SettingsEditor editor(settings);
    editor.setString(kRecordingFolder, "/elsewhere");
    EXPECT_EQ(editor.stringForKey(kRecordingFolder), "/elsewhere");
    EXPECT_EQ(settings.stringForKey(kRecordingFolder), "/recordings");
    EXPECT_TRUE(editor.hasChanges());

    editor.discard();
    EXPECT_FALSE(editor.hasChanges());
    EXPECT_EQ(editor.stringForKey(kRecordingFolder), "/recordings");
    EXPECT_EQ(Settings(file()).stringForKey(kRecordingFolder), "/recordings");
    EXPECT_EQ(notifications, 0);
}

TEST_F(SettingsTest, EditorSaveAppliesTheWholeBatch) {
    Settings settings(file());
    settings.setString(kRecordingFolder, "/recordings");
    settings.setBool(kHotkeysEnabled, true);
    std::vector<std::string> changed;
    std::vector<Subscription> subscriptions;
    for (const char* key : {kRecordingFolder, kHotkeysEnabled, kVideoCompressionOption})
        subscriptions.push_back(settings.observe(key, [&](const std::string& k) { changed.push_back(k); }));

    SettingsEditor editor(settings);
    editor.setString(kRecordingFolder, "/first");
    editor.setString(kRecordingFolder, "/second");  // the last edit of a key counts
    editor.removeObjectForKey(kHotkeysEnabled);
    editor.setString(kVideoCompressionOption, "QTCompressionOptionsSD480SizeH264Video");
    EXPECT_FALSE(editor.contains(kHotkeysEnabled));
    EXPECT_TRUE(settings.contains(kHotkeysEnabled));
    EXPECT_TRUE(changed.empty());

    editor.save();
    EXPECT_FALSE(editor.hasChanges());
    EXPECT_EQ(changed, (std::vector<std::string>{kRecordingFolder, kHotkeysEnabled, kVideoCompressionOption}));

    Settings reloaded(file());
    EXPECT_EQ(reloaded.stringForKey(kRecordingFolder), "/second");
    EXPECT_FALSE(reloaded.contains(kHotkeysEnabled));
    EXPECT_EQ(reloaded.stringForKey(kVideoCompressionOption), "QTCompressionOptionsSD480SizeH264Video");
}

// ---- Threads ----------------------------------------------------------------------------------

TEST_F(SettingsTest, ConcurrentWritersLoseNothing) {
    Settings settings(file());
    constexpr int kThreads = 4;
    constexpr int kKeysPerThread = 20;
    std::atomic<int> winners{0};
    std::atomic<int> notifications{0};
    auto subscription = settings.observe("shared", [&](const std::string&) { ++notifications; });

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kKeysPerThread; ++i) {
                std::string key = "t" + std::to_string(t) + "-" + std::to_string(i);
                settings.setInteger(key, i);
                EXPECT_EQ(settings.integerForKey(key), i);
                if (settings.setObjectIfAbsent("shared", SettingValue(int64_t{t}))) ++winners;
            }
        });
    }
    for (auto& thread : threads) thread.join();

    EXPECT_EQ(winners.load(), 1);
    EXPECT_EQ(notifications.load(), 1);
    Settings reloaded(file());
    EXPECT_EQ(reloaded.dictionaryRepresentation(), settings.dictionaryRepresentation());
    EXPECT_EQ(reloaded.dictionaryRepresentation().size(), size_t{kThreads * kKeysPerThread + 1});
}

}  // namespace
