#include "model/Manifest.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "model/FileUpload.h"
#include "model/Recording.h"
#include "model/Segment.h"
#include "model/Stream.h"
#include "support/ModelFixture.h"

namespace orvanta::model {
namespace {

using namespace std::chrono;
using test::TestStore;
using test::utc;

constexpr const char* kXsi = "http://www.w3.org/2001/XMLSchema-instance";

// Read-only view of a parsed element, for walking the manifest in tests.
struct Element {
    xmlNode* node = nullptr;

    std::vector<Element> children() const {
        std::vector<Element> out;
        if (!node) return out;
        for (xmlNode* c = node->children; c; c = c->next)
            if (c->type == XML_ELEMENT_NODE) out.push_back({c});
        return out;
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& c : children()) out.push_back(c.name());
        return out;
    }
    std::string name() const { return node ? reinterpret_cast<const char*>(node->name) : "<missing>"; }
    std::vector<Element> all(const std::string& name) const {
        std::vector<Element> out;
        for (const auto& c : children())
            if (c.name() == name) out.push_back(c);
        return out;
    }
    // The first child of that name; an empty view when there is none.
    Element operator[](const std::string& name) const {
        auto found = all(name);
        return found.empty() ? Element{} : found.front();
    }
    std::string text() const {
        if (!node) return "<missing>";
        xmlChar* content = xmlNodeGetContent(node);
        std::string out = content ? reinterpret_cast<const char*>(content) : "";
        xmlFree(content);
        return out;
    }
    bool isEmpty() const { return node && !node->children; }
};

using Names = std::vector<std::string>;

class ManifestTest : public ::testing::Test {
protected:
    std::shared_ptr<Recording> newRecording() {
        auto r = store.context->insert<Recording>("Recording");
        r->setValueForKey("LocalFolder", store.dir.path().string());
        return r;
    }

    std::shared_ptr<Stream> addCamera(const std::shared_ptr<Recording>& r) {
        auto s = store.context->insert<Stream>("Stream");
        s->setValueForKey("Tag", std::string(kTagCamera));
        s->setValueForKey("Description", std::string("Video"));
        r->setVideoStream(s);
        return s;
    }

    std::shared_ptr<Stream> addSlideStream(const std::shared_ptr<Recording>& r, const char* tag) {
        auto s = store.context->insert<Stream>("Stream");
        s->setValueForKey("Tag", std::string(tag));
        s->setValueForKey("Type", std::string(kTypePowerPoint));
        s->setValueForKey("Description", std::string(tag == std::string(kTagKeynote) ? "Keynote" : "PPT"));
        r->addToMany("Streams", s);
        return s;
    }

    std::shared_ptr<FileUpload> addFile(const std::shared_ptr<Stream>& s, const std::string& localPath,
                                        const std::string& remotePath) {
        auto f = store.context->insert<FileUpload>("FileUpload");
        f->setValueForKey("localPath", localPath);
        f->setValueForKey("remotePath", remotePath);
        f->setValueForKey("destination", int64_t{1});
        s->addToMany("Files", f);
        return f;
    }

    void addEvent(const std::shared_ptr<Stream>& s, int slide, Date when) {
        auto e = store.context->insertNewObject("Event");
        e->setValueForKey("slideNumber", int64_t{slide});
        e->setValueForKey("timeStamp", when);
        s->addToMany("Events", e);
    }

    void addSegment(const std::shared_ptr<Recording>& r, double start, std::optional<double> end) {
        auto seg = store.context->insert<Segment>("Segment");
        seg->setValueForKey("Start", start);
        if (end) seg->setValueForKey("End", *end);
        r->addToMany("Segments", seg);
    }

    static void writeFile(const std::string& path, size_t size) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << std::string(size, 'x');
    }

    // Builds the manifest text and parses it back.
    Element build(Recording& r) {
        text = manifestText(r);
        parsed = XmlDocument::parse(text);
        EXPECT_TRUE(parsed) << text;
        return Element{parsed.root()};
    }

    TestStore store;
    std::string text;
    XmlDocument parsed;
};

const Names kRootChildren = {"PublicID",  "SessionID", "SessionGroupID", "StartTime", "EndTime",
                             "TimeOffset", "Streams",   "EventStreams",   "Segments"};
const Names kStreamChildren = {"PublicID", "Tag", "Type", "StartTime", "EndTime", "Files"};

