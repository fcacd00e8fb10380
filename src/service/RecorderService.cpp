#include "service/RecorderService.h"

#include "core/Settings.h"
#include "core/SettingsKeys.h"
#include "core/Util.h"
#include "model/ObjectMapping.h"
#include "service/ServiceConstants.h"

namespace orvanta::service {

std::string RecorderService::endpointForServer(const std::string& serverName) {
    return "http://" + serverName + kRecorderServicePath;
}

std::unique_ptr<RecorderService> RecorderService::serviceFromSettings() {
    return std::make_unique<RecorderService>(
        core::Settings::standard().stringForKey(core::kServer).value_or(""));
}

RecorderService::RecorderService(const std::string& serverName) : caller_(endpointForServer(serverName)) {}

SoapMap machineParameter(const core::MachineInfo& machine) {
    return {{"Id", machine.Id}, {"Name", machine.Name}, {"IP", machine.IP}, {"User", machine.User}};
}

model::ResultValue RecorderService::call(const std::string& method, std::vector<std::string> names,
                                         std::vector<SoapValue> values) {
    core::Error error;
    auto result = caller_.callSoapMethod(method, kServiceNamespace, "", &names, &values, &error);
    if (!result) core::throwWithSoapError(&error);
    auto it = result->find("response");
    return it == result->end() ? model::ResultValue{} : it->second;
}

LoginResult RecorderService::login(const std::string& method, std::vector<std::string> names,
                                   std::vector<SoapValue> values) {
    return LoginResult::loginResultFromDictionary(call(method, std::move(names), std::move(values)));
}

LoginResult RecorderService::LoginWithPasswordWithUser(const std::string& user, const std::string& encryptedPassword,
                                                       const std::string& recorderVersion,
                                                       const core::MachineInfo& machine) {
    return login("LoginWithPassword", {"user", "pass", "recorderVersion", "machine"},
                 {user, encryptedPassword, recorderVersion, machineParameter(machine)});
}

LoginResult RecorderService::LoginWithOAuthURI(const std::string& uri, const std::string& recorderVersion,
                                               const core::MachineInfo& machine) {
    return login("LoginWithOAuth", {"uri", "recorderVersion", "machine"},
                 {uri, recorderVersion, machineParameter(machine)});
}

LoginResult RecorderService::LoginWithCookieUserName(const std::string& userName, const std::string& recorderVersion,
                                                     const core::MachineInfo& machine) {
    return login("LoginWithCookie", {"username", "recorderVersion", "machine"},
                 {userName, recorderVersion, machineParameter(machine)});
}

std::vector<model::ResultValue> RecorderService::listResult(const model::ResultValue& response,
                                                            const std::string& element) {
    std::vector<model::ResultValue> out;
    const model::ResultValue* e = response.find(element);
    if (!e) return out;
    if (e->isMap()) {
        out.push_back(*e);
    } else if (e->isList()) {
        for (const auto& item : e->list())
            if (item.isMap()) out.push_back(item);
    }
    return out;
}

std::vector<model::ResultMap> RecorderService::GetExternalProviders() {
    std::vector<model::ResultMap> out;
    for (auto& v : listResult(call("GetExternalProviders", {}, {}), "LessonBeamMembershipProvider"))
        out.push_back(v.map());
    return out;
}

std::vector<std::shared_ptr<model::SimpleSessionGroup>> RecorderService::GetSessionGroups() {
    std::vector<std::shared_ptr<model::SimpleSessionGroup>> out;
    for (auto& v : listResult(call("GetSessionGroups", {}, {}), "SimpleSessionGroup"))
        out.push_back(std::static_pointer_cast<model::SimpleSessionGroup>(
            model::objectForEntity("SimpleSessionGroup", v.map())));
    return out;
}

std::vector<model::ObjectPtr> RecorderService::GetSessions(const std::vector<std::string>& sessionIDs) {
    SoapList ids;
    for (const auto& id : sessionIDs) ids.push_back(Guid{id});
    std::vector<model::ObjectPtr> out;
    for (auto& v : listResult(call("GetSessions", {"sessionIDs"}, {ids}), "SimpleSession"))
        out.push_back(model::objectForEntity("SimpleSession", v.map()));
    return out;
}

model::ObjectPtr RecorderService::AddSession(const std::string& sessionGroupID, const std::string& sessionName) {
    auto response = call("AddSession", {"sessionGroupID", "sessionName"}, {sessionGroupID, sessionName});
    return model::objectForEntity("SimpleSession", response.isMap() ? response.map() : model::ResultMap{});
}

bool RecorderService::AddSessionGroup(const std::string& name) {
    auto response = call("AddSessionGroup", {"name", "identifier"}, {name, std::string()});
    return resultBool(response.find("Success"));
}

void RecorderService::StartRecording(const std::string& sessionID, const std::vector<std::string>& streams) {
    SoapList texts;
    for (const auto& s : streams) texts.push_back(s);
    call("StartRecording", {"guSessionID", "streams"}, {sessionID, SoapMap{{"streams", texts}}});
}

bool RecorderService::FinalizeRecording(const std::string& manifest) {
    auto response = call("FinalizeRecording", {"manifest"}, {manifest});
    return resultBool(&response);
}

}  // namespace orvanta::service
