// The recorder service of the reference server, driven over HTTP the way the recorder drives it.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <set>

#include "devserver/SoapClient.h"
#include "service/ServiceConstants.h"
#include "support/DevServer.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace orvanta::devserver_test {
namespace {

using test::DevServer;

// Folder and session IDs of the built-in data.
constexpr const char* kPhysics = "0A1B2C3D-0000-4000-8000-000000000001";
constexpr const char* kLecture1 = "0A1B2C3D-0000-4000-8000-000000000011";
constexpr const char* kLecture2 = "0A1B2C3D-0000-4000-8000-000000000012";

const char* kMachine = "<machine><Id>m-1</Id><Name>hall-3</Name><IP>10.0.0.3</IP><User>lab</User></machine>";

std::string passwordLogin(const std::string& user, const std::string& encryptedPassword) {
    return "<user>" + xmlEscape(user) + "</user><pass>" + xmlEscape(encryptedPassword) +
           "</pass><recorderVersion>0.1</recorderVersion>" + kMachine;
}

std::string encrypted(const std::string& password) { return service::encryptPassword(password).value(); }

bool loginSucceeded(const HttpReply& reply, const std::string& method) {
    EXPECT_EQ(reply.status, 200) << reply.body;
    return Answer(reply.body).resultTextAt(method, "LoginSuccess") == "true";
}

std::string guids(const std::vector<std::string>& ids) {
    std::string out;
    for (const auto& id : ids) out += "<guid xsi:type=\"s1:guid\">" + id + "</guid>";
    return out;
}

// A second set of accounts: a server account, a provider account and its provider.
class DataFile {
public:
    DataFile() {
        path_ = dir_.path() / "data.json";
        std::ofstream(path_) << R"({
            "users": [{"name": "alice", "password": "wonder&land"},
                      {"name": "campus\\bob", "password": "b0b", "provider": "campus"}],
            "providers": [{"Name": "campus", "Description": "Campus login"}],
            "folders": [{"publicID": "F0000000-0000-4000-8000-000000000001", "longName": "Only folder",
                         "sessions": []}]
        })";
    }
    std::vector<std::string> args() const { return {"--quiet", "--data", path_.string()}; }

private:
    test::TempDir dir_;
    std::filesystem::path path_;
};

// ---- logins

TEST(DevServerLogin, PasswordLoginAcceptsOnlyTheRightPassword) {
    DevServer server({"--quiet"});
    struct Case {
        std::string user, pass;
        bool success;
    };
    const Case cases[] = {
        {"presenter", encrypted("presenter"), true},
        {"presenter", encrypted("Presenter"), false},
        {"presenter", encrypted(""), false},
        {"nobody", encrypted("presenter"), false},
        {"presenter", "bm90IGNpcGhlcg==", false},  // Base64, but no cipher text
        {"presenter", "presenter", false},         // not even Base64 of a cipher
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user + " / " + c.pass);
        EXPECT_EQ(loginSucceeded(callRecorder(server, "LoginWithPassword", passwordLogin(c.user, c.pass)),
                                 "LoginWithPassword"),
                  c.success);
    }
}

TEST(DevServerLogin, LoginResultCarriesTheRuntimeConfiguration) {
    DevServer server({"--quiet"});
    HttpReply reply = callRecorder(server, "LoginWithPassword", passwordLogin("presenter", encrypted("presenter")));
    ASSERT_EQ(reply.status, 200);
    EXPECT_EQ(reply.contentType, "text/xml; charset=utf-8");
    Answer answer(reply.body);
    const xmlNode* result = answer.result("LoginWithPassword");
    ASSERT_NE(result, nullptr) << reply.body;

    EXPECT_EQ(childNames(result), (std::vector<std::string>{"LoginSuccess", "RecorderIsSupported", "RecorderDownloadUrl",
                                                            "RuntimeConfig", "DataXML", "IsLockedOut"}));
    EXPECT_EQ(textAt(result, "RecorderIsSupported"), "true");
    EXPECT_EQ(textAt(result, "IsLockedOut"), "false");
    EXPECT_TRUE(children(child(result, "RecorderDownloadUrl")).empty());

    const xmlNode* config = child(result, "RuntimeConfig");
    EXPECT_EQ(childNames(config),
              (std::vector<std::string>{"DataReceiverEndpoint", "WebReceiverEndpoint", "ServerTime", "StreamingBase",
                                        "RecorderVersion", "SupportsHeadless", "SupportsDV", "CanCreateSessionGroups"}));
    EXPECT_EQ(textAt(config, "DataReceiverEndpoint"), server.receiverUrl());
    EXPECT_EQ(textAt(config, "CanCreateSessionGroups"), "true");
    EXPECT_EQ(textAt(config, "RecorderVersion"), "0.1");

    // Seconds since 1601-01-01 UTC.
    const double now1601 =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() + 11644473600.0;
    EXPECT_NEAR(std::stod(textAt(config, "ServerTime")), now1601, 5.0);
}

