#include "devserver/RecorderOperations.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <vector>

#include "core/Log.h"
#include "core/Util.h"
#include "devserver/FileStore.h"
#include "devserver/SoapRequest.h"
#include "devserver/SoapWriter.h"
#include "devserver/State.h"
#include "model/XmlDocument.h"
#include "service/ServiceConstants.h"

namespace orvanta::devserver {

namespace {

// Where a recorder that is not supported is sent for the newest version.
constexpr const char* kRecorderDownloadPath = "/Orvanta/Pages/Recorder/Download.aspx";

// Seconds from 1601-01-01 00:00:00 UTC to the Unix epoch.
constexpr double kSecondsFrom1601To1970 = 11644473600.0;

std::string serverTimeText() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    double seconds = std::chrono::duration<double>(now).count() + kSecondsFrom1601To1970;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3f", seconds);
    return buf;
}

std::string decimal(double value) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    return ec == std::errc() ? std::string(buf, end) : std::string("0");
}

void writeSessionFields(XmlWriter& w, const Session& s) {
    w.leaf("ID", std::to_string(s.id));
    w.leaf("publicID", s.publicID);
    w.leaf("longName", s.longName);
    w.leaf("sessionGroupPublicID", s.folderPublicID);
    w.leaf("startTime", s.startTime);
    w.leaf("duration", decimal(s.duration));
    if (s.deliveries.empty()) {
        w.empty("deliveries");
        return;
    }
    w.element("deliveries", [&](XmlWriter& d) {
        for (const auto& delivery : s.deliveries)
            d.element("Delivery", [&](XmlWriter& e) {
                e.leaf("Identifier", delivery.identifier);
                e.leaf("Status", delivery.status);
                e.leaf("Url", delivery.url);
            });
    });
}

void writeSession(XmlWriter& w, const Session& s) {
    w.element("SimpleSession", [&](XmlWriter& e) { writeSessionFields(e, s); });
}

void writeFolder(XmlWriter& w, const Folder& f) {
    w.element("SimpleSessionGroup", [&](XmlWriter& e) {
        e.leaf("ID", std::to_string(f.id));
        e.leaf("publicID", f.publicID);
        e.leaf("shortName", f.shortName);
        e.leaf("longName", f.longName);
        e.boolean("isActive", f.isActive);
        if (f.sessions.empty())
            e.empty("sessions");
        else
            e.element("sessions", [&](XmlWriter& list) {
                for (const auto& s : f.sessions) writeSession(list, s);
            });
    });
}

std::optional<uint64_t> parseLength(const std::string& text) {
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// Every file a manifest names, by base name, with its length: the FileInfo elements of media
// streams (Files) and slide streams (EventFiles). An EventSource names one of its stream's
// EventFiles again, so it adds nothing.
void collectAnnouncedFiles(const xmlNode* node, std::vector<AnnouncedFile>& out) {
    for (const xmlNode* c : childElements(node)) {
        if (!hasLocalName(c, "FileInfo")) {
            collectAnnouncedFiles(c, out);
            continue;
        }
        std::string name = baseName(nodeText(firstChildElement(c, "FilePath")));
        if (name.empty()) continue;
        std::optional<uint64_t> length;
        if (const xmlNode* l = firstChildElement(c, "Length")) length = parseLength(nodeText(l));
        auto it = std::find_if(out.begin(), out.end(), [&](const AnnouncedFile& f) { return f.name == name; });
        if (it == out.end())
            out.push_back({name, length});
        else if (!it->length)
            it->length = length;
    }
}

}  // namespace

bool recorderVersionSupported(const std::string& version, const std::string& minimum) {
    if (minimum.empty()) return true;
    auto numbers = [](const std::string& text) {
        std::vector<uint64_t> out;
        size_t start = 0;
        for (;;) {
            size_t dot = text.find('.', start);
            const std::string part = text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
            uint64_t value = 0;
            auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
            out.push_back(ec == std::errc() && end == part.data() + part.size() ? value : 0);
            if (dot == std::string::npos) return out;
            start = dot + 1;
        }
    };
    auto have = numbers(version);
    auto need = numbers(minimum);
    const size_t n = std::max(have.size(), need.size());
    have.resize(n, 0);
    need.resize(n, 0);
    return have >= need;
}

