#include "devserver/State.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <stdexcept>

#include "core/Util.h"

namespace orvanta::devserver {

namespace {

using nlohmann::json;

// A text member, accepting the spelling given and its lower-case-initial form ("Name", "name").
std::optional<std::string> textMember(const json& object, const std::string& key) {
    std::string alt = key;
    alt[0] = static_cast<char>(std::islower(static_cast<unsigned char>(alt[0])) ? std::toupper(alt[0])
                                                                                 : std::tolower(alt[0]));
    for (const auto& k : {key, alt}) {
        auto it = object.find(k);
        if (it == object.end() || it->is_null()) continue;
        if (!it->is_string()) throw std::invalid_argument("\"" + k + "\" must be a text");
        return it->get<std::string>();
    }
    return std::nullopt;
}

const json& arrayMember(const json& object, const char* key) {
    static const json none = json::array();
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return none;
    if (!it->is_array()) throw std::invalid_argument(std::string("\"") + key + "\" must be a list");
    return *it;
}

void requireObject(const json& value, const char* what) {
    if (!value.is_object()) throw std::invalid_argument(std::string(what) + " must be an object");
}

}  // namespace

bool sameId(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string baseName(const std::string& path) {
    size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string sessionTimeText(std::chrono::system_clock::time_point t) {
    std::time_t secs = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
    return buf;
}

State::State(std::string baseUrl) : baseUrl_(std::move(baseUrl)) {}

void State::load(const json& data) {
    requireObject(data, "the data document");
    std::vector<User> users;
    for (const auto& u : arrayMember(data, "users")) {
        requireObject(u, "a user");
        User user;
        user.name = textMember(u, "name").value_or("");
        if (user.name.empty()) throw std::invalid_argument("a user needs a \"name\"");
        user.password = textMember(u, "password").value_or("");
        user.provider = textMember(u, "provider").value_or("");
        users.push_back(std::move(user));
    }
    std::vector<Provider> providers;
    for (const auto& p : arrayMember(data, "providers")) {
        requireObject(p, "a provider");
        Provider provider;
        provider.name = textMember(p, "Name").value_or("");
        if (provider.name.empty()) throw std::invalid_argument("a provider needs a \"Name\"");
        provider.description = textMember(p, "Description").value_or(provider.name);
        providers.push_back(std::move(provider));
    }

    std::lock_guard lock(mutex_);
    int nextId = 1;
    std::vector<Folder> folders;
    const std::string now = sessionTimeText(std::chrono::system_clock::now());
    for (const auto& f : arrayMember(data, "folders")) {
        requireObject(f, "a folder");
        Folder folder;
        folder.id = nextId++;
        folder.publicID = textMember(f, "publicID").value_or(core::stringWithUUID());
        folder.shortName = textMember(f, "shortName").value_or("");
        folder.longName = textMember(f, "longName").value_or(folder.shortName);
        if (folder.shortName.empty()) folder.shortName = folder.longName;
        if (auto it = f.find("isActive"); it != f.end() && it->is_boolean()) folder.isActive = it->get<bool>();
        for (const auto& s : arrayMember(f, "sessions")) {
            requireObject(s, "a session");
            Session session;
            session.id = nextId++;
            session.publicID = textMember(s, "publicID").value_or(core::stringWithUUID());
            session.longName = textMember(s, "longName").value_or("");
            session.folderPublicID = folder.publicID;
            session.startTime = textMember(s, "startTime").value_or(now);
            if (auto it = s.find("duration"); it != s.end() && it->is_number()) session.duration = it->get<double>();
            folder.sessions.push_back(std::move(session));
        }
        folders.push_back(std::move(folder));
    }
    users_ = std::move(users);
    providers_ = std::move(providers);
    folders_ = std::move(folders);
    nextId_ = nextId;
}

void State::loadDefaults() {
    load(json::parse(R"({
        "users": [{"name": "presenter", "password": "presenter", "provider": ""}],
        "providers": [],
        "folders": [
            {"publicID": "0A1B2C3D-0000-4000-8000-000000000001", "shortName": "PHYS101",
             "longName": "Physics 101",
             "sessions": [
                 {"publicID": "0A1B2C3D-0000-4000-8000-000000000011", "longName": "Lecture 1"},
                 {"publicID": "0A1B2C3D-0000-4000-8000-000000000012", "longName": "Lecture 2"}]},
            {"publicID": "0A1B2C3D-0000-4000-8000-000000000002", "shortName": "CHEM201",
             "longName": "Chemistry 201",
             "sessions": [
                 {"publicID": "0A1B2C3D-0000-4000-8000-000000000021", "longName": "Week 1"},
                 {"publicID": "0A1B2C3D-0000-4000-8000-000000000022", "longName": "Week 2"}]}]
    })"));
}

// ---- accounts

std::optional<User> State::user(const std::string& name) const {
    std::lock_guard lock(mutex_);
    for (const auto& u : users_)
        if (u.name == name) return u;
    return std::nullopt;
}

std::vector<User> State::users() const {
    std::lock_guard lock(mutex_);
    return users_;
}

std::vector<Provider> State::providers() const {
    std::lock_guard lock(mutex_);
    return providers_;
}

bool State::hasProvider(const std::string& name) const {
    std::lock_guard lock(mutex_);
    return std::any_of(providers_.begin(), providers_.end(), [&](const Provider& p) { return p.name == name; });
}

void State::rememberLogin(const std::string& name) {
    std::lock_guard lock(mutex_);
    loggedIn_.insert(name);
}

bool State::loggedInBefore(const std::string& name) const {
    std::lock_guard lock(mutex_);
    return loggedIn_.count(name) > 0;
}

// ---- folders and sessions

namespace {
// The session of that ID among the folders, const or not as the folders are.
template <typename Folders>
auto findSession(Folders& folders, const std::string& publicID) -> decltype(&folders.front().sessions.front()) {
    for (auto& f : folders)
        for (auto& s : f.sessions)
            if (sameId(s.publicID, publicID)) return &s;
    return nullptr;
}
}  // namespace

Folder* State::folderById(const std::string& publicID) {
    for (auto& f : folders_)
        if (sameId(f.publicID, publicID)) return &f;
    return nullptr;
}

Session* State::sessionById(const std::string& publicID) { return findSession(folders_, publicID); }

const Session* State::sessionById(const std::string& publicID) const { return findSession(folders_, publicID); }

Session State::withDeliveries(const Session& s) const {
    Session out = s;
    out.deliveries.clear();
    std::map<std::string, bool> announced;  // base name → closed
    bool finalized = false;
    for (const auto& m : manifests_) {
        if (!sameId(m.sessionID, s.publicID)) continue;
        finalized = true;
        for (const auto& f : m.files) announced.emplace(f.name, false);
    }
    if (!finalized) return out;

    // Media files travel under their own base name; slide files may not (images are renamed, a
    // zipped document loses its ".zip"), so closed files no announced name matches stand in for
    // announced files nothing matched.
    bool anyOpen = false;
    size_t closedUnmatched = 0;
    for (const auto& [k, rec] : files_) {
        if (!sameId(rec.sessionID, s.publicID)) continue;
        if (!rec.closed) {
            anyOpen = true;
            continue;
        }
        auto it = announced.find(baseName(rec.fileName));
        if (it != announced.end())
            it->second = true;
        else
            ++closedUnmatched;
    }
    const auto announcedOpen = static_cast<size_t>(
        std::count_if(announced.begin(), announced.end(), [](const auto& e) { return !e.second; }));
    const bool complete = !anyOpen && announcedOpen <= closedUnmatched;
    out.deliveries.push_back(
        {"default", complete ? "Completed" : "Processing", baseUrl_ + "/Orvanta/Viewer/Default.aspx?id=" + s.publicID});
    return out;
}

std::vector<Folder> State::folders() const {
    std::lock_guard lock(mutex_);
    std::vector<Folder> out = folders_;
    for (auto& f : out)
        for (auto& s : f.sessions) s = withDeliveries(s);
    return out;
}

std::optional<Session> State::session(const std::string& publicID) const {
    std::lock_guard lock(mutex_);
    const Session* s = sessionById(publicID);
    if (!s) return std::nullopt;
    return withDeliveries(*s);
}

std::optional<std::string> State::canonicalSessionID(const std::string& publicID) const {
    std::lock_guard lock(mutex_);
    const Session* s = sessionById(publicID);
    if (!s) return std::nullopt;
    return s->publicID;
}

std::optional<Session> State::addSession(const std::string& folderPublicID, const std::string& name) {
    std::lock_guard lock(mutex_);
    Folder* folder = folderById(folderPublicID);
    if (!folder) return std::nullopt;
    Session s;
    s.id = nextId_++;
    s.publicID = core::stringWithUUID();
    s.longName = name;
    s.folderPublicID = folder->publicID;
    s.startTime = sessionTimeText(std::chrono::system_clock::now());
    folder->sessions.push_back(s);
    return withDeliveries(s);
}

bool State::addFolder(const std::string& name) {
    std::lock_guard lock(mutex_);
    for (const auto& f : folders_)
        if (f.longName == name || f.shortName == name) return false;
    Folder folder;
    folder.id = nextId_++;
    folder.publicID = core::stringWithUUID();
    folder.shortName = name;
    folder.longName = name;
    folders_.push_back(std::move(folder));
    return true;
}

bool State::startRecording(const std::string& sessionID, std::string streams) {
    std::lock_guard lock(mutex_);
    Session* s = sessionById(sessionID);
    if (!s) return false;
    s->recording = true;
    s->streams = std::move(streams);
    return true;
}

// ---- manifests and files

void State::addManifest(ManifestRecord manifest) {
    std::lock_guard lock(mutex_);
    if (Session* s = sessionById(manifest.sessionID)) s->recording = false;
    auto same = [&](const ManifestRecord& m) {
        return sameId(m.recordingID, manifest.recordingID) && sameId(m.sessionID, manifest.sessionID);
    };
    manifests_.erase(std::remove_if(manifests_.begin(), manifests_.end(), same), manifests_.end());
    manifests_.push_back(std::move(manifest));
}

std::vector<ManifestRecord> State::manifests() const {
    std::lock_guard lock(mutex_);
    return manifests_;
}

std::optional<uint64_t> State::announcedLength(const std::string& sessionID, const std::string& name) const {
    std::lock_guard lock(mutex_);
    for (auto m = manifests_.rbegin(); m != manifests_.rend(); ++m) {
        if (!sameId(m->sessionID, sessionID)) continue;
        for (const auto& f : m->files)
            if (f.name == name && f.length) return f.length;
    }
    return std::nullopt;
}

std::string State::key(const std::string& sessionID, const std::string& fileName) const {
    return sessionID + '\n' + fileName;
}

void State::fileWritten(const std::string& sessionID, const std::string& fileName) {
    std::lock_guard lock(mutex_);
    auto [it, inserted] = files_.try_emplace(key(sessionID, fileName));
    FileRecord& rec = it->second;
    if (inserted) {
        rec.sessionID = sessionID;
        rec.fileName = fileName;
    }
    if (rec.closed) {
        rec.closed = false;
        rec.closeCalls = 0;
    }
}

std::optional<FileRecord> State::file(const std::string& sessionID, const std::string& fileName) const {
    std::lock_guard lock(mutex_);
    auto it = files_.find(key(sessionID, fileName));
    if (it == files_.end()) return std::nullopt;
    return it->second;
}

bool State::countUploadingAnswer(const std::string& sessionID, const std::string& fileName, int uploadingCount) {
    std::lock_guard lock(mutex_);
    auto it = files_.find(key(sessionID, fileName));
    if (it == files_.end() || it->second.closed || it->second.closeCalls >= uploadingCount) return false;
    ++it->second.closeCalls;
    return true;
}

void State::markClosed(const std::string& sessionID, const std::string& fileName) {
    std::lock_guard lock(mutex_);
    auto it = files_.find(key(sessionID, fileName));
    if (it != files_.end()) it->second.closed = true;
}

std::vector<FileRecord> State::files() const {
    std::lock_guard lock(mutex_);
    std::vector<FileRecord> out;
    for (const auto& [k, rec] : files_) out.push_back(rec);
    return out;
}

void State::countCall(const std::string& method) {
    std::lock_guard lock(mutex_);
    ++calls_[method];
}

std::map<std::string, uint64_t> State::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

}  // namespace orvanta::devserver
