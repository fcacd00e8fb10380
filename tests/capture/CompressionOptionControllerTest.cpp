#include "capture/CompressionOptionController.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "capture/MovieWriterTestSupport.h"
#include "core/SettingsKeys.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace orvanta::capture {
namespace {

using namespace writertest;

bool contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

class CompressionOptionControllerTest : public ::testing::Test {
protected:
    test::TempDir dir;
    core::Settings settings{dir.path() / "settings.json"};
    CompressionOptionController controller{settings};
};

// Loading makes a controller without a usable media type a video chooser; the lists of video and
// of sound presets hold the presets the defaults name, never lossless or JPEG ones, and every
// listed preset can be made here.
TEST_F(CompressionOptionControllerTest, ListsThePresetsOfItsMediaType) {
    controller.awakeFromNib();
    EXPECT_EQ(controller.mediaType(), kMediaTypeVideo);
    EXPECT_TRUE(controller.isVideo());
    EXPECT_FALSE(controller.isAudio());
    EXPECT_EQ(controller.userDefaultsKey(), "VideoCompressionOption");
    std::vector<std::string> video = controller.compressionIdentifierList();
    EXPECT_TRUE(contains(video, core::kVideoCompressionStandard));
    EXPECT_TRUE(contains(video, core::kVideoCompressionHighResolution));
    EXPECT_TRUE(contains(video, "QTCompressionOptions120SizeMPEG4Video"));
    EXPECT_TRUE(contains(video, "QTCompressionOptionsHD720SizeH264Video"));

    controller.setMediaType(kMediaTypeSound);
    EXPECT_TRUE(controller.isAudio());
    EXPECT_EQ(controller.userDefaultsKey(), "AudioCompressionOption");
    std::vector<std::string> sound = controller.compressionIdentifierList();
    EXPECT_TRUE(contains(sound, core::kDefaultAudioCompressionOption));
    EXPECT_TRUE(contains(sound, "QTCompressionOptionsHighQualityAACAudio"));

    for (const auto& list : {video, sound}) {
        for (const std::string& id : list) {
            EXPECT_EQ(id.find("Lossless"), std::string::npos) << id;
            EXPECT_EQ(id.find("JPEG"), std::string::npos) << id;
        }
    }
    // Identifiers and presets go together; each preset is of the controller's media type.
    ASSERT_EQ(controller.arrangedObjects().size(), sound.size());
    for (std::size_t i = 0; i < sound.size(); ++i) {
        EXPECT_EQ(controller.arrangedObjects()[i].identifier, sound[i]);
        EXPECT_EQ(controller.arrangedObjects()[i].mediaType, kMediaTypeSound);
    }
    // The catalogue itself offers lossless and JPEG presets: the list leaves them out.
    EXPECT_TRUE(contains(compressionOptionsIdentifiersForMediaType(kMediaTypeSound),
                         "QTCompressionOptionsLosslessALACAudio"));
    EXPECT_TRUE(contains(compressionOptionsIdentifiersForMediaType(kMediaTypeVideo), "QTCompressionOptionsJPEGVideo"));
}

TEST_F(CompressionOptionControllerTest, IncludeInListLeavesOutEmptyLosslessAndJpegIdentifiers) {
    EXPECT_FALSE(CompressionOptionController::includeInList(""));
    EXPECT_FALSE(CompressionOptionController::includeInList("QTCompressionOptionsLosslessAnimationVideo"));
    EXPECT_FALSE(CompressionOptionController::includeInList("QTCompressionOptionsJPEGVideo"));
    EXPECT_FALSE(CompressionOptionController::includeInList("SomethingLossless"));
    EXPECT_TRUE(CompressionOptionController::includeInList("QTCompressionOptions240SizeMPEG4Video"));
    EXPECT_TRUE(CompressionOptionController::includeInList("lossless jpeg"));  // the test is case-sensitive
}

// The stored identifier is selected when the list is built; one that is not offered (or none)
// selects the first preset.
TEST_F(CompressionOptionControllerTest, SelectsTheStoredIdentifierOrTheFirstPreset) {
    test::LogCapture log;
    struct Case {
        std::optional<std::string> stored;
        std::optional<std::string> selected;  // nullopt: the first preset
    };
    const Case cases[] = {
        {core::kVideoCompressionHighResolution, core::kVideoCompressionHighResolution},
        {core::kVideoCompressionStandard, core::kVideoCompressionStandard},
        {"QTCompressionOptionsNoLongerOffered", std::nullopt},
        {"QTCompressionOptionsJPEGVideo", std::nullopt},
        {std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        if (c.stored) settings.setString(core::kVideoCompressionOption, *c.stored);
        else settings.removeObjectForKey(core::kVideoCompressionOption);
        CompressionOptionController chooser(settings);
        chooser.awakeFromNib();
        std::string expected = c.selected.value_or(chooser.compressionIdentifierList().front());
        EXPECT_EQ(chooser.compressionIdentifier(), expected) << c.stored.value_or("none");
        ASSERT_TRUE(chooser.compressionOption());
        EXPECT_EQ(chooser.compressionOption()->identifier, expected);
        // Reading does not write.
        EXPECT_EQ(settings.stringForKey(core::kVideoCompressionOption), c.stored);
    }
    EXPECT_TRUE(log.contains("QTCompressionOptionsNoLongerOffered is not offered"));
}

// Save stores the selection under the controller's key; reset goes back to what is stored. Both
// work through the preferences window's buffered editor.
TEST_F(CompressionOptionControllerTest, SavesAndResetsTheSelectionThroughTheBufferedEditor) {
    core::SettingsEditor editor(settings);
    CompressionOptionController audio(editor);
    audio.setMediaType(kMediaTypeSound);
    audio.awakeFromNib();  // a sound chooser stays one
    EXPECT_TRUE(audio.isAudio());
    settings.setString(core::kAudioCompressionOption, core::kDefaultAudioCompressionOption);
    audio.resetSelectedIdentifier();
    EXPECT_EQ(audio.compressionIdentifier(), core::kDefaultAudioCompressionOption);

    audio.selectCompressionByIdentifer(std::string("QTCompressionOptionsHighQualityAACAudio"));
    audio.saveSelectedIdentifier();
    EXPECT_EQ(editor.stringForKey(core::kAudioCompressionOption), "QTCompressionOptionsHighQualityAACAudio");
    EXPECT_EQ(settings.stringForKey(core::kAudioCompressionOption), core::kDefaultAudioCompressionOption);
    editor.discard();
    audio.resetSelectedIdentifier();
    EXPECT_EQ(audio.compressionIdentifier(), core::kDefaultAudioCompressionOption);

    audio.selectCompressionByIdentifer(std::string("QTCompressionOptionsLowQualityAACAudio"));
    audio.saveSelectedIdentifier();
    editor.save();
    EXPECT_EQ(settings.stringForKey(core::kAudioCompressionOption), "QTCompressionOptionsLowQualityAACAudio");
    EXPECT_FALSE(settings.contains(core::kVideoCompressionOption));

    // Without a selection nothing is stored.
    audio.setSelectionIndex(std::nullopt);
    EXPECT_EQ(audio.compressionIdentifier(), std::nullopt);
    audio.saveSelectedIdentifier();
    EXPECT_EQ(settings.stringForKey(core::kAudioCompressionOption), "QTCompressionOptionsLowQualityAACAudio");

    audio.saveCompressionSetting(std::nullopt);
    editor.save();
    EXPECT_FALSE(settings.contains(core::kAudioCompressionOption));
    EXPECT_EQ(audio.retreiveCompressionSetting(), std::nullopt);
}

// The list is rebuilt only for a real change of media type; an unknown type gives an empty list,
// which loading turns into the video list.
TEST_F(CompressionOptionControllerTest, RebuildsOnlyForANewMediaType) {
    int rebuilds = 0;
    std::vector<std::string> announced;
    auto list = controller.observe("arrangedObjects", [&](const std::string&) { ++rebuilds; });
    auto derived = controller.observe("compressionIdentifier", [&](const std::string& key) { announced.push_back(key); });
    auto type = controller.observe("isAudio", [&](const std::string& key) { announced.push_back(key); });

    controller.setMediaType(kMediaTypeVideo);
    EXPECT_EQ(rebuilds, 1);
    controller.setMediaType(kMediaTypeVideo);
    controller.setMediaType("");
    EXPECT_EQ(rebuilds, 1);
    EXPECT_EQ(controller.mediaType(), kMediaTypeVideo);
    controller.setMediaType(kMediaTypeSound);
    EXPECT_EQ(rebuilds, 2);
    EXPECT_TRUE(std::count(announced.begin(), announced.end(), "isAudio") >= 1);
    EXPECT_TRUE(std::count(announced.begin(), announced.end(), "compressionIdentifier") >= 1);

    controller.setMediaType("text");
    EXPECT_EQ(rebuilds, 3);
    EXPECT_TRUE(controller.compressionIdentifierList().empty());
    EXPECT_EQ(controller.compressionIdentifier(), std::nullopt);
    EXPECT_FALSE(controller.compressionOption());
    EXPECT_TRUE(controller.isVideo());
    controller.awakeFromNib();
    EXPECT_EQ(controller.mediaType(), kMediaTypeVideo);
    EXPECT_FALSE(controller.compressionIdentifierList().empty());
    EXPECT_TRUE(controller.compressionIdentifier());
}

// Every preset offered for video makes a movie of its size with the movie writer, and every sound
// preset a sound track of its rate and channels.
TEST(CompressionPresetCatalog, EveryOfferedPresetMakesAMovie) {
    test::TempDir dir;
    auto counts = std::make_shared<FrameCounts>();
    for (const std::string& id : compressionOptionsIdentifiersForMediaType(kMediaTypeVideo)) {
        if (!CompressionOptionController::includeInList(id)) continue;
        auto preset = compressionOptionsWithIdentifier(id);
        ASSERT_TRUE(preset) << id;
        auto options = std::make_shared<CompressionOptions>(compressionOptionsForVideoPreset(*preset, 15));
        auto movie = dir.path() / (id + ".mov");
        {
            MovieWriter writer(movie.string(), preset->codec, preset->width, preset->height, options, nullptr);
            feedFrames(writer, 3, 2, 30, 64, 48, counts);
        }
        MovieFacts facts = probeMovie(movie);
        ASSERT_TRUE(facts.stream("video")) << id;
        EXPECT_EQ(facts.stream("video")->width, preset->width) << id;
        EXPECT_EQ(facts.stream("video")->height, preset->height) << id;
        EXPECT_EQ(facts.stream("video")->frames, 3) << id;
    }
    for (const std::string& id : compressionOptionsIdentifiersForMediaType(kMediaTypeSound)) {
        if (!CompressionOptionController::includeInList(id)) continue;
        auto preset = compressionOptionsWithIdentifier(id);
        ASSERT_TRUE(preset) << id;
        auto options = std::make_shared<CompressionOptions>();
        options->codec = "mp4v";
        options->audio = audioCompressionForSoundPreset(*preset);
        auto movie = dir.path() / (id + ".mov");
        {
            MovieWriter writer(movie.string(), "mp4v", 64, 48, options, nullptr);
            feedSound(writer, tone(0.5, 44100, 2), 44100, 2);
        }
        auto json = ffprobe(movie, "-show_entries stream=codec_name,sample_rate,channels");
        ASSERT_TRUE(json.is_object() && json["streams"].size() == 1) << id;
        EXPECT_EQ(json["streams"][0].value("codec_name", ""), "aac") << id;
        EXPECT_EQ(json["streams"][0].value("sample_rate", ""), std::to_string(preset->sampleRate)) << id;
        EXPECT_EQ(json["streams"][0].value("channels", 0), preset->channels) << id;
    }
    EXPECT_FALSE(compressionOptionsWithIdentifier("QTCompressionOptionsUnknown"));
}

}  // namespace
}  // namespace orvanta::capture
