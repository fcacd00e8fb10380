#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>

#include "model/FileUpload.h"
#include "model/ManagedObjectContext.h"
#include "model/Recording.h"
#include "model/RecordingCopy.h"
#include "model/Segment.h"
#include "model/Stream.h"
#include "support/Files.h"
#include "support/ModelFixture.h"
#include "support/UploadRecording.h"

using namespace orvanta;
using namespace orvanta::model;
namespace fs = std::filesystem;

namespace {

const std::regex kUuid("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");

// A store with one recording to copy, and helpers to fill it.
struct CopyScene {
    test::TestStore store;
    std::shared_ptr<Recording> source = store.context->insert<Recording>("Recording");
    fs::path recordings = store.host.recordingDirectory();
    uint64_t seed = 1;

    std::shared_ptr<Stream> addStream(const char* tag, const char* type, const char* description) {
        auto s = store.context->insert<Stream>("Stream");
        s->setValueForKey("Tag", std::string(tag));
        s->setValueForKey("Type", std::string(type));
        s->setValueForKey("Description", std::string(description));
        s->setValueForKey("StartTime", test::utc(2026, 3, 4, 9, 0, 1));
        s->setValueForKey("EndTime", test::utc(2026, 3, 4, 9, 50, 0));
        source->addToMany("Streams", s);
        return s;
    }
    // A file of random bytes at the path, kept as a FileUpload of the stream.
    std::shared_ptr<FileUpload> addFile(const std::shared_ptr<Stream>& s, const fs::path& path, const std::string& remote,
                                        uint64_t size = 3000) {
        fs::create_directories(path.parent_path());
        test::writeRandomFile(path, size, seed++);
        auto f = store.context->insert<FileUpload>("FileUpload");
        f->setValueForKey("localPath", path.string());
        f->setValueForKey("remotePath", remote);
        f->setValueForKey("destination", int64_t{1});
        f->setValueForKey("isUploaded", true);
        f->setBytesUploaded(size);
        f->setTotalSize(size);
        s->addToMany("Files", f);
        return f;
    }
    std::shared_ptr<Stream> addMovieStream(const char* tag, const char* type, const char* description) {
        auto s = addStream(tag, type, description);
        addFile(s, source->RecordingPath() + "/" + s->FileName(), s->FileName());
        return s;
    }
    void addEvent(const std::shared_ptr<Stream>& s, int slide, Date when) {
        auto e = store.context->insertNewObject("Event");
        e->setValueForKey("slideNumber", int64_t{slide});
        e->setValueForKey("timeStamp", when);
        s->addToMany("Events", e);
    }
    void addSegment(double start, std::optional<double> end) {
        auto seg = store.context->insert<Segment>("Segment");
        seg->setValueForKey("Start", start);
        seg->setValueForKey("End", end ? Value{*end} : Value{});
        seg->setValueForKey("StreamPublicID", std::string(kNullGuid));
        source->addToMany("Segments", seg);
    }
    void uploadedSource() {
        source->setValueForKey("State", int64_t{kStateUploadComplete});
        source->setValueForKey("StartTime", test::utc(2026, 3, 4, 9, 0, 0));
        source->setValueForKey("EndTime", test::utc(2026, 3, 4, 9, 50, 0));
        source->setValueForKey("Length", std::string("00:50:00"));
        source->setValueForKey("TimeOffset", 1.5);
        source->setValueForKey("SessionName", std::string("Lecture 4"));
        source->setValueForKey("SessionID", std::string("S-1"));
        source->setValueForKey("SessionGroupID", std::string("G-1"));
        source->setValueForKey("SessionGroupName", std::string("Physics"));
        source->setValueForKey("Server", std::string("server.example"));
        source->setValueForKey("IsFinalized", true);
        source->setValueForKey("FaultType", int64_t{kFaultFileUpload});
        source->setValueForKey("FaultString", std::string("old fault"));
        source->setValueForKey("ServerStatus", std::string("Completed"));
        source->setValueForKey("ViewerUrl", std::string("http://server.example/view"));
    }
    size_t count(const char* entity) const { return store.context->objects(entity).size(); }
    std::set<fs::path> entries(const fs::path& folder) const {
        std::set<fs::path> out;
        for (const auto& e : fs::recursive_directory_iterator(folder)) out.insert(e.path());
        return out;
    }
};

struct RecordingCopyFixture : ::testing::Test, CopyScene {};

std::shared_ptr<Stream> streamTagged(const Recording& r, const std::string& tag) {
    for (const auto& s : r.Streams())
        if (s->Tag() == tag) return s;
    return nullptr;
}

}  // namespace

