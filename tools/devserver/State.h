#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace orvanta::devserver {

struct User {
    std::string name;
    std::string password;
    std::string provider;  // "" for the server's own accounts
};

struct Provider {
    std::string name;
    std::string description;
};

struct Delivery {
    std::string identifier;
    std::string status;
    std::string url;
};

struct Session {
    int id = 0;
    std::string publicID;
    std::string longName;
    std::string folderPublicID;
    std::string startTime;  // "YYYY-MM-DD HH:MM:SS +0000"
    double duration = 0;
    bool recording = false;
    std::string streams;  // the stream descriptions StartRecording announced, as sent
    std::vector<Delivery> deliveries;  // filled in by the snapshot accessors
};

struct Folder {
    int id = 0;
    std::string publicID;
    std::string shortName;
    std::string longName;
    bool isActive = true;
    std::vector<Session> sessions;
};

// A file a finalized manifest announces: its base name and, for media and slide files, its length.
struct AnnouncedFile {
    std::string name;
    std::optional<uint64_t> length;
};

struct ManifestRecord {
    std::string recordingID;
    std::string sessionID;
    std::string storedAt;
    std::vector<AnnouncedFile> files;
};

// Upload bookkeeping of one received file.
struct FileRecord {
    std::string sessionID;
    std::string fileName;
    int closeCalls = 0;  // "Uploading" answers given since the last write
    bool closed = false;
};

// Everything the server knows, in memory, guarded by one mutex. Accessors hand out copies.
class State {
public:
    // `baseUrl` is "http://127.0.0.1:<port>", used for delivery addresses.
    explicit State(std::string baseUrl);

    // Replaces users, providers and folders with those of a data document (see the server's
    // usage). Throws std::invalid_argument describing what is wrong with it.
    void load(const nlohmann::json& data);
    // One user "presenter" (password "presenter") and two folders of two sessions each.
    void loadDefaults();

    const std::string& baseUrl() const { return baseUrl_; }

    // ---- accounts
    std::optional<User> user(const std::string& name) const;
    std::vector<User> users() const;
    std::vector<Provider> providers() const;
    bool hasProvider(const std::string& name) const;
    void rememberLogin(const std::string& name);
    bool loggedInBefore(const std::string& name) const;

    // ---- folders and sessions (with their deliveries computed)
    std::vector<Folder> folders() const;
    std::optional<Session> session(const std::string& publicID) const;
    // A new session in the folder, or none when there is no such folder.
    std::optional<Session> addSession(const std::string& folderPublicID, const std::string& name);
    // False when a folder of that name exists already.
    bool addFolder(const std::string& name);
    // False for an unknown session.
    bool startRecording(const std::string& sessionID, std::string streams);
    // The session's own publicID spelling, or none.
    std::optional<std::string> canonicalSessionID(const std::string& publicID) const;

    // ---- manifests and files
    // Replaces an earlier manifest of the same recording.
    void addManifest(ManifestRecord manifest);
    std::vector<ManifestRecord> manifests() const;
    // The length the latest manifest of the session announces for a file of that base name.
    std::optional<uint64_t> announcedLength(const std::string& sessionID, const std::string& baseName) const;

    // A chunk was written: the file is known (and open again if it had been closed).
    void fileWritten(const std::string& sessionID, const std::string& fileName);
    std::optional<FileRecord> file(const std::string& sessionID, const std::string& fileName) const;
    // Counts one "Uploading" answer when fewer than `uploadingCount` were given since the last
    // write; true when it did (the caller answers "Uploading").
    bool countUploadingAnswer(const std::string& sessionID, const std::string& fileName, int uploadingCount);
    void markClosed(const std::string& sessionID, const std::string& fileName);
    std::vector<FileRecord> files() const;

    // ---- how often each operation was asked for
    void countCall(const std::string& method);
    std::map<std::string, uint64_t> calls() const;

private:
    Session withDeliveries(const Session& s) const;  // mutex held
    Folder* folderById(const std::string& publicID);
    Session* sessionById(const std::string& publicID);
    const Session* sessionById(const std::string& publicID) const;
    std::string key(const std::string& sessionID, const std::string& fileName) const;

    mutable std::mutex mutex_;
    std::string baseUrl_;
    std::vector<User> users_;
    std::vector<Provider> providers_;
    std::vector<Folder> folders_;
    std::set<std::string> loggedIn_;
    std::vector<ManifestRecord> manifests_;
    std::map<std::string, FileRecord> files_;
    std::map<std::string, uint64_t> calls_;
    int nextId_ = 1;
};

// The GUID comparison the server uses: ASCII case does not matter.
bool sameId(const std::string& a, const std::string& b);

// The last path component of a name written with "/" or "\" separators.
std::string baseName(const std::string& path);

// "YYYY-MM-DD HH:MM:SS +0000" for a moment.
std::string sessionTimeText(std::chrono::system_clock::time_point t);

}  // namespace orvanta::devserver