TEST(DevServerLogin, CookieLoginNeedsAnEarlierSuccessfulLogin) {
    DevServer server({"--quiet"});
    auto cookie = [&](const std::string& name) {
        return loginSucceeded(callRecorder(server, "LoginWithCookie",
                                           "<username>" + name + "</username><recorderVersion>0.1</recorderVersion>" +
                                               kMachine),
                              "LoginWithCookie");
    };
    EXPECT_FALSE(cookie("presenter"));
    callRecorder(server, "LoginWithPassword", passwordLogin("presenter", encrypted("wrong")));
    EXPECT_FALSE(cookie("presenter")) << "a failed login must not count";
    callRecorder(server, "LoginWithPassword", passwordLogin("presenter", encrypted("presenter")));
    EXPECT_TRUE(cookie("presenter"));
    EXPECT_FALSE(cookie("nobody"));
}

TEST(DevServerLogin, OAuthLoginFollowsTheConsumerKeyRule) {
    DataFile data;
    DevServer server(data.args());
    struct Case {
        std::string uri;
        bool success;
    };
    const Case cases[] = {
        {"orvanta-recorder://127.0.0.1/?oauth_consumer_key=orvantainternal&userkey=alice", true},
        {"orvanta-recorder://127.0.0.1/?userkey=bob&oauth_consumer_key=campus", true},
        {"orvanta-recorder://127.0.0.1/?oauth_consumer_key=campus&userkey=alice", false},  // no "campus\alice"
        {"orvanta-recorder://127.0.0.1/?oauth_consumer_key=elsewhere&userkey=bob", false},
        {"orvanta-recorder://127.0.0.1/?oauth_consumer_key=orvantainternal&userkey=nobody", false},
        {"orvanta-recorder://127.0.0.1/?oauth_consumer_key=orvantainternal", false},
        {"orvanta-recorder://127.0.0.1/", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uri);
        EXPECT_EQ(loginSucceeded(callRecorder(server, "LoginWithOAuth",
                                              "<uri>" + xmlEscape(c.uri) +
                                                  "</uri><recorderVersion>0.1</recorderVersion>" + kMachine),
                                 "LoginWithOAuth"),
                  c.success);
    }
    // The provider login is remembered under the name the recorder stores.
    EXPECT_TRUE(loginSucceeded(callRecorder(server, "LoginWithCookie",
                                            "<username>campus\\bob</username><recorderVersion>0.1</recorderVersion>"),
                               "LoginWithCookie"));
}

TEST(DevServerLogin, ExternalProvidersAreListedByNameAndDescription) {
    {
        DataFile data;
        DevServer server(data.args());
        HttpReply reply = callRecorder(server, "GetExternalProviders");
        ASSERT_EQ(reply.status, 200);
        Answer answer(reply.body);
        const xmlNode* result = answer.result("GetExternalProviders");
        auto providers = children(result);
        ASSERT_EQ(providers.size(), 1u) << reply.body;
        EXPECT_EQ(childNames(providers[0]), (std::vector<std::string>{"Name", "Description"}));
        EXPECT_EQ(textAt(result, "LessonBeamMembershipProvider/Name"), "campus");
        EXPECT_EQ(textAt(result, "LessonBeamMembershipProvider/Description"), "Campus login");
    }
    {
        DevServer server({"--quiet"});
        HttpReply reply = callRecorder(server, "GetExternalProviders");
        ASSERT_EQ(reply.status, 200);
        Answer answer(reply.body);
        const xmlNode* result = answer.result("GetExternalProviders");
        ASSERT_NE(result, nullptr) << reply.body;
        EXPECT_TRUE(children(result).empty());
        EXPECT_EQ(text(result), "");
    }
}

