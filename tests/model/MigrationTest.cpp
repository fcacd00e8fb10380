#include <gtest/gtest.h>

#include "model/EntityDescription.h"
#include "model/FileUpload.h"
#include "model/ManagedObjectContext.h"
#include "model/Recording.h"
#include "model/Sqlite.h"
#include "model/StoreMigration.h"
#include "model/StoreSchema.h"
#include "model/Stream.h"
#include "support/ModelFixture.h"

using namespace orvanta;
using namespace orvanta::model;
namespace fs = std::filesystem;

namespace {

// Writes a store as an older version of the program left it: one recording with one stream and
// one file whose 32-bit upload count is given.
void writeOldStore(const fs::path& file, int version, int64_t state, int64_t bytesUploaded) {
    core::Error e;
    auto db = SqliteDatabase::open(file, true, &e);
    ASSERT_TRUE(db) << e.description;
    ASSERT_FALSE(db->exec(createSchemaSql(ObjectModel::current(), version)));
    ASSERT_FALSE(db->exec("INSERT INTO Recording (Z_PK, Guid, State, SessionName, Server, IsFinalized) "
                          "VALUES (1, 'REC-GUID', " + std::to_string(state) + ", 'Lecture 1', 'example.org', 1)"));
    ASSERT_FALSE(db->exec("INSERT INTO Stream (Z_PK, Guid, Tag, Type, Recording) VALUES (1, 'S1', 'DV', 'Archival', 1)"));
    ASSERT_FALSE(db->exec("INSERT INTO FileUpload (Z_PK, localPath, remotePath, isUploaded, destination, "
                          "bytesUploaded, stream) VALUES (1, '/nonexistent/S1.DV.mov', 'S1.DV.mov', 0, 1, " +
                          std::to_string(bytesUploaded) + ", 1)"));
    ASSERT_FALSE(db->exec("PRAGMA user_version = " + std::to_string(version)));
}

struct Opened {
    test::TempDir dir;
    test::TestHost host{dir.path()};
    std::unique_ptr<ManagedObjectContext> context;
    std::shared_ptr<Recording> recording;
    std::shared_ptr<FileUpload> file;
};

std::unique_ptr<Opened> openOld(int version, int64_t state, int64_t bytesUploaded) {
    auto o = std::make_unique<Opened>();
    writeOldStore(o->dir.path() / "Orvanta Recorder.sqlite", version, state, bytesUploaded);
    o->context = test::openContext(o->dir.path(), &o->host, StoreOptions{"/home/u/Documents/Orvanta Recordings"});
    o->recording = o->context->all<Recording>("Recording").at(0);
    o->file = o->context->all<FileUpload>("FileUpload").at(0);
    return o;
}

}  // namespace

TEST(MigrationTest, StatesAreRenumberedOnlyFromTheFirstVersion) {
    struct Case {
        int version;
        int64_t oldState;
        int expected;
    };
    const Case cases[] = {
        {1, 3, 3}, {1, 4, 6}, {1, 5, 7}, {1, 6, 8}, {1, 7, 9}, {1, 0, 0},
        {2, 5, 5}, {3, 7, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("version " + std::to_string(c.version) + " state " + std::to_string(c.oldState));
        auto o = openOld(c.version, c.oldState, 0);
        EXPECT_EQ(o->recording->State(), c.expected);
    }
}

TEST(MigrationTest, OldRecordingsGetTheFolderOlderVersionsUsed) {
    auto o = openOld(2, 5, 0);
    EXPECT_EQ(o->recording->LocalFolder(), "/home/u/Documents/Orvanta Recordings");
    EXPECT_EQ(o->recording->RecordingPath(), "/home/u/Documents/Orvanta Recordings/REC-GUID");
    // Everything else carried over.
    EXPECT_EQ(o->recording->SessionName(), "Lecture 1");
    EXPECT_EQ(o->recording->Server(), "example.org");
    EXPECT_TRUE(o->recording->IsFinalized());
    ASSERT_EQ(o->recording->Streams().size(), 1u);
    EXPECT_EQ(o->recording->Streams()[0]->Files().at(0), o->file);
}

TEST(MigrationTest, UploadCountsMoveToEightByteCounters) {
    struct Case {
        int64_t stored;
        uint64_t expected;
    };
    const Case cases[] = {
        {1'500'000, 1'500'000},
        {0, 0},
        {2'147'483'647, 2'147'483'647},
        {-5, 0},                 // an overflowed count restarts the upload
        {3'000'000'000LL, 0},    // stored beyond 31 bits: reads as negative in 32 bits
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        auto o = openOld(3, 5, c.stored);
        EXPECT_EQ(o->file->bytesUploaded(), c.expected);
        EXPECT_EQ(o->file->totalSize(), 0u);  // the file does not exist, so the size stays unknown
        EXPECT_EQ(o->recording->LocalFolder(), std::nullopt) << "version 3 already had folders";
    }
}

TEST(MigrationTest, AConvertedStoreIsCurrentAndSavesNormally) {
    auto o = openOld(1, 4, 100);
    o->recording->setState(kStateReady);
    ASSERT_FALSE(o->context->save());
    o->recording.reset();
    o->file.reset();
    o->context.reset();
    core::Error e;
    auto db = SqliteDatabase::open(o->dir.path() / "Orvanta Recorder.sqlite", false, &e);
    EXPECT_EQ(db->queryInt("PRAGMA user_version"), ObjectModel::kStoreVersion);
    auto again = test::openContext(o->dir.path(), &o->host);
    auto rec = again->all<Recording>("Recording").at(0);
    EXPECT_EQ(rec->State(), kStateReady);
    EXPECT_EQ(again->all<FileUpload>("FileUpload").at(0)->bytesUploaded(), 100u);
}