TEST_F(RecordingCopyFixture, CopyIsANewOfflineRecordingWithNewIdentitiesAndIdenticalFiles) {
    uploadedSource();
    auto camera = addMovieStream(kTagCamera, kTypeArchival, "Camera");
    auto screen = addMovieStream(kTagScreen, kTypeStreaming, "Screen Capture");
    auto slides = addStream(kTagPowerPoint, kTypePowerPoint, "PowerPoint");
    addFile(slides, source->RecordingPath() + "/deck.PPTX", "x_ET/deck.pptx");
    addFile(slides, source->RecordingPath() + "/images/slide3.jpg", "x_ET/images/slide-3.jpg");
    addEvent(slides, 1, test::utc(2026, 3, 4, 9, 1, 0));
    addEvent(slides, 3, test::utc(2026, 3, 4, 9, 7, 30));
    addSegment(0, 120.5);
    addSegment(130, std::nullopt);
    ASSERT_FALSE(store.context->save());

    auto copy = copyRecording(*source, *store.context);
    ASSERT_TRUE(copy);
    std::string guid = copy->Guid().value_or("");
    EXPECT_TRUE(std::regex_match(guid, kUuid)) << guid;
    EXPECT_NE(guid, source->Guid().value_or(""));
    EXPECT_FALSE(store.context->hasChanges()) << "the copy is saved";

    // Recording fields.
    EXPECT_EQ(copy->State(), kStateReady);
    EXPECT_EQ(copy->SessionName(), "Lecture 4 (Copy)");
    EXPECT_EQ(copy->FaultTypeValue(), kFaultNone);
    EXPECT_FALSE(copy->IsFinalized());
    for (const char* key : {"SessionGroupID", "SessionGroupName", "SessionID", "Server", "FaultString", "ServerStatus",
                            "ViewerUrl"})
        EXPECT_TRUE(isAbsent(copy->valueForKey(key))) << key;
    for (const char* key : {"StartTime", "EndTime", "Length", "TimeOffset"})
        EXPECT_EQ(copy->valueForKey(key), source->valueForKey(key)) << key;
    EXPECT_EQ(copy->LocalFolder(), recordings.string());
    EXPECT_FALSE(copy->canUpload()) << "a copy needs a folder first";
    EXPECT_EQ(copy->DetailedStatus(), "Offline Recording");

    // Streams: same kinds, new Guids, files copied byte for byte under the new names.
    std::set<std::string> sourceGuids;
    for (const auto& s : source->Streams()) sourceGuids.insert(s->Guid().value_or(""));
    ASSERT_EQ(copy->Streams().size(), 3u);
    fs::path folder = recordings / guid;
    for (const auto& original : {camera, screen}) {
        auto s = streamTagged(*copy, *original->Tag());
        ASSERT_TRUE(s) << *original->Tag();
        std::string g = s->Guid().value_or("");
        EXPECT_TRUE(std::regex_match(g, kUuid));
        EXPECT_FALSE(sourceGuids.count(g));
        for (const char* key : {"Description", "Type", "StartTime", "EndTime"})
            EXPECT_EQ(s->valueForKey(key), original->valueForKey(key)) << key;
        ASSERT_EQ(s->Files().size(), 1u);
        auto f = s->Files()[0];
        std::string name = g + "." + *original->Tag() + ".mov";
        EXPECT_EQ(f->localPath(), (folder / name).string());
        EXPECT_EQ(f->localPath(), s->FilePath()) << "the copy's movie is where its stream expects it";
        EXPECT_EQ(f->remotePath(), name);
        EXPECT_TRUE(test::sameBytes(*original->Files()[0]->localPath(), *f->localPath()));
    }
    auto s = streamTagged(*copy, kTagPowerPoint);
    ASSERT_TRUE(s);
    std::string g = s->Guid().value_or("");
    EXPECT_FALSE(sourceGuids.count(g));
    std::map<std::string, std::shared_ptr<FileUpload>> byRemote;
    for (const auto& f : s->Files()) byRemote[f->remotePath().value_or("")] = f;
    ASSERT_EQ(byRemote.size(), 2u);
    auto deck = byRemote[g + "_ET/" + g + ".pptx"];
    auto image = byRemote[g + "_ET/images/slide-3.jpg"];
    ASSERT_TRUE(deck && image) << "remote paths: " << byRemote.begin()->first;
    EXPECT_EQ(deck->localPath(), (folder / (g + ".pptx")).string());
    EXPECT_EQ(image->localPath(), (folder / g / "slide3.jpg").string());
    EXPECT_TRUE(test::sameBytes(source->RecordingPath() + "/deck.PPTX", *deck->localPath()));
    EXPECT_TRUE(test::sameBytes(source->RecordingPath() + "/images/slide3.jpg", *image->localPath()));

    // Upload bookkeeping starts from zero; the destination is kept.
    for (const auto& st : copy->Streams())
        for (const auto& f : st->Files()) {
            EXPECT_TRUE(isAbsent(f->valueForKey("isUploaded")));
            EXPECT_EQ(f->bytesUploaded(), 0u);
            EXPECT_EQ(f->integerValue("destination"), 1);
        }

    // Events and segments: same values; every segment gets its own new public id.
    ASSERT_EQ(s->Events().size(), 2u);
    std::set<std::pair<int64_t, double>> events, sourceEvents;
    for (const auto& e : s->Events())
        events.insert({e->integerValue("slideNumber"), secondsSinceEpoch(*e->dateValue("timeStamp"))});
    for (const auto& e : slides->Events())
        sourceEvents.insert({e->integerValue("slideNumber"), secondsSinceEpoch(*e->dateValue("timeStamp"))});
    EXPECT_EQ(events, sourceEvents);
    ASSERT_EQ(copy->Segments().size(), 2u);
    std::set<std::string> publicIds;
    std::multiset<std::pair<double, std::optional<double>>> segments, sourceSegments;
    for (const auto& seg : copy->Segments()) {
        segments.insert({seg->Start(), seg->End()});
        auto id = seg->stringValue("StreamPublicID").value_or("");
        EXPECT_TRUE(std::regex_match(id, kUuid)) << id;
        publicIds.insert(id);
    }
    for (const auto& seg : source->Segments()) sourceSegments.insert({seg->Start(), seg->End()});
    EXPECT_EQ(segments, sourceSegments);
    EXPECT_EQ(publicIds.size(), 2u);

    // The source is untouched, and the copy survives a reopening of the store.
    EXPECT_EQ(source->State(), kStateUploadComplete);
    EXPECT_EQ(source->Streams().size(), 3u);
    store.reopen();
    bool found = false;
    for (const auto& r : store.context->all<Recording>("Recording"))
        if (r->Guid() == guid) {
            found = true;
            EXPECT_EQ(r->Streams().size(), 3u);
            EXPECT_EQ(r->Segments().size(), 2u);
            EXPECT_EQ(r->SessionName(), "Lecture 4 (Copy)");
        }
    EXPECT_TRUE(found);
}