TEST_F(ManifestTest, FullRecordingWithEveryKindOfStream) {
    auto r = newRecording();
    r->setValueForKey("SessionID", std::string("5e1d3c2a-0000-4000-8000-000000000001"));
    r->setValueForKey("SessionGroupID", std::string("9f00aa11-0000-4000-8000-000000000002"));
    r->setValueForKey("StartTime", utc(2011, 3, 4, 17, 5, 9));
    r->setValueForKey("EndTime", utc(2011, 3, 4, 18, 0, 0));
    r->setValueForKey("TimeOffset", -0.1);

    // Slide streams go in before the media streams so that set order and manifest order differ.
    auto ppt = addSlideStream(r, kTagPowerPoint);
    const std::string pptGuid = *ppt->Guid();
    const std::string pptLocal = r->RecordingPath() + "/" + pptGuid + ".ppt";
    writeFile(pptLocal, 300);
    addFile(ppt, pptLocal, pptGuid + "_ET/" + pptGuid + ".ppt");
    // Inserted out of time order; the manifest lists them as they happened.
    addEvent(ppt, 3, utc(2011, 3, 4, 17, 20, 0));
    addEvent(ppt, 1, utc(2011, 3, 4, 17, 5, 10));
    addEvent(ppt, 12, utc(2011, 3, 4, 17, 10, 30));

    auto key = addSlideStream(r, kTagKeynote);
    const std::string keyGuid = *key->Guid();
    addFile(key, r->RecordingPath() + "/" + keyGuid + "/" + keyGuid + ".key.zip", keyGuid + "_ET/" + keyGuid + ".key.zip");
    addEvent(key, 2, utc(2011, 3, 4, 17, 30, 0));

    auto screen = store.context->insert<Stream>("Stream");
    r->setScreenCaptureStream(screen);
    screen->setValueForKey("StartTime", utc(2011, 3, 4, 17, 5, 10));
    writeFile(screen->FilePath(), 4096);

    auto camera = addCamera(r);
    camera->setValueForKey("StartTime", utc(2011, 3, 4, 17, 5, 9));
    camera->setValueForKey("EndTime", utc(2011, 3, 4, 17, 59, 59));
    writeFile(camera->FilePath(), 1234);

    addSegment(r, 60, std::nullopt);
    addSegment(r, 30.5, 45.25);
    addSegment(r, 0, 12.5);

    Element root = build(*r);
    EXPECT_EQ(root.name(), "RecordingInfo");
    EXPECT_EQ(root.names(), kRootChildren);
    EXPECT_EQ(root["PublicID"].text(), *r->Guid());
    EXPECT_EQ(root["SessionID"].text(), "5e1d3c2a-0000-4000-8000-000000000001");
    EXPECT_EQ(root["SessionGroupID"].text(), "9f00aa11-0000-4000-8000-000000000002");
    EXPECT_EQ(root["StartTime"].text(), "2011-03-04T17:05:09");
    EXPECT_EQ(root["EndTime"].text(), "2011-03-04T18:00:00");
    EXPECT_EQ(root["TimeOffset"].text(), "-0.1");

    // Media streams: the camera first, then the screen; slide streams never here.
    auto streams = root["Streams"].all("Stream");
    ASSERT_EQ(root["Streams"].names(), (Names{"Stream", "Stream"}));
    for (const auto& s : streams) EXPECT_EQ(s.names(), kStreamChildren);
    EXPECT_EQ(streams[0]["PublicID"].text(), *camera->Guid());
    EXPECT_EQ(streams[0]["Tag"].text(), "DV");
    EXPECT_EQ(streams[0]["Type"].text(), "Archival");
    EXPECT_EQ(streams[0]["StartTime"].text(), "2011-03-04T17:05:09");
    EXPECT_EQ(streams[0]["EndTime"].text(), "2011-03-04T17:59:59");
    ASSERT_EQ(streams[0]["Files"].names(), Names{"FileInfo"});
    EXPECT_EQ(streams[0]["Files"]["FileInfo"].names(), (Names{"FilePath", "Length"}));
    EXPECT_EQ(streams[0]["Files"]["FileInfo"]["FilePath"].text(), camera->FilePath());
    EXPECT_EQ(streams[0]["Files"]["FileInfo"]["Length"].text(), "1234");
    EXPECT_EQ(streams[1]["Tag"].text(), "SCREEN");
    EXPECT_EQ(streams[1]["Type"].text(), "Streaming");
    EXPECT_TRUE(streams[1]["EndTime"].isEmpty());
    EXPECT_EQ(streams[1]["Files"]["FileInfo"]["Length"].text(), "4096");

    // Slide streams, found by their target since set order is not part of the format.
    auto eventStreams = root["EventStreams"].all("EventStream");
    ASSERT_EQ(root["EventStreams"].names(), (Names{"EventStream", "EventStream"}));
    auto byTarget = [&](const std::string& guid) {
        for (const auto& es : eventStreams)
            if (es["EventTargets"]["EventTarget"]["PublicID"].text() == guid) return es;
        ADD_FAILURE() << "no EventStream targets " << guid;
        return Element{};
    };
    Element pptNode = byTarget(pptGuid);
    EXPECT_EQ(pptNode.names(), (Names{"PublicID", "Type", "EventTargets", "EventFiles"}));
    EXPECT_EQ(pptNode["Type"].text(), "PowerPoint");
    EXPECT_EQ(pptNode["PublicID"].text().size(), 36u);
    EXPECT_NE(pptNode["PublicID"].text(), pptGuid);
    EXPECT_EQ(pptNode["EventTargets"].names(), Names{"EventTarget"});
    Element target = pptNode["EventTargets"]["EventTarget"];
    EXPECT_EQ(target.names(), (Names{"PublicID", "EventSource", "Events", "EventContentOnClient"}));
    EXPECT_EQ(target["EventSource"].names(), Names{"FilePath"});
    EXPECT_EQ(target["EventSource"]["FilePath"].text(), pptGuid + "_ET/" + pptGuid + ".ppt");
    EXPECT_EQ(target["EventContentOnClient"].text(), "false");
    auto events = target["Events"].all("Event");
    ASSERT_EQ(target["Events"].names(), (Names{"Event", "Event", "Event"}));
    const std::vector<std::pair<std::string, std::string>> expectedEvents = {
        {"2011-03-04T17:05:10", "1"}, {"2011-03-04T17:10:30", "12"}, {"2011-03-04T17:20:00", "3"}};
    for (size_t i = 0; i < events.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(events[i].names(), (Names{"TimeStamp", "Data"}));
        EXPECT_EQ(events[i]["TimeStamp"].text(), expectedEvents[i].first);
        Element data = events[i]["Data"];
        EXPECT_EQ(data.names(), Names{"SlideNum"});
        EXPECT_EQ(data["SlideNum"].text(), expectedEvents[i].second);
        xmlChar* type = xmlGetNsProp(data.node, reinterpret_cast<const xmlChar*>("type"),
                                     reinterpret_cast<const xmlChar*>(kXsi));
        ASSERT_NE(type, nullptr);
        EXPECT_STREQ(reinterpret_cast<const char*>(type), "PowerPointEventData");
        xmlFree(type);
    }
    EXPECT_EQ(pptNode["EventFiles"].names(), Names{"FileInfo"});
    EXPECT_EQ(pptNode["EventFiles"]["FileInfo"]["FilePath"].text(), pptLocal);
    EXPECT_EQ(pptNode["EventFiles"]["FileInfo"]["Length"].text(), "300");

    Element keyNode = byTarget(keyGuid);
    EXPECT_EQ(keyNode["EventTargets"]["EventTarget"]["EventSource"]["FilePath"].text(),
              keyGuid + "_ET/" + keyGuid + ".key.zip");
    EXPECT_EQ(keyNode["EventTargets"]["EventTarget"]["Events"].names(), Names{"Event"});
    EXPECT_NE(keyNode["PublicID"].text(), pptNode["PublicID"].text());

    // Segments by start, the open one without an end.
    auto segments = root["Segments"].all("Segment");
    ASSERT_EQ(root["Segments"].names(), (Names{"Segment", "Segment", "Segment"}));
    const std::vector<std::pair<std::string, std::string>> expectedSegments = {
        {"0", "12.5"}, {"30.5", "45.25"}, {"60", ""}};
    for (size_t i = 0; i < segments.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(segments[i].names(), (Names{"Start", "End", "StreamPublicID"}));
        EXPECT_EQ(segments[i]["Start"].text(), expectedSegments[i].first);
        EXPECT_EQ(segments[i]["End"].text(), expectedSegments[i].second);
        EXPECT_EQ(segments[i]["StreamPublicID"].text(), "00000000-0000-0000-0000-000000000000");
    }
    EXPECT_TRUE(segments[2]["End"].isEmpty());
}

