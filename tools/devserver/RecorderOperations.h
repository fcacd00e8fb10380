#pragma once

#include <string>

namespace orvanta::devserver {

class FileStore;
class SoapCall;
class State;

// The recorder service: logins, folders and sessions, recording start and manifests.
class RecorderOperations {
public:
    RecorderOperations(State& state, FileStore& store) : state_(state), store_(store) {}

    // The answer envelope for one call. Throws SoapFault for an unknown method or a request the
    // operation refuses.
    std::string answer(const SoapCall& call);

private:
    std::string loginWithPassword(const SoapCall& call);
    std::string loginWithCookie(const SoapCall& call);
    std::string loginWithOAuth(const SoapCall& call);
    std::string getExternalProviders(const SoapCall& call);
    std::string getSessionGroups(const SoapCall& call);
    std::string getSessions(const SoapCall& call);
    std::string addSession(const SoapCall& call);
    std::string addSessionGroup(const SoapCall& call);
    std::string startRecording(const SoapCall& call);
    std::string finalizeRecording(const SoapCall& call);

    std::string loginAnswer(const SoapCall& call, const std::string& userName, bool success);

    State& state_;
    FileStore& store_;
};

// The login name an identity-provider address stands for, worked out as the recorder does: the
// query parameter "userkey", prefixed with the "oauth_consumer_key" value and a backslash unless
// that value is "orvantainternal". None when the address has no "userkey".
struct OAuthIdentity {
    std::string loginName;
    std::string consumerKey;
};
bool parseOAuthUri(const std::string& uri, OAuthIdentity& out);

}  // namespace orvanta::devserver
