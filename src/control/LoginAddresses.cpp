// The server names, login names and addresses the login works with.

#include <string_view>

#include "control/LoginController.h"
#include "core/Util.h"

namespace orvanta::control {

namespace {
// Seconds from 1601-01-01 00:00:00 UTC, the server's time origin, to the Unix epoch.
constexpr double kSecondsFrom1601To1970 = 11644473600.0;
}  // namespace

std::string normalizeServerName(const std::string& server) {
    static constexpr std::string_view kScheme = "http://";
    std::string out;
    out.reserve(server.size());
    for (size_t i = 0; i < server.size();) {
        if (server.compare(i, kScheme.size(), kScheme) == 0) {
            i += kScheme.size();
        } else {
            out += server[i++];
        }
    }
    if (auto slash = out.find('/'); slash != std::string::npos) out.resize(slash);
    return out;
}

std::string loginNameFromOAuthURL(const std::string& oauthUrl) {
    std::string query;
    if (auto q = oauthUrl.find('?'); q != std::string::npos) query = oauthUrl.substr(q + 1);
    if (auto hash = query.find('#'); hash != std::string::npos) query.resize(hash);
    const auto params = core::queryParameters(query);
    auto value = [&](const char* key) {
        auto it = params.find(key);
        return it == params.end() ? std::string() : it->second;
    };
    const std::string userKey = value("userkey");
    const std::string consumerKey = value("oauth_consumer_key");
    if (consumerKey == kInternalConsumerKey) return userKey;
    return consumerKey + "\\" + userKey;
}

double timeOffsetFromServerTime(double serverTime, std::chrono::system_clock::time_point now) {
    const double localSince1601 =
        std::chrono::duration<double>(now.time_since_epoch()).count() + kSecondsFrom1601To1970;
    return serverTime - localSince1601;
}

std::string externalProviderAddress(const std::string& server, const std::string& providerName) {
    // The provider's name comes from the server; encoded, it cannot add parameters of its own.
    return "http://" + server + "/Orvanta/Pages/Auth/Login.aspx?instance=" + core::urlEncode(providerName) +
           "&action=relogin&returnURL=http://" + server + "/Orvanta/Pages/Recorder/ExternalLogin.aspx";
}

std::string manageRecordingsAddress(const std::string& server, const std::string& login,
                                    const std::string& encryptedPassword) {
    const std::string returnUrl = "http://" + server + "/Orvanta/Pages/Sessions/List.aspx";
    return "http://" + server + "/Orvanta/Pages/Recorder/AuthRedirect.aspx?user=" + core::urlEncode(login) +
           "&pass=" + core::urlEncode(encryptedPassword) + "&ReturnURL=" + core::urlEncode(returnUrl);
}

}  // namespace orvanta::control
