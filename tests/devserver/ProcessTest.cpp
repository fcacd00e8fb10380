// Starting and stopping the reference server, and its command line.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>

#include "devserver/SoapClient.h"
#include "support/DevServer.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace orvanta::devserver_test {
namespace {

using test::DevServer;

// Output and exit status of the server run with these arguments (for runs that end by themselves).
std::pair<std::string, int> runServer(const std::string& args) {
    std::string out = test::commandOutput("'" + DevServer::executable() + "' " + args + " 2>&1; echo \"status=$?\"");
    size_t at = out.rfind("status=");
    if (at == std::string::npos) return {out, -1};
    return {out.substr(0, at), std::stoi(out.substr(at + 7))};
}

bool announcedPort(const std::string& output) {
    static const std::regex kLine(R"((^|\n)listening on 127\.0\.0\.1:\d+\n)");
    return std::regex_search(output, kLine);
}

TEST(DevServerProcess, ListensOnLoopbackAndStopsCleanlyOnSignals) {
    for (int sig : {SIGTERM, SIGINT}) {
        DevServer server({"--quiet"});
        EXPECT_GT(server.port(), 0);
        EXPECT_EQ(callReceiver(server, "ChunkSize").status, 200);
        ::kill(server.pid(), sig);
        int status = server.stop();
        ASSERT_TRUE(WIFEXITED(status)) << "signal " << sig;
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
}

TEST(DevServerProcess, ConnectionsKeptOpenDoNotDelayTheStop) {
    DevServer server({"--quiet"});
    // A client that keeps its connection after one answer, as HTTP/1.1 clients do.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(server.port()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const std::string request = "GET /devserver/state HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_EQ(::write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    char buf[256];
    ASSERT_GT(::read(fd, buf, sizeof buf), 0);

    const auto start = std::chrono::steady_clock::now();
    int status = server.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ::close(fd);
}

TEST(DevServerProcess, TemporaryStorageIsRemovedButAGivenFolderIsKept) {
    std::filesystem::path temporary;
    {
        DevServer server({"--quiet"});
        temporary = serverState(server)["storage"].get<std::string>();
        ASSERT_EQ(uploadChunk(server, {"S", "f.bin", "abc"}).status, 200);
        EXPECT_TRUE(std::filesystem::exists(temporary / "S" / "f.bin"));
    }
    EXPECT_FALSE(std::filesystem::exists(temporary));

    test::TempDir given;
    {
        DevServer server({"--quiet", "--storage", given.path().string()});
        ASSERT_EQ(uploadChunk(server, {"S", "f.bin", "abc"}).status, 200);
    }
    EXPECT_EQ(test::readFile(given.path() / "S" / "f.bin"), "abc");
}

TEST(DevServerProcess, BadCommandLinesAreRefusedWithUsage) {
    const std::pair<const char*, const char*> cases[] = {
        {"--port abc", "--port"},
        {"--port 70000", "--port"},
        {"--fail-rate 1.5", "--fail-rate"},
        {"--drop-rate -0.1", "--drop-rate"},
        {"--chunk-size 0", "--chunk-size"},
        {"--seed", "--seed"},
        {"--min-recorder-version 1.x", "--min-recorder-version"},
        {"--min-recorder-version=", "--min-recorder-version"},
        {"--quiet=yes", "--quiet"},
        {"--frobnicate", "--frobnicate"},
    };
    for (const auto& [args, named] : cases) {
        SCOPED_TRACE(args);
        auto [out, status] = runServer(args);
        EXPECT_EQ(status, 2);
        EXPECT_NE(out.find(named), std::string::npos) << out;
        EXPECT_NE(out.find("usage:"), std::string::npos) << out;
        EXPECT_FALSE(announcedPort(out)) << out;
    }
    auto [help, status] = runServer("--help");
    EXPECT_EQ(status, 0);
    EXPECT_NE(help.find("--uploading-count"), std::string::npos);
}

TEST(DevServerProcess, UnusableDataFileStopsTheStart) {
    test::TempDir dir;
    const std::pair<const char*, const char*> cases[] = {
        {"not json", "{\"users\": ["},
        {"users not a list", "{\"users\": {}}"},
        {"user without a name", "{\"users\": [{\"password\": \"x\"}]}"},
        {"provider without a name", "{\"providers\": [{\"Description\": \"x\"}]}"},
    };
    for (const auto& [what, content] : cases) {
        SCOPED_TRACE(what);
        const auto file = dir.path() / "data.json";
        std::ofstream(file) << content;
        auto [out, status] = runServer("--port 0 --data '" + file.string() + "'");
        EXPECT_EQ(status, 1) << out;
        EXPECT_FALSE(announcedPort(out)) << out;
    }
    auto [out, status] = runServer("--data '" + (dir.path() / "missing.json").string() + "'");
    EXPECT_EQ(status, 1) << out;
}

TEST(DevServerProcess, FixedPortIsHonoured) {
    int port;
    {
        DevServer probe({"--quiet"});
        port = probe.port();
    }
    DevServer server({"--quiet", "--port", std::to_string(port)});
    EXPECT_EQ(server.port(), port);
}

}  // namespace
}  // namespace orvanta::devserver_test
