#include <gtest/gtest.h>

#include <fstream>

#include "model/FileUpload.h"
#include "model/ManagedObjectContext.h"
#include "model/Recording.h"
#include "model/Segment.h"
#include "model/SimpleSessionGroup.h"
#include "model/Stream.h"
#include "support/ModelFixture.h"

using namespace orvanta;
using namespace orvanta::model;
namespace fs = std::filesystem;

namespace {

struct RecordingFixture : ::testing::Test {
    test::TestStore store;
    std::shared_ptr<Recording> rec = store.context->insert<Recording>("Recording");

    std::shared_ptr<Stream> addStream(const char* tag, const char* type = nullptr) {
        auto s = store.context->insert<Stream>("Stream");
        s->setValueForKey("Tag", std::string(tag));
        if (type) s->setValueForKey("Type", std::string(type));
        if (std::string(tag) == kTagCamera) s->setValueForKey("Description", std::string("Video"));
        if (std::string(tag) == kTagAudio) s->setValueForKey("Description", std::string("Audio"));
        rec->addToMany("Streams", s);
        return s;
    }
    std::shared_ptr<FileUpload> addFile(const std::shared_ptr<Stream>& s, const fs::path& path) {
        auto f = store.context->insert<FileUpload>("FileUpload");
        f->setValueForKey("localPath", path.string());
        s->addToMany("Files", f);
        return f;
    }
};

void setOptional(ManagedObject& o, const std::string& key, const std::optional<std::string>& v) {
    o.setValueForKey(key, v ? Value{*v} : Value{});
}

}  // namespace

TEST_F(RecordingFixture, StatusTextFollowsStateLoginAndServerValues) {
    struct Case {
        int state;
        bool loggedIn;
        bool finalized;
        float progress;
        std::optional<std::string> fault, serverStatus;
        std::string expected;
    };
    const Case cases[] = {
        {3, true, false, 0, {}, {}, "Post-Processing"},
        {4, false, false, 0, {}, {}, "Post-Processing"},
        {5, true, false, 0, {}, {}, "Offline Recording"},
        {6, false, true, 0.5f, {}, {}, "Uploading: Login to Continue"},
        {6, true, false, 0.5f, {}, {}, "Uploading (Sending Manifest)"},
        {6, true, true, 0.1234f, {}, {}, "Uploading (12.34%)"},
        {6, true, true, 0.5f, {}, {}, "Uploading (50.00%)"},
        {7, true, false, 0, {}, {}, "Upload Paused"},
        {7, false, false, 0, {}, {}, "Upload Paused: Login to Resume"},
        {8, true, false, 0, {}, {}, "Completed"},
        {8, true, false, 0, {}, "Completed", "Completed"},
        {8, true, false, 0, {}, "Processing", "Completed - Processing"},
        {9, true, false, 0, {}, {}, "Error: Unknown"},
        {9, true, false, 0, "", {}, "Error: Unknown"},
        {9, true, false, 0, "Error: disk full", {}, "Error: disk full"},
        {0, true, false, 0, {}, {}, ""},
        {2, true, false, 0, {}, {}, ""},
        {10, true, false, 0, {}, {}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected + " / state " + std::to_string(c.state));
        store.host.setLoggedIn(c.loggedIn);
        rec->setState(c.state);
        rec->setValueForKey("IsFinalized", c.finalized);
        rec->setUploadProgress(c.progress);
        setOptional(*rec, "FaultString", c.fault);
        setOptional(*rec, "ServerStatus", c.serverStatus);
        EXPECT_EQ(rec->DetailedStatus(), c.expected);
    }
}

