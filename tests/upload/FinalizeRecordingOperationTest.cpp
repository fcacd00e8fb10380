// The finalize operation against the reference server.
#include <gtest/gtest.h>

#include <filesystem>

#include "core/Util.h"
#include "model/SimpleSessionGroup.h"
#include "service/HTTPError.h"
#include "service/RecorderService.h"
#include "support/DevServer.h"
#include "support/Files.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "upload/FinalizeRecordingOperation.h"
#include "upload/UploadTestSupport.h"

using namespace orvanta;
using namespace std::chrono_literals;
using upload::FinalizeRecordingOperation;
namespace fs = std::filesystem;

namespace {

constexpr const char* kFolder = "0A1B2C3D-0000-4000-8000-000000000001";
constexpr const char* kExistingSession = "0A1B2C3D-0000-4000-8000-000000000011";

std::string manifestFor(const std::string& recordingId, const std::string& sessionId) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><RecordingInfo><PublicID>" + recordingId +
           "</PublicID><SessionID>" + sessionId +
           "</SessionID><Streams><Stream><PublicID>A</PublicID><Tag>DV</Tag><Type>Archival</Type><Files><FileInfo>"
           "<FilePath>/rec/A.DV.mov</FilePath><Length>100</Length></FileInfo></Files></Stream></Streams>"
           "<EventStreams/><Segments/></RecordingInfo>";
}

struct FinalizeRecordingOperationTest : ::testing::Test {
    test::LogCapture log;
    test::TempDir dir;
    test::DevServer server{{"--quiet", "--storage", (dir.path() / "server").string()}};
    core::RunLoop loop;
    test::ReportCollector reports{loop};
    std::string recordingId = core::stringWithUUID();
    core::OperationQueue queue{0, "finalize-test"};  // last: stops its operations first

    std::shared_ptr<FinalizeRecordingOperation> makeOperation(
        bool shouldAddSession, const std::string& folder = kFolder,
        std::chrono::duration<double> manifestWait = FinalizeRecordingOperation::kDefaultManifestWait,
        const std::string& serverName = "") {
        auto op = std::make_shared<FinalizeRecordingOperation>("<stale/>", shouldAddSession, "Week 9", folder,
                                                               serverName.empty() ? server.serverName() : serverName,
                                                               recordingId, loop, manifestWait);
        op->setDelegate(&reports);
        return op;
    }

    void run(const std::shared_ptr<FinalizeRecordingOperation>& op) {
        queue.addOperation(op);
        ASSERT_TRUE(loop.runUntil([&] { return reports.finalizeCompleted; }, 20s)) << "no completion report";
        EXPECT_EQ(reports.offLoopThread, 0);
        EXPECT_EQ(reports.kinds().back(), "finalizeCompleted");
        for (const auto& r : reports.reports) EXPECT_EQ(r.id, recordingId);
    }

    size_t sessionsInFolder() {
        service::RecorderService recorder(server.serverName());
        for (const auto& group : recorder.GetSessionGroups())
            if (group->stringValue("publicID") == kFolder) return group->sortedSessions().size();
        return 0;
    }
};

}  // namespace

TEST_F(FinalizeRecordingOperationTest, CreatesTheSessionWaitsForTheNewManifestAndFinalizes) {
    auto op = makeOperation(true);
    std::string submitted;
    std::optional<std::string> manifestWhenAsked = "not asked";
    reports.onAddedSession = [&](FinalizeRecordingOperation& o, const std::optional<std::string>& session) {
        manifestWhenAsked = o.manifest();
        submitted = manifestFor(recordingId, session.value_or("none"));
        o.setManifest(submitted);
    };
    run(op);
    EXPECT_EQ(reports.kinds(), (std::vector<std::string>{"addedSession", "finalized", "finalizeCompleted"}));
    EXPECT_FALSE(manifestWhenAsked.has_value()) << "the old manifest is cleared before the delegate is asked";
    EXPECT_FALSE(op->isCancelled());

    const std::string session = reports.reports[0].file.value_or("");
    ASSERT_EQ(session.size(), 36u);
    service::RecorderService recorder(server.serverName());
    auto found = recorder.GetSessions({session});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]->stringValue("longName"), "Week 9");
    EXPECT_EQ(found[0]->stringValue("sessionGroupPublicID"), kFolder);
    EXPECT_EQ(test::readFile(dir.path() / "server" / session / (recordingId + ".manifest.xml")), submitted);
}

TEST_F(FinalizeRecordingOperationTest, ExistingSessionIsNotCreatedAgainButTheManifestIsAwaited) {
    const size_t before = sessionsInFolder();
    // The default 30-second wait: a manifest handed over later must end the wait when it comes.
    auto op = makeOperation(false);
    core::TimerHandle later;
    reports.onAddedSession = [&](FinalizeRecordingOperation& o, const std::optional<std::string>& session) {
        EXPECT_FALSE(session.has_value());
        EXPECT_FALSE(o.manifest().has_value());
        auto keep = op;
        later = loop.schedule(300ms, false, [keep, this] { keep->setManifest(manifestFor(recordingId, kExistingSession)); });
    };
    run(op);
    EXPECT_EQ(reports.kinds(), (std::vector<std::string>{"addedSession", "finalized", "finalizeCompleted"}));
    EXPECT_EQ(sessionsInFolder(), before) << "no AddSession";
    EXPECT_TRUE(log.contains("Waiting for new manifest from the delegate"));
    EXPECT_TRUE(log.contains("Obtained new manifest"));
}