TEST_F(RecordingCopyFixture, ArchivedDocumentIsCopiedAndArchivedAgainUnderTheNewStreamGuid) {
    auto keynote = addStream(kTagKeynote, kTypePowerPoint, "Keynote");
    fs::path document = fs::path(source->RecordingPath()) / "talk.key";
    fs::create_directories(document / "Data");
    test::writeRandomFile(document / "Data" / "slide.bin", 500, 7);
    std::ofstream(document / "Index.xml") << "<index/>";
    addFile(keynote, document.string() + ".zip", "x_ET/talk.key");

    auto copy = copyRecording(*source, *store.context);
    auto s = copy->Streams().at(0);
    std::string g = s->Guid().value_or("");
    auto f = s->Files().at(0);
    fs::path archive = recordings / copy->Guid().value_or("") / g / (g + ".key.zip");
    EXPECT_EQ(f->localPath(), archive.string());
    EXPECT_EQ(f->remotePath(), g + "_ET/" + g + ".key");
    ASSERT_TRUE(fs::exists(archive));
    EXPECT_TRUE(test::sameBytes(document / "Data" / "slide.bin", archive.parent_path() / (g + ".key") / "Data" / "slide.bin"));
    std::string listing = test::commandOutput("unzip -l '" + archive.string() + "'");
    EXPECT_NE(listing.find(g + ".key/Data/slide.bin"), std::string::npos) << listing;
    EXPECT_NE(listing.find(g + ".key/Index.xml"), std::string::npos) << listing;
}