TEST_F(RecordingFixture, LengthFolderAndLinks) {
    rec->setValueForKey("Length", std::string("00:01:02"));
    rec->setState(kStateRecording);
    EXPECT_EQ(rec->RecordingLengthDisplay(), "Recording  00:01:02");
    rec->setState(kStatePaused);
    EXPECT_EQ(rec->RecordingLengthDisplay(), "Paused 00:01:02");
    rec->setState(kStateUploadComplete);
    EXPECT_EQ(rec->RecordingLengthDisplay(), "Stopped  00:01:02");

    EXPECT_EQ(rec->folderDescription().text, "Offline Recording");
    EXPECT_EQ(rec->folderDescription().color, StyledText::Color::Gray);
    rec->setValueForKey("SessionGroupName", std::string(""));
    EXPECT_EQ(rec->folderDescription().text, "Offline Recording");
    rec->setValueForKey("SessionGroupName", std::string("Physics 101"));
    EXPECT_EQ(rec->folderDescription().text, "Physics 101");
    EXPECT_EQ(rec->folderDescription().color, StyledText::Color::Default);

    const std::string viewer = "https://host/Recorder/AuthRedirect.aspx?id=7&x=1";
    rec->setValueForKey("ViewerUrl", viewer);
    EXPECT_FALSE(rec->ViewerLink());
    rec->setValueForKey("ServerStatus", std::string("Processing"));
    EXPECT_FALSE(rec->ShareLink());
    rec->setValueForKey("ServerStatus", std::string("Completed"));
    ASSERT_TRUE(rec->ViewerLink());
    EXPECT_EQ(rec->ViewerLink()->text, "View Online");
    EXPECT_EQ(rec->ViewerLink()->link, viewer);
    EXPECT_TRUE(rec->ViewerLink()->underlined);
    ASSERT_TRUE(rec->ShareLink());
    EXPECT_EQ(rec->ShareLink()->text, "Share");
    EXPECT_EQ(rec->ShareLink()->link, "https://host/Sessions/List.aspx?id=7&x=1&modalPage=SessionShare");
    EXPECT_EQ(rec->ShareLink()->color, StyledText::Color::Blue);
}

TEST_F(RecordingFixture, ContentDescriptionNamesTheStreams) {
    EXPECT_EQ(rec->ContentDescription(), "None");
    addStream(kTagKeynote, kTypePowerPoint);
    EXPECT_EQ(rec->ContentDescription(), "Keynote");
    addStream(kTagScreen);
    EXPECT_EQ(rec->ContentDescription(), "Screen + Keynote");
    addStream(kTagCamera);
    EXPECT_EQ(rec->ContentDescription(), "Video + Screen + Keynote");
    addStream(kTagPowerPoint, kTypePowerPoint);  // only the first slide stream is named
    EXPECT_EQ(rec->ContentDescription(), "Video + Screen + Keynote");
}

TEST_F(RecordingFixture, UploadEligibility) {
    struct Case {
        bool group, server;
        int state, fault;
        bool expected;
    };
    const Case cases[] = {
        {false, true, 5, 0, false}, {true, false, 5, 0, false}, {true, true, 2, 0, false},
        {true, true, 3, 0, true},   {true, true, 4, 0, true},   {true, true, 5, 0, true},
        {true, true, 6, 0, true},   {true, true, 7, 0, true},   {true, true, 8, 0, false},
        {true, true, 9, 3, true},   {true, true, 9, 4, false},  {true, true, 0, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.state) + "/" + std::to_string(c.fault));
        setOptional(*rec, "SessionGroupID", c.group ? std::optional<std::string>("G") : std::nullopt);
        setOptional(*rec, "Server", c.server ? std::optional<std::string>("srv") : std::nullopt);
        rec->setState(c.state);
        rec->setValueForKey("FaultType", int64_t{c.fault});
        EXPECT_EQ(rec->canUpload(), c.expected);
    }
}

