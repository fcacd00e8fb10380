#pragma once

#include <string>
#include <utility>

namespace orvanta::devserver {

class FileStore;
class SoapCall;
class State;

// The recorder service: logins, folders and sessions, recording start and manifests.
class RecorderOperations {
public:
    // `minRecorderVersion`: logins from older recorders are answered as not supported ("": all are).
    RecorderOperations(State& state, FileStore& store, std::string minRecorderVersion = {})
        : state_(state), store_(store), minRecorderVersion_(std::move(minRecorderVersion)) {}

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
    std::string minRecorderVersion_;
};

// The login name an identity-provider address stands for, worked out as the recorder does: the
// query parameter "userkey", prefixed with the "oauth_consumer_key" value and a backslash unless
// that value is "orvantainternal". None when the address has no "userkey".
struct OAuthIdentity {
    std::string loginName;
    std::string consumerKey;
};
bool parseOAuthUri(const std::string& uri, OAuthIdentity& out);

// Whether a recorder of `version` may log in when `minimum` is the oldest supported one. Versions
// compare by their dot-separated numbers ("1.10" is newer than "1.9"; a missing number counts as 0,
// a part that is not a number as 0). An empty minimum supports every version.
bool recorderVersionSupported(const std::string& version, const std::string& minimum);

}  // namespace orvanta::devserver