TEST_F(RecordingCopyFixture, FailedFileCopyLeavesNothingBehind) {
    struct Case {
        const char* name;
        std::function<void(CopyScene&, const std::shared_ptr<Stream>&)> breakIt;
        std::string exceptionName;  // empty: std::invalid_argument
        std::string reasonPart;
    };
    const Case cases[] = {
        {"unknown extension",
         [](auto& fx, const auto& s) { fx.addFile(s, fx.source->RecordingPath() + "/notes.txt", "notes.txt"); },
         "FileCopyFailure", ""},
        {"source file missing",
         [](auto& fx, const auto& s) {
             auto f = fx.addFile(s, fx.source->RecordingPath() + "/gone.PPT.mov", "gone.PPT.mov");
             fs::remove(*f->localPath());
         },
         "FileCopyFailure", "Failed to copy file "},
        {"no local path",
         [](auto& fx, const auto& s) {
             auto f = fx.addFile(s, fx.source->RecordingPath() + "/deck.ppt", "deck.ppt");
             f->setValueForKey("localPath", Value{});
         },
         "", "No localpath for this FileUpload object"},
        {"no remote path",
         [](auto& fx, const auto& s) {
             auto f = fx.addFile(s, fx.source->RecordingPath() + "/deck.ppt", "deck.ppt");
             f->setValueForKey("remotePath", Value{});
         },
         "", "No remotepath for this FileUpload object"},
        {"document next to the archive missing",
         [](auto& fx, const auto& s) { fx.addFile(s, fx.source->RecordingPath() + "/talk.key.zip", "x_ET/talk.key"); },
         "Failed to copy folder", "couldn't copy file from "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto fx = std::make_unique<CopyScene>();
        // A first stream that copies well, then a broken one.
        fx->addMovieStream(kTagCamera, kTypeArchival, "Camera");
        c.breakIt(*fx, fx->addStream(kTagPowerPoint, kTypePowerPoint, "PowerPoint"));
        fx->addSegment(0, 10);
        ASSERT_FALSE(fx->store.context->save());
        auto before = fx->entries(fx->recordings);
        size_t recordingsBefore = fx->count("Recording"), streams = fx->count("Stream"),
               files = fx->count("FileUpload"), segments = fx->count("Segment"), events = fx->count("Event");

        try {
            copyRecording(*fx->source, *fx->store.context);
            ADD_FAILURE() << "the copy succeeded";
        } catch (const RecordingCopyException& e) {
            EXPECT_EQ(e.name(), c.exceptionName);
            EXPECT_EQ(e.reason().substr(0, c.reasonPart.size()), c.reasonPart) << e.reason();
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(c.exceptionName, "") << e.what();
            EXPECT_EQ(std::string(e.what()), c.reasonPart);
        }
        EXPECT_EQ(fx->entries(fx->recordings), before) << "files of the failed copy are left on disk";
        EXPECT_EQ(fx->count("Recording"), recordingsBefore);
        EXPECT_EQ(fx->count("Stream"), streams);
        EXPECT_EQ(fx->count("FileUpload"), files);
        EXPECT_EQ(fx->count("Segment"), segments);
        EXPECT_EQ(fx->count("Event"), events);
        EXPECT_FALSE(fx->store.context->hasChanges());
    }
}

TEST_F(RecordingCopyFixture, FileCopyIntoAFolderThatIsAFileFails) {
    auto s = addStream(kTagCamera, kTypeArchival, "Camera");
    auto f = addFile(s, source->RecordingPath() + "/a.DV.mov", "a.DV.mov");
    std::ofstream(recordings / "NEWRECORDING") << "in the way";
    try {
        f->cloneWithNewRecordingGuid("NEWRECORDING", "NEWSTREAM");
        FAIL() << "the copy succeeded";
    } catch (const RecordingCopyException& e) {
        EXPECT_EQ(e.name(), "FolderExpected");
        EXPECT_EQ(e.reason(), "Expected folder at " + (recordings / "NEWRECORDING").string() + " found a file instead.");
    }
    EXPECT_EQ(test::readFile(recordings / "NEWRECORDING"), "in the way");
    EXPECT_EQ(count("FileUpload"), 1u);
}

TEST_F(RecordingCopyFixture, FailedStreamCopyTakesBackTheFilesItCopied) {
    auto slides = addStream(kTagPowerPoint, kTypePowerPoint, "PowerPoint");
    addFile(slides, source->RecordingPath() + "/deck.pptx", "x_ET/deck.pptx");
    addFile(slides, source->RecordingPath() + "/images/slide1.jpg", "x_ET/images/slide1.jpg");
    addFile(slides, source->RecordingPath() + "/notes.txt", "x_ET/notes.txt");
    size_t streams = count("Stream"), files = count("FileUpload");
    try {
        slides->cloneWithNewRecordingGuid("NEWRECORDING");
        FAIL() << "the copy succeeded";
    } catch (const RecordingCopyException& e) {
        EXPECT_EQ(e.name(), "FileCopyFailure");
    }
    EXPECT_EQ(entries(recordings / "NEWRECORDING"), std::set<fs::path>{}) << "copied files are left on disk";
    EXPECT_EQ(count("Stream"), streams);
    EXPECT_EQ(count("FileUpload"), files);
}
