// The file upload operation against the reference server; a scripted client wraps the real one
// where the server cannot be made to answer in an exact order.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "core/Util.h"
#include "service/HTTPError.h"
#include "support/DevServer.h"
#include "support/Latch.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "upload/FileUploadOperation.h"
#include "upload/UploadTestSupport.h"

using namespace orvanta;
using namespace std::chrono_literals;
using upload::FileUploadOperation;
using model::FileInformation;
namespace fs = std::filesystem;

namespace {

struct FileUploadOperationTest : ::testing::Test {
    test::LogCapture log;
    test::TempDir dir;
    core::RunLoop loop;
    test::ReportCollector reports{loop};
    std::string session = core::stringWithUUID();
    core::OperationQueue queue{0, "upload-test"};  // last: stops its operations first

    fs::path storage() const { return dir.path() / "server"; }
    fs::path local(const std::string& name) const { return dir.path() / "local" / name; }
    fs::path onServer(const std::string& remote) const { return storage() / session / remote; }

    fs::path makeFile(const std::string& name, size_t size, uint8_t seed = 1) {
        writeBytes(local(name), test::patternBytes(size, seed));
        return local(name);
    }
    static void writeBytes(const fs::path& file, const std::vector<uint8_t>& bytes) { test::writeBytes(file, bytes); }

    std::vector<std::string> serverArgs(std::vector<std::string> more = {}) {
        std::vector<std::string> args = {"--quiet", "--storage", storage().string(), "--chunk-size", "1000"};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }

    // A scripted client around the real one bound to the server.
    static std::unique_ptr<test::ScriptedUploadService> scripted(const test::DevServer* server) {
        return std::make_unique<test::ScriptedUploadService>(
            server ? std::make_unique<service::UploadService>(server->receiverUrl()) : nullptr);
    }

    std::shared_ptr<FileUploadOperation> makeOperation(std::vector<FileInformation> files,
                                                       std::unique_ptr<service::IUploadService> service,
                                                       uint32_t maxUploadRetries = 10, uint32_t maxCloseRetries = 5,
                                                       double pollingInterval = 0.01) {
        auto op = std::make_shared<FileUploadOperation>(session, std::move(files), maxUploadRetries, maxCloseRetries,
                                                        pollingInterval, std::move(service), loop);
        op->setDelegate(&reports);
        return op;
    }

    void run(const std::shared_ptr<FileUploadOperation>& op) {
        queue.addOperation(op);
        ASSERT_TRUE(loop.runUntil([&] { return reports.uploadCompleted; }, 20s)) << "no completion report";
        op->waitUntilFinished();
        EXPECT_EQ(reports.offLoopThread, 0);
        EXPECT_EQ(reports.kinds().back(), "completed");
    }

    std::vector<uint64_t> uploadedOffsets(const fs::path& file) const {
        std::vector<uint64_t> out;
        for (const auto& r : reports.ofKind("uploaded"))
            if (r.file == file.string()) out.push_back(r.bytes);
        return out;
    }
};

FileInformation info(const std::string& remote, const fs::path& local, uint64_t sent = 0,
                     std::optional<bool> closed = std::nullopt) {
    return FileInformation{remote, local.string(), sent, closed};
}

}  // namespace