TEST_F(ManifestTest, SerialisedAsCompactUtf8WithDeclarationAndSchemaInstanceNamespace) {
    auto r = newRecording();
    auto ppt = addSlideStream(r, kTagPowerPoint);
    addEvent(ppt, 4, utc(2012, 1, 2, 3, 4, 5));
    build(*r);

    EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u) << text;
    EXPECT_NE(text.find("<RecordingInfo xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"), std::string::npos)
        << text;
    EXPECT_NE(text.find("<Data xsi:type=\"PowerPointEventData\"><SlideNum>4</SlideNum></Data>"), std::string::npos)
        << text;
    // No indentation: the only line break is the one after the declaration.
    const std::string body = text.substr(text.find("<RecordingInfo"));
    EXPECT_EQ(body.find('\n'), body.size() - 1) << text;
    EXPECT_EQ(body.find("> <"), std::string::npos);
}

TEST_F(ManifestTest, CameraOnlyRecordingHasOneStreamAndNoEventStreams) {
    auto r = newRecording();
    addCamera(r);
    addSegment(r, 0, 10);

    Element root = build(*r);
    EXPECT_EQ(root.names(), kRootChildren);
    EXPECT_EQ(root["Streams"].names(), Names{"Stream"});
    EXPECT_TRUE(root["EventStreams"].isEmpty());
    EXPECT_EQ(root["Segments"].names(), Names{"Segment"});
}

