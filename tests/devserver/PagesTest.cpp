// The web pages the reference server shows the recorder, and its helper routes.

#include <gtest/gtest.h>

#include <fstream>

#include "devserver/SoapClient.h"
#include "support/DevServer.h"
#include "support/TempDir.h"

namespace orvanta::devserver_test {
namespace {

using test::DevServer;

TEST(DevServerPages, ProviderLoginPagesHandOverTheProvidersFirstAccount) {
    test::TempDir dir;
    const auto data = dir.path() / "data.json";
    std::ofstream(data) << R"({
        "users": [{"name": "alice", "password": "a"},
                  {"name": "campus\\bob", "password": "p\"</script>", "provider": "campus"},
                  {"name": "campus\\carol", "password": "c", "provider": "campus"}],
        "providers": [{"Name": "campus", "Description": "Campus login"}]
    })";
    DevServer server({"--quiet", "--data", data.string()});
    const std::string expected = R"(function getUserInfo() { return "campus\\bob\np\"\u003c/script>"; })";
    const std::pair<std::string, std::string> cases[] = {
        {"/Orvanta/Pages/Auth/Login.aspx?instance=campus&action=relogin&returnURL=http://x/y", expected},
        {"/Orvanta/Pages/Recorder/ExternalLogin.aspx?instance=campus", expected},
        {"/Orvanta/Pages/Auth/Login.aspx?instance=elsewhere", R"(function getUserInfo() { return ""; })"},
        {"/Orvanta/Pages/Recorder/ExternalLogin.aspx", R"(function getUserInfo() { return ""; })"},
    };
    for (const auto& [path, script] : cases) {
        SCOPED_TRACE(path);
        HttpReply page = httpGet(server.baseUrl() + path);
        EXPECT_EQ(page.status, 200);
        EXPECT_NE(page.contentType.find("text/html"), std::string::npos);
        EXPECT_NE(page.body.find(script), std::string::npos) << page.body;
    }
}

TEST(DevServerPages, ViewerPageKnowsTheSession) {
    DevServer server({"--quiet"});
    EXPECT_EQ(httpGet(server.baseUrl() + "/Orvanta/Viewer/Default.aspx?id=0A1B2C3D-0000-4000-8000-000000000011").status,
              200);
    EXPECT_EQ(httpGet(server.baseUrl() + "/Orvanta/Viewer/Default.aspx?id=nope").status, 404);
}

TEST(DevServerPages, FilesRouteServesOnlyStoredFiles) {
    DevServer server({"--quiet"});
    ASSERT_EQ(uploadChunk(server, {"S", "dir/f.bin", std::string("a\0b", 3)}).status, 200);
    HttpReply file = httpGet(server.baseUrl() + "/devserver/files/S/dir/f.bin");
    EXPECT_EQ(file.status, 200);
    EXPECT_EQ(file.body, std::string("a\0b", 3));
    for (const char* path : {"/devserver/files/S/missing", "/devserver/files/S/../S/dir/f.bin",
                             "/devserver/files/S/%2E%2E/S/dir/f.bin", "/devserver/files/S/dir"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(httpGet(server.baseUrl() + path).status, 404);
    }
}

}  // namespace
}  // namespace orvanta::devserver_test