TEST_F(FileUploadOperationTest, DeliversEveryFileInCheckedChunksAndReportsInOrder) {
    test::DevServer server(serverArgs());
    auto a = makeFile("a.mov", 2500, 1);
    auto b = makeFile("slides.ppt", 1000, 2);
    auto empty = makeFile("empty.mov", 0);
    run(makeOperation({info("A.DV.mov", a), info("S_ET/S.ppt", b), info("E.mov", empty)},
                      std::make_unique<service::UploadService>(server.receiverUrl())));

    EXPECT_EQ(reports.kinds(), (std::vector<std::string>{"uploaded", "uploaded", "uploaded", "closed", "uploaded",
                                                         "closed", "uploaded", "closed", "completed"}));
    EXPECT_EQ(uploadedOffsets(a), (std::vector<uint64_t>{1000, 2000, 2500}));
    EXPECT_EQ(uploadedOffsets(b), (std::vector<uint64_t>{1000}));
    EXPECT_EQ(uploadedOffsets(empty), (std::vector<uint64_t>{0})) << "an empty file is sent as one empty chunk";
    for (const auto& r : reports.reports) EXPECT_EQ(r.id, session);
    EXPECT_EQ(test::fileBytes(onServer("A.DV.mov")), test::fileBytes(a));
    EXPECT_EQ(test::fileBytes(onServer("S_ET/S.ppt")), test::fileBytes(b));
    EXPECT_TRUE(fs::exists(onServer("E.mov")));
    EXPECT_EQ(fs::file_size(onServer("E.mov")), 0u);
}

TEST_F(FileUploadOperationTest, ResumesFromTheConfirmedOffset) {
    test::DevServer server(serverArgs());
    auto a = makeFile("a.mov", 2500);
    auto bytes = test::fileBytes(a);
    service::UploadService direct(server.receiverUrl());
    ASSERT_TRUE(direct.UploadChunk(session, "A.mov", std::span<const uint8_t>(bytes.data(), 1000), 0));

    auto service = scripted(&server);
    auto calls = service->calls;
    run(makeOperation({info("A.mov", a, 1000)}, std::move(service)));
    EXPECT_EQ(calls->offsetsSeen(), (std::vector<uint64_t>{1000, 2000}));
    EXPECT_EQ(uploadedOffsets(a), (std::vector<uint64_t>{2000, 2500}));
    EXPECT_EQ(test::fileBytes(onServer("A.mov")), bytes);
}

TEST_F(FileUploadOperationTest, FilesAlreadySentGoStraightToClosing) {
    test::DevServer server(serverArgs());
    auto a = makeFile("a.mov", 1200);
    auto bytes = test::fileBytes(a);
    service::UploadService direct(server.receiverUrl());
    ASSERT_TRUE(direct.UploadChunk(session, "A.mov", std::span<const uint8_t>(bytes), 0));

    struct Case {
        std::optional<bool> closed;
        int expectedCloseCalls;
    };
    for (const Case& c : {Case{true, 0}, Case{false, 1}}) {
        SCOPED_TRACE(c.expectedCloseCalls);
        reports.reports.clear();
        reports.uploadCompleted = false;
        auto service = scripted(&server);
        auto calls = service->calls;
        run(makeOperation({info("A.mov", a, 1200, c.closed)}, std::move(service)));
        EXPECT_EQ(calls->uploadChunk, 0);
        EXPECT_EQ(calls->tryCloseFile, c.expectedCloseCalls);
        EXPECT_EQ(reports.kinds(), (std::vector<std::string>{"closed", "completed"}));
    }
}