TEST_F(ManifestTest, BareRecordingWritesEveryElementEmpty) {
    // No server session, no times, no offset, no streams, no segments.
    auto r = newRecording();

    Element root = build(*r);
    EXPECT_EQ(root.names(), kRootChildren);
    EXPECT_EQ(root["PublicID"].text(), *r->Guid());
    for (const char* name :
         {"SessionID", "SessionGroupID", "StartTime", "EndTime", "TimeOffset", "Streams", "EventStreams", "Segments"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(root[name].isEmpty());
    }
}

TEST_F(ManifestTest, FileSizeIsReadFromDiskOnceAndUnreadableFileCountsZero) {
    auto r = newRecording();
    auto camera = addCamera(r);
    writeFile(camera->FilePath(), 777);
    auto screen = store.context->insert<Stream>("Stream");
    r->setScreenCaptureStream(screen);  // its movie never written

    Element root = build(*r);
    auto streams = root["Streams"].all("Stream");
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0]["Files"]["FileInfo"]["Length"].text(), "777");
    EXPECT_EQ(streams[1]["Files"]["FileInfo"]["Length"].text(), "0");
    // The size found is kept; a known size is not read again.
    EXPECT_EQ(camera->Files().front()->totalSize(), 777u);
    writeFile(camera->FilePath(), 10);
    EXPECT_EQ(build(*r)["Streams"]["Stream"]["Files"]["FileInfo"]["Length"].text(), "777");
}

TEST_F(ManifestTest, RebuildsDifferOnlyInEventStreamPublicIDs) {
    auto r = newRecording();
    r->setValueForKey("StartTime", utc(2020, 5, 6, 7, 8, 9));
    addCamera(r);
    auto ppt = addSlideStream(r, kTagPowerPoint);
    addEvent(ppt, 1, utc(2020, 5, 6, 7, 9, 0));
    auto key = addSlideStream(r, kTagKeynote);
    addEvent(key, 1, utc(2020, 5, 6, 7, 9, 1));
    addSegment(r, 1.5, 2.5);

    const std::string first = manifestText(*r);
    const std::string second = manifestText(*r);
    const std::regex eventStreamId("<EventStream><PublicID>([0-9A-Fa-f-]{36})</PublicID>");
    auto ids = [&](const std::string& s) {
        std::vector<std::string> out;
        for (std::sregex_iterator it(s.begin(), s.end(), eventStreamId), end; it != end; ++it)
            out.push_back((*it)[1]);
        return out;
    };
    auto firstIds = ids(first), secondIds = ids(second);
    ASSERT_EQ(firstIds.size(), 2u) << first;
    ASSERT_EQ(secondIds.size(), 2u) << second;
    for (size_t i = 0; i < 2; ++i) EXPECT_NE(firstIds[i], secondIds[i]);
    EXPECT_NE(firstIds[0], firstIds[1]);
    const std::string placeholder = "<EventStream><PublicID>ID</PublicID>";
    EXPECT_EQ(std::regex_replace(first, eventStreamId, placeholder), std::regex_replace(second, eventStreamId, placeholder));
}

