// The upload controller with a real store and the reference server; the application around it is
// a small environment running its own loop.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "core/SettingsKeys.h"
#include "core/Util.h"
#include "model/FileUpload.h"
#include "model/Manifest.h"
#include "model/Recording.h"
#include "model/SimpleSessionGroup.h"
#include "model/Stream.h"
#include "service/RecorderService.h"
#include "support/DevServer.h"
#include "support/Latch.h"
#include "support/LogCapture.h"
#include "support/ModelFixture.h"
#include "support/TempDir.h"
#include "upload/UploadController.h"
#include "upload/UploadTestSupport.h"

using namespace orvanta;
using namespace std::chrono_literals;
using model::Recording;
using upload::UploadController;
namespace fs = std::filesystem;

namespace {

constexpr const char* kFolder = "0A1B2C3D-0000-4000-8000-000000000001";
constexpr const char* kExistingSession = "0A1B2C3D-0000-4000-8000-000000000011";

// A movie join the upload has to wait for.
class TestJoin : public core::Operation, public model::StitchingOperationHandle {
public:
    explicit TestJoin(std::function<void()> work) : work_(std::move(work)) {}
    bool isFinished() const override { return core::Operation::isFinished(); }
    void detachDelegate() override {}
    void cancel() override { core::Operation::cancel(); }
    void main() override { work_(); }

private:
    std::function<void()> work_;
};

struct UploadControllerTest : ::testing::Test {
    test::LogCapture log;
    test::TestStore store;
    test::TempDir serverDir;
    std::unique_ptr<test::DevServer> server;
    test::TestUploadEnvironment env{store.dir.path() / "settings.json", store.context.get()};
    std::vector<std::string> ended;
    std::unique_ptr<UploadController> controller;  // last: goes first
    core::Subscription endedSubscription;

    UploadControllerTest() {
        controller = std::make_unique<UploadController>(env);
        endedSubscription = controller->uploadEnded.connect([this](std::string guid) { ended.push_back(guid); });
        UploadController::Options options;
        options.pollingInterval = 0.01;
        options.retryPolicy = {std::chrono::duration<double>(0.1), std::chrono::duration<double>(1), 5};
        controller->setOptions(options);
    }
    ~UploadControllerTest() override {
        endedSubscription.reset();
        controller.reset();
    }

    void startServer(std::vector<std::string> more = {}) {
        std::vector<std::string> args = {"--quiet", "--storage", serverDir.path().string(), "--chunk-size", "1000"};
        args.insert(args.end(), more.begin(), more.end());
        server = std::make_unique<test::DevServer>(args);
        env.endpoint = server->receiverUrl();
    }

    // A recording of files of the given sizes (camera, screen, slides), ready to upload to the folder.
    std::shared_ptr<Recording> makeRecording(const std::vector<size_t>& sizes, std::optional<std::string> session = {},
                                             bool finalized = false) {
        auto rec = store.context->insert<Recording>("Recording");
        rec->setValueForKey("Server", server ? server->serverName() : std::string("127.0.0.1:1"));
        rec->setValueForKey("SessionGroupID", std::string(kFolder));
        rec->setValueForKey("SessionGroupName", std::string("Physics"));
        rec->setValueForKey("SessionName", std::string("Lecture 7"));
        if (session) rec->setValueForKey("SessionID", *session);
        rec->setValueForKey("IsFinalized", finalized);
        rec->setState(model::kStateReady);
        for (size_t i = 0; i < sizes.size(); ++i) {
            auto stream = store.context->insert<model::Stream>("Stream");
            if (i == 0) {
                stream->setValueForKey("Tag", std::string(model::kTagCamera));
                stream->setValueForKey("Description", std::string("Video"));
                rec->setVideoStream(stream);
            } else if (i == 1) {
                rec->setScreenCaptureStream(stream);
            } else {
                stream->setValueForKey("Tag", std::string(model::kTagPowerPoint));
                stream->setValueForKey("Type", std::string(model::kTypePowerPoint));
                rec->addToMany("Streams", stream);
                auto file = store.context->insert<model::FileUpload>("FileUpload");
                const std::string guid = stream->Guid().value_or("");
                file->setValueForKey("localPath", rec->RecordingPath() + "/" + guid + ".ppt");
                file->setValueForKey("remotePath", guid + "_ET/" + guid + ".ppt");
                stream->addToMany("Files", file);
            }
            test::writeBytes(filesOf(*rec).back()->localPath().value(), test::patternBytes(sizes[i], uint8_t(i + 3)));
        }
        store.context->save();
        return rec;
    }

