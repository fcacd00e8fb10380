// The upload receiver of the reference server: MTOM chunks, assembly on disk, closing.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "devserver/SoapClient.h"
#include "support/DevServer.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace orvanta::devserver_test {
namespace {

using test::DevServer;
using namespace std::string_literals;

constexpr const char* kSession = "0A1B2C3D-0000-4000-8000-000000000021";

std::string hashOf(const HttpReply& reply) {
    EXPECT_EQ(reply.status, 200) << reply.body;
    return Answer(reply.body).resultText("UploadChunk");
}

std::string closeFile(const DevServer& server, const std::string& session, const std::string& file) {
    HttpReply reply =
        callReceiver(server, "TryCloseFile", "<sessionID>" + session + "</sessionID><fileName>" + file + "</fileName>");
    EXPECT_EQ(reply.status, 200) << reply.body;
    return Answer(reply.body).resultText("TryCloseFile");
}

std::string stored(const DevServer& server, const std::string& session, const std::string& file) {
    HttpReply reply = httpGet(server.baseUrl() + "/devserver/files/" + session + "/" + file);
    EXPECT_EQ(reply.status, 200);
    return reply.body;
}

// Bytes that look like the multipart framing around them.
std::string awkwardBytes() {
    std::string bytes = "\r\n--\r\n\r\n--------------------\0\0\xff\xfe binary\r\n"s;
    for (int i = 0; i < 5000; ++i) bytes += static_cast<char>(i * 7 + 3);
    return bytes;
}

TEST(DevServerUpload, ChunkSizeIsTheConfiguredOne) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--quiet"}, "1048576"},
        {{"--quiet", "--chunk-size", "65536"}, "65536"},
    };
    for (const auto& [args, expected] : cases) {
        DevServer server(args);
        HttpReply reply = callReceiver(server, "ChunkSize");
        ASSERT_EQ(reply.status, 200) << reply.body;
        EXPECT_EQ(Answer(reply.body).resultText("ChunkSize"), expected);
    }
}

TEST(DevServerUpload, ChunksAreAssembledAtTheirOffsets) {
    DevServer server({"--quiet"});
    const std::string first = awkwardBytes();
    std::string second(1536 * 1024, '\0');  // above a megabyte: sent after "100 Continue"
    for (size_t i = 0; i < second.size(); ++i) second[i] = static_cast<char>((i * 2654435761u) >> 13);
    EXPECT_EQ(hashOf(uploadChunk(server, {kSession, "S.SCREEN.mov", first, 0})), chunkHash(first));
    EXPECT_EQ(hashOf(uploadChunk(server, {kSession, "S.SCREEN.mov", second, first.size()})), chunkHash(second));
    EXPECT_EQ(stored(server, kSession, "S.SCREEN.mov"), first + second);

    // Sending a chunk again (after a lost answer) changes nothing.
    EXPECT_EQ(hashOf(uploadChunk(server, {kSession, "S.SCREEN.mov", second, first.size()})), chunkHash(second));
    EXPECT_EQ(stored(server, kSession, "S.SCREEN.mov"), first + second);

    auto state = serverState(server);
    ASSERT_EQ(state["files"].size(), 1u);
    EXPECT_EQ(state["files"][0]["size"], first.size() + second.size());
    EXPECT_EQ(state["files"][0]["closed"], false);
}

TEST(DevServerUpload, BoundaryMayBeQuotedOrNot) {
    DevServer server({"--quiet"});
    for (bool quoted : {true, false}) {
        ChunkRequest chunk{kSession, quoted ? "quoted.bin" : "plain.bin", "payload"};
        chunk.quoteBoundary = quoted;
        chunk.boundary = "MIMEBoundary_d3adb33f";
        EXPECT_EQ(hashOf(uploadChunk(server, chunk)), chunkHash("payload")) << "quoted=" << quoted;
    }
}

