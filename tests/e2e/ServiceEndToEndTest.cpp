// The recorder and upload services against the reference server, over real HTTP on loopback.
#include <gtest/gtest.h>

#include "core/Error.h"
#include "core/MachineInfo.h"
#include "core/Util.h"
#include "model/SimpleSessionGroup.h"
#include "service/RecorderService.h"
#include "service/ServiceConstants.h"
#include "service/UploadService.h"
#include "support/DevServer.h"

using namespace orvanta;
using namespace orvanta::service;

namespace {

core::MachineInfo machine() { return core::MachineInfo::make(std::nullopt, "02:00:00:00:00:01", "host", "127.0.0.1", "u"); }

std::string md5Base64(const std::vector<uint8_t>& bytes) {
    auto d = core::md5Digest(std::span<const uint8_t>(bytes));
    return core::encodeBase64(std::span<const uint8_t>(d.data(), d.size()));
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 31 + seed);
    return v;
}

// The error a failed call raised.
template <typename F>
core::Error raised(F&& f) {
    try {
        f();
    } catch (const core::OrvantaSoapException& e) {
        return e.innerError();
    }
    ADD_FAILURE() << "no exception";
    return {};
}

LoginResult passwordLogin(RecorderService& s, const std::string& user, const std::string& password) {
    return s.LoginWithPasswordWithUser(user, *encryptPassword(password), "1.0", machine());
}

}  // namespace

TEST(ServiceEndToEnd, LoginRoads) {
    test::DevServer server({"--quiet"});
    RecorderService service(server.serverName());
    auto bad = passwordLogin(service, "presenter", "wrong");
    EXPECT_FALSE(bad.LoginSuccess);
    EXPECT_FALSE(service.LoginWithCookieUserName("presenter", "1.0", machine()).LoginSuccess)
        << "no earlier login to rely on";

    auto good = passwordLogin(service, "presenter", "presenter");
    ASSERT_TRUE(good.LoginSuccess);
    EXPECT_TRUE(good.RecorderIsSupported);
    EXPECT_EQ(good.Runtime.DataReceiverEndpoint, server.receiverUrl());
    // Seconds since 1601 on the server's clock: within a minute of ours.
    double now1601 = static_cast<double>(std::time(nullptr)) + 11644473600.0;
    EXPECT_NEAR(good.Runtime.ServerTime, now1601, 60.0);
    EXPECT_TRUE(service.LoginWithCookieUserName("presenter", "1.0", machine()).LoginSuccess);

    EXPECT_TRUE(service.LoginWithOAuthURI("http://h/done?oauth_consumer_key=orvantainternal&userkey=presenter", "1.0",
                                          machine())
                    .LoginSuccess);
    EXPECT_FALSE(service.LoginWithOAuthURI("http://h/done", "1.0", machine()).LoginSuccess);
    EXPECT_TRUE(service.GetExternalProviders().empty() || !service.GetExternalProviders()[0].empty());
}

TEST(ServiceEndToEnd, FoldersSessionsAndFinalize) {
    test::DevServer server({"--quiet"});
    RecorderService service(server.serverName());
    auto groups = service.GetSessionGroups();
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_FALSE(groups[0]->displayName().empty());
    EXPECT_EQ(groups[0]->sortedSessions().size(), 2u);
    std::string groupId = *groups[0]->stringValue("publicID");

    EXPECT_TRUE(service.AddSessionGroup("New <Folder> & co"));
    EXPECT_FALSE(service.AddSessionGroup("New <Folder> & co")) << "a second folder of that name";
    EXPECT_EQ(service.GetSessionGroups().size(), 3u);

    auto session = service.AddSession(groupId, "Week 1 </sessionName><x>");
    ASSERT_TRUE(session);
    std::string sessionId = session->stringValue("publicID").value_or("");
    ASSERT_EQ(sessionId.size(), 36u);
    EXPECT_EQ(session->stringValue("longName"), "Week 1 </sessionName><x>");
    auto found = service.GetSessions({sessionId});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]->stringValue("sessionGroupPublicID"), groupId);
    EXPECT_TRUE(service.GetSessions({}).empty());

    EXPECT_NO_THROW(service.StartRecording(
        sessionId, {"<StreamInfo><PublicID>A</PublicID><Tag>DV</Tag><StreamType>Archival</StreamType></StreamInfo>",
                    "<StreamInfo><PublicID>B</PublicID><Tag>SCREEN</Tag><StreamType>Streaming</StreamType></StreamInfo>"}));
    std::string manifest =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><RecordingInfo><PublicID>R</PublicID><SessionID>" + sessionId +
        "</SessionID><Streams><Stream><PublicID>A</PublicID><Tag>DV</Tag><Type>Archival</Type><Files><FileInfo>"
        "<FilePath>/rec/A.DV.mov</FilePath><Length>3</Length></FileInfo></Files></Stream></Streams>"
        "<EventStreams/><Segments/></RecordingInfo>";
    EXPECT_TRUE(service.FinalizeRecording(manifest));
    std::string unknown = manifest;
    unknown.replace(unknown.find(sessionId), sessionId.size(), "00000000-0000-0000-0000-000000000000");
    EXPECT_FALSE(service.FinalizeRecording(unknown));

    // Once its one file is delivered the session reports a completed default delivery.
    UploadService upload(server.receiverUrl());
    std::vector<uint8_t> bytes = {'a', 'b', 'c'};
    EXPECT_EQ(upload.UploadChunk(sessionId, "A.DV.mov", std::span<const uint8_t>(bytes), 0), md5Base64(bytes));
    EXPECT_EQ(upload.TryCloseFile("A.DV.mov", sessionId), kCloseUploaded);
    auto after = service.GetSessions({sessionId});
    ASSERT_EQ(after.size(), 1u);
    auto deliveries = after[0]->toMany("deliveries");
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0]->stringValue("Identifier"), "default");
    EXPECT_EQ(deliveries[0]->stringValue("Status"), "Completed");
    EXPECT_NE(deliveries[0]->stringValue("Url").value_or("").find("Viewer/Default.aspx"), std::string::npos);
}