// ---- folders and sessions

void expectSessionShape(const xmlNode* session, const std::string& folderID) {
    static const std::regex kTime(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \+0000)");
    EXPECT_EQ(childNames(session), (std::vector<std::string>{"ID", "publicID", "longName", "sessionGroupPublicID",
                                                             "startTime", "duration", "deliveries"}));
    EXPECT_EQ(textAt(session, "sessionGroupPublicID"), folderID);
    EXPECT_TRUE(std::regex_match(textAt(session, "startTime"), kTime)) << textAt(session, "startTime");
    EXPECT_NO_THROW(std::stod(textAt(session, "duration")));
}

TEST(DevServerFolders, SessionGroupsCarryTheirSessions) {
    DevServer server({"--quiet"});
    HttpReply reply = callRecorder(server, "GetSessionGroups");
    ASSERT_EQ(reply.status, 200);
    Answer answer(reply.body);
    const xmlNode* result = answer.result("GetSessionGroups");
    auto folders = children(result);
    ASSERT_EQ(folders.size(), 2u) << reply.body;

    std::set<std::string> ids;
    for (const xmlNode* folder : folders) {
        EXPECT_EQ(childNames(folder),
                  (std::vector<std::string>{"ID", "publicID", "shortName", "longName", "isActive", "sessions"}));
        EXPECT_EQ(textAt(folder, "isActive"), "true");
        ids.insert(textAt(folder, "ID"));
        auto sessions = children(child(folder, "sessions"));
        ASSERT_EQ(sessions.size(), 2u);
        for (const xmlNode* s : sessions) {
            EXPECT_EQ(reinterpret_cast<const char*>(s->name), std::string("SimpleSession"));
            expectSessionShape(s, textAt(folder, "publicID"));
            ids.insert(textAt(s, "ID"));
            EXPECT_TRUE(children(child(s, "deliveries")).empty()) << "nothing was finalized yet";
        }
    }
    EXPECT_EQ(ids.size(), 6u) << "every folder and session has its own number";
    EXPECT_EQ(textAt(folders[0], "publicID"), kPhysics);
    EXPECT_EQ(textAt(folders[0], "longName"), "Physics 101");
}

TEST(DevServerFolders, GetSessionsReturnsTheKnownOnesInAnyCase) {
    DevServer server({"--quiet"});
    std::string lower = kLecture2;
    for (auto& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));

    HttpReply reply = callRecorder(
        server, "GetSessions",
        "<sessionIDs>" + guids({lower, "99999999-9999-4999-8999-999999999999", kLecture1}) + "</sessionIDs>");
    ASSERT_EQ(reply.status, 200) << reply.body;
    Answer answer(reply.body);
    auto sessions = children(answer.result("GetSessions"), "SimpleSession");
    ASSERT_EQ(sessions.size(), 2u) << reply.body;
    EXPECT_EQ(textAt(sessions[0], "publicID"), kLecture2);
    EXPECT_EQ(textAt(sessions[1], "publicID"), kLecture1);
    expectSessionShape(sessions[0], kPhysics);

    HttpReply none = callRecorder(server, "GetSessions", "<sessionIDs></sessionIDs>");
    ASSERT_EQ(none.status, 200);
    EXPECT_TRUE(Answer(none.body).resultChildNames("GetSessions").empty());
}