TEST_F(FileUploadOperationTest, ChunkSizeRequestsAreRetriedThenReportedAsError80) {
    auto a = makeFile("a.mov", 10);
    struct Case {
        const char* name;
        std::function<int32_t(service::IUploadService*, int)> chunkSize;
        int expectedCalls;
        bool fails;
        bool withInnerError;
    };
    const Case cases[] = {
        {"always offline", [](service::IUploadService*, int) -> int32_t { test::throwConnectionRefused(); }, 11, true,
         true},
        {"offline ten times", [](service::IUploadService*, int call) -> int32_t {
             if (call <= 10) test::throwConnectionRefused();
             return 1000;
         }, 11, false, false},
        {"zero", [](service::IUploadService*, int) { return int32_t{0}; }, 1, true, false},
        {"negative", [](service::IUploadService*, int) { return int32_t{-5}; }, 1, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reports.reports.clear();
        reports.uploadCompleted = false;
        auto service = scripted(nullptr);
        service->onChunkSize = c.chunkSize;
        auto calls = service->calls;
        run(makeOperation({info("A.mov", a)}, std::move(service), 10));
        EXPECT_EQ(calls->chunkSize, c.expectedCalls);
        auto failures = reports.ofKind("failedToInitialize");
        if (!c.fails) {
            EXPECT_TRUE(failures.empty());
            EXPECT_EQ(reports.ofKind("closed").size(), 1u);
            continue;
        }
        EXPECT_EQ(calls->uploadChunk, 0) << "no file is touched";
        EXPECT_EQ(calls->tryCloseFile, 0);
        ASSERT_EQ(failures.size(), 1u);
        const auto& e = failures[0].error;
        EXPECT_FALSE(failures[0].file.has_value());
        EXPECT_EQ(e.domain, "Orvanta");
        EXPECT_EQ(e.code, 80);
        EXPECT_EQ(e.description, "Upload failed to start");
        EXPECT_EQ(e.userInfo.at("sessionidkey"), session);
        EXPECT_EQ(e.innerError != nullptr, c.withInnerError);
        if (c.withInnerError) {
            EXPECT_EQ(e.failureReason, "You appear to be offline");
            EXPECT_EQ(e.userInfo.count("innerexceptionkey"), 1u);
        } else {
            EXPECT_NE(e.failureReason.find("chunk size"), std::string::npos) << e.failureReason;
        }
    }
}

TEST_F(FileUploadOperationTest, ServerFaultsOnChunkSizeCarryTheHttpError) {
    test::DevServer server(serverArgs({"--fail-rate", "1"}));
    auto a = makeFile("a.mov", 10);
    auto service = scripted(&server);
    auto calls = service->calls;
    run(makeOperation({info("A.mov", a)}, std::move(service), 2));
    EXPECT_EQ(calls->chunkSize, 3);
    auto failures = reports.ofKind("failedToInitialize");
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].error.code, 80);
    ASSERT_TRUE(failures[0].error.innerError);
    EXPECT_TRUE(service::isHTTPError(*failures[0].error.innerError));
    EXPECT_EQ(failures[0].error.innerError->code, 500);
}

TEST_F(FileUploadOperationTest, WrongHashesAreSentAgainUntilTheLimitThenError83EndsTheRun) {
    test::DevServer server(serverArgs({"--bad-hash-rate", "1"}));
    auto a = makeFile("a.mov", 2500);
    auto b = makeFile("b.mov", 100);
    auto service = scripted(&server);
    auto calls = service->calls;
    run(makeOperation({info("A.mov", a), info("B.mov", b)}, std::move(service), 2));

    EXPECT_EQ(calls->offsetsSeen(), (std::vector<uint64_t>{0, 0, 0})) << "maxUploadRetries + 1 attempts";
    EXPECT_EQ(reports.kinds(), (std::vector<std::string>{"failedToUpload", "completed"}));
    const auto& failure = reports.reports[0];
    EXPECT_EQ(failure.file, a.string());
    EXPECT_EQ(failure.bytes, 0u);
    EXPECT_EQ(failure.error.code, 83);
    EXPECT_EQ(failure.error.description, "Failed to upload file");
    EXPECT_EQ(failure.error.failureReason, "Failed at offset 0 of file " + a.string());
    EXPECT_EQ(failure.error.userInfo.at("filenamekey"), a.string());
    const auto bytes = test::fileBytes(a);
    EXPECT_EQ(failure.error.userInfo.at("localhashkey"), test::md5Base64(std::span<const uint8_t>(bytes.data(), 1000)));
    EXPECT_FALSE(failure.error.userInfo.at("serverhashkey").empty());
    EXPECT_NE(failure.error.userInfo.at("serverhashkey"), failure.error.userInfo.at("localhashkey"));
    EXPECT_FALSE(failure.error.innerError) << "a wrong hash is no failed call";
    EXPECT_FALSE(fs::exists(onServer("B.mov"))) << "the run ends after the failed file";
}