TEST(DevServerUpload, OffsetBeyondFourGigabytesMakesASparseFile) {
    test::TempDir storage;
    DevServer server({"--quiet", "--storage", storage.path().string()});
    const uint64_t offset = 5ull << 30;
    const std::string tail = "tail";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(hashOf(uploadChunk(server, {kSession, "big.mov", tail, offset})), chunkHash(tail));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

    const auto file = storage.path() / kSession / "big.mov";
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), offset + tail.size());
    EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, 1u << 20) << "the gap must not be written out";

    auto state = serverState(server);
    EXPECT_EQ(state["files"][0]["size"], offset + tail.size());
    EXPECT_TRUE(state["files"][0]["md5"].is_null()) << "too large to hash for the state page";
}

TEST(DevServerUpload, EmptyChunkIsAValidChunk) {
    DevServer server({"--quiet"});
    EXPECT_EQ(hashOf(uploadChunk(server, {kSession, "empty.bin", "", 0})), "1B2M2Y8AsgTpgAmY7PhCfg==");
    EXPECT_EQ(closeFile(server, kSession, "empty.bin"), "Uploaded");
    EXPECT_EQ(stored(server, kSession, "empty.bin"), "");
}

TEST(DevServerUpload, CloseAnswersUploadingTheConfiguredNumberOfTimes) {
    DevServer server({"--quiet", "--uploading-count", "2"});
    ASSERT_EQ(hashOf(uploadChunk(server, {kSession, "a.mov", "abc"})), chunkHash("abc"));
    std::vector<std::string> answers;
    for (int i = 0; i < 4; ++i) answers.push_back(closeFile(server, kSession, "a.mov"));
    EXPECT_EQ(answers, (std::vector<std::string>{"Uploading", "Uploading", "Uploaded", "Uploaded"}));

    // Writing to a closed file opens it again.
    ASSERT_EQ(hashOf(uploadChunk(server, {kSession, "a.mov", "def", 3})), chunkHash("def"));
    EXPECT_EQ(closeFile(server, kSession, "a.mov"), "Uploading");
    EXPECT_EQ(serverState(server)["files"][0]["closed"], false);
}

TEST(DevServerUpload, CloseOfAFileNeverWrittenIsNotUploaded) {
    DevServer server({"--quiet"});
    EXPECT_EQ(closeFile(server, kSession, "never.mov"), "NotUploaded");
    EXPECT_EQ(closeFile(server, "11111111-2222-4333-8444-555555555555", "never.mov"), "NotUploaded");
}

TEST(DevServerUpload, LengthDifferentFromTheManifestIsAServerException) {
    DevServer server({"--quiet"});
    const std::string manifest =
        "<RecordingInfo><PublicID>R</PublicID><SessionID>" + std::string(kSession) +
        "</SessionID><Streams><Stream><Files><FileInfo><FilePath>/x/R.DV.mov</FilePath><Length>10</Length></FileInfo>"
        "</Files></Stream></Streams></RecordingInfo>";
    HttpReply fin = callRecorder(server, "FinalizeRecording", "<manifest>" + xmlEscape(manifest) + "</manifest>");
    ASSERT_EQ(Answer(fin.body).resultText("FinalizeRecording"), "true") << fin.body;

    ASSERT_EQ(hashOf(uploadChunk(server, {kSession, "R.DV.mov", "12345"})), chunkHash("12345"));
    EXPECT_EQ(closeFile(server, kSession, "R.DV.mov"), "ServerException");
    ASSERT_EQ(hashOf(uploadChunk(server, {kSession, "R.DV.mov", "67890", 5})), chunkHash("67890"));
    EXPECT_EQ(closeFile(server, kSession, "R.DV.mov"), "Uploaded");
}