bool parseOAuthUri(const std::string& uri, OAuthIdentity& out) {
    size_t q = uri.find('?');
    if (q == std::string::npos) return false;
    std::string query = uri.substr(q + 1);
    if (size_t hash = query.find('#'); hash != std::string::npos) query.resize(hash);
    auto params = core::queryParameters(query);
    auto user = params.find("userkey");
    if (user == params.end() || user->second.empty()) return false;
    auto consumer = params.find("oauth_consumer_key");
    out.consumerKey = consumer == params.end() ? std::string() : consumer->second;
    out.loginName = out.consumerKey == "orvantainternal" ? user->second : out.consumerKey + "\\" + user->second;
    return true;
}

std::string RecorderOperations::answer(const SoapCall& call) {
    using Handler = std::string (RecorderOperations::*)(const SoapCall&);
    static const std::map<std::string, Handler> handlers = {
        {"LoginWithPassword", &RecorderOperations::loginWithPassword},
        {"LoginWithCookie", &RecorderOperations::loginWithCookie},
        {"LoginWithOAuth", &RecorderOperations::loginWithOAuth},
        {"GetExternalProviders", &RecorderOperations::getExternalProviders},
        {"GetSessionGroups", &RecorderOperations::getSessionGroups},
        {"GetSessions", &RecorderOperations::getSessions},
        {"AddSession", &RecorderOperations::addSession},
        {"AddSessionGroup", &RecorderOperations::addSessionGroup},
        {"StartRecording", &RecorderOperations::startRecording},
        {"FinalizeRecording", &RecorderOperations::finalizeRecording},
    };
    auto it = handlers.find(call.method());
    if (it == handlers.end()) throw SoapFault("the recorder service has no method " + call.method());
    return (this->*(it->second))(call);
}

std::string RecorderOperations::loginAnswer(const SoapCall& call, const std::string& userName, bool success) {
    const std::string base = state_.baseUrl();
    const std::string version = call.text("recorderVersion").value_or("");
    const bool supported = recorderVersionSupported(version, minRecorderVersion_);
    // Only a login that lets the recorder in counts for a later cookie login.
    if (success && supported) state_.rememberLogin(userName);
    core::logf("%s %s: %s%s", call.method().c_str(), userName.c_str(), success ? "logged in" : "refused",
               supported ? "" : ", recorder version not supported");
    return soapResponse(call.method(), [&](XmlWriter& w) {
        w.boolean("LoginSuccess", success);
        w.boolean("RecorderIsSupported", supported);
        if (supported)
            w.empty("RecorderDownloadUrl");
        else
            w.leaf("RecorderDownloadUrl", base + kRecorderDownloadPath);
        w.element("RuntimeConfig", [&](XmlWriter& c) {
            c.leaf("DataReceiverEndpoint", base + "/Orvanta/services/DataReceiver.svc");
            c.leaf("WebReceiverEndpoint", base + "/Orvanta/services/WebReceiver.svc");
            c.leaf("ServerTime", serverTimeText());
            c.leaf("StreamingBase", base + "/Orvanta/Streaming/");
            c.leaf("RecorderVersion", version);
            c.boolean("SupportsHeadless", true);
            c.boolean("SupportsDV", true);
            c.boolean("CanCreateSessionGroups", true);
        });
        w.empty("DataXML");
        w.boolean("IsLockedOut", false);
    });
}

std::string RecorderOperations::loginWithPassword(const SoapCall& call) {
    const std::string name = call.requiredText("user");
    const auto password = service::decryptPassword(call.requiredText("pass"));
    const auto user = state_.user(name);
    return loginAnswer(call, name, user && password && *password == user->password);
}

std::string RecorderOperations::loginWithCookie(const SoapCall& call) {
    const std::string name = call.requiredText("username");
    return loginAnswer(call, name, state_.loggedInBefore(name));
}

std::string RecorderOperations::loginWithOAuth(const SoapCall& call) {
    OAuthIdentity id;
    bool ok = parseOAuthUri(call.requiredText("uri"), id);
    if (ok) ok = state_.user(id.loginName).has_value();
    if (ok && id.consumerKey != "orvantainternal") ok = state_.hasProvider(id.consumerKey);
    return loginAnswer(call, id.loginName, ok);
}