    static std::vector<std::shared_ptr<model::FileUpload>> filesOf(const Recording& rec) {
        std::vector<std::shared_ptr<model::FileUpload>> out;
        for (const auto& s : rec.Streams())
            for (const auto& f : s->Files()) out.push_back(f);
        return out;
    }

    fs::path onServer(const Recording& rec, const model::FileUpload& file) const {
        return serverDir.path() / rec.SessionID().value_or("none") / file.remotePath().value_or("");
    }

    uint64_t bytesUploaded(const Recording& rec) const {
        uint64_t sum = 0;
        for (const auto& f : filesOf(rec)) sum += f->bytesUploaded();
        return sum;
    }

    bool runUntilEnded(const std::shared_ptr<Recording>& rec, size_t times = 1) {
        const std::string guid = rec->Guid().value_or("");
        return env.runUntil([&] { return std::count(ended.begin(), ended.end(), guid) >= static_cast<long>(times); });
    }

    void expectDelivered(const Recording& rec) {
        EXPECT_EQ(rec.State(), model::kStateUploadComplete) << rec.FaultString().value_or("");
        EXPECT_TRUE(rec.IsFinalized());
        for (const auto& f : filesOf(rec)) {
            SCOPED_TRACE(f->localPath().value_or(""));
            EXPECT_TRUE(f->isUploaded());
            EXPECT_EQ(f->bytesUploaded(), f->totalSize());
            EXPECT_EQ(test::fileBytes(onServer(rec, *f)), test::fileBytes(f->localPath().value()));
        }
        EXPECT_FALSE(store.context->hasChanges()) << "everything saved";
    }

    size_t sessionsInFolder() {
        service::RecorderService recorder(server->serverName());
        for (const auto& group : recorder.GetSessionGroups())
            if (group->stringValue("publicID") == kFolder) return group->sortedSessions().size();
        return 0;
    }

    std::vector<std::string> startedGuids() const {
        std::vector<std::string> out;
        for (const auto& line : log.lines()) {
            auto at = line.find(" recording=");
            if (at == std::string::npos) continue;
            at += 11;
            out.push_back(line.substr(at, line.find(',', at) - at));
        }
        return out;
    }
};

}  // namespace

TEST_F(UploadControllerTest, UploadsANewRecordingIntoANewSession) {
    startServer();
    auto rec = makeRecording({2500, 1200, 300});
    const size_t sessionsBefore = sessionsInFolder();
    std::vector<int> savedStates;
    env.onSave = [&] { savedStates.push_back(rec->State()); };

    controller->uploadRecording(rec);
    const std::string guid = rec->Guid().value();
    EXPECT_TRUE(controller->isUploading(guid));
    ASSERT_TRUE(runUntilEnded(rec));

    expectDelivered(*rec);
    EXPECT_FALSE(controller->isUploading(guid));
    ASSERT_EQ(rec->SessionID().value_or("").size(), 36u);
    EXPECT_EQ(sessionsInFolder(), sessionsBefore + 1);
    EXPECT_TRUE(fs::exists(serverDir.path() / *rec->SessionID() / (guid + ".manifest.xml")));
    EXPECT_FLOAT_EQ(rec->uploadProgress(), 1.0f);
    EXPECT_FALSE(rec->FaultString().has_value());
    ASSERT_FALSE(savedStates.empty());
    EXPECT_EQ(savedStates.front(), model::kStateUploading);
    EXPECT_EQ(savedStates.back(), model::kStateUploadComplete);
    EXPECT_TRUE(env.ui.alerts.empty());
    EXPECT_TRUE(env.ui.sheets.empty());
    EXPECT_EQ(env.settings().integerForKey(core::kMaxUploadRetriesKey), 10) << "written when absent";
    EXPECT_EQ(env.settings().integerForKey(core::kMaxCloseFileRetriesKey), 5);
}

