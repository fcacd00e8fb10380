// The `orvanta` command against the reference server: login, folders, list, upload and status,
// with a faulty server and with the upload process killed at random moments.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "core/Paths.h"
#include "core/Util.h"
#include "model/FileUpload.h"
#include "model/Recording.h"
#include "model/Stream.h"
#include "support/ChildProcess.h"
#include "support/CommandLineHome.h"
#include "support/DevServer.h"
#include "support/Files.h"
#include "support/ModelFixture.h"
#include "support/UploadRecording.h"

using namespace orvanta;
namespace fs = std::filesystem;

namespace {

constexpr const char* kOrvanta = ORVANTA_CLI_PATH;

class UploadCommandTest : public ::testing::Test {
protected:
    test::CommandLineHome home;
    std::unique_ptr<test::DevServer> server;
    std::vector<test::LocalFile> files;

    void SetUp() override {
        home.environment().set("ORVANTA_PASSWORD", "presenter");
        // Quick polling of a server that is still assembling a file, and quick automatic retries.
        home.writeSettings(R"({"UploadPollingInterval": 0.2, "UploadRetryDelay": 0.5})");
    }

    void startServer(std::vector<std::string> args = {}) {
        args.push_back("--quiet");
        server = std::make_unique<test::DevServer>(std::move(args));
    }

    static test::ProcessResult orvanta(std::vector<std::string> args, const std::string& input = {}) {
        args.insert(args.begin(), kOrvanta);
        return test::runProcess(args, input);
    }

    void login() {
        auto r = orvanta({"login", "--server", server->serverName(), "--user", "presenter", "--password-stdin",
                          "--no-save"},
                         "presenter\n");
        ASSERT_EQ(r.code, 0) << r.out << r.err;
    }

    nlohmann::json serverState() const {
        return nlohmann::json::parse(test::commandOutput("curl -s " + server->baseUrl() + "/devserver/state"));
    }

    // The first folder the server holds (from its state page, which injects no faults).
    std::pair<std::string, std::string> firstFolder() {
        auto sessions = serverState()["sessions"];
        if (sessions.empty()) {
            ADD_FAILURE() << "the server has no folders";
            return {};
        }
        return {sessions[0]["folder"].get<std::string>(), sessions[0]["folderName"].get<std::string>()};
    }

    // A ready recording of the given files in the store the command uses; returns its Guid.
    std::string makeRecording(const std::vector<std::uint64_t>& sizes) {
        auto [folderId, folderName] = firstFolder();
        return test::makeUploadRecording(core::applicationSupportFolder(), home.path() / "recordings",
                                         server->serverName(), folderId, folderName, sizes, files);
    }

    // The recording's state and session as the store holds them.
    std::pair<int, std::string> storedRecording(const std::string& guid) {
        test::TestHost host(home.path());
        auto context = test::openContext(core::applicationSupportFolder(), &host);
        for (const auto& r : context->all<model::Recording>("Recording"))
            if (r->Guid() == guid) return {r->State(), r->SessionID().value_or("")};
        return {-1, ""};
    }