TEST(DevServerFolders, AddSessionCreatesASessionInTheFolder) {
    DevServer server({"--quiet"});
    const std::string name = "Vorlesung <3> & Übung";
    HttpReply reply = callRecorder(server, "AddSession",
                                   "<sessionGroupID>" + std::string(kPhysics) + "</sessionGroupID><sessionName>" +
                                       xmlEscape(name) + "</sessionName>");
    ASSERT_EQ(reply.status, 200) << reply.body;
    Answer answer(reply.body);
    const xmlNode* result = answer.result("AddSession");
    expectSessionShape(result, kPhysics);
    EXPECT_EQ(textAt(result, "longName"), name);
    const std::string id = textAt(result, "publicID");
    EXPECT_EQ(id.size(), 36u);

    HttpReply again = callRecorder(server, "GetSessions", "<sessionIDs>" + guids({id}) + "</sessionIDs>");
    EXPECT_EQ(Answer(again.body).resultTextAt("GetSessions", "SimpleSession/longName"), name);

    HttpReply unknown = callRecorder(server, "AddSession",
                                     "<sessionGroupID>99999999-9999-4999-8999-999999999999</sessionGroupID>"
                                     "<sessionName>x</sessionName>");
    EXPECT_EQ(unknown.status, 500);
    EXPECT_NE(Answer(unknown.body).faultString().find("folder"), std::string::npos) << unknown.body;
}

TEST(DevServerFolders, AddSessionGroupRefusesADuplicateName) {
    DevServer server({"--quiet"});
    auto add = [&](const std::string& name) {
        HttpReply reply =
            callRecorder(server, "AddSessionGroup", "<name>" + xmlEscape(name) + "</name><identifier></identifier>");
        EXPECT_EQ(reply.status, 200);
        return Answer(reply.body).resultTextAt("AddSessionGroup", "Success");
    };
    EXPECT_EQ(add("Seminar"), "true");
    EXPECT_EQ(add("Seminar"), "false");
    EXPECT_EQ(add("Physics 101"), "false");
    EXPECT_EQ(add(""), "false");

    HttpReply reply = callRecorder(server, "GetSessionGroups");
    Answer answer(reply.body);
    auto folders = children(answer.result("GetSessionGroups"));
    ASSERT_EQ(folders.size(), 3u);
    EXPECT_EQ(textAt(folders[2], "longName"), "Seminar");
    EXPECT_EQ(text(child(folders[2], "sessions")), "");
}

TEST(DevServerFolders, StartRecordingAnswersWithoutResultAndRemembersTheStreams) {
    DevServer server({"--quiet"});
    const std::string streams = "<StreamInfo><PublicID>A</PublicID><Tag>SCREEN</Tag><StreamType>Archival</StreamType>"
                                "</StreamInfo><StreamInfo><PublicID>B</PublicID><Tag>DV</Tag><StreamType>Archival"
                                "</StreamType></StreamInfo>";
    HttpReply reply = callRecorder(server, "StartRecording",
                                   "<guSessionID>" + std::string(kLecture1) + "</guSessionID><streams><streams>" +
                                       xmlEscape(streams) + "</streams></streams>");
    ASSERT_EQ(reply.status, 200) << reply.body;
    Answer answer(reply.body);
    ASSERT_NE(answer.response("StartRecording"), nullptr) << reply.body;
    EXPECT_TRUE(children(answer.response("StartRecording")).empty());

    auto state = serverState(server);
    bool found = false;
    for (const auto& s : state["sessions"])
        if (s["publicID"] == kLecture1) {
            found = true;
            EXPECT_TRUE(s["recording"].get<bool>());
            EXPECT_EQ(s["streams"], streams);
        }
    EXPECT_TRUE(found);

    HttpReply unknown = callRecorder(server, "StartRecording",
                                     "<guSessionID>nope</guSessionID><streams><streams></streams></streams>");
    EXPECT_EQ(unknown.status, 500);
}

// ---- manifests and deliveries

using Files = std::vector<std::pair<std::string, uint64_t>>;  // local path, length

std::string fileInfos(const Files& files) {
    std::string out;
    for (const auto& [path, length] : files)
        out += "<FileInfo><FilePath>" + path + "</FilePath><Length>" + std::to_string(length) + "</Length></FileInfo>";
    return out;
}

