#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

#include "model/FileUpload.h"
#include "model/ManagedObjectContext.h"
#include "model/Recording.h"
#include "model/Segment.h"
#include "model/Sqlite.h"
#include "model/Stream.h"
#include "support/Files.h"
#include "support/ModelFixture.h"

using namespace orvanta;
using namespace orvanta::model;
namespace fs = std::filesystem;

namespace {

// A recording with a camera stream, a slide stream with two events and two segments.
std::shared_ptr<Recording> makeRecording(ManagedObjectContext& ctx) {
    auto rec = ctx.insert<Recording>("Recording");
    rec->setState(kStateReady);
    rec->setValueForKey("StartTime", Date(std::chrono::seconds(1300000000)));
    rec->setValueForKey("TimeOffset", 1.5);
    rec->setValueForKey("IsFinalized", true);
    auto video = ctx.insert<Stream>("Stream");
    video->setValueForKey("Tag", std::string(kTagCamera));
    video->setValueForKey("Description", std::string("Video"));
    rec->setVideoStream(video);
    auto slides = ctx.insert<Stream>("Stream");
    slides->setValueForKey("Tag", std::string(kTagPowerPoint));
    slides->setValueForKey("Type", std::string(kTypePowerPoint));
    rec->addToMany("Streams", slides);
    for (int i = 1; i <= 2; ++i) {
        auto ev = ctx.insertNewObject("Event");
        ev->setValueForKey("slideNumber", int64_t{i});
        slides->addToMany("Events", ev);
    }
    for (double start : {10.0, 0.0}) {
        auto seg = ctx.insert<Segment>("Segment");
        seg->setValueForKey("Start", start);
        if (start == 0.0) seg->setValueForKey("End", 5.0);
        rec->addToMany("Segments", seg);
    }
    auto file = video->Files().at(0);
    file->setBytesUploaded(5'000'000'000ULL);  // beyond 32 bits
    file->setTotalSize(6'000'000'000ULL);
    return rec;
}

}  // namespace

TEST(StoreTest, SavedGraphReopensWithEveryValueAndRelationship) {
    test::TestStore store;
    auto rec = makeRecording(*store.context);
    std::string guid = *rec->Guid();
    ASSERT_FALSE(store.context->save());
    rec.reset();
    store.reopen();

    auto recs = store.context->all<Recording>("Recording");
    ASSERT_EQ(recs.size(), 1u);
    auto& r = recs[0];
    EXPECT_EQ(r->Guid(), guid);
    EXPECT_EQ(r->State(), kStateReady);
    EXPECT_EQ(r->dateValue("StartTime"), Date(std::chrono::seconds(1300000000)));
    EXPECT_DOUBLE_EQ(r->doubleValue("TimeOffset"), 1.5);
    EXPECT_TRUE(r->IsFinalized());
    EXPECT_FALSE(r->SessionID().has_value());
    ASSERT_EQ(r->Streams().size(), 2u);
    auto video = r->VideoStream();
    ASSERT_TRUE(video);
    EXPECT_EQ(video->RecordingObject(), r);
    ASSERT_EQ(video->Files().size(), 1u);
    auto file = video->Files()[0];
    EXPECT_EQ(file->bytesUploaded(), 5'000'000'000ULL);
    EXPECT_EQ(file->totalSize(), 6'000'000'000ULL);
    EXPECT_EQ(file->integerValue("destination"), 1);
    EXPECT_EQ(file->stream(), video);
    EXPECT_EQ(file->localPath(), video->FilePath());
    EXPECT_EQ(file->remotePath(), video->FileName());
    size_t events = 0;
    for (auto& s : r->Streams()) events += s->Events().size();
    EXPECT_EQ(events, 2u);
    EXPECT_EQ(r->Segments().size(), 2u);
    for (auto& s : r->Segments()) {
        if (s->Start() == 10.0) {
            EXPECT_FALSE(s->End().has_value());
        }
    }
    EXPECT_FALSE(store.context->hasChanges());
}

TEST(StoreTest, DeletingARecordingDeletesWhatItOwns) {
    test::TestStore store;
    auto keep = makeRecording(*store.context);
    auto gone = makeRecording(*store.context);
    ASSERT_FALSE(store.context->save());
    store.context->deleteObject(gone);
    EXPECT_TRUE(store.context->hasChanges());
    ASSERT_FALSE(store.context->save());
    gone.reset();
    keep.reset();
    store.reopen();
    EXPECT_EQ(store.context->objects("Recording").size(), 1u);
    EXPECT_EQ(store.context->objects("Stream").size(), 2u);
    EXPECT_EQ(store.context->objects("FileUpload").size(), 1u);
    EXPECT_EQ(store.context->objects("Event").size(), 2u);
    EXPECT_EQ(store.context->objects("Segment").size(), 2u);
}

TEST(StoreTest, ReplacingTheVideoStreamLeavesOneVideoStream) {
    test::TestStore store;
    auto rec = store.context->insert<Recording>("Recording");
    for (const char* tag : {kTagCamera, kTagAudio}) {
        auto s = store.context->insert<Stream>("Stream");
        s->setValueForKey("Tag", std::string(tag));
        rec->setVideoStream(s);
    }
    auto screen = store.context->insert<Stream>("Stream");
    rec->setScreenCaptureStream(screen);
    ASSERT_EQ(rec->Streams().size(), 2u);
    EXPECT_EQ(rec->VideoStream()->Tag(), kTagAudio);
    EXPECT_EQ(rec->VideoStream()->Type(), kTypeArchival);
    EXPECT_EQ(screen->Type(), kTypeStreaming);
    EXPECT_EQ(screen->Description(), "Screen Capture");
    EXPECT_EQ(screen->FileName(), *screen->Guid() + ".SCREEN.mov");
    EXPECT_EQ(fs::path(screen->FilePath()).parent_path(), fs::path(rec->RecordingPath()));
    ASSERT_FALSE(store.context->save());
    EXPECT_EQ(store.context->objects("FileUpload").size(), 2u);
}

TEST(StoreTest, UnreadableFilesAreLeftUntouched) {
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> make;
    };
    const Case cases[] = {
        {"not a database", [](const fs::path& p) { std::ofstream(p) << std::string(4096, 'x'); }},
        {"written by a newer version",
         [](const fs::path& p) {
             core::Error e;
             auto db = SqliteDatabase::open(p, true, &e);
             db->exec("CREATE TABLE t (x); PRAGMA user_version = 99;");
         }},
        {"unknown tables without a version",
         [](const fs::path& p) {
             core::Error e;
             auto db = SqliteDatabase::open(p, true, &e);
             db->exec("CREATE TABLE Recording (x)");
         }},
        {"damaged current schema",
         [](const fs::path& p) {
             core::Error e;
             auto db = SqliteDatabase::open(p, true, &e);
             db->exec("CREATE TABLE Recording (x); PRAGMA user_version = 4;");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        fs::path file = dir.path() / "Orvanta Recorder.sqlite";
        c.make(file);
        std::string before = test::readFile(file);
        test::TestHost host(dir.path());
        core::Error error;
        auto ctx = ManagedObjectContext::open(file, &host, {}, &error);
        EXPECT_FALSE(ctx);
        EXPECT_FALSE(error.description.empty());
        EXPECT_EQ(test::readFile(file), before);
    }
}

TEST(StoreTest, AFailedSaveKeepsWhatWasSavedAndThePendingChanges) {
    test::TestStore store;
    auto first = makeRecording(*store.context);
    ASSERT_FALSE(store.context->save());
    // A store that may not grow stands for a full disk.
    auto pages = SqliteDatabase::open(store.context->file(), false, nullptr)->queryInt("PRAGMA page_count");
    store.context->setMaxPageCount(*pages);
    first->setValueForKey("FaultString", std::string(200000, 'f'));
    for (int i = 0; i < 20; ++i) makeRecording(*store.context);
    auto error = store.context->save();
    ASSERT_TRUE(error);
    EXPECT_TRUE(store.context->hasChanges());
    // Room again: the same changes are written by the next save.
    store.context->setMaxPageCount(1 << 30);
    ASSERT_FALSE(store.context->save());
    first.reset();
    store.reopen();
    EXPECT_EQ(store.context->objects("Recording").size(), 21u);
    EXPECT_EQ(store.context->objects("Event").size(), 42u);
}

TEST(StoreTest, AWriterKilledMidSaveLeavesWholeTransactionsOnly) {
    test::TempDir dir;
    fs::path file = dir.path() / "Orvanta Recorder.sqlite";
    {
        test::TestHost host(dir.path());
        ASSERT_TRUE(test::openContext(dir.path(), &host));
    }
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Saves batches of five recordings, each with its streams, until killed.
        test::TestHost host(dir.path());
        auto ctx = test::openContext(dir.path(), &host);
        for (;;) {
            for (int i = 0; i < 5; ++i) makeRecording(*ctx);
            if (ctx->save()) _exit(3);
        }
    }
    // Let it write a few batches, then kill it without warning.
    for (int i = 0; i < 200; ++i) {
        usleep(20000);
        core::Error e;
        auto db = SqliteDatabase::open(file, false, &e);
        auto n = db ? db->queryInt("SELECT count(*) FROM Recording") : std::nullopt;
        if (n && *n >= 10) break;
    }
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));

    test::TestHost host(dir.path());
    auto ctx = test::openContext(dir.path(), &host);
    auto db = SqliteDatabase::open(file, false, nullptr);
    EXPECT_EQ(db->queryInt("SELECT count(*) FROM pragma_integrity_check WHERE integrity_check != 'ok'"), 0);
    size_t recordings = ctx->objects("Recording").size();
    EXPECT_GE(recordings, 10u);
    EXPECT_EQ(recordings % 5, 0u);
    EXPECT_EQ(ctx->objects("Stream").size(), 2 * recordings);
    EXPECT_EQ(ctx->objects("Event").size(), 2 * recordings);
    EXPECT_EQ(ctx->objects("Segment").size(), 2 * recordings);
    for (auto& s : ctx->all<Stream>("Stream")) EXPECT_TRUE(s->RecordingObject());
}