// Every kind of failed chunk, just under and just over the limit of consecutive failures; a confirmed
// chunk gives the next one a fresh allowance.
TEST_F(FileUploadOperationTest, EachChunkGetsItsOwnAllowanceOfFailures) {
    test::DevServer server(serverArgs());
    const uint32_t maxRetries = 2;
    auto a = makeFile("a.mov", 2500);
    struct Case {
        const char* name;
        std::function<std::optional<std::string>()> badAnswer;
        bool innerError;
    };
    const Case cases[] = {
        {"wrong hash", [] { return std::optional<std::string>("AAAAAAAAAAAAAAAAAAAAAA=="); }, false},
        {"empty hash", [] { return std::optional<std::string>(""); }, false},
        {"no answer", [] { return std::optional<std::string>(); }, false},
        {"offline", []() -> std::optional<std::string> { test::throwConnectionRefused(); }, true},
    };
    for (const auto& c : cases) {
        for (uint32_t failuresPerChunk : {maxRetries, maxRetries + 1}) {
            SCOPED_TRACE(std::string(c.name) + " x" + std::to_string(failuresPerChunk));
            session = core::stringWithUUID();
            reports.reports.clear();
            reports.uploadCompleted = false;
            auto service = scripted(&server);
            auto attemptsAt = std::make_shared<std::map<uint64_t, uint32_t>>();
            service->onUploadChunk = [&, attemptsAt, failuresPerChunk](service::IUploadService* inner,
                                                                     const std::string& file,
                                                                     std::span<const uint8_t> bytes, uint64_t offset,
                                                                     int) -> std::optional<std::string> {
                if (++(*attemptsAt)[offset] <= failuresPerChunk) return c.badAnswer();
                return inner->UploadChunk(session, file, bytes, offset);
            };
            run(makeOperation({info("A.mov", a)}, std::move(service), maxRetries));
            if (failuresPerChunk <= maxRetries) {
                EXPECT_EQ(uploadedOffsets(a), (std::vector<uint64_t>{1000, 2000, 2500}));
                EXPECT_EQ(reports.ofKind("closed").size(), 1u);
                EXPECT_EQ(test::fileBytes(onServer("A.mov")), test::fileBytes(a));
            } else {
                auto failures = reports.ofKind("failedToUpload");
                ASSERT_EQ(failures.size(), 1u);
                EXPECT_EQ(failures[0].error.code, 83);
                EXPECT_EQ(failures[0].error.innerError != nullptr, c.innerError);
                EXPECT_EQ((*attemptsAt)[0], maxRetries + 1);
                EXPECT_TRUE(reports.ofKind("closed").empty());
            }
        }
    }
}

TEST_F(FileUploadOperationTest, PollsWhileTheServerAssemblesTheFile) {
    test::DevServer server(serverArgs({"--uploading-count", "3"}));
    auto a = makeFile("a.mov", 1500);
    auto service = scripted(&server);
    auto calls = service->calls;
    run(makeOperation({info("A.mov", a)}, std::move(service), 10, 0, 0.01));
    EXPECT_EQ(calls->tryCloseFile, 4) << "\"Uploading\" answers do not count as failures, even with no retries allowed";
    EXPECT_EQ(reports.ofKind("closed").size(), 1u);
    EXPECT_EQ(test::fileBytes(onServer("A.mov")), test::fileBytes(a));
}