// A manifest as the recorder writes it: one screen stream and one slide stream.
std::string manifest(const std::string& recording, const std::string& session,
                     const Files& media = {{"/home/lab/Rec/S1.SCREEN.mov", 5}},
                     const Files& slides = {{"/home/lab/Rec/deck.zip", 3}}, const std::string& source = "P1_ET/deck.zip") {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
           "<RecordingInfo xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><PublicID>" +
           recording + "</PublicID><SessionID>" + session +
           "</SessionID><SessionGroupID></SessionGroupID><StartTime>2024-01-01T10:00:00</StartTime>"
           "<EndTime>2024-01-01T11:00:00</EndTime><TimeOffset>0</TimeOffset><Streams><Stream><PublicID>S1</PublicID>"
           "<Tag>SCREEN</Tag><Type>Archival</Type><StartTime></StartTime><EndTime></EndTime><Files>" +
           fileInfos(media) +
           "</Files></Stream></Streams><EventStreams><EventStream><PublicID>E</PublicID><Type>PowerPoint</Type>"
           "<EventTargets><EventTarget><PublicID>P1</PublicID><EventSource><FilePath>" +
           source +
           "</FilePath></EventSource><Events></Events><EventContentOnClient>false</EventContentOnClient>"
           "</EventTarget></EventTargets><EventFiles>" +
           fileInfos(slides) + "</EventFiles></EventStream></EventStreams><Segments></Segments></RecordingInfo>";
}

std::string finalize(const DevServer& server, const std::string& text) {
    HttpReply reply = callRecorder(server, "FinalizeRecording", "<manifest>" + xmlEscape(text) + "</manifest>");
    EXPECT_EQ(reply.status, 200) << reply.body;
    return Answer(reply.body).resultText("FinalizeRecording");
}

const xmlNode* firstDelivery(const Answer& answer) {
    return child(child(child(answer.result("GetSessions"), "SimpleSession"), "deliveries"), "Delivery");
}

// Status of the session's "default" delivery, checking its identifier and address on the way.
std::string deliveryStatus(const DevServer& server, const std::string& session) {
    HttpReply reply = callRecorder(server, "GetSessions", "<sessionIDs>" + guids({session}) + "</sessionIDs>");
    Answer answer(reply.body);
    const xmlNode* delivery = firstDelivery(answer);
    EXPECT_NE(delivery, nullptr) << reply.body;
    EXPECT_EQ(textAt(delivery, "Identifier"), "default");
    EXPECT_EQ(textAt(delivery, "Url"), server.baseUrl() + "/Orvanta/Viewer/Default.aspx?id=" + session);
    return textAt(delivery, "Status");
}

void upload(const DevServer& server, const std::string& file, const std::string& bytes) {
    HttpReply up = uploadChunk(server, {kLecture1, file, bytes});
    ASSERT_EQ(up.status, 200) << up.body;
}

void close(const DevServer& server, const std::string& file) {
    HttpReply reply = callReceiver(server, "TryCloseFile",
                                   "<sessionID>" + std::string(kLecture1) + "</sessionID><fileName>" + file +
                                       "</fileName>");
    ASSERT_EQ(Answer(reply.body).resultText("TryCloseFile"), "Uploaded") << reply.body;
}

TEST(DevServerManifest, DeliveryIsProcessingUntilEveryAnnouncedFileIsClosed) {
    DevServer server({"--quiet"});
    const std::string text = manifest("R-1", kLecture1);
    EXPECT_EQ(finalize(server, text), "true");

    EXPECT_EQ(deliveryStatus(server, kLecture1), "Processing");
    upload(server, "S1.SCREEN.mov", "12345");
    close(server, "S1.SCREEN.mov");
    EXPECT_EQ(deliveryStatus(server, kLecture1), "Processing");
    upload(server, "P1_ET/deck.zip", "abc");
    EXPECT_EQ(deliveryStatus(server, kLecture1), "Processing");
    close(server, "P1_ET/deck.zip");
    EXPECT_EQ(deliveryStatus(server, kLecture1), "Completed");

    // Sessions without a manifest still have no delivery.
    HttpReply other = callRecorder(server, "GetSessions", "<sessionIDs>" + guids({kLecture2}) + "</sessionIDs>");
    EXPECT_EQ(firstDelivery(Answer(other.body)), nullptr);

    // The manifest is kept as sent, beside the session's files.
    auto state = serverState(server);
    ASSERT_EQ(state["manifests"].size(), 1u);
    EXPECT_EQ(test::readFile(state["manifests"][0]["path"].get<std::string>()), text);
    EXPECT_EQ(state["manifests"][0]["files"].size(), 2u);
}

