#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/Util.h"
#include "support/TempDir.h"
#include "upload/ChunkReader.h"
#include "UploadTestSupport.h"

using namespace orvanta;
namespace fs = std::filesystem;

namespace {

std::string md5Text(std::span<const uint8_t> bytes) {
    auto digest = core::md5Digest(bytes);
    return core::encodeBase64(std::span<const uint8_t>(digest.data(), digest.size()));
}

struct ChunkReaderTest : ::testing::Test {
    test::TempDir dir;
    fs::path file = dir.path() / "movie.mov";
    std::vector<uint8_t> bytes = test::patternBytes(2500, 3);
    void SetUp() override { test::appendBytes(file, bytes); }
};

TEST_F(ChunkReaderTest, EveryChunkCarriesItsBytesAndHashWhetherPreparedOrNot) {
    upload::ChunkReader reader(file.string(), 1000);
    ASSERT_TRUE(reader.isOpen());
    struct Step {
        uint64_t offset, length;
        bool prepareNext;
    };
    // Prepared and used, prepared for another offset (a retry), read without preparing, last short chunk.
    const Step steps[] = {{0, 1000, true}, {1000, 1000, true}, {1000, 1000, false}, {2000, 500, false}};
    for (const auto& s : steps) {
        auto chunk = reader.read(s.offset, s.length);
        std::span<const uint8_t> expected(bytes.data() + s.offset, s.length);
        ASSERT_EQ(chunk.bytes.size(), s.length) << s.offset;
        EXPECT_TRUE(std::equal(chunk.bytes.begin(), chunk.bytes.end(), expected.begin())) << s.offset;
        EXPECT_EQ(chunk.hash, md5Text(expected)) << s.offset;
        EXPECT_FALSE(chunk.readFailed);
        if (s.prepareNext) reader.prepare(s.offset + s.length, 1000);
    }
}

TEST_F(ChunkReaderTest, FileThatShrankAfterPreparingGivesAShortChunk) {
    upload::ChunkReader reader(file.string(), 1000);
    reader.read(0, 1000);
    reader.prepare(1000, 1000);
    fs::resize_file(file, 1500);
    auto chunk = reader.read(1000, 1000);
    EXPECT_EQ(chunk.bytes.size(), 500u);
    EXPECT_FALSE(chunk.readFailed);
}

TEST_F(ChunkReaderTest, MissingFileIsNotOpenAndSaysWhy) {
    upload::ChunkReader reader((dir.path() / "gone.mov").string(), 1000);
    EXPECT_FALSE(reader.isOpen());
    EXPECT_NE(reader.openError().find("No such file"), std::string::npos) << reader.openError();
}

}  // namespace
