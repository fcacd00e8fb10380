#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/MachineInfo.h"
#include "model/ManagedObject.h"
#include "model/ServiceResult.h"
#include "model/SimpleSessionGroup.h"
#include "service/LoginResult.h"
#include "service/SoapValue.h"
#include "service/SynchronousSoapCaller.h"

namespace orvanta::service {

// The server's recorder web service. Every operation is one blocking call; a failed call raises
// core::OrvantaSoapException carrying the error. Result objects are detached: they are never
// inserted into a store. One object is used by one thread at a time.
class RecorderService {
public:
    // A service for the "Server" setting.
    static std::unique_ptr<RecorderService> serviceFromSettings();
    // serverName: host name, optionally with ":port".
    explicit RecorderService(const std::string& serverName);

    static std::string endpointForServer(const std::string& serverName);

    LoginResult LoginWithPasswordWithUser(const std::string& user, const std::string& encryptedPassword,
                                          const std::string& recorderVersion, const core::MachineInfo& machine);
    LoginResult LoginWithOAuthURI(const std::string& uri, const std::string& recorderVersion,
                                  const core::MachineInfo& machine);
    LoginResult LoginWithCookieUserName(const std::string& userName, const std::string& recorderVersion,
                                        const core::MachineInfo& machine);
    // The identity providers, each with its "Name" and "Description".
    std::vector<model::ResultMap> GetExternalProviders();
    std::vector<std::shared_ptr<model::SimpleSessionGroup>> GetSessionGroups();
    std::vector<model::ObjectPtr> GetSessions(const std::vector<std::string>& sessionIDs);
    model::ObjectPtr AddSession(const std::string& sessionGroupID, const std::string& sessionName);
    bool AddSessionGroup(const std::string& name);
    // streams: the stream information texts of the streams being recorded.
    void StartRecording(const std::string& sessionID, const std::vector<std::string>& streams);
    bool FinalizeRecording(const std::string& manifest);

    SynchronousSoapCaller& caller() { return caller_; }

private:
    // One call; raises on failure; returns the result tree's "response" entry.
    model::ResultValue call(const std::string& method, std::vector<std::string> names, std::vector<SoapValue> values);
    LoginResult login(const std::string& method, std::vector<std::string> names, std::vector<SoapValue> values);
    std::vector<model::ResultValue> listResult(const model::ResultValue& response, const std::string& element);

    SynchronousSoapCaller caller_;
};

// The machine description as the login operations send it.
SoapMap machineParameter(const core::MachineInfo& machine);

}  // namespace orvanta::service
