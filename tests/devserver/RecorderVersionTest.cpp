// The reference server's refusal of recorder versions older than --min-recorder-version.

#include <gtest/gtest.h>

#include "devserver/SoapClient.h"
#include "service/ServiceConstants.h"
#include "support/DevServer.h"

namespace orvanta::devserver_test {
namespace {

using test::DevServer;

std::string passwordLogin(const std::string& password, const std::string& version) {
    return "<user>presenter</user><pass>" + xmlEscape(service::encryptPassword(password).value()) +
           "</pass><recorderVersion>" + xmlEscape(version) +
           "</recorderVersion><machine><Id>m</Id><Name>n</Name><IP>127.0.0.1</IP><User>u</User></machine>";
}

TEST(DevServerRecorderVersion, OlderRecordersAreToldWhereTheNewVersionIs) {
    DevServer server({"--quiet", "--min-recorder-version", "2.5"});
    const std::string download = server.baseUrl() + "/Orvanta/Pages/Recorder/Download.aspx";
    struct Case {
        const char* version;
        bool supported;
    };
    const Case cases[] = {
        {"2.5", true},   {"2.5.0", true},   {"2.10", true}, {"10", true},  {"3.0.1", true},
        {"2.4.9", false}, {"2.4", false},   {"1.99", false}, {"2", false}, {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        HttpReply reply = callRecorder(server, "LoginWithPassword", passwordLogin("presenter", c.version));
        ASSERT_EQ(reply.status, 200) << reply.body;
        Answer answer(reply.body);
        // The credentials are judged as always; the version only decides whether the recorder may stay.
        EXPECT_EQ(answer.resultTextAt("LoginWithPassword", "LoginSuccess"), "true");
        EXPECT_EQ(answer.resultTextAt("LoginWithPassword", "RecorderIsSupported"), c.supported ? "true" : "false");
        EXPECT_EQ(answer.resultTextAt("LoginWithPassword", "RecorderDownloadUrl"), c.supported ? "" : download);
    }
}

TEST(DevServerRecorderVersion, RefusedVersionDoesNotCountForCookieLogin) {
    DevServer server({"--quiet", "--min-recorder-version", "9.0"});
    auto cookieLogin = [&](const std::string& version) {
        HttpReply reply = callRecorder(server, "LoginWithCookie",
                                       "<username>presenter</username><recorderVersion>" + version +
                                           "</recorderVersion>");
        return Answer(reply.body).resultTextAt("LoginWithCookie", "LoginSuccess");
    };
    callRecorder(server, "LoginWithPassword", passwordLogin("presenter", "8.9"));
    EXPECT_EQ(cookieLogin("9.0"), "false");
    callRecorder(server, "LoginWithPassword", passwordLogin("presenter", "9.0"));
    EXPECT_EQ(cookieLogin("9.0"), "true");
}

TEST(DevServerRecorderVersion, WithoutMinimumEveryVersionIsSupported) {
    DevServer server({"--quiet"});
    for (const char* version : {"", "0.0.1", "1"}) {
        SCOPED_TRACE(version);
        Answer answer(callRecorder(server, "LoginWithPassword", passwordLogin("presenter", version)).body);
        EXPECT_EQ(answer.resultTextAt("LoginWithPassword", "RecorderIsSupported"), "true");
    }
}

}  // namespace
}  // namespace orvanta::devserver_test
