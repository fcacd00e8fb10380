#include "capture/CompressionPresets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

extern "C" {
#include <libavutil/avutil.h>
}

#include "capture/MovieWriter.h"
#include "support/LogCapture.h"
#include "support/ScopedEnvironment.h"
#include "support/TempDir.h"

namespace orvanta::capture {
namespace {

namespace fs = std::filesystem;

std::string option(const CompressionOptions& options, const std::string& key) {
    auto it = std::find_if(options.encoderOptions.begin(), options.encoderOptions.end(),
                           [&](const auto& entry) { return entry.first == key; });
    return it == options.encoderOptions.end() ? std::string("<none>") : it->second;
}

// The presets shipped with the program, as both capture callers ask for them.
TEST(CompressionPresets, ShippedPresetsGiveLowCostEncoders) {
    std::string codec = "avc1";
    auto h264 = MovieWriter::compressionOptions(&codec, 0x300, 512000, 5, false);
    ASSERT_TRUE(h264);
    EXPECT_EQ(codec, "avc1");
    EXPECT_EQ(h264->codec, "avc1");
    EXPECT_EQ(h264->encoderName, "libx264");
    EXPECT_EQ(h264->frameRate, 5);
    EXPECT_EQ(h264->keyFrameInterval, 50);  // ten seconds: key frames are what a still screen costs most
    EXPECT_EQ(option(*h264, "preset"), "veryfast");
    EXPECT_EQ(option(*h264, "tune"), "stillimage");
    EXPECT_EQ(option(*h264, "crf"), "23");
    EXPECT_EQ(h264->bitRate, 0);  // the data rate argument is not applied

    codec = "mp4v";
    auto mpeg4 = MovieWriter::compressionOptions(&codec, 0x300, 0, 15, false);
    ASSERT_TRUE(mpeg4);
    EXPECT_EQ(codec, "mp4v");
    EXPECT_EQ(mpeg4->encoderName, "mpeg4");
    EXPECT_EQ(mpeg4->keyFrameInterval, 30);
    EXPECT_EQ(option(*mpeg4, "flags"), "+qscale");
    EXPECT_EQ(option(*mpeg4, "global_quality"), std::to_string(4 * FF_QP2LAMBDA));
}

// 0x300 is the stored quality; lower asks for fewer bits, higher for more, within the encoder's range.
TEST(CompressionPresets, QualityMovesTheRateFactorAndQuantiser) {
    StoredCompressionSettings crf = defaultCompressionSettings("avc1");
    StoredCompressionSettings qscale = defaultCompressionSettings("mp4v");
    struct Case {
        std::uint32_t quality;
        const char* crf;
        int qscale;
    };
    for (const Case& c : {Case{0x300, "23", 4}, Case{0x200, "29", 6}, Case{0x400, "17", 2}, Case{0x000, "41", 10},
                          Case{0x1000, "1", 1}}) {
        EXPECT_EQ(option(makeCompressionOptions(crf, c.quality, 10), "crf"), c.crf) << c.quality;
        EXPECT_EQ(option(makeCompressionOptions(qscale, c.quality, 10), "global_quality"),
                  std::to_string(c.qscale * FF_QP2LAMBDA))
            << c.quality;
    }
}

class StoredPresetTest : public ::testing::Test {
protected:
    test::TempDir dir;
    test::ScopedEnvironment env;
    test::LogCapture log;

    void SetUp() override {
        fs::create_directories(dir.path() / "presets");
        env.set("ORVANTA_RESOURCE_DIR", dir.path().string());
    }
    void store(const std::string& name, const std::string& text) {
        std::ofstream(dir.path() / "presets" / name) << text;
    }
};

// The stored settings decide the codec, whatever the caller asked for.
TEST_F(StoredPresetTest, TheStoredSettingsDecideTheCodec) {
    store("mpeg4", R"({"codec": "avc1", "encoder": "libx264", "crf": 30, "keyFrameSeconds": 1,
                       "options": {"preset": "ultrafast", "flags": "+cgop"}})");
    std::string codec = "mp4v";
    auto options = MovieWriter::compressionOptions(&codec, 0x300, 0, 30, false);
    ASSERT_TRUE(options);
    EXPECT_EQ(codec, "avc1");
    EXPECT_EQ(options->encoderName, "libx264");
    EXPECT_EQ(option(*options, "crf"), "30");
    EXPECT_EQ(option(*options, "preset"), "ultrafast");
    EXPECT_EQ(option(*options, "flags"), "+cgop");
    EXPECT_EQ(options->keyFrameInterval, 30);
}

// Settings that cannot be read leave the defaults; settings naming an encoder this system lacks
// give no options at all; a missing resource is no failure.
TEST_F(StoredPresetTest, UnusableSettingsAreLogged) {
    struct Case {
        const char* stored;  // null: no resource
        bool options;
        const char* logged;
    };
    const Case cases[] = {
        {nullptr, true, nullptr},
        {"{not json", true, "SCSetSettingsFromAtomContainer() failed with error"},
        {R"({"codec": "avc1"})", true, "SCSetSettingsFromAtomContainer() failed with error"},
        {R"({"codec": "avc1", "encoder": "libx264", "crf": "high"})", true, "SCSetSettingsFromAtomContainer()"},
        {R"({"codec": "avc1toolong", "encoder": "libx264"})", true, "SCSetSettingsFromAtomContainer()"},
        {R"({"codec": "avc1", "encoder": "no-such-encoder"})", false, "Compression component opening failed"},
    };
    for (const Case& c : cases) {
        fs::remove(dir.path() / "presets" / "h264");
        if (c.stored) store("h264", c.stored);
        std::string codec = "avc1";
        auto options = MovieWriter::compressionOptions(&codec, 0x300, 0, 10, false);
        EXPECT_EQ(options != nullptr, c.options) << (c.stored ? c.stored : "none");
        EXPECT_EQ(codec, "avc1");
        if (options) {
            EXPECT_EQ(options->encoderName, "libx264");
            EXPECT_EQ(option(*options, "crf"), "23");
        }
        if (c.logged) EXPECT_TRUE(log.contains(c.logged)) << c.stored;
        else EXPECT_FALSE(log.contains("failed")) << "none";
    }
}

TEST_F(StoredPresetTest, AskingForTheSettingsDialogIsLoggedAndTheStoredSettingsAreUsed) {
    std::string codec = "mp4v";
    auto options = MovieWriter::compressionOptions(&codec, 0x300, 0, 10, true);
    ASSERT_TRUE(options);
    EXPECT_EQ(options->encoderName, "mpeg4");
    EXPECT_TRUE(log.contains("no compression settings dialog"));
    // No codec to report back into.
    EXPECT_TRUE(MovieWriter::compressionOptions(nullptr, 0x300, 0, 10, false));
}

}  // namespace
}  // namespace orvanta::capture
