#include "control/SessionStatus.h"

#include "core/Util.h"

namespace orvanta::control {

namespace {
std::string replaceFirst(std::string text, const std::string& from, const std::string& to) {
    if (auto pos = text.find(from); pos != std::string::npos) text.replace(pos, from.size(), to);
    return text;
}
}  // namespace

void updateSessionStatus(const std::vector<std::shared_ptr<model::Recording>>& recordings,
                         const std::vector<model::ObjectPtr>& sessions, const std::string& login,
                         const std::string& encryptedPassword) {
    for (const auto& session : sessions) {
        auto publicID = session->stringValue("publicID");
        if (!publicID) continue;
        std::shared_ptr<model::Recording> recording;
        for (const auto& r : recordings)
            if (r->SessionID() == publicID) {
                recording = r;
                break;
            }
        if (!recording) continue;
        model::ObjectPtr delivery;
        for (const auto& d : session->toMany("deliveries"))
            if (d->stringValue("Identifier") == "default") {
                delivery = d;
                break;
            }
        if (!delivery) {
            recording->setValueForKey("ServerStatus", model::Value{});
            recording->setValueForKey("ViewerUrl", model::Value{});
            continue;
        }
        std::string url = delivery->stringValue("Url").value_or("");
        recording->setValueForKey("ServerStatus", model::Value(delivery->stringValue("Status").value_or("")));
        recording->setValueForKey("ViewerUrl",
                                  model::Value(replaceFirst(url, "Viewer/Default.aspx", "Recorder/AuthRedirect.aspx") +
                                               "&user=" + core::urlEncode(login) + "&pass=" +
                                               core::urlEncode(encryptedPassword) +
                                               "&ReturnURL=" + core::urlEncode(url)));
    }
}

}  // namespace orvanta::control