    void expectServerHoldsFiles(const std::string& guid) {
        auto [state, session] = storedRecording(guid);
        EXPECT_EQ(state, model::kStateUploadComplete);
        ASSERT_FALSE(session.empty());
        fs::path storage = serverState()["storage"].get<std::string>();
        for (const auto& f : files)
            EXPECT_TRUE(test::sameBytes(f.path, storage / session / f.remoteName)) << f.remoteName << " differs";
    }
};

constexpr std::uint64_t kMB = 1000 * 1000;

TEST_F(UploadCommandTest, FaultyServerReceivesEveryFileByteForByteAndASecondRunSendsNothing) {
    startServer({"--fail-rate", "0.05", "--bad-hash-rate", "0.02", "--uploading-count", "3", "--seed", "11"});
    login();
    std::string guid = makeRecording({90 * kMB, 70 * kMB, 45 * kMB});

    auto first = orvanta({"upload", guid});
    ASSERT_EQ(first.code, 0) << first.out << first.err;
    expectServerHoldsFiles(guid);

    auto calls = serverState()["calls"];
    auto again = orvanta({"upload", guid});
    EXPECT_EQ(again.code, 0) << again.err;
    EXPECT_NE(again.out.find(guid + " already uploaded"), std::string::npos) << again.out;
    EXPECT_EQ(serverState()["calls"], calls) << "a completed recording was sent again";

    auto list = orvanta({"list"});
    EXPECT_NE(list.out.find(guid), std::string::npos);
    EXPECT_NE(list.out.find("100%"), std::string::npos) << list.out;
}

TEST_F(UploadCommandTest, UploadKilledAtRandomMomentsResumesToIdenticalFiles) {
    startServer({"--fail-rate", "0.05", "--bad-hash-rate", "0.02", "--uploading-count", "3", "--seed", "12"});
    login();
    std::string guid = makeRecording({90 * kMB, 70 * kMB, 45 * kMB});

    std::mt19937 rng(20261210);
    std::uniform_int_distribution<int> moment(100, 1500);
    int killedWhileRunning = 0;
    for (int i = 0; i < 20; ++i) {
        test::ChildProcess child({kOrvanta, "upload", guid});
        std::this_thread::sleep_for(std::chrono::milliseconds(moment(rng)));
        if (child.running()) ++killedWhileRunning;
        child.kill(SIGKILL);
        child.wait();
    }
    EXPECT_GT(killedWhileRunning, 0);
    auto last = orvanta({"upload", guid});
    ASSERT_EQ(last.code, 0) << last.out << last.err;
    expectServerHoldsFiles(guid);
}

TEST_F(UploadCommandTest, MissingFileFailsTheRecordingWithItsFault) {
    startServer();
    login();
    std::string guid = makeRecording({2 * kMB, 1 * kMB});
    fs::remove(files[1].path);

    auto r = orvanta({"upload", guid});
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
    EXPECT_EQ(storedRecording(guid).first, model::kStateFailed);
}

TEST_F(UploadCommandTest, CommandsExplainBadInputWithExitCodes) {
    startServer();
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string message;
    };
    const Case cases[] = {
        {{"frobnicate"}, 2, "unknown command"},
        {{"upload"}, 2, "name the recordings"},
        {{"upload", "--all", "x"}, 2, "name the recordings"},
        {{"list", "--bogus"}, 2, "unknown option"},
        {{"folders"}, 3, "not logged in"},
        {{"upload", "no-such-guid"}, 1, "no recording no-such-guid"},
    };
    for (const auto& c : cases) {
        auto r = orvanta(c.args);
        EXPECT_EQ(r.code, c.code) << c.args[0] << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    auto refused = orvanta({"login", "--server", server->serverName(), "--user", "presenter", "--password-stdin"},
                           "wrong\n");
    EXPECT_EQ(refused.code, 3);
    EXPECT_NE(refused.err.find("Invalid username or password"), std::string::npos) << refused.err;
    auto help = orvanta({"upload", "--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("usage: orvanta upload"), std::string::npos);
}

TEST_F(UploadCommandTest, StatusReportsTheServersDeliveryOfUploadedRecordings) {
    startServer();
    login();
    auto folders = orvanta({"folders"});
    EXPECT_EQ(folders.code, 0) << folders.err;
    EXPECT_NE(folders.out.find("folder\t" + firstFolder().first + "\t"), std::string::npos) << folders.out;
    EXPECT_NE(folders.out.find("\nsession\t"), std::string::npos) << folders.out;
    std::string guid = makeRecording({3 * kMB});
    ASSERT_EQ(orvanta({"upload", guid}).code, 0);
    auto r = orvanta({"status"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find(guid + "\tCompleted\t"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("AuthRedirect.aspx"), std::string::npos) << r.out;
}

}  // namespace
