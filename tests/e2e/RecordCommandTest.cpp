// `orvanta record` from start to upload: the screen of an X server of the test's own, the test
// camera and a PulseAudio microphone, recorded with a pause into a folder of the reference server.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "support/ChildProcess.h"
#include "support/CommandLineHome.h"
#include "support/DevServer.h"
#include "support/Files.h"
#include "support/PulseServer.h"
#include "support/XServer.h"

using namespace orvanta;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kOrvanta = ORVANTA_CLI_PATH;

class RecordCommandTest : public ::testing::Test {
protected:
    test::CommandLineHome home;
    test::XServer display{1280, 720, 24};
    test::PulseServer pulse;
    std::unique_ptr<test::DevServer> server;

    void SetUp() override {
        home.environment().set("ORVANTA_PASSWORD", "presenter");
        home.environment().set("ORVANTA_TEST_DEVICES", "1");
        home.environment().set("DISPLAY", display.display());
        home.writeSettings(
            R"({"AutoUpload": true, "hasRun": true, "UploadPollingInterval": 0.2, "UploadRetryDelay": 0.5})");
        pulse.playTone(440);
        server = std::make_unique<test::DevServer>(std::vector<std::string>{"--quiet"});
        auto r = orvanta({"login", "--server", server->serverName(), "--user", "presenter", "--password-stdin",
                          "--no-save"},
                         "presenter\n");
        ASSERT_EQ(r.code, 0) << r.out << r.err;
    }

    static test::ProcessResult orvanta(std::vector<std::string> args, const std::string& input = {}) {
        args.insert(args.begin(), kOrvanta);
        return test::runProcess(args, input);
    }

    nlohmann::json serverState() const {
        return nlohmann::json::parse(test::commandOutput("curl -s " + server->baseUrl() + "/devserver/state"));
    }

    std::string firstFolderName() {
        auto sessions = serverState()["sessions"];
        return sessions.empty() ? std::string() : sessions[0]["folderName"].get<std::string>();
    }

    // What `orvanta record` prints at the end: the recording's Guid and its status.
    static std::pair<std::string, std::string> printedResult(const test::ChildProcess& record) {
        std::istringstream out(record.output());
        std::string guid, status;
        std::getline(out, guid, '\t');
        std::getline(out, status);
        return {guid, status};
    }

    static std::string md5(const fs::path& file) {
        const std::string out = test::commandOutput("md5sum '" + file.string() + "'");
        return out.substr(0, out.find(' '));
    }
};

TEST_F(RecordCommandTest, APausedRecordingArrivesOnTheServerAsRecorded) {
    const std::string folder = firstFolderName();
    ASSERT_FALSE(folder.empty());
    test::ChildProcess record({kOrvanta, "record", "--screen", "--camera", "test", "--mic", "Lecture Microphone",
                               "--folder", folder, "--session", "Recorded Lecture", "--duration", "20"});
    std::this_thread::sleep_for(6s);
    record.kill(SIGUSR1);  // pause
    std::this_thread::sleep_for(4s);
    record.kill(SIGUSR1);  // resume
    const auto code = record.wait(std::chrono::minutes(2));
    ASSERT_TRUE(code.has_value());
    ASSERT_EQ(*code, 0) << record.output() << record.errors();
    const auto [guid, status] = printedResult(record);
    EXPECT_EQ(status, "Completed") << record.errors();

    // The manifest the server holds names both streams and the two kept stretches.
    const auto state = serverState();
    std::string manifestPath;
    for (const auto& m : state["manifests"])
        if (m["recording"] == guid) manifestPath = m["path"].get<std::string>();
    ASSERT_FALSE(manifestPath.empty()) << state.dump(2);
    const std::string manifest = test::readFile(manifestPath);
    EXPECT_NE(manifest.find("<Streams>"), std::string::npos) << manifest;
    std::size_t segments = 0;
    for (auto at = manifest.find("<Segment>"); at != std::string::npos; at = manifest.find("<Segment>", at + 1))
        ++segments;
    EXPECT_EQ(segments, 2u) << manifest;

    // Every joined movie of the recording is on the server, byte for byte.
    const fs::path folderOnDisk = home.path() / "Documents" / "Orvanta Recordings" / guid;
    int movies = 0;
    for (const auto& entry : fs::directory_iterator(folderOnDisk)) {
        if (entry.path().extension() != ".mov") continue;
        ++movies;
        bool found = false;
        for (const auto& f : state["files"]) {
            if (f["name"] != entry.path().filename().string()) continue;
            found = true;
            EXPECT_EQ(f["md5"], md5(entry.path())) << entry.path();
        }
        EXPECT_TRUE(found) << entry.path() << " is not on the server: " << state["files"].dump(2);
    }
    EXPECT_EQ(movies, 2);  // the screen and the camera, the camera's parts joined

    const auto list = orvanta({"list"});
    EXPECT_NE(list.out.find(guid + "\tCompleted"), std::string::npos) << list.out;
}