TEST(DevServerUpload, NamesOutsideTheSessionAreRefused) {
    test::TempDir root;
    const auto storage = root.path() / "storage";
    DevServer server({"--quiet", "--storage", storage.string()});
    const std::pair<std::string, std::string> cases[] = {
        {kSession, "../escape.bin"},
        {kSession, "../../escape.bin"},
        {kSession, "a/../../escape.bin"},
        {kSession, root.path().string() + "/escape.bin"},
        {kSession, ".."},
        {kSession, "."},
        {kSession, "a//b"},
        {kSession, "dir/"},
        {"..", "escape.bin"},
        {"../storage", "escape.bin"},
        {"a/b", "escape.bin"},
        {"", "escape.bin"},
    };
    for (const auto& [session, file] : cases) {
        SCOPED_TRACE(session + " | " + file);
        HttpReply up = uploadChunk(server, {session, xmlEscape(file), "x"});
        EXPECT_EQ(up.status, 500);
        EXPECT_FALSE(Answer(up.body).faultString().empty()) << up.body;
        HttpReply close = callReceiver(server, "TryCloseFile",
                                       "<sessionID>" + session + "</sessionID><fileName>" + file + "</fileName>");
        EXPECT_EQ(close.status, 500);
    }
    EXPECT_FALSE(std::filesystem::exists(root.path() / "escape.bin"));
    EXPECT_FALSE(std::filesystem::exists(storage / "escape.bin"));
    EXPECT_TRUE(serverState(server)["files"].empty());

    // A sub-folder inside the session is fine: slide files travel as "<stream>_ET/<name>".
    EXPECT_EQ(hashOf(uploadChunk(server, {kSession, "P_ET/slide1.png", "png"})), chunkHash("png"));
    EXPECT_EQ(test::readFile(storage / kSession / "P_ET" / "slide1.png"), "png");
}

// A client sends the next chunk while the answer for the one before is awaited, and several
// uploads may run at once: chunks of one file arrive together, and more files than the receiver
// keeps open take turns.
TEST(DevServerUpload, ChunksArrivingTogetherAreAllKept) {
    struct Case {
        const char* what;
        int files;
        int senders;
    };
    const Case cases[] = {{"one file, four senders", 1, 4}, {"six files, three senders", 6, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DevServer server({"--quiet"});
        constexpr size_t kChunk = 50 * 1000;
        constexpr int kChunksPerFile = 12;
        std::vector<std::string> contents;
        for (int f = 0; f < c.files; ++f) {
            std::string bytes(kChunk * kChunksPerFile, '\0');
            for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 2654435761u + f) >> 11);
            contents.push_back(std::move(bytes));
        }
        // Sender s sends every senders-th chunk of every file, the files interleaved.
        std::vector<std::vector<std::string>> answers(c.senders);
        std::vector<std::thread> senders;
        for (int s = 0; s < c.senders; ++s) {
            senders.emplace_back([&, s] {
                for (int k = s; k < kChunksPerFile; k += c.senders)
                    for (int f = 0; f < c.files; ++f) {
                        const std::string piece = contents[f].substr(k * kChunk, kChunk);
                        HttpReply reply = uploadChunk(server, {kSession, "f" + std::to_string(f) + ".mov", piece, k * kChunk});
                        answers[s].push_back(reply.status == 200 && Answer(reply.body).resultText("UploadChunk") == chunkHash(piece)
                                                 ? "ok"
                                                 : "bad " + std::to_string(reply.status));
                    }
            });
        }
        for (auto& t : senders) t.join();
        for (const auto& a : answers)
            for (const auto& one : a) EXPECT_EQ(one, "ok");
        for (int f = 0; f < c.files; ++f) {
            const std::string name = "f" + std::to_string(f) + ".mov";
            EXPECT_EQ(closeFile(server, kSession, name), "Uploaded");
            EXPECT_TRUE(stored(server, kSession, name) == contents[f]) << name << " differs";
        }
    }
}