TEST_F(FileUploadOperationTest, CloseFailuresAndAnswers) {
    test::DevServer server(serverArgs());
    auto a = makeFile("a.mov", 500);
    struct Case {
        const char* name;
        int failedRequests;                 // raised before the server is asked
        std::optional<std::string> answer;  // instead of the server's answer
        bool closed;
        std::optional<std::string> resultKey;
    };
    const Case cases[] = {
        {"three failed requests, then delivered", 3, std::nullopt, true, std::nullopt},
        {"six failed requests", 6, std::nullopt, false, std::nullopt},
        {"server exception", 0, "ServerException", false, "ServerException"},
        {"an answer nobody knows", 0, "Maybe", false, "Maybe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        session = core::stringWithUUID();
        reports.reports.clear();
        reports.uploadCompleted = false;
        auto service = scripted(&server);
        service->onTryCloseFile = [&](service::IUploadService* inner, const std::string& file, int call) {
            if (call <= c.failedRequests) test::throwConnectionRefused();
            return c.answer ? *c.answer : inner->TryCloseFile(file, session);
        };
        run(makeOperation({info("A.mov", a), info("B.mov", a)}, std::move(service), 10, 5));
        auto failures = reports.ofKind("failedToClose");
        if (c.closed) {
            EXPECT_TRUE(failures.empty());
            EXPECT_EQ(reports.ofKind("closed").size(), 2u);
            continue;
        }
        EXPECT_TRUE(reports.ofKind("closed").empty());
        ASSERT_EQ(failures.size(), 1u) << "the run ends after the first file";
        const auto& e = failures[0].error;
        EXPECT_EQ(e.code, 79);
        EXPECT_EQ(e.description, "Failed to end upload");
        EXPECT_EQ(e.userInfo.at("filenamekey"), a.string());
        if (c.resultKey) {
            EXPECT_EQ(e.userInfo.at("closefileresultkey"), *c.resultKey);
            EXPECT_EQ(e.failureReason, "Fault when closing file " + a.string());
            EXPECT_FALSE(e.innerError);
        } else {
            EXPECT_EQ(e.userInfo.count("closefileresultkey"), 0u);
            EXPECT_EQ(e.failureReason, "You appear to be offline");
            EXPECT_TRUE(e.innerError);
        }
    }
}

TEST_F(FileUploadOperationTest, NotUploadedSendsTheFileAgainWhole) {
    test::DevServer server(serverArgs());
    auto a = makeFile("a.mov", 2500);
    // The stored progress says everything was sent, but the server has nothing.
    auto op = makeOperation({info("A.mov", a, 2500, false)}, std::make_unique<service::UploadService>(server.receiverUrl()));
    run(op);
    EXPECT_EQ(reports.kinds(), (std::vector<std::string>{"failedToClose", "uploaded", "uploaded", "uploaded", "closed",
                                                         "completed"}));
    EXPECT_EQ(reports.reports[0].error.userInfo.at("closefileresultkey"), "NotUploaded");
    EXPECT_EQ(uploadedOffsets(a), (std::vector<uint64_t>{1000, 2000, 2500}));
    EXPECT_EQ(test::fileBytes(onServer("A.mov")), test::fileBytes(a));
    EXPECT_EQ(op->files()[0], info("A.mov", a, 0, false)) << "the entry was replaced by its restart";
}

TEST_F(FileUploadOperationTest, ServerThatNeverKeepsTheFileEndsTheRun) {
    auto a = makeFile("a.mov", 1500);
    auto service = scripted(nullptr);
    service->onTryCloseFile = [](service::IUploadService*, const std::string&, int) {
        return std::string("NotUploaded");
    };
    auto calls = service->calls;
    run(makeOperation({info("A.mov", a)}, std::move(service), 10, 3));
    EXPECT_EQ(calls->tryCloseFile, 4) << "the first answer and three restarts";
    auto failures = reports.ofKind("failedToClose");
    ASSERT_EQ(failures.size(), 5u);
    const auto& last = failures.back().error;
    EXPECT_EQ(last.code, 79);
    EXPECT_EQ(last.userInfo.count("closefileresultkey"), 0u) << "this one is for the user to see";
    EXPECT_TRUE(reports.ofKind("closed").empty());
}

TEST_F(FileUploadOperationTest, CancellingWhileThePollingSleepsEndsTheRunAtOnce) {
    test::DevServer server(serverArgs({"--uploading-count", "1000000"}));
    auto a = makeFile("a.mov", 100);
    auto service = scripted(&server);
    auto calls = service->calls;
    auto op = makeOperation({info("A.mov", a)}, std::move(service), 10, 5, 60.0);
    queue.addOperation(op);
    ASSERT_TRUE(loop.runUntil([&] { return calls->tryCloseFile >= 1; }, 20s));
    std::this_thread::sleep_for(100ms);  // well into the 60-second sleep
    op->cancel();
    ASSERT_TRUE(loop.runUntil([&] { return reports.uploadCompleted; }, 10s)) << "still sleeping";
    EXPECT_EQ(reports.kinds(), (std::vector<std::string>{"uploaded", "completed"})) << "a cancelled run reports no failure";
    EXPECT_EQ(calls->tryCloseFile, 1);
}

TEST_F(FileUploadOperationTest, MissingLocalFileStopsTheRunBeforeAnyCall) {
    test::DevServer server(serverArgs());
    auto a = makeFile("a.mov", 100);
    auto missing = local("gone.mov");
    auto service = scripted(&server);
    auto calls = service->calls;
    run(makeOperation({info("A.mov", a), info("G.mov", missing)}, std::move(service)));
    EXPECT_EQ(calls->chunkSize + calls->uploadChunk + calls->tryCloseFile, 0);
    EXPECT_EQ(reports.kinds(), (std::vector<std::string>{"failedToInitialize", "completed"}));
    const auto& r = reports.reports[0];
    EXPECT_EQ(r.file, missing.string());
    EXPECT_EQ(r.error.code, 78);
    EXPECT_EQ(r.error.description, "File Error");
    EXPECT_EQ(r.error.failureReason, "\"" + missing.string() + "\" does not exist");
    EXPECT_EQ(r.error.userInfo.at("filenamekey"), missing.string());
}

// A file that changes size during its upload is never closed: the server would hold something else.
TEST_F(FileUploadOperationTest, FileChangingSizeMidUploadFailsWithoutLooping) {
    test::DevServer server(serverArgs());
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> change;
        std::vector<uint64_t> expectedOffsets;
        std::string reasonPart;
    };
    const Case cases[] = {
        {"shrinks", [](const fs::path& f) { fs::resize_file(f, 1500); }, {0}, "has become shorter"},
        {"vanishes", [](const fs::path& f) { fs::resize_file(f, 0); fs::remove(f); }, {0}, "has become shorter"},
        {"grows", [](const fs::path& f) { test::appendBytes(f, test::patternBytes(700, 9)); }, {0, 1000, 2000},
         "changed size from 2500 to 3200 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        session = core::stringWithUUID();
        reports.reports.clear();
        reports.uploadCompleted = false;
        auto a = makeFile("a.mov", 2500);
        auto service = scripted(&server);
        service->onUploadChunk = [&](service::IUploadService* inner, const std::string& file,
                                     std::span<const uint8_t> bytes, uint64_t offset, int call) {
            auto answer = inner->UploadChunk(session, file, bytes, offset);
            if (call == 1) c.change(a);
            return answer;
        };
        auto calls = service->calls;
        run(makeOperation({info("A.mov", a)}, std::move(service)));
        EXPECT_EQ(calls->offsetsSeen(), c.expectedOffsets);
        EXPECT_EQ(calls->tryCloseFile, 0);
        auto failures = reports.ofKind("failedToUpload");
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_EQ(failures[0].error.code, 83);
        EXPECT_NE(failures[0].error.failureReason.find(c.reasonPart), std::string::npos) << failures[0].error.failureReason;
        EXPECT_TRUE(reports.ofKind("closed").empty());
    }
}

TEST_F(FileUploadOperationTest, ProgressBeyondTheEndOfTheFileIsNotTakenForDelivery) {
    auto a = makeFile("a.mov", 2500);
    auto service = scripted(nullptr);
    auto calls = service->calls;
    run(makeOperation({info("A.mov", a, 3000)}, std::move(service)));
    EXPECT_EQ(calls->uploadChunk + calls->tryCloseFile, 0);
    auto failures = reports.ofKind("failedToUpload");
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].error.code, 83);
    EXPECT_EQ(failures[0].error.failureReason,
              "File " + a.string() + " is shorter (2500 bytes) than what was already sent (3000 bytes)");
}