TEST_F(UploadControllerTest, UploadsWaitWhileCapturingAndResumeLastAddedFirst) {
    startServer();
    auto a = makeRecording({1500});
    auto b = makeRecording({800});
    env.recording.set(true);
    controller->uploadRecording(a);
    controller->uploadRecording(b);
    controller->uploadRecording(a);
    EXPECT_EQ(controller->pausedRecordings(), (std::vector<std::shared_ptr<Recording>>{a, b, a}));
    EXPECT_FALSE(controller->isUploading(a->Guid().value()));
    EXPECT_EQ(env.queue.operationCount(), 0u);
    EXPECT_TRUE(log.contains("Cannot upload (" + a->Guid().value() + ") because we are recording.  Queue for later."));
    EXPECT_EQ(a->State(), model::kStateReady);

    env.recording.set(false);
    EXPECT_TRUE(controller->pausedRecordings().empty());
    EXPECT_EQ(startedGuids(), (std::vector<std::string>{a->Guid().value(), b->Guid().value()}));
    EXPECT_TRUE(log.contains("Already uploading " + a->Guid().value()));
    ASSERT_TRUE(runUntilEnded(a));
    ASSERT_TRUE(runUntilEnded(b));
    expectDelivered(*a);
    expectDelivered(*b);
}

TEST_F(UploadControllerTest, CaptureStartingPausesARunningUploadWhichResumesFromItsProgress) {
    startServer({"--slow-ms", "100"});
    auto rec = makeRecording({6000});
    auto file = filesOf(*rec)[0];
    controller->uploadRecording(rec);
    ASSERT_TRUE(env.runUntil([&] { return file->bytesUploaded() >= 2000; }));

    env.recording.set(true);
    EXPECT_EQ(controller->pausedRecordings().size(), 1u);
    ASSERT_TRUE(runUntilEnded(rec));
    EXPECT_EQ(rec->State(), model::kStateUploading) << "a paused upload keeps its state";
    const uint64_t kept = file->bytesUploaded();
    EXPECT_GE(kept, 2000u);
    EXPECT_LT(kept, 6000u);

    env.recording.set(false);
    ASSERT_TRUE(runUntilEnded(rec, 2));
    expectDelivered(*rec);
    EXPECT_TRUE(log.contains("starting at offset " + std::to_string(kept)));
    EXPECT_TRUE(env.ui.alerts.empty());
}

TEST_F(UploadControllerTest, WaitsForThePendingMovieJoinAndMeasuresItsFile) {
    startServer();
    auto rec = makeRecording({0});
    auto file = filesOf(*rec)[0];
    const fs::path movie = file->localPath().value();
    fs::remove(movie);  // written by the join
    rec->setState(model::kStatePostProcessing);
    test::Latch release;
    auto join = std::make_shared<TestJoin>([&] {
        release.wait();
        test::writeBytes(movie, test::patternBytes(2200, 5));
    });
    rec->setStitchingOperation(join);
    env.queue.addOperation(join);

    controller->uploadRecording(rec);
    env.runUntil([] { return false; }, 200ms);
    EXPECT_EQ(rec->State(), model::kStatePostProcessing) << "not uploading before the join has finished";
    EXPECT_FALSE(rec->SessionID().has_value()) << "the session waits for the join too";
    release.set();
    ASSERT_TRUE(runUntilEnded(rec));
    EXPECT_EQ(file->totalSize(), 2200u);
    expectDelivered(*rec);
}

TEST_F(UploadControllerTest, ASecondCallWhileUploadingChangesNothing) {
    startServer();
    auto rec = makeRecording({1500});
    const size_t sessionsBefore = sessionsInFolder();
    controller->uploadRecording(rec);
    const size_t queued = env.queue.operationCount();
    const upload::UploadInfo* info = controller->uploadInfoForRecording(rec->Guid().value());
    controller->uploadRecording(rec);
    EXPECT_TRUE(log.contains("Already uploading " + rec->Guid().value() + " (to session: (null)), ignoring call to upload"));
    EXPECT_LE(env.queue.operationCount(), queued);
    EXPECT_EQ(controller->uploadInfoForRecording(rec->Guid().value()), info);
    ASSERT_TRUE(runUntilEnded(rec));
    expectDelivered(*rec);
    EXPECT_EQ(sessionsInFolder(), sessionsBefore + 1) << "one session only";
}

