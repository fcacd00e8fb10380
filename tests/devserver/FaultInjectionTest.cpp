// The reference server's switchable faults.

#include <gtest/gtest.h>

#include <chrono>

#include "devserver/SoapClient.h"
#include "support/DevServer.h"

namespace orvanta::devserver_test {
namespace {

using test::DevServer;

constexpr const char* kSession = "0A1B2C3D-0000-4000-8000-000000000011";

TEST(DevServerFaults, FailRateOneAnswersEveryCallWithAFault) {
    DevServer server({"--quiet", "--fail-rate", "1"});
    const HttpReply replies[] = {
        callRecorder(server, "GetSessionGroups"),
        callReceiver(server, "ChunkSize"),
        uploadChunk(server, {kSession, "f.bin", "abc"}),
    };
    for (const auto& reply : replies) {
        EXPECT_EQ(reply.status, 500);
        EXPECT_EQ(reply.contentType, "text/xml; charset=utf-8");
        EXPECT_FALSE(Answer(reply.body).faultString().empty()) << reply.body;
    }
    // A failed call has no effect, and the helper pages are not subject to faults.
    auto state = serverState(server);
    ASSERT_TRUE(state.is_object());
    EXPECT_TRUE(state["files"].empty());
}

TEST(DevServerFaults, DropRateOneClosesTheConnectionWithoutAnAnswer) {
    DevServer server({"--quiet", "--drop-rate", "1"});
    for (int i = 0; i < 3; ++i) {
        HttpReply reply = callRecorder(server, "GetSessionGroups");
        EXPECT_EQ(reply.status, 0);
        EXPECT_TRUE(reply.curlCode == CURLE_GOT_NOTHING || reply.curlCode == CURLE_RECV_ERROR)
            << curl_easy_strerror(reply.curlCode);
        EXPECT_TRUE(reply.body.empty());
    }
    HttpReply chunk = uploadChunk(server, {kSession, "f.bin", "abc"});
    EXPECT_EQ(chunk.status, 0);
    EXPECT_TRUE(serverState(server)["files"].empty());
}

TEST(DevServerFaults, BadHashRateOneAnswersWrongHashesAndKeepsNothing) {
    DevServer server({"--quiet", "--bad-hash-rate", "1"});
    HttpReply reply = uploadChunk(server, {kSession, "f.bin", "abc"});
    ASSERT_EQ(reply.status, 200) << reply.body;
    const std::string hash = Answer(reply.body).resultText("UploadChunk");
    EXPECT_FALSE(hash.empty());
    EXPECT_NE(hash, chunkHash("abc"));

    HttpReply close = callReceiver(server, "TryCloseFile",
                                   "<sessionID>" + std::string(kSession) + "</sessionID><fileName>f.bin</fileName>");
    EXPECT_EQ(Answer(close.body).resultText("TryCloseFile"), "NotUploaded");
    // Other calls are unaffected.
    EXPECT_EQ(callRecorder(server, "GetSessionGroups").status, 200);
}

TEST(DevServerFaults, SlowAnswersTakeAtLeastTheDelay) {
    DevServer server({"--quiet", "--slow-ms", "300"});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(callReceiver(server, "ChunkSize").status, 200);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}

TEST(DevServerFaults, TheSameSeedGivesTheSameFaults) {
    auto statuses = [](const std::string& seed) {
        DevServer server({"--quiet", "--fail-rate", "0.5", "--seed", seed});
        std::string out;
        for (int i = 0; i < 24; ++i) out += callReceiver(server, "ChunkSize").status == 200 ? '.' : 'F';
        return out;
    };
    const std::string first = statuses("42");
    EXPECT_EQ(statuses("42"), first);
    EXPECT_NE(first.find('.'), std::string::npos) << first;
    EXPECT_NE(first.find('F'), std::string::npos) << first;
    EXPECT_NE(statuses("43"), first);
}

}  // namespace
}  // namespace orvanta::devserver_test