TEST_F(RecordingFixture, DerivedPropertiesAreAnnouncedWithTheirKeys) {
    std::map<std::string, int> seen;
    std::vector<core::Subscription> subs;
    for (const char* key : {"DetailedStatus", "isUploading", "isStitching", "ViewerLink", "ShareLink", "canUpload",
                            "folderDescription", "RecordingLengthDisplay"})
        subs.push_back(rec->observe(key, [&seen](const std::string& k) { ++seen[k]; }));
    struct Case {
        std::string key;
        Value value;
        std::set<std::string> announced;
    };
    const Case cases[] = {
        {"State", int64_t{6}, {"DetailedStatus", "isUploading", "isStitching", "RecordingLengthDisplay"}},
        {"ServerStatus", std::string("Completed"), {"DetailedStatus", "ViewerLink", "ShareLink"}},
        {"SessionID", std::string("S"), {"canUpload"}},
        {"Server", std::string("srv"), {"canUpload"}},
        {"SessionGroupName", std::string("G"), {"folderDescription"}},
        {"Length", std::string("00:00:01"), {"RecordingLengthDisplay"}},
        {"IsFinalized", true, {"DetailedStatus"}},
        {"SessionName", std::string("N"), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        seen.clear();
        rec->setValueForKey(c.key, c.value);
        std::set<std::string> got;
        for (auto& [k, n] : seen) {
            EXPECT_EQ(n, 1) << k;
            got.insert(k);
        }
        EXPECT_EQ(got, c.announced);
    }
    seen.clear();
    rec->setUploadProgress(0.25f);
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen.count("DetailedStatus") + seen.count("isUploading"), 2u);
}

TEST_F(RecordingFixture, FileSizesProgressAndFileInformation) {
    auto s = addStream(kTagScreen);
    fs::path big = store.dir.path() / "a.mov";
    std::ofstream(big) << std::string(1000, 'a');
    auto present = addFile(s, big);
    auto missing = addFile(s, store.dir.path() / "missing.mov");
    present->setValueForKey("remotePath", std::string("a.mov"));
    present->setBytesUploaded(250);
    missing->setBytesUploaded(40);  // more than its (unknown) size

    rec->updateUploadProgress();
    EXPECT_EQ(present->totalSize(), 1000u);
    EXPECT_FLOAT_EQ(rec->uploadProgress(), 290.0f / 1000.0f);

    // A known size is never read again.
    std::ofstream(big, std::ios::app) << "more";
    present->readFileSize();
    EXPECT_EQ(present->totalSize(), 1000u);

    auto info = rec->fileInformation();
    ASSERT_EQ(info.size(), 2u);
    EXPECT_EQ(missing->bytesUploaded(), 0u) << "clamped to the file size";
    FileInformation expected{"a.mov", big.string(), 250, std::nullopt};
    EXPECT_TRUE(std::find(info.begin(), info.end(), expected) != info.end());
    present->setValueForKey("isUploaded", true);
    EXPECT_EQ(present->fileInformation().closed, true);
    EXPECT_FALSE(rec->isUploaded());
    missing->setValueForKey("isUploaded", true);
    EXPECT_TRUE(rec->isUploaded());
}

TEST_F(RecordingFixture, RecordingFolderComesFromTheSettingsWhenUnset) {
    fs::path expected = store.host.recordingDirectory();
    EXPECT_EQ(rec->LocalFolder(), expected.string());
    EXPECT_TRUE(fs::is_directory(expected / *rec->Guid())) << "made when inserted";
    rec->setValueForKey("LocalFolder", std::string(""));
    EXPECT_EQ(rec->RecordingPath(), (expected / *rec->Guid()).string());
    EXPECT_EQ(rec->LocalFolder(), expected.string());
}

TEST_F(RecordingFixture, DeleteFilesRemovesOnlyTheRecordingsFolder) {
    fs::path folder = rec->RecordingPath();
    std::ofstream(folder / "x.mov") << "x";
    fs::path sibling = fs::path(*rec->LocalFolder()) / "other";
    fs::create_directories(sibling);
    rec->deleteFiles();
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_TRUE(fs::exists(sibling));
    // Without a Guid the path would be the folder of every recording: nothing is removed.
    rec->setValueForKey("Guid", Value{});
    rec->deleteFiles();
    EXPECT_TRUE(fs::exists(sibling));
}

TEST_F(RecordingFixture, LoginChangesResumeOrStopUploads) {
    rec->setState(kStateUploading);
    store.host.setLoggedIn(true);
    ASSERT_EQ(store.host.uploadRequests.size(), 1u);
    EXPECT_EQ(store.host.uploadRequests[0], rec);
    store.host.setLoggedIn(false);
    ASSERT_EQ(store.host.pauseRequests.size(), 1u);
    EXPECT_EQ(rec->State(), kStateUploading) << "stays uploading so the next login resumes it";
    rec->setState(kStateReady);
    store.host.setLoggedIn(true);
    EXPECT_EQ(store.host.uploadRequests.size(), 1u);
}