TEST_F(UploadControllerTest, FinalizeOperationOnlyWhenTheServerLacksTheManifest) {
    startServer();
    struct Case {
        std::optional<std::string> session;
        bool finalized;
        bool expectFinalize;
        bool expectAddSession;
    };
    const Case cases[] = {
        {kExistingSession, true, false, false},
        {kExistingSession, false, true, false},
        {std::nullopt, false, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.session.has_value()) + std::to_string(c.finalized));
        auto rec = makeRecording({1000}, c.session, c.finalized);
        controller->uploadRecording(rec);
        const auto* info = controller->uploadInfoForRecording(rec->Guid().value());
        ASSERT_TRUE(info);
        EXPECT_EQ(info->finalizeOperation() != nullptr, c.expectFinalize);
        if (info->finalizeOperation()) {
            EXPECT_EQ(info->finalizeOperation()->shouldAddSession(), c.expectAddSession);
        }
        EXPECT_EQ(info->uploadOperation()->dependencies().size(), c.expectFinalize ? 1u : 0u);
        ASSERT_TRUE(runUntilEnded(rec));
        expectDelivered(*rec);
    }
}

// The stored progress is written when the total crosses a step (100,000 bytes below 1,000,000,
// else a tenth of the total), and at the end. A stand-in receiver keeps the 50 MB on this machine.
TEST_F(UploadControllerTest, SavesProgressAtEveryStepAndAtTheEnd) {
    struct Case {
        uint64_t size;
        int32_t chunk;
        std::vector<uint64_t> progressSaves;
    };
    const Case cases[] = {
        {500'000, 30'000, {120'000, 210'000, 300'000, 420'000, 500'000}},
        {50'000'000, 3'000'000,
         {6'000'000, 12'000'000, 15'000'000, 21'000'000, 27'000'000, 30'000'000, 36'000'000, 42'000'000, 45'000'000,
          50'000'000}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        auto options = controller->options();
        options.uploadServiceFactory = [chunk = c.chunk](const std::string&) {
            auto service = std::make_unique<test::ScriptedUploadService>();
            service->onChunkSize = [chunk](service::IUploadService*, int) { return chunk; };
            return service;
        };
        controller->setOptions(options);
        auto rec = makeRecording({0}, kExistingSession, true);
        auto file = filesOf(*rec)[0];
        fs::resize_file(file->localPath().value(), c.size);
        std::vector<uint64_t> saves;
        env.onSave = [&] { saves.push_back(bytesUploaded(*rec)); };

        controller->uploadRecording(rec);
        ASSERT_TRUE(runUntilEnded(rec));
        env.onSave = nullptr;
        std::vector<uint64_t> expected = {0};  // the start
        expected.insert(expected.end(), c.progressSaves.begin(), c.progressSaves.end());
        expected.push_back(c.size);  // the file closed
        EXPECT_EQ(saves, expected);
        EXPECT_EQ(rec->State(), model::kStateUploadComplete);
        EXPECT_FLOAT_EQ(rec->uploadProgress(), 1.0f);
    }
}

TEST_F(UploadControllerTest, NotUploadedCloseAnswerIsHandledQuietly) {
    startServer();
    auto rec = makeRecording({2500}, kExistingSession, true);
    auto file = filesOf(*rec)[0];
    file->setBytesUploaded(2500);  // the store says all was sent; the server has nothing
    store.context->save();
    std::set<int> savedStates;
    env.onSave = [&] { savedStates.insert(rec->State()); };

    controller->uploadRecording(rec);
    ASSERT_TRUE(runUntilEnded(rec));
    EXPECT_TRUE(log.contains("Server reported an error NotUploaded"));
    expectDelivered(*rec);
    EXPECT_EQ(savedStates.count(model::kStateFailed), 0u);
    EXPECT_EQ(rec->FaultTypeValue(), 0);
    EXPECT_TRUE(env.ui.alerts.empty());
    EXPECT_TRUE(env.ui.sheets.empty());
}

TEST_F(UploadControllerTest, UploadFromBeginningResetsEveryFileAndSendsThemWhole) {
    startServer();
    auto rec = makeRecording({2500, 1200}, kExistingSession, true);
    auto files = filesOf(*rec);
    // Progress from an earlier run that the server no longer holds: resuming would leave a gap.
    files[0]->setBytesUploaded(2000);
    files[1]->setBytesUploaded(1200);
    files[1]->setValueForKey("isUploaded", true);
    store.context->save();

    std::vector<std::shared_ptr<test::ScriptedUploadService::Calls>> runs;
    auto options = controller->options();
    options.uploadServiceFactory = [&](const std::string& endpoint) {
        auto service = std::make_unique<test::ScriptedUploadService>(std::make_unique<service::UploadService>(endpoint));
        if (runs.empty()) {  // the first run meets a line that corrupts every chunk
            service->onUploadChunk = [](service::IUploadService*, const std::string&, std::span<const uint8_t>,
                                        uint64_t, int) { return std::optional<std::string>("AAAAAAAAAAAAAAAAAAAAAA=="); };
        }
        runs.push_back(service->calls);
        return service;
    };
    controller->setOptions(options);
    env.settings().setInteger(core::kMaxUploadRetriesKey, 1);
    bool storedBeforeShown = false;
    env.ui.onShow = [&](const core::Alert&) {
        storedBeforeShown = rec->State() == model::kStateFailed && !store.context->hasChanges();
    };
    env.ui.sheetAnswer = 2;  // answered at once, while the failed run is still winding down
    std::vector<bool> uploadingWhenEnded;
    auto watch = controller->uploadEnded.connect(
        [&](const std::string& guid) { uploadingWhenEnded.push_back(controller->isUploading(guid)); });

    controller->uploadRecording(rec);
    ASSERT_TRUE(runUntilEnded(rec, 2));
    EXPECT_EQ(uploadingWhenEnded, (std::vector<bool>{true, false})) << "the restart runs once the failed run is gone";

    ASSERT_EQ(env.ui.sheets.size(), 1u);
    const auto& sheet = env.ui.sheets[0];
    EXPECT_EQ(sheet.messageText, "Failed to upload file for recording \"Lecture 7\"");
    EXPECT_EQ(sheet.informativeText, "Failed at offset 2000 of file " + files[0]->localPath().value());
    EXPECT_EQ(sheet.buttons, (std::vector<std::string>{"Cancel", "Retry", "Upload from beginning"}));
    EXPECT_TRUE(storedBeforeShown);
    EXPECT_TRUE(env.ui.alerts.empty());
    EXPECT_FALSE(controller->hasPendingRetry(rec->Guid().value())) << "a wrong hash is no network failure";

    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[1]->offsetsSeen(), (std::vector<uint64_t>{0, 1000, 2000, 0, 1000})) << "both files whole";
    expectDelivered(*rec);
    EXPECT_FALSE(rec->FaultString().has_value());
}

TEST_F(UploadControllerTest, RetryFromTheSheetStartsAFreshUpload) {
    startServer();
    auto rec = makeRecording({1500}, kExistingSession, true);
    int run = 0;
    auto options = controller->options();
    options.uploadServiceFactory = [&](const std::string& endpoint) {
        auto service = std::make_unique<test::ScriptedUploadService>(std::make_unique<service::UploadService>(endpoint));
        if (run++ == 0)
            service->onTryCloseFile = [](service::IUploadService*, const std::string&, int) {
                return std::string("ServerException");
            };
        return service;
    };
    controller->setOptions(options);

    controller->uploadRecording(rec);
    ASSERT_TRUE(runUntilEnded(rec));
    EXPECT_EQ(rec->State(), model::kStateFailed);
    EXPECT_EQ(rec->FaultTypeValue(), model::kFaultFileUpload);
    EXPECT_EQ(rec->FaultString(), "Failed to end upload");
    ASSERT_TRUE(env.ui.hasPendingSheet());
    env.ui.answerSheet(1);  // "Retry", after the entry is gone
    ASSERT_TRUE(runUntilEnded(rec, 2));
    expectDelivered(*rec);
    EXPECT_EQ(run, 2);
}

TEST_F(UploadControllerTest, RetriesByItselfWhenTheServerComesBack) {
    int port;
    {
        test::DevServer gone({"--quiet"});
        port = gone.port();
    }
    const std::string serverName = "127.0.0.1:" + std::to_string(port);
    env.endpoint = "http://" + serverName + "/Orvanta/services/DataReceiver.svc";
    auto rec = makeRecording({1500});
    rec->setValueForKey("Server", serverName);
    const std::string guid = rec->Guid().value();
    bool storedBeforeShown = false;
    env.ui.onShow = [&](const core::Alert&) {
        storedBeforeShown = rec->State() == model::kStateFailed && !store.context->hasChanges();
    };

    controller->uploadRecording(rec);
    ASSERT_TRUE(runUntilEnded(rec));
    EXPECT_EQ(rec->State(), model::kStateFailed);
    EXPECT_EQ(rec->FaultTypeValue(), model::kFaultSession);
    ASSERT_EQ(env.ui.alerts.size(), 1u);
    EXPECT_EQ(env.ui.alerts[0].messageText, "Failed to create session for recording \"Lecture 7\"");
    EXPECT_EQ(env.ui.alerts[0].informativeText, "Server reported an error in AddSession");
    EXPECT_TRUE(storedBeforeShown);
    EXPECT_TRUE(controller->hasPendingRetry(guid));

    server = std::make_unique<test::DevServer>(
        std::vector<std::string>{"--quiet", "--port", std::to_string(port), "--storage", serverDir.path().string()});
    ASSERT_TRUE(env.runUntil([&] { return rec->State() == model::kStateUploadComplete && !controller->isUploading(guid); }));
    expectDelivered(*rec);
    EXPECT_FALSE(controller->hasPendingRetry(guid));
    EXPECT_EQ(env.ui.alerts.size(), 1u);
}

TEST_F(UploadControllerTest, PausingOrStartingByHandCancelsThePendingRetry) {
    int port;
    {
        test::DevServer gone({"--quiet"});
        port = gone.port();
    }
    env.endpoint = "http://127.0.0.1:" + std::to_string(port) + "/Orvanta/services/DataReceiver.svc";
    env.settings().setInteger(core::kMaxUploadRetriesKey, 0);
    auto rec = makeRecording({100}, kExistingSession, true);
    const std::string guid = rec->Guid().value();

    controller->uploadRecording(rec);
    ASSERT_TRUE(runUntilEnded(rec));
    ASSERT_EQ(env.ui.alerts.size(), 1u);
    EXPECT_EQ(env.ui.alerts[0].messageText, "Upload failed to start for recording \"Lecture 7\"");
    EXPECT_EQ(env.ui.alerts[0].informativeText, "You appear to be offline");
    ASSERT_TRUE(controller->hasPendingRetry(guid));

    controller->pauseUploadForRecording(rec);
    EXPECT_FALSE(controller->hasPendingRetry(guid));
    env.runUntil([] { return false; }, 400ms);
    EXPECT_EQ(ended.size(), 1u) << "no attempt after the pause";

    controller->uploadRecording(rec);  // by hand: fails again and schedules afresh
    ASSERT_TRUE(runUntilEnded(rec, 2));
    EXPECT_TRUE(controller->hasPendingRetry(guid));
    controller->cancelPendingRetries();
    EXPECT_FALSE(controller->hasPendingRetry(guid));
}

TEST_F(UploadControllerTest, DefiniteFailuresAreStoredAndShownButNotRetried) {
    startServer();
    struct Case {
        const char* name;
        std::optional<std::string> session;
        bool removeFile;
        int faultType;
        std::string message;
        std::string informative;
    };
    const Case cases[] = {
        {"manifest refused", "00000000-0000-0000-0000-0000000000AB", false, model::kFaultSession,
         "Failed to finalize for recording \"Lecture 7\"", "Server reported an error in FinalizeRecording"},
        {"local file missing", kExistingSession, true, model::kFaultFileUpload,
         "File Error for recording \"Lecture 7\"", "does not exist"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        env.ui.alerts.clear();
        auto rec = makeRecording({1000}, c.session, false);
        auto file = filesOf(*rec)[0];
        if (c.removeFile) fs::remove(file->localPath().value());
        controller->uploadRecording(rec);
        ASSERT_TRUE(runUntilEnded(rec));
        EXPECT_EQ(rec->State(), model::kStateFailed);
        EXPECT_EQ(rec->FaultTypeValue(), c.faultType);
        ASSERT_EQ(env.ui.alerts.size(), 1u);
        EXPECT_EQ(env.ui.alerts[0].messageText, c.message);
        EXPECT_NE(env.ui.alerts[0].informativeText.find(c.informative), std::string::npos)
            << env.ui.alerts[0].informativeText;
        EXPECT_FALSE(controller->hasPendingRetry(rec->Guid().value()));
        EXPECT_FALSE(fs::exists(onServer(*rec, *file))) << "nothing was uploaded";
        EXPECT_FALSE(store.context->hasChanges());
    }
    EXPECT_TRUE(env.ui.sheets.empty());
}

// A file that changed since its size was stored is measured again, and the server gets a manifest
// with the new size, so that the file it assembles is accepted.
TEST_F(UploadControllerTest, FileSizesAreRefreshedAndTheManifestSentAgain) {
    startServer();
    auto rec = makeRecording({1500}, kExistingSession, true);
    auto file = filesOf(*rec)[0];
    file->readFileSize();
    service::RecorderService recorder(server->serverName());
    ASSERT_TRUE(recorder.FinalizeRecording(model::manifestText(*rec)));  // announces 1500 bytes
    test::appendBytes(file->localPath().value(), test::patternBytes(1000, 42));
    store.context->save();

    controller->uploadRecording(rec);
    EXPECT_TRUE(controller->uploadInfoForRecording(rec->Guid().value())->finalizeOperation());
    ASSERT_TRUE(runUntilEnded(rec));
    EXPECT_EQ(file->totalSize(), 2500u);
    expectDelivered(*rec);
}

TEST_F(UploadControllerTest, NothingStartsWithoutLoginOrServer) {
    startServer();
    auto noServer = makeRecording({100});
    noServer->setValueForKey("Server", model::Value{});
    auto fine = makeRecording({100});
    env.loggedIn = false;
    controller->uploadRecording(fine);
    env.loggedIn = true;
    controller->uploadRecording(noServer);
    EXPECT_EQ(env.queue.operationCount(), 0u);
    EXPECT_FALSE(controller->isUploading(fine->Guid().value()));
    EXPECT_FALSE(controller->isUploading(noServer->Guid().value()));
    EXPECT_EQ(fine->State(), model::kStateReady);
}

TEST_F(UploadControllerTest, OneLiveControllerAndItsPreconditions) {
    EXPECT_EQ(UploadController::instance(), controller.get());
    EXPECT_THROW(UploadController second(env), core::InternalInconsistency);
    EXPECT_EQ(UploadController::instance(), controller.get());
    try {
        controller->pauseUploadForRecording(nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()), "cannot pass a nil recording");
    }
    controller.reset();
    EXPECT_EQ(UploadController::instance(), nullptr);
}

TEST_F(UploadControllerTest, ControllerGoingAwayMidUploadLeavesNoReportBehind) {
    startServer({"--slow-ms", "50"});
    auto rec = makeRecording({5000});
    auto file = filesOf(*rec)[0];
    controller->uploadRecording(rec);
    ASSERT_TRUE(env.runUntil([&] { return file->bytesUploaded() >= 1000; }));
    endedSubscription.reset();
    controller.reset();
    // The operations run on and report into the loop; nobody may receive those reports.
    env.runUntil([] { return false; }, 300ms);
    env.queue.cancelAllOperations();
    env.queue.waitUntilAllOperationsAreFinished();
    env.runUntil([] { return false; }, 50ms);
    EXPECT_LT(file->bytesUploaded(), 5000u);
}
