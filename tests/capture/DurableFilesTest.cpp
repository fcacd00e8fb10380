#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "capture/DurableFiles.h"
#include "support/Files.h"
#include "support/TempDir.h"

using namespace orvanta;
namespace fs = std::filesystem;

TEST(DurableFiles, MovesKeepTheDataUnderExactlyOneName) {
    using Move = bool (*)(const std::string&, const std::string&, core::Error*);
    const std::pair<const char*, Move> moves[] = {{"renameFile", capture::renameFile},
                                                  {"moveFileDurably", capture::moveFileDurably}};
    for (const auto& [name, move] : moves) {
        SCOPED_TRACE(name);
        test::TempDir dir;
        const fs::path from = dir.path() / "a.mov", to = dir.path() / "b.mov";
        std::ofstream(from) << "movie bytes";
        core::Error error;
        ASSERT_TRUE(move(from.string(), to.string(), &error)) << error.localizedDescription();
        EXPECT_FALSE(fs::exists(from));
        EXPECT_EQ(test::readFile(to), "movie bytes");

        // A file that is not there, or a target folder that is not there: nothing changes.
        EXPECT_FALSE(move(from.string(), (dir.path() / "c.mov").string(), &error));
        EXPECT_FALSE(error.localizedDescription().empty());
        EXPECT_FALSE(move(to.string(), (dir.path() / "missing" / "c.mov").string(), &error));
        EXPECT_EQ(test::readFile(to), "movie bytes");
    }
}

TEST(DurableFiles, SyncFileNeedsAFile) {
    test::TempDir dir;
    core::Error error;
    std::ofstream(dir.path() / "x") << "x";
    EXPECT_TRUE(capture::syncFile((dir.path() / "x").string(), &error));
    EXPECT_FALSE(capture::syncFile((dir.path() / "y").string(), &error));
    EXPECT_EQ(error.code, ENOENT);
}
