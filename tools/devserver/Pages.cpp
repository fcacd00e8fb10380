#include "devserver/Pages.h"

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "core/Util.h"
#include "devserver/FileStore.h"
#include "devserver/SoapWriter.h"
#include "devserver/State.h"

namespace orvanta::devserver {

namespace {

constexpr const char* kHtml = "text/html; charset=utf-8";
// Files larger than this are listed without their MD5 (reading them would stall the answer).
constexpr uint64_t kLargestHashedFile = 256ull << 20;

// A JavaScript string literal safe inside a <script> element.
std::string scriptString(const std::string& text) {
    std::string literal = nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::string out;
    for (char c : literal) {
        if (c == '<')
            out += "\\u003c";
        else
            out += c;
    }
    return out;
}

std::string page(const std::string& title, const std::string& body, const std::string& script = {}) {
    std::string out = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + escapeText(title) + "</title>";
    if (!script.empty()) out += "<script>" + script + "</script>";
    out += "</head><body>" + body + "</body></html>\n";
    return out;
}

// The login page of an identity provider. The recorder evaluates getUserInfo() once the page has
// loaded: "user\npassword" of the provider's first user, or "" when the provider has none.
void serveProviderLogin(const State& state, const httplib::Request& req, httplib::Response& res) {
    const std::string instance = req.get_param_value("instance");
    std::string info;
    for (const auto& u : state.users())
        if (!instance.empty() && u.provider == instance) {
            info = u.name + "\n" + u.password;
            break;
        }
    const std::string body = info.empty() ? "<p>No account for provider \"" + escapeText(instance) + "\".</p>"
                                          : "<p>Signed in with \"" + escapeText(instance) + "\".</p>";
    res.set_content(page("Sign in", body, "function getUserInfo() { return " + scriptString(info) + "; }"), kHtml);
}

// Closes a descriptor when the last answer piece that reads from it is gone.
struct SharedFd {
    explicit SharedFd(int f) : fd(f) {}
    ~SharedFd() {
        if (fd >= 0) ::close(fd);
    }
    SharedFd(const SharedFd&) = delete;
    SharedFd& operator=(const SharedFd&) = delete;
    int fd;
};

}  // namespace

void addPages(httplib::Server& server, const State& state) {
    auto login = [&state](const httplib::Request& req, httplib::Response& res) { serveProviderLogin(state, req, res); };
    server.Get("/Orvanta/Pages/Auth/Login.aspx", login);
    server.Get("/Orvanta/Pages/Recorder/ExternalLogin.aspx", login);

    server.Get("/Orvanta/Viewer/Default.aspx", [&state](const httplib::Request& req, httplib::Response& res) {
        const std::string id = req.get_param_value("id");
        auto session = state.session(id);
        if (!session) {
            res.status = 404;
            res.set_content(page("Not found", "<p>No session \"" + escapeText(id) + "\".</p>"), kHtml);
            return;
        }
        std::string status = session->deliveries.empty() ? "No recording" : session->deliveries.front().status;
        res.set_content(page(session->longName, "<h1>" + escapeText(session->longName) + "</h1><p>" +
                                                    escapeText(status) + "</p>"),
                        kHtml);
    });
    server.Get("/Orvanta/Pages/Recorder/AuthRedirect.aspx", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(page("Recordings", "<p>Recordings of this server.</p>"), kHtml);
    });
}

void addAdminRoutes(httplib::Server& server, const State& state, const FileStore& store) {
    server.Get("/devserver/state", [&state, &store](const httplib::Request&, httplib::Response& res) {
        using nlohmann::json;
        json doc;
        doc["storage"] = store.root().string();
        json sessions = json::array();
        for (const auto& f : state.folders()) {
            for (const auto& s : f.sessions) {
                json deliveries = json::array();
                for (const auto& d : s.deliveries)
                    deliveries.push_back({{"Identifier", d.identifier}, {"Status", d.status}, {"Url", d.url}});
                sessions.push_back({{"publicID", s.publicID},
                                    {"longName", s.longName},
                                    {"folder", f.publicID},
                                    {"folderName", f.longName},
                                    {"recording", s.recording},
                                    {"streams", s.streams},
                                    {"deliveries", deliveries}});
            }
        }
        doc["sessions"] = sessions;
        json files = json::array();
        for (const auto& rec : state.files()) {
            json entry = {{"session", rec.sessionID}, {"name", rec.fileName}, {"closed", rec.closed}};
            auto path = store.pathFor(rec.sessionID, rec.fileName);
            std::optional<uint64_t> size;
            if (path) size = FileStore::sizeOf(*path);
            entry["size"] = size.has_value() ? json(size.value()) : json(nullptr);
            std::optional<std::string> md5;
            if (size.has_value() && size.value() <= kLargestHashedFile) md5 = FileStore::md5Hex(*path);
            entry["md5"] = md5 ? json(*md5) : json(nullptr);
            files.push_back(entry);
        }
        doc["files"] = files;
        json manifests = json::array();
        for (const auto& m : state.manifests()) {
            json announced = json::array();
            for (const auto& f : m.files)
                announced.push_back({{"name", f.name}, {"length", f.length ? json(*f.length) : json(nullptr)}});
            manifests.push_back(
                {{"session", m.sessionID}, {"recording", m.recordingID}, {"path", m.storedAt}, {"files", announced}});
        }
        doc["manifests"] = manifests;
        doc["calls"] = state.calls();
        res.set_content(doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n", "application/json");
    });

    // A plain upload of one body, stored as <storage>/sink/<name> and hashed as the receiver hashes
    // its chunks: what a bulk HTTP client achieves against this server, for comparisons.
    server.Post(R"(/devserver/sink/([A-Za-z0-9._-]+))", [&store](const httplib::Request& req, httplib::Response& res,
                                                                 const httplib::ContentReader& reader) {
        auto path = store.root() / "sink" / std::string(req.matches[1]);
        std::filesystem::create_directories(path.parent_path());
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            res.status = 500;
            return;
        }
        auto file = std::make_shared<SharedFd>(fd);
        core::Md5 md5;
        uint64_t offset = 0;
        bool ok = reader([&](const char* data, size_t length) {
            md5.update(std::string_view(data, length));
            ssize_t n = ::pwrite(file->fd, data, length, static_cast<off_t>(offset));
            if (n != static_cast<ssize_t>(length)) return false;
            offset += length;
            return true;
        });
        res.status = ok ? 200 : 500;
        res.set_content(core::encodeBase64(md5.final()) + "\n", "text/plain");
    });

    server.Get(R"(/devserver/files/([^/]+)/(.+))", [&store](const httplib::Request& req, httplib::Response& res) {
        auto path = store.pathFor(req.matches[1], req.matches[2]);
        auto size = path ? FileStore::sizeOf(*path) : std::nullopt;
        int fd = size ? ::open(path->c_str(), O_RDONLY | O_CLOEXEC) : -1;
        if (fd < 0) {
            res.status = 404;
            res.set_content("no such file\n", "text/plain");
            return;
        }
        auto file = std::make_shared<SharedFd>(fd);
        res.set_content_provider(
            static_cast<size_t>(*size), "application/octet-stream",
            [file](size_t offset, size_t length, httplib::DataSink& sink) {
                std::vector<char> buf(std::min<size_t>(length, 1 << 20));
                ssize_t n = ::pread(file->fd, buf.data(), buf.size(), static_cast<off_t>(offset));
                if (n <= 0) return false;
                sink.write(buf.data(), static_cast<size_t>(n));
                return true;
            });
    });
}

}  // namespace orvanta::devserver