// The receiver keeps a file open between its chunks; a file taken away meanwhile is made again
// rather than written where nobody sees it.
TEST(DevServerUpload, FileRemovedBetweenChunksIsMadeAgain) {
    DevServer server({"--quiet"});
    const std::filesystem::path storage = serverState(server)["storage"].get<std::string>();
    ASSERT_EQ(hashOf(uploadChunk(server, {kSession, "dir/a.mov", "first", 0})), chunkHash("first"));
    std::filesystem::remove_all(storage / kSession);
    ASSERT_EQ(hashOf(uploadChunk(server, {kSession, "dir/a.mov", "second", 5})), chunkHash("second"));
    EXPECT_EQ(stored(server, kSession, "dir/a.mov"), std::string(5, '\0') + "second");
}

// The bulk upload the benchmark compares with: the body stored and hashed as the receiver stores
// and hashes chunks.
TEST(DevServerUpload, SinkStoresAndHashesTheWholeBody) {
    DevServer server({"--quiet"});
    const std::filesystem::path storage = serverState(server)["storage"].get<std::string>();
    for (size_t size : {size_t(0), size_t(1) << 20, (size_t(5) << 19) + 3}) {
        SCOPED_TRACE(size);
        std::string body(size, '\0');
        for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>((i * 40503u) >> 7);
        HttpReply reply = httpPost(server.baseUrl() + "/devserver/sink/bulk", body, {"Content-Type: application/octet-stream"});
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.body, chunkHash(body) + "\n");
        EXPECT_TRUE(test::readFile(storage / "sink" / "bulk") == body);
    }
}

TEST(DevServerUpload, UnusableChunkRequestsGetAFault) {
    DevServer server({"--quiet"});
    const std::string action = "SOAPAction: \"" + std::string(kNs) + "/IWCFReceiver/UploadChunk\"";
    ChunkRequest good{kSession, "f.bin", "data"};
    const std::string type = "Content-Type: multipart/related;type=\"application/xop+xml\";boundary=\"" +
                             good.boundary + "\";start=\"<" + std::string(kNs) + "/0>\"";
    std::string body = mtomBody(good);
    struct Case {
        const char* what;
        std::string body;
        std::string contentType;
    };
    std::string badOffset = body;
    badOffset.replace(badOffset.find("<offset>0</offset>"), 18, "<offset>-1</offset>");
    std::string hugeOffset = body;
    hugeOffset.replace(hugeOffset.find("<offset>0</offset>"), 18, "<offset>18446744073709551616</offset>");
    std::string wrongCid = body;
    wrongCid.replace(wrongCid.find("cid:"), 4, "cid:x");
    const Case cases[] = {
        {"offset below zero", badOffset, type},
        {"offset beyond 64 bits", hugeOffset, type},
        {"reference to a missing part", wrongCid, type},
        {"no boundary parameter", body, "Content-Type: multipart/related;type=\"application/xop+xml\""},
        {"boundary not in the body", body, "Content-Type: multipart/related;boundary=nothere"},
        {"body cut short", body.substr(0, body.size() - 60), type},
        {"bytes inline instead of attached",
         envelope("UploadChunk",
                  "<sessionID>" + std::string(kSession) + "</sessionID><fileName>f.bin</fileName>"
                  "<buffer>ZGF0YQ==</buffer><offset>0</offset>",
                  std::string(kNs) + "/"),
         "Content-Type: text/xml; charset=utf-8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HttpReply reply = httpPost(server.receiverUrl(), c.body, {c.contentType, action});
        EXPECT_EQ(reply.status, 500) << reply.body;
        EXPECT_FALSE(Answer(reply.body).faultString().empty()) << reply.body;
    }
    EXPECT_TRUE(serverState(server)["files"].empty());
    // The start parameter with angle brackets names the root part too.
    EXPECT_EQ(hashOf(httpPost(server.receiverUrl(), body, {type, action})), chunkHash("data"));
}

}  // namespace
}  // namespace orvanta::devserver_test