TEST_F(FileUploadOperationTest, BrokenPreconditionsRaiseWithTheirReasons) {
    auto a = makeFile("a.mov", 10);
    struct Case {
        bool delegate;
        std::string session;
        FileInformation file;
        std::string reason;
    };
    const Case cases[] = {
        {false, "S", info("A.mov", a), "delegate cannot be nil"},
        {true, "", info("A.mov", a), "session must not be nil or empty"},
        {true, "S", info("A.mov", ""), "Localpath cannot be nil or empty"},
        {true, "S", info("", a), "Remotepath cannot be nil or empty"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        auto op = std::make_shared<FileUploadOperation>(c.session, std::vector<FileInformation>{c.file}, 1, 1, 0.01,
                                                        scripted(nullptr), loop);
        if (c.delegate) op->setDelegate(&reports);
        try {
            op->validateParameters();
            ADD_FAILURE() << "no exception";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), c.reason);
        }
    }
    EXPECT_TRUE(reports.reports.empty());
}

TEST_F(FileUploadOperationTest, CancelledRunsOnlyReportCompletion) {
    auto a = makeFile("a.mov", 10);
    for (bool viaDependency : {false, true}) {
        SCOPED_TRACE(viaDependency ? "cancelled dependency" : "cancelled before start");
        reports.reports.clear();
        reports.uploadCompleted = false;
        auto service = scripted(nullptr);
        auto calls = service->calls;
        auto op = makeOperation({info("A.mov", a)}, std::move(service));
        if (viaDependency) {
            auto dependency = core::BlockOperation::create([] {});
            dependency->cancel();
            op->addDependency(dependency);
            queue.addOperation(dependency);
        } else {
            op->cancel();
        }
        run(op);  // also when the queue never runs main
        EXPECT_EQ(calls->chunkSize + calls->uploadChunk + calls->tryCloseFile, 0);
        EXPECT_EQ(reports.kinds(), (std::vector<std::string>{"completed"}));
    }
}