TEST_F(ManifestTest, KeynoteStreamIsAnEventStreamWithItsArchiveAsSource) {
    auto r = newRecording();
    auto key = addSlideStream(r, kTagKeynote);
    const std::string g = *key->Guid();
    const std::string folder = r->RecordingPath() + "/" + g;
    addFile(key, folder + "/slide.1.jpg", g + "_ET/images/Slide1.jpg");
    addFile(key, folder + "/" + g + ".key.zip", g + "_ET/" + g + ".key.zip");
    addFile(key, folder + "/slide.2.jpg", g + "_ET/images/Slide2.jpg");

    Element root = build(*r);
    EXPECT_TRUE(root["Streams"].isEmpty());
    ASSERT_EQ(root["EventStreams"].names(), Names{"EventStream"});
    Element es = root["EventStreams"]["EventStream"];
    EXPECT_EQ(es["Type"].text(), "PowerPoint");
    EXPECT_EQ(es["EventTargets"]["EventTarget"]["PublicID"].text(), g);
    EXPECT_EQ(es["EventTargets"]["EventTarget"]["EventSource"]["FilePath"].text(), g + "_ET/" + g + ".key.zip");
    EXPECT_TRUE(es["EventTargets"]["EventTarget"]["Events"].isEmpty());
    auto files = es["EventFiles"].all("FileInfo");
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[1]["FilePath"].text(), folder + "/" + g + ".key.zip");
}

TEST_F(ManifestTest, EventSourceIsTheLastPresentationFileOrEmpty) {
    auto r = newRecording();
    auto several = addSlideStream(r, kTagPowerPoint);
    addFile(several, "/rec/a.ppt", "first.ppt");
    addFile(several, "/rec/b.zip", "second.zip");
    addFile(several, "/rec/notes.txt", "notes.txt");
    addFile(several, "/rec/c.ppt", "third.ppt");
    addFile(several, "/rec/image.jpg", "image.jpg");
    auto none = addSlideStream(r, kTagPowerPoint);
    addFile(none, "/rec/slide.1.jpg", "Slide1.jpg");
    addFile(none, "/rec/ppt", "no-extension");

    Element root = build(*r);
    for (const auto& es : root["EventStreams"].all("EventStream")) {
        Element target = es["EventTargets"]["EventTarget"];
        Element source = target["EventSource"]["FilePath"];
        if (target["PublicID"].text() == *several->Guid())
            EXPECT_EQ(source.text(), "third.ppt");
        else
            EXPECT_TRUE(source.isEmpty()) << source.text();
    }
}

TEST_F(ManifestTest, TextIsEscapedAndKeptWellFormed) {
    auto r = newRecording();
    r->setValueForKey("SessionGroupID", std::string("a&b<c>\"d\""));
    auto camera = addCamera(r);
    auto& file = *camera->Files().front();
    // A Linux path is bytes: an invalid UTF-8 byte and a control character must not break the document.
    file.setValueForKey("localPath", std::string("/rec/caf\xC3\xA9/\xFF\x01name.mov"));

    Element root = build(*r);
    EXPECT_EQ(root["SessionGroupID"].text(), "a&b<c>\"d\"");
    EXPECT_NE(text.find("a&amp;b&lt;c&gt;"), std::string::npos) << text;
    EXPECT_EQ(root["Streams"]["Stream"]["Files"]["FileInfo"]["FilePath"].text(),
              "/rec/caf\xC3\xA9/\xEF\xBF\xBD\xEF\xBF\xBDname.mov");
}

TEST_F(ManifestTest, DecimalValuesUseTheShortestPlainForm) {
    const std::vector<std::pair<double, std::string>> cases = {
        {0.0, "0"}, {1.0, "1"}, {0.1, "0.1"}, {-3.25, "-3.25"}, {1e-7, "0.0000001"},
        {123456789.125, "123456789.125"}, {1e21, "1000000000000000000000"}};
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(expected);
        auto r = newRecording();
        r->setValueForKey("TimeOffset", value);
        Element root = build(*r);
        EXPECT_EQ(root["TimeOffset"].text(), expected);
        EXPECT_EQ(std::stod(root["TimeOffset"].text()), value);
    }
}

TEST_F(ManifestTest, StreamInfoText) {
    auto r = newRecording();
    auto camera = addCamera(r);
    EXPECT_EQ(getStreamInfoXML(*camera), "<StreamInfo><PublicID>" + *camera->Guid() +
                                             "</PublicID><Tag>DV</Tag><StreamType>Archival</StreamType></StreamInfo>");

    auto odd = store.context->insert<Stream>("Stream");
    odd->setValueForKey("Guid", std::string("g&1"));
    odd->setValueForKey("Tag", std::string("<T>"));
    EXPECT_EQ(getStreamInfoXML(*odd),
              "<StreamInfo><PublicID>g&amp;1</PublicID><Tag>&lt;T&gt;</Tag><StreamType></StreamType></StreamInfo>");
}

}  // namespace
}  // namespace orvanta::model