std::string RecorderOperations::getExternalProviders(const SoapCall& call) {
    const auto providers = state_.providers();
    return soapResponse(call.method(), [&](XmlWriter& w) {
        for (const auto& p : providers)
            w.element("LessonBeamMembershipProvider", [&](XmlWriter& e) {
                e.leaf("Name", p.name);
                e.leaf("Description", p.description);
            });
    });
}

std::string RecorderOperations::getSessionGroups(const SoapCall& call) {
    const auto folders = state_.folders();
    return soapResponse(call.method(), [&](XmlWriter& w) {
        for (const auto& f : folders) writeFolder(w, f);
    });
}

std::string RecorderOperations::getSessions(const SoapCall& call) {
    const xmlNode* ids = call.param("sessionIDs");
    if (!ids) throw SoapFault("GetSessions: parameter sessionIDs is missing");
    std::vector<Session> sessions;
    for (const xmlNode* guid : childElements(ids))
        if (auto s = state_.session(nodeText(guid))) sessions.push_back(std::move(*s));
    return soapResponse(call.method(), [&](XmlWriter& w) {
        for (const auto& s : sessions) writeSession(w, s);
    });
}

std::string RecorderOperations::addSession(const SoapCall& call) {
    const std::string folder = call.requiredText("sessionGroupID");
    const std::string name = call.requiredText("sessionName");
    auto session = state_.addSession(folder, name);
    if (!session) throw SoapFault("AddSession: there is no folder " + folder);
    core::logf("AddSession: \"%s\" (%s) in folder %s", name.c_str(), session->publicID.c_str(), folder.c_str());
    return soapResponse(call.method(), [&](XmlWriter& w) { writeSessionFields(w, *session); });
}

std::string RecorderOperations::addSessionGroup(const SoapCall& call) {
    const std::string name = call.requiredText("name");
    const bool added = !name.empty() && state_.addFolder(name);
    core::logf("AddSessionGroup: \"%s\" %s", name.c_str(), added ? "added" : "refused");
    return soapResponse(call.method(), [&](XmlWriter& w) { w.boolean("Success", added); });
}

std::string RecorderOperations::startRecording(const SoapCall& call) {
    const std::string sessionID = call.requiredText("guSessionID");
    std::string streams;
    if (const xmlNode* outer = call.param("streams")) {
        const xmlNode* inner = firstChildElement(outer, "streams");
        streams = nodeText(inner ? inner : outer);
    }
    if (!state_.startRecording(sessionID, streams)) throw SoapFault("StartRecording: there is no session " + sessionID);
    core::logf("StartRecording: session %s", sessionID.c_str());
    return soapEmptyResponse(call.method());
}

std::string RecorderOperations::finalizeRecording(const SoapCall& call) {
    const std::string text = call.requiredText("manifest");
    auto refuse = [&](const std::string& why) {
        core::logf("FinalizeRecording refused: %s", why.c_str());
        return soapResponse(call.method(), [](XmlWriter& w) { w.characters("false"); });
    };

    const auto doc = model::XmlDocument::parse(text);
    if (!doc) return refuse("the manifest is not well-formed XML");
    if (doc.get()->intSubset) return refuse("the manifest carries a document type declaration");
    const xmlNode* root = doc.root();
    if (!hasLocalName(root, "RecordingInfo")) return refuse("the manifest's root is not RecordingInfo");

    ManifestRecord record;
    record.recordingID = nodeText(firstChildElement(root, "PublicID"));
    const std::string sessionID = nodeText(firstChildElement(root, "SessionID"));
    auto canonical = state_.canonicalSessionID(sessionID);
    if (!canonical) return refuse("there is no session \"" + sessionID + "\"");
    if (!FileStore::isSafeComponent(record.recordingID))
        return refuse("the recording ID \"" + record.recordingID + "\" cannot name a file");
    record.sessionID = *canonical;
    collectAnnouncedFiles(root, record.files);

    const auto path = store_.root() / record.sessionID / (record.recordingID + ".manifest.xml");
    std::filesystem::create_directories(path.parent_path());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) throw SoapFault("FinalizeRecording: cannot write " + path.string(), false);
    }
    record.storedAt = path.string();
    core::logf("FinalizeRecording: recording %s in session %s announces %zu files", record.recordingID.c_str(),
               record.sessionID.c_str(), record.files.size());
    state_.addManifest(std::move(record));
    return soapResponse(call.method(), [](XmlWriter& w) { w.characters("true"); });
}

}  // namespace orvanta::devserver
