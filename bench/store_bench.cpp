// Manifest building and store saving, each next to a baseline that does the same work directly
// with libxml2 / the SQLite C API and nothing of ours. Prints the ratio ours / baseline.
#include <benchmark/benchmark.h>

#include "RatioReporter.h"
#include <libxml/tree.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>

#include "core/Util.h"
#include "model/FileUpload.h"
#include "model/Manifest.h"
#include "model/ManagedObjectContext.h"
#include "model/Recording.h"
#include "model/RecordingHost.h"
#include "model/Segment.h"
#include "model/Stream.h"

using namespace orvanta;
using namespace orvanta::model;
namespace fs = std::filesystem;

namespace {

constexpr int kEvents = 10000;
constexpr int kSegments = 1000;
constexpr int kRecordings = 1000;

class BenchHost : public RecordingHost {
public:
    explicit BenchHost(fs::path dir) : dir_(std::move(dir)) {}
    bool isLoggedIn() const override { return false; }
    core::Subscription observeLoggedIn(std::function<void(bool)>) override { return {}; }
    std::string recordingDirectory() override { return dir_.string(); }
    void saveManagedObjects() override {}
    void performOnMainThread(std::function<void()> task, bool) override { task(); }
    void uploadRecording(const std::shared_ptr<Recording>&) override {}
    void pauseUploadForRecording(const std::shared_ptr<Recording>&) override {}
    void stitchFiles(const std::shared_ptr<Recording>&) override {}

private:
    fs::path dir_;
};

struct Scratch {
    fs::path dir;
    Scratch() {
        char tmpl[] = "/tmp/orvanta-bench-XXXXXX";
        dir = mkdtemp(tmpl);
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

Date at(int seconds) { return Date(std::chrono::seconds(1700000000 + seconds)); }

// ---- manifest -------------------------------------------------------------------------------

void BM_Manifest(benchmark::State& state) {
    Scratch scratch;
    BenchHost host(scratch.dir);
    core::Error error;
    auto ctx = ManagedObjectContext::open(scratch.dir / "store.sqlite", &host, {}, &error);
    auto rec = ctx->insert<Recording>("Recording");
    rec->setValueForKey("StartTime", at(0));
    rec->setValueForKey("EndTime", at(3600));
    auto video = ctx->insert<Stream>("Stream");
    video->setValueForKey("Tag", std::string(kTagCamera));
    rec->setVideoStream(video);
    rec->setScreenCaptureStream(ctx->insert<Stream>("Stream"));
    for (auto& s : rec->Streams())
        for (auto& f : s->Files()) f->setTotalSize(123456789);
    auto slides = ctx->insert<Stream>("Stream");
    slides->setValueForKey("Tag", std::string(kTagPowerPoint));
    slides->setValueForKey("Type", std::string(kTypePowerPoint));
    rec->addToMany("Streams", slides);
    for (int i = 0; i < kEvents; ++i) {
        auto ev = ctx->insertNewObject("Event");
        ev->setValueForKey("slideNumber", int64_t{i % 80 + 1});
        ev->setValueForKey("timeStamp", at(i / 3));
        slides->addToMany("Events", ev);
    }
    for (int i = kSegments - 1; i >= 0; --i) {
        auto seg = ctx->insert<Segment>("Segment");
        seg->setValueForKey("Start", i * 3.5);
        seg->setValueForKey("End", i * 3.5 + 3.0);
        rec->addToMany("Segments", seg);
    }
    size_t bytes = 0;
    for (auto _ : state) bytes = manifestText(*rec).size();
    state.counters["bytes"] = static_cast<double>(bytes);
}

xmlNodePtr child(xmlNodePtr parent, const char* name, const std::string& text = {}) {
    return xmlNewTextChild(parent, nullptr, BAD_CAST name, text.empty() ? nullptr : BAD_CAST text.c_str());
}

// The same document from plain values, straight through libxml2.
void BM_ManifestBaselineLibxml2(benchmark::State& state) {
    struct Ev { int slide; Date when; };
    std::vector<Ev> events;
    for (int i = 0; i < kEvents; ++i) events.push_back({i % 80 + 1, at(i / 3)});
    std::vector<std::pair<double, double>> segments;
    for (int i = 0; i < kSegments; ++i) segments.push_back({i * 3.5, i * 3.5 + 3.0});
    size_t bytes = 0;
    for (auto _ : state) {
        xmlDocPtr doc = xmlNewDoc(BAD_CAST "1.0");
        xmlNodePtr root = xmlNewNode(nullptr, BAD_CAST "RecordingInfo");
        xmlDocSetRootElement(doc, root);
        xmlNewProp(root, BAD_CAST "xmlns:xsi", BAD_CAST "http://www.w3.org/2001/XMLSchema-instance");
        child(root, "PublicID", core::stringWithUUID());
        child(root, "SessionID");
        child(root, "SessionGroupID");
        child(root, "StartTime", core::descriptionCompat(at(0)));
        child(root, "EndTime", core::descriptionCompat(at(3600)));
        child(root, "TimeOffset", "0");
        xmlNodePtr streams = child(root, "Streams");
        for (const char* tag : {"DV", "SCREEN"}) {
            xmlNodePtr s = child(streams, "Stream");
            child(s, "PublicID", core::stringWithUUID());
            child(s, "Tag", tag);
            child(s, "Type", "Archival");
            child(s, "StartTime");
            child(s, "EndTime");
            xmlNodePtr fi = child(child(s, "Files"), "FileInfo");
            child(fi, "FilePath", "/tmp/x/" + std::string(tag) + ".mov");
            child(fi, "Length", "123456789");
        }
        xmlNodePtr es = child(child(root, "EventStreams"), "EventStream");
        child(es, "PublicID", core::stringWithUUID());
        child(es, "Type", "PowerPoint");
        xmlNodePtr target = child(child(es, "EventTargets"), "EventTarget");
        child(target, "PublicID", core::stringWithUUID());
        child(child(target, "EventSource"), "FilePath");
        xmlNodePtr evs = child(target, "Events");
        for (const auto& e : events) {
            xmlNodePtr ev = child(evs, "Event");
            child(ev, "TimeStamp", core::descriptionCompat(e.when));
            xmlNodePtr data = child(ev, "Data");
            xmlNewProp(data, BAD_CAST "xsi:type", BAD_CAST "PowerPointEventData");
            child(data, "SlideNum", std::to_string(e.slide));
        }
        child(target, "EventContentOnClient", "false");
        child(es, "EventFiles");
        xmlNodePtr segs = child(root, "Segments");
        char buf[32];
        for (const auto& [start, end] : segments) {
            xmlNodePtr s = child(segs, "Segment");
            std::snprintf(buf, sizeof buf, "%g", start);
            child(s, "Start", buf);
            std::snprintf(buf, sizeof buf, "%g", end);
            child(s, "End", buf);
            child(s, "StreamPublicID", "00000000-0000-0000-0000-000000000000");
        }
        xmlChar* mem = nullptr;
        int size = 0;
        xmlDocDumpFormatMemoryEnc(doc, &mem, &size, "UTF-8", 0);
        bytes = static_cast<size_t>(size);
        xmlFree(mem);
        xmlFreeDoc(doc);
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}

// ---- saving ---------------------------------------------------------------------------------

void BM_SaveRecordings(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        Scratch scratch;
        BenchHost host(scratch.dir);
        core::Error error;
        auto ctx = ManagedObjectContext::open(scratch.dir / "store.sqlite", &host, {}, &error);
        state.ResumeTiming();
        for (int r = 0; r < kRecordings; ++r) {
            auto rec = ctx->insert<Recording>("Recording");
            rec->setState(kStateReady);
            rec->setValueForKey("StartTime", at(r));
            rec->setValueForKey("SessionName", std::string("Lecture"));
            auto video = ctx->insert<Stream>("Stream");
            video->setValueForKey("Tag", std::string(kTagCamera));
            rec->setVideoStream(video);
            rec->setScreenCaptureStream(ctx->insert<Stream>("Stream"));
            for (int s = 0; s < 3; ++s) {
                auto seg = ctx->insert<Segment>("Segment");
                seg->setValueForKey("Start", s * 10.0);
                seg->setValueForKey("End", s * 10.0 + 5);
                rec->addToMany("Segments", seg);
            }
        }
        if (ctx->save()) state.SkipWithError("save failed");
        state.PauseTiming();
        ctx.reset();
        state.ResumeTiming();
    }
}

// The same rows through the SQLite C API in one transaction.
void BM_SaveBaselineSqlite(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        Scratch scratch;
        BenchHost host(scratch.dir);
        core::Error error;
        // Same schema, made by opening a store once.
        ManagedObjectContext::open(scratch.dir / "store.sqlite", &host, {}, &error).reset();
        sqlite3* db = nullptr;
        sqlite3_open((scratch.dir / "store.sqlite").c_str(), &db);
        sqlite3_exec(db, "PRAGMA synchronous = FULL", nullptr, nullptr, nullptr);
        state.ResumeTiming();
        sqlite3_stmt *rec, *stream, *file, *seg;
        sqlite3_prepare_v2(db, "INSERT INTO Recording (Guid, State, StartTime, SessionName, LocalFolder) VALUES (?1, 5, ?2, 'Lecture', ?3)", -1, &rec, nullptr);
        sqlite3_prepare_v2(db, "INSERT INTO Stream (Guid, Tag, Type, Description, Recording) VALUES (?1, ?2, ?3, ?4, ?5)", -1, &stream, nullptr);
        sqlite3_prepare_v2(db, "INSERT INTO FileUpload (localPath, remotePath, destination, stream) VALUES (?1, ?2, 1, ?3)", -1, &file, nullptr);
        sqlite3_prepare_v2(db, "INSERT INTO Segment (Start, \"End\", Recording) VALUES (?1, ?2, ?3)", -1, &seg, nullptr);
        sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        for (int r = 0; r < kRecordings; ++r) {
            std::string guid = core::stringWithUUID();
            fs::create_directories(scratch.dir / guid);  // as inserting a recording does
            sqlite3_bind_text(rec, 1, guid.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_double(rec, 2, 1700000000.0 + r);
            sqlite3_bind_text(rec, 3, scratch.dir.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_step(rec);
            sqlite3_reset(rec);
            sqlite3_int64 recId = sqlite3_last_insert_rowid(db);
            for (const char* tag : {"DV", "SCREEN"}) {
                std::string sguid = core::stringWithUUID();
                sqlite3_bind_text(stream, 1, sguid.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_bind_text(stream, 2, tag, -1, SQLITE_STATIC);
                sqlite3_bind_text(stream, 3, "Archival", -1, SQLITE_STATIC);
                sqlite3_bind_text(stream, 4, "Video", -1, SQLITE_STATIC);
                sqlite3_bind_int64(stream, 5, recId);
                sqlite3_step(stream);
                sqlite3_reset(stream);
                sqlite3_int64 streamId = sqlite3_last_insert_rowid(db);
                std::string name = sguid + "." + tag + ".mov";
                std::string path = (scratch.dir / guid / name).string();
                sqlite3_bind_text(file, 1, path.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_bind_text(file, 2, name.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_bind_int64(file, 3, streamId);
                sqlite3_step(file);
                sqlite3_reset(file);
            }
            for (int s = 0; s < 3; ++s) {
                sqlite3_bind_double(seg, 1, s * 10.0);
                sqlite3_bind_double(seg, 2, s * 10.0 + 5);
                sqlite3_bind_int64(seg, 3, recId);
                sqlite3_step(seg);
                sqlite3_reset(seg);
            }
        }
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        for (auto* st : {rec, stream, file, seg}) sqlite3_finalize(st);
        state.PauseTiming();
        sqlite3_close(db);
        state.ResumeTiming();
    }
}

BENCHMARK(BM_Manifest)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ManifestBaselineLibxml2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveRecordings)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_SaveBaselineSqlite)->Unit(benchmark::kMillisecond)->Iterations(5);


}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatio("BM_Manifest", "BM_ManifestBaselineLibxml2");
    reporter.printRatio("BM_SaveRecordings/iterations:5", "BM_SaveBaselineSqlite/iterations:5");
    benchmark::Shutdown();
    return 0;
}