TEST_F(RecordCommandTest, AServerThatGoesAwayWhileRecordingGetsTheRecordingWhenItIsBack) {
    const fs::path storage = home.path() / "server-files";
    server = std::make_unique<test::DevServer>(std::vector<std::string>{"--quiet", "--storage", storage.string()});
    auto login = orvanta({"login", "--server", server->serverName(), "--user", "presenter", "--password-stdin",
                          "--no-save"},
                         "presenter\n");
    ASSERT_EQ(login.code, 0) << login.err;
    const int port = server->port();
    // A session the server keeps across restarts (the reference server's own data).
    test::ChildProcess record({kOrvanta, "record", "--camera", "test", "--mic", "Lecture Microphone", "--folder",
                               firstFolderName(), "--session", "Lecture 1", "--duration", "6"});
    std::this_thread::sleep_for(3s);
    server.reset();  // gone while recording
    std::this_thread::sleep_for(6s);
    server = std::make_unique<test::DevServer>(
        std::vector<std::string>{"--quiet", "--storage", storage.string(), "--port", std::to_string(port)});
    const auto code = record.wait(std::chrono::minutes(2));
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0) << record.output() << record.errors();
    const auto [guid, status] = printedResult(record);
    EXPECT_EQ(status, "Completed") << record.errors();
    const auto state = serverState();
    bool manifest = false;
    for (const auto& m : state["manifests"]) manifest = manifest || m["recording"] == guid;
    EXPECT_TRUE(manifest) << state.dump(2);
}

TEST_F(RecordCommandTest, ARecordingKilledMidwayIsRecoveredAndUploads) {
    test::ChildProcess record({kOrvanta, "record", "--screen", "--camera", "test", "--mic", "Lecture Microphone",
                               "--folder", firstFolderName(), "--session", "Lecture 2"});
    std::this_thread::sleep_for(10s);
    record.kill(SIGKILL);
    ASSERT_TRUE(record.wait(10s).has_value());
    const std::string started = record.errors();
    const auto at = started.find("recording ");
    ASSERT_NE(at, std::string::npos) << started;
    const std::string guid = started.substr(at + 10, 36);

    // The next command finds it cut short and recovers it.
    const auto list = orvanta({"list"});
    ASSERT_EQ(list.code, 0) << list.err;
    const auto line = list.out.find(guid);
    ASSERT_NE(line, std::string::npos) << list.out;
    const std::string entry = list.out.substr(line, list.out.find('\n', line) - line);
    EXPECT_EQ(entry.rfind(guid + "\tOffline Recording\t", 0), 0u) << entry;  // ready: state 5
    const fs::path folder = home.path() / "Documents" / "Orvanta Recordings" / guid;
    ASSERT_TRUE(fs::exists(folder / (guid + ".xml")));

    const auto upload = orvanta({"upload", guid});
    ASSERT_EQ(upload.code, 0) << upload.out << upload.err;
    const auto state = serverState();
    int movies = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() != ".mov" || entry.path().filename().string().find('_') != std::string::npos)
            continue;
        ++movies;
        bool same = false;
        for (const auto& f : state["files"])
            same = same || (f["name"] == entry.path().filename().string() && f["md5"] == md5(entry.path()));
        EXPECT_TRUE(same) << entry.path() << " is not on the server as it is here";
    }
    EXPECT_EQ(movies, 2);
}

}  // namespace