// Both ways of not finalizing end the operation cancelled, so the upload that depends on it stops.
TEST_F(FinalizeRecordingOperationTest, RefusedManifestOrNoManifestIsError82AndStopsTheUpload) {
    struct Case {
        const char* name;
        bool delegateAnswers;
        std::string reason;
        std::string logLine;
    };
    const Case cases[] = {
        {"refused", true, "Server reported an error in FinalizeRecording", "Calling FinalizeRecording on server"},
        {"timed out", false, "Timed out waiting for new recording manifest.",
         "Delegate did not update us with a new manifest for session .  Timed out waiting."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reports.reports.clear();
        reports.finalizeCompleted = false;
        test::ReportCollector uploadReports{loop};
        auto op = makeOperation(false, kFolder, 20ms);
        reports.onAddedSession = [&](FinalizeRecordingOperation& o, const std::optional<std::string>&) {
            // A session the server does not know: FinalizeRecording answers false.
            if (c.delegateAnswers) o.setManifest(manifestFor(recordingId, "00000000-0000-0000-0000-000000000000"));
        };
        auto file = dir.path() / "a.mov";
        test::writeBytes(file, test::patternBytes(100, 1));
        auto service = std::make_unique<test::ScriptedUploadService>(
            std::make_unique<service::UploadService>(server.receiverUrl()));
        auto calls = service->calls;
        auto upload = std::make_shared<upload::FileUploadOperation>(
            kExistingSession, std::vector<model::FileInformation>{{"A.mov", file.string(), 0, std::nullopt}}, 10, 5,
            0.01, std::move(service), loop);
        upload->setDelegate(&uploadReports);
        upload->addDependency(op);
        queue.addOperation(upload);
        run(op);
        ASSERT_TRUE(loop.runUntil([&] { return uploadReports.uploadCompleted; }, 20s));

        EXPECT_TRUE(op->isCancelled());
        auto failures = reports.ofKind("failedToFinalize");
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_EQ(failures[0].error.domain, "Orvanta");
        EXPECT_EQ(failures[0].error.code, 82);
        EXPECT_EQ(failures[0].error.description, "Failed to finalize");
        EXPECT_EQ(failures[0].error.failureReason, c.reason);
        EXPECT_FALSE(failures[0].error.innerError);
        EXPECT_TRUE(reports.ofKind("finalized").empty());
        EXPECT_TRUE(log.contains(c.logLine));
        EXPECT_EQ(calls->chunkSize + calls->uploadChunk + calls->tryCloseFile, 0) << "the upload did not run";
        EXPECT_EQ(uploadReports.kinds(), (std::vector<std::string>{"completed"}));
    }
}

TEST_F(FinalizeRecordingOperationTest, SessionThatCannotBeCreatedIsError81) {
    int downPort;
    {
        test::DevServer gone({"--quiet"});
        downPort = gone.port();
    }
    struct Case {
        const char* name;
        std::string folder;
        std::string serverName;
        std::function<bool(const core::Error&)> innerMatches;
    };
    const Case cases[] = {
        {"unknown folder", "00000000-0000-0000-0000-00000000FFFF", "",
         [](const core::Error& e) { return service::isHTTPError(e) && e.code == 500; }},
        {"server down", kFolder, "127.0.0.1:" + std::to_string(downPort),
         [](const core::Error& e) { return e.domain == core::kURLErrorDomain; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reports.reports.clear();
        reports.finalizeCompleted = false;
        auto op = makeOperation(true, c.folder, FinalizeRecordingOperation::kDefaultManifestWait, c.serverName);
        run(op);
        EXPECT_EQ(reports.kinds(), (std::vector<std::string>{"failedToAddSession", "finalizeCompleted"}));
        const auto& e = reports.reports[0].error;
        EXPECT_EQ(e.code, 81);
        EXPECT_EQ(e.description, "Failed to create session");
        EXPECT_EQ(e.failureReason, "Server reported an error in AddSession");
        ASSERT_TRUE(e.innerError);
        EXPECT_TRUE(c.innerMatches(*e.innerError)) << e.innerError->localizedDescription();
        EXPECT_TRUE(op->isCancelled());
    }
}

TEST_F(FinalizeRecordingOperationTest, CancellingDuringTheManifestWaitEndsItAtOnce) {
    auto op = makeOperation(false);  // waits up to 6 x 30 s
    reports.onAddedSession = [](FinalizeRecordingOperation& o, const std::optional<std::string>&) { o.cancel(); };
    run(op);
    EXPECT_EQ(reports.kinds(), (std::vector<std::string>{"addedSession", "finalizeCompleted"}));
    EXPECT_TRUE(log.contains("operation cancelled while trying to create a session on the server"));
}

TEST_F(FinalizeRecordingOperationTest, CancelledBeforeItStartsStillReportsCompletion) {
    auto op = makeOperation(true);
    op->cancel();
    const size_t before = sessionsInFolder();
    run(op);
    EXPECT_EQ(reports.kinds(), (std::vector<std::string>{"finalizeCompleted"}));
    EXPECT_EQ(sessionsInFolder(), before);
}