TEST(DevServerManifest, SlideFilesUploadedUnderOtherNamesCountTowardsTheDelivery) {
    DevServer server({"--quiet"});
    // A slide image and a zipped document travel as "<stream>_ET/images/Slide3.jpg" and
    // "<stream>_ET/P1.key".
    EXPECT_EQ(finalize(server, manifest("R-1", kLecture1, {{"/home/lab/Rec/S1.SCREEN.mov", 5}},
                                        {{"/home/lab/Rec/P1/slide.3.jpg", 2}, {"/home/lab/Rec/P1/P1.key.zip", 4}},
                                        "P1_ET/P1.key.zip")),
              "true");
    upload(server, "S1.SCREEN.mov", "12345");
    close(server, "S1.SCREEN.mov");
    upload(server, "P1_ET/images/Slide3.jpg", "jp");
    close(server, "P1_ET/images/Slide3.jpg");
    EXPECT_EQ(deliveryStatus(server, kLecture1), "Processing") << "one slide file is still missing";
    upload(server, "P1_ET/P1.key", "zip!");
    EXPECT_EQ(deliveryStatus(server, kLecture1), "Processing") << "written but not closed";
    close(server, "P1_ET/P1.key");
    EXPECT_EQ(deliveryStatus(server, kLecture1), "Completed");
}

TEST(DevServerManifest, FinalizeRefusesWhatItCannotFile) {
    DevServer server({"--quiet"});
    const std::pair<const char*, std::string> cases[] = {
        {"unknown session", manifest("R-1", "99999999-9999-4999-8999-999999999999")},
        {"no session", manifest("R-1", "")},
        {"recording ID that is a path", manifest("../R-1", kLecture1)},
        {"not XML", "<RecordingInfo><PublicID>"},
        {"another document", "<Other/>"},
    };
    for (const auto& [what, text] : cases) {
        SCOPED_TRACE(what);
        EXPECT_EQ(finalize(server, text), "false");
    }
    EXPECT_TRUE(serverState(server)["manifests"].empty());
}

// ---- requests the service refuses

TEST(DevServerProtocol, MalformedCallsGetASoapFault) {
    DevServer server({"--quiet"});
    const std::string action = "SOAPAction: \"" + std::string(kNs) + "/GetSessionGroups\"";
    struct Case {
        const char* what;
        std::string body;
        std::vector<std::string> headers;
    };
    const Case cases[] = {
        {"not XML", "<soap:Envelope", {action}},
        {"unknown method", envelope("SellTickets", ""), {"SOAPAction: \"" + std::string(kNs) + "/SellTickets\""}},
        {"action names another method", envelope("GetSessions", "<sessionIDs/>"), {action}},
        {"no action", envelope("GetSessionGroups", ""), {}},
        {"receiver action on the recorder",
         envelope("GetSessionGroups", ""),
         {"SOAPAction: \"" + std::string(kNs) + "/IWCFReceiver/GetSessionGroups\""}},
        {"foreign namespace", envelope("GetSessionGroups", "", "http://example.com/other"), {action}},
        {"not an envelope", "<GetSessionGroups xmlns=\"" + std::string(kNs) + "/\"/>", {action}},
        {"document type declaration",
         "<?xml version=\"1.0\"?><!DOCTYPE x [<!ENTITY e \"boom\">]>" + envelope("GetSessionGroups", "").substr(38),
         {action}},
        {"missing parameter", envelope("AddSession", "<sessionName>x</sessionName>"),
         {"SOAPAction: \"" + std::string(kNs) + "/AddSession\""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto headers = c.headers;
        headers.push_back("Content-Type: text/xml; charset=utf-8");
        HttpReply reply = httpPost(server.recorderUrl(), c.body, headers);
        EXPECT_EQ(reply.status, 500) << reply.body;
        EXPECT_EQ(reply.contentType, "text/xml; charset=utf-8");
        EXPECT_FALSE(Answer(reply.body).faultString().empty()) << reply.body;
    }
    // The server keeps serving after all of them.
    EXPECT_EQ(callRecorder(server, "GetSessionGroups").status, 200);
}

}  // namespace
}  // namespace orvanta::devserver_test