TEST_F(RecordingFixture, InterruptedPostProcessingResumesWhenLoaded) {
    auto stopped = rec;
    stopped->setState(kStateStopped);
    auto joining = store.context->insert<Recording>("Recording");
    joining->setState(kStatePostProcessing);
    auto ready = store.context->insert<Recording>("Recording");
    ready->setState(kStateReady);
    ASSERT_FALSE(store.context->save());
    stopped.reset();
    joining.reset();
    ready.reset();
    rec.reset();
    store.host.clearRequests();
    store.reopen();
    std::set<int> states;
    for (auto& r : store.host.stitchRequests) states.insert(r->State());
    EXPECT_EQ(states, (std::set<int>{kStateStopped, kStatePostProcessing}));
    EXPECT_EQ(store.host.stitchRequests.size(), 2u);
}

TEST_F(RecordingFixture, SessionAssignment) {
    auto group = std::dynamic_pointer_cast<SimpleSessionGroup>(
        makeObjectForEntity(ObjectModel::current().entity("SimpleSessionGroup")));
    group->setValueForKey("publicID", std::string("GROUP"));
    group->setValueForKey("longName", std::string("Physics"));
    auto session = makeObjectForEntity(ObjectModel::current().entity("SimpleSession"));
    session->setValueForKey("publicID", std::string("SESSION"));
    session->setValueForKey("longName", std::string("Week 1"));
    session->setValueForKey("sessionGroupPublicID", std::string("GROUP2"));

    rec->setSession(*session, *group, "srv");
    EXPECT_EQ(rec->SessionID(), "SESSION");
    EXPECT_EQ(rec->SessionGroupID(), "GROUP2");
    EXPECT_EQ(rec->SessionName(), "Week 1");
    EXPECT_EQ(rec->SessionGroupName(), "Physics");
    EXPECT_EQ(rec->Server(), "srv");

    rec->setSessionName("Week 2", nullptr, "other");
    EXPECT_EQ(rec->SessionName(), "Week 2");
    EXPECT_FALSE(rec->SessionID());
    EXPECT_EQ(rec->Server(), "srv") << "without a folder the server stays";
    rec->setSessionName("Week 3", group.get(), "other");
    EXPECT_EQ(rec->SessionGroupID(), "GROUP");
    EXPECT_EQ(rec->Server(), "other");
}

TEST_F(RecordingFixture, UpdateAttributesSaves) {
    ASSERT_FALSE(store.context->save());
    int before = store.host.saveCount;
    rec->updateAttributes({{"State", int64_t{kStateReady}}, {"FaultType", int64_t{0}}});
    EXPECT_EQ(store.host.saveCount, before + 1);
    EXPECT_FALSE(store.context->hasChanges());
    EXPECT_EQ(rec->State(), kStateReady);
}

TEST(SessionOrderingTest, SessionsSortByNameIgnoringCaseAndSegmentsByStart) {
    auto group = std::dynamic_pointer_cast<SimpleSessionGroup>(
        makeObjectForEntity(ObjectModel::current().entity("SimpleSessionGroup")));
    int announced = 0;
    auto sub = group->observe("sortedSessions", [&](const std::string&) { ++announced; });
    for (const char* name : {"beta", "Alpha", "gamma"}) {
        auto s = makeObjectForEntity(ObjectModel::current().entity("SimpleSession"));
        s->setValueForKey("longName", std::string(name));
        group->addToMany("sessions", s);
    }
    EXPECT_EQ(announced, 3);
    std::vector<std::string> names;
    for (auto& s : group->sortedSessions()) names.push_back(*s->stringValue("longName"));
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta", "gamma"}));

    auto seg = [](double start) {
        auto s = std::dynamic_pointer_cast<Segment>(makeObjectForEntity(ObjectModel::current().entity("Segment")));
        s->setValueForKey("Start", start);
        return s;
    };
    EXPECT_EQ(sortSegments(*seg(1), *seg(1)), 0);
    EXPECT_EQ(sortSegments(*seg(1), *seg(2)), -1);
    EXPECT_EQ(sortSegments(*seg(3), *seg(2)), 1);
}