TEST_F(FileUploadOperationTest, ReportsQueuedForADetachedDelegateAreDropped) {
    test::DevServer server(serverArgs());
    auto a = makeFile("a.mov", 2500);
    auto op = makeOperation({info("A.mov", a)}, std::make_unique<service::UploadService>(server.receiverUrl()));
    queue.addOperation(op);
    op->waitUntilFinished();  // every report is queued on the loop by now
    op->setDelegate(nullptr);
    loop.runUntil([] { return false; }, 100ms);
    EXPECT_TRUE(reports.reports.empty());
    EXPECT_EQ(test::fileBytes(onServer("A.mov")), test::fileBytes(a));
}

// With a second client the next chunk travels while the answer for the one before is awaited. A
// chunk that fails is sent again on its own, and the progress never passes it, even when the
// chunk after it was confirmed first: a run that stops there (retries used up, or paused) leaves
// the resume offset at the failed chunk's start, and the next run makes the file whole.
TEST_F(FileUploadOperationTest, TwoChunksInFlightConfirmInFileOrder) {
    test::DevServer server(serverArgs());
    struct Case {
        const char* name;
        uint64_t badAt;         // the chunk the server answers with a wrong hash (and does not store)
        int badAnswers;         // how many times
        uint32_t maxRetries;
        bool pause;             // cancel the run while the bad chunk is answered
        std::vector<uint64_t> progress;
        bool fails;
    };
    const Case cases[] = {
        {"sent again", 1000, 1, 10, false, {1000, 2000, 3000, 3500}, false},
        {"retries used up", 1000, 1, 0, false, {1000}, true},
        {"paused", 1000, 1, 10, true, {1000}, false},
        {"later chunk keeps failing", 2000, 3, 2, false, {1000, 2000}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        session = core::stringWithUUID();
        reports.reports.clear();
        reports.uploadCompleted = false;
        auto a = makeFile("a.mov", 3500);
        test::Latch laterConfirmed;
        std::atomic<bool> laterConfirmedFirst{false};
        std::atomic<int> badSoFar{0};
        FileUploadOperation* running = nullptr;
        auto service = scripted(&server);
        service->secondClient = true;
        service->onUploadChunk = [&](service::IUploadService* inner, const std::string& file,
                                     std::span<const uint8_t> bytes, uint64_t offset, int) -> std::optional<std::string> {
            if (offset == c.badAt && badSoFar < c.badAnswers) {
                if (badSoFar++ == 0) laterConfirmedFirst = laterConfirmed.wait();
                if (c.pause) running->cancel();
                return std::string("AAAAAAAAAAAAAAAAAAAAAA==");
            }
            auto answer = inner->UploadChunk(session, file, bytes, offset);
            if (offset == c.badAt + 1000) laterConfirmed.set();
            return answer;
        };
        auto calls = service->calls;
        auto op = makeOperation({info("A.mov", a)}, std::move(service), c.maxRetries);
        running = op.get();
        run(op);
        EXPECT_TRUE(laterConfirmedFirst) << "the chunk after the bad one was not on its way at the same time";
        EXPECT_EQ(uploadedOffsets(a), c.progress);
        const auto offsets = calls->offsetsSeen();
        EXPECT_EQ(std::count(offsets.begin(), offsets.end(), c.badAt), c.badAnswers + (c.fails || c.pause ? 0 : 1));
        auto failures = reports.ofKind("failedToUpload");
        ASSERT_EQ(failures.size(), c.fails ? 1u : 0u);
        if (c.fails) {
            EXPECT_EQ(failures[0].bytes, c.badAt);
            EXPECT_EQ(failures[0].error.code, 83);
        }
        if (reports.ofKind("closed").empty()) {
            // The next run starts where the stored progress says.
            reports.reports.clear();
            reports.uploadCompleted = false;
            run(makeOperation({info("A.mov", a, c.progress.back())},
                              std::make_unique<service::UploadService>(server.receiverUrl())));
            EXPECT_EQ(reports.ofKind("closed").size(), 1u);
        }
        EXPECT_EQ(test::fileBytes(onServer("A.mov")), test::fileBytes(a));
    }
}

// Pausing with two chunks on their way waits for both answers (each confirmed one still counts)
// and sends nothing more.
TEST_F(FileUploadOperationTest, CancellingWithTwoChunksInFlightSendsNoMore) {
    test::DevServer server(serverArgs());
    auto a = makeFile("a.mov", 5000);
    test::Latch release;
    auto service = scripted(&server);
    service->secondClient = true;
    service->onUploadChunk = [&](service::IUploadService* inner, const std::string& file,
                                 std::span<const uint8_t> bytes, uint64_t offset, int) {
        release.wait();
        return inner->UploadChunk(session, file, bytes, offset);
    };
    auto calls = service->calls;
    auto op = makeOperation({info("A.mov", a)}, std::move(service));
    queue.addOperation(op);
    ASSERT_TRUE(loop.runUntil([&] { return calls->uploadChunk == 2; }, 10s)) << "two chunks were not sent at once";
    op->cancel();
    release.set();
    ASSERT_TRUE(loop.runUntil([&] { return reports.uploadCompleted; }, 10s));
    op->waitUntilFinished();
    EXPECT_EQ(calls->uploadChunk, 2);
    EXPECT_EQ(calls->tryCloseFile, 0);
    EXPECT_EQ(reports.kinds(), (std::vector<std::string>{"uploaded", "uploaded", "completed"}));
    EXPECT_EQ(uploadedOffsets(a), (std::vector<uint64_t>{1000, 2000}));
}