TEST(ServiceEndToEnd, ChunksAtAnyOffsetAndTheCloseSequence) {
    test::DevServer server({"--quiet", "--chunk-size", "65536", "--uploading-count", "2"});
    UploadService upload(server.receiverUrl());
    EXPECT_EQ(upload.ChunkSize(), 65536);
    const std::string session = core::stringWithUUID();

    struct Case {
        uint64_t offset;
        size_t size;
    };
    const Case cases[] = {{0, 65536}, {65536, 1000}, {5ULL << 30, 4096}, {0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        auto bytes = pattern(c.size, static_cast<uint8_t>(c.size));
        EXPECT_EQ(upload.UploadChunk(session, "big.mov", std::span<const uint8_t>(bytes), c.offset), md5Base64(bytes));
    }
    EXPECT_FALSE(upload.UploadChunk(session, "big.mov", std::nullopt, 0)) << "no bytes: no call";
    EXPECT_FALSE(upload.UploadChunk("", "big.mov", std::span<const uint8_t>(), 0));

    EXPECT_EQ(upload.TryCloseFile("never.mov", session), kCloseNotUploaded);
    EXPECT_EQ(upload.TryCloseFile("big.mov", session), kCloseUploading);
    EXPECT_EQ(upload.TryCloseFile("big.mov", session), kCloseUploading);
    EXPECT_EQ(upload.TryCloseFile("big.mov", session), kCloseUploaded);
}

TEST(ServiceEndToEnd, EveryFaultReachesTheCallerAsAnError) {
    std::vector<uint8_t> bytes = pattern(1000, 7);
    {
        test::DevServer server({"--quiet", "--fail-rate", "1"});
        RecorderService service(server.serverName());
        auto e = raised([&] { service.GetSessionGroups(); });
        EXPECT_EQ(e.code, 500);
        EXPECT_NE(e.failureReason.find("Fault"), std::string::npos) << e.failureReason;
    }
    {
        test::DevServer server({"--quiet", "--bad-hash-rate", "1"});
        UploadService upload(server.receiverUrl());
        auto hash = upload.UploadChunk(core::stringWithUUID(), "f.mov", std::span<const uint8_t>(bytes), 0);
        ASSERT_TRUE(hash);
        EXPECT_NE(*hash, md5Base64(bytes));
    }
    {
        test::DevServer server({"--quiet", "--drop-rate", "1"});
        UploadService upload(server.receiverUrl());
        upload.caller().setTimeouts(5, 5);
        auto e = raised([&] { upload.ChunkSize(); });
        EXPECT_EQ(e.domain, core::kURLErrorDomain) << e.localizedDescription();
    }
    {
        test::DevServer server({"--quiet", "--slow-ms", "3000"});
        UploadService upload(server.receiverUrl());
        upload.caller().setTimeouts(1, 1);
        auto e = raised([&] { upload.ChunkSize(); });
        EXPECT_TRUE(e.code == 88 || e.domain == core::kURLErrorDomain) << e.localizedDescription();
    }
    {
        // No server at all.
        int port;
        {
            test::DevServer gone({"--quiet"});
            port = gone.port();
        }
        RecorderService service("127.0.0.1:" + std::to_string(port));
        auto e = raised([&] { service.GetSessionGroups(); });
        EXPECT_EQ(e.domain, core::kURLErrorDomain);
        EXPECT_EQ(core::messageFromError(&e), "You appear to be offline");
    }
}
