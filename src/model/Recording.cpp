#include "model/Recording.h"

#include <filesystem>

#include "core/Log.h"
#include "core/Util.h"
#include "model/FileUpload.h"
#include "model/ManagedObjectContext.h"
#include "model/RecordingHost.h"
#include "model/Segment.h"
#include "model/SimpleSessionGroup.h"
#include "model/Stream.h"

namespace orvanta::model {

namespace {

const char* orNull(const std::optional<std::string>& s) { return s ? s->c_str() : "(null)"; }

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t pos = 0; (pos = text.find(from, pos)) != std::string::npos; pos += to.size())
        text.replace(pos, from.size(), to);
    return text;
}

bool isVideoTag(const std::optional<std::string>& tag) { return tag && (*tag == kTagCamera || *tag == kTagAudio); }

}  // namespace

Recording::~Recording() {
    if (stitchingOperation_) {
        stitchingOperation_->detachDelegate();
        stitchingOperation_->cancel();
    }
}

const core::Observable::DependencyTable& Recording::dependentKeys() const {
    static const DependencyTable table = {
        {"State", {"DetailedStatus", "isUploading", "isStitching", "RecordingLengthDisplay"}},
        {"uploadProgress", {"DetailedStatus", "isUploading"}},
        {"FaultString", {"DetailedStatus", "isUploading"}},
        {"ServerStatus", {"DetailedStatus", "ViewerLink", "ShareLink"}},
        {"ViewerUrl", {"DetailedStatus", "ViewerLink", "ShareLink"}},
        {"IsFinalized", {"DetailedStatus"}},
        {"SessionID", {"canUpload"}},
        {"Server", {"canUpload"}},
        {"SessionGroupName", {"folderDescription"}},
        {"Length", {"RecordingLengthDisplay"}},
    };
    return table;
}

std::vector<std::shared_ptr<Stream>> Recording::Streams() const { return related<Stream>("Streams"); }
std::vector<std::shared_ptr<Segment>> Recording::Segments() const { return related<Segment>("Segments"); }

bool Recording::loggedIn() const {
    auto* ctx = context();
    return ctx && ctx->host() && ctx->host()->isLoggedIn();
}

std::string Recording::RecordingPath() {
    auto folder = LocalFolder();
    if (!folder || folder->empty()) {
        auto* ctx = context();
        if (ctx && ctx->host()) {
            folder = ctx->host()->recordingDirectory();
            setValueForKey("LocalFolder", *folder);
        }
    }
    return (std::filesystem::path(folder.value_or("")) / Guid().value_or("")).string();
}

StyledText Recording::folderDescription() const {
    auto name = SessionGroupName();
    StyledText t;
    if (name && !name->empty()) {
        t.text = *name;
        return t;
    }
    t.text = "Offline Recording";
    t.color = StyledText::Color::Gray;
    t.systemFont = true;
    return t;
}

std::string Recording::RecordingLengthDisplay() const {
    std::string length = Length().value_or("");
    switch (State()) {
        case kStateRecording:
            return "Recording  " + length;
        case kStatePaused:
            return "Paused " + length;
        default:
            return "Stopped  " + length;
    }
}

std::string Recording::DetailedStatus() const {
    switch (State()) {
        case kStateStopped:
        case kStatePostProcessing:
            return "Post-Processing";
        case kStateReady:
            return "Offline Recording";
        case kStateUploading: {
            if (!loggedIn()) return "Uploading: Login to Continue";
            if (!IsFinalized()) return "Uploading (Sending Manifest)";
            char buf[64];
            std::snprintf(buf, sizeof buf, "Uploading (%1.2f%%)", static_cast<double>(uploadProgress_) * 100.0);
            return buf;
        }
        case kStatePaused:
            return loggedIn() ? "Upload Paused" : "Upload Paused: Login to Resume";
        case kStateUploadComplete: {
            auto status = ServerStatus();
            if (!status || *status == "Completed") return "Completed";
            return "Completed - " + *status;
        }
        case kStateFailed: {
            auto fault = FaultString();
            if (!fault || fault->empty()) return "Error: Unknown";
            return *fault;
        }
        default:
            return "";
    }
}

std::string Recording::ContentDescription() const {
    std::string text;
    auto append = [&text](const char* part) {
        if (!text.empty()) text += " + ";
        text += part;
    };
    if (auto video = VideoStream()) text = video->Description().value_or("");
    if (ScreenCaptureStream()) append("Screen");
    for (const auto& s : Streams()) {
        auto tag = s->Tag();
        if (tag == kTagPowerPoint) {
            append("PPT");
            break;
        }
        if (tag == kTagKeynote) {
            append("Keynote");
            break;
        }
    }
    return text.empty() ? "None" : text;
}

std::optional<StyledText> Recording::ViewerLink() const {
    auto url = ViewerUrl();
    if (ServerStatus() != "Completed" || !url) return std::nullopt;
    return StyledText{"View Online", StyledText::Color::Blue, *url, true, false};
}

std::optional<StyledText> Recording::ShareLink() const {
    auto url = ViewerUrl();
    if (ServerStatus() != "Completed" || !url) return std::nullopt;
    std::string share = replaceAll(*url, "/Recorder/AuthRedirect.aspx", "/Sessions/List.aspx") + "&modalPage=SessionShare";
    return StyledText{"Share", StyledText::Color::Blue, share, true, false};
}

bool Recording::isUploading() const { return State() == kStateUploading && loggedIn(); }

bool Recording::isUploaded() const {
    for (const auto& s : Streams())
        if (!s->isUploaded()) return false;
    return true;
}

bool Recording::canUpload() const {
    auto group = SessionGroupID();
    auto server = Server();
    int state = State();
    core::logf("canUpload? sessionGroupID=%s, server=%s, state=%d", orNull(group), orNull(server), state);
    if (!group || !server) return false;
    switch (state) {
        case kStateStopped:
        case kStatePostProcessing:
        case kStateReady:
        case kStateUploading:
        case kStatePaused:
            return true;
        case kStateFailed:
            return FaultTypeValue() != kFaultPostProcessing;
        default:
            return false;
    }
}

bool Recording::isStitching() const { return State() == kStatePostProcessing; }

void Recording::setUploadProgress(float progress) {
    if (progress == uploadProgress_) return;
    uploadProgress_ = progress;
    changed("uploadProgress");
}

void Recording::setStitchingOperation(std::shared_ptr<StitchingOperationHandle> op) {
    stitchingOperation_ = std::move(op);
}

std::shared_ptr<Stream> Recording::VideoStream() const {
    for (const auto& s : Streams())
        if (isVideoTag(s->Tag())) return s;
    return nullptr;
}

std::shared_ptr<Stream> Recording::ScreenCaptureStream() const {
    for (const auto& s : Streams())
        if (s->Tag() == kTagScreen) return s;
    return nullptr;
}

void Recording::replaceStreams(const std::shared_ptr<Stream>& stream, bool video) {
    for (const auto& old : Streams()) {
        bool matches = video ? isVideoTag(old->Tag()) : old->Tag() == kTagScreen;
        if (!matches || old == stream) continue;
        removeFromMany("Streams", old);
        // A replaced stream belongs to nothing any more; its files on disk are left alone.
        if (context()) context()->deleteObject(old);
    }
    stream->setToOne("Recording", shared_from_this());
    auto* ctx = context();
    if (!ctx) return;
    auto file = ctx->insert<FileUpload>("FileUpload");
    file->setValueForKey("localPath", stream->FilePath());
    file->setValueForKey("remotePath", stream->FileName());
    file->setValueForKey("destination", int64_t{1});
    stream->addToMany("Files", file);
}

void Recording::setVideoStream(const std::shared_ptr<Stream>& stream) {
    stream->setValueForKey("Type", std::string(kTypeArchival));
    replaceStreams(stream, true);
}

void Recording::setScreenCaptureStream(const std::shared_ptr<Stream>& stream) {
    stream->setValueForKey("Tag", std::string(kTagScreen));
    stream->setValueForKey("Type", std::string(kTypeStreaming));
    stream->setValueForKey("Description", std::string("Screen Capture"));
    replaceStreams(stream, false);
}

void Recording::setSession(const ManagedObject& session, const SimpleSessionGroup& group, const std::string& server) {
    auto oldName = SessionName();
    auto oldId = SessionID();
    auto name = session.stringValue("longName");
    auto id = session.stringValue("publicID");
    core::logf("Setting session name %s %s", orNull(name), __PRETTY_FUNCTION__);
    core::logf("Setting sessionID %s", orNull(id));
    core::logf("Session name was %s", orNull(oldName));
    core::logf("Session id was %s", orNull(oldId));
    setValueForKey("SessionID", id ? Value{*id} : Value{});
    auto groupId = session.stringValue("sessionGroupPublicID");
    setValueForKey("SessionGroupID", groupId ? Value{*groupId} : Value{});
    setValueForKey("SessionName", name ? Value{*name} : Value{});
    setValueForKey("SessionGroupName", group.displayName());
    setValueForKey("Server", server);
}

void Recording::setSessionName(const std::string& name, const SimpleSessionGroup* group, const std::string& server) {
    auto oldName = SessionName();
    auto oldId = SessionID();
    core::logf("Setting session name %s %s", name.c_str(), __PRETTY_FUNCTION__);
    core::logf("Setting sessionID nil");
    core::logf("Session name was %s", orNull(oldName));
    core::logf("Session id was %s", orNull(oldId));
    setValueForKey("SessionName", name);
    setValueForKey("SessionID", Value{});
    if (group) {
        auto groupId = group->stringValue("publicID");
        setValueForKey("SessionGroupID", groupId ? Value{*groupId} : Value{});
        setValueForKey("SessionGroupName", group->displayName());
        setValueForKey("Server", server);
    }
}

void Recording::updateAttributes(const std::map<std::string, Value>& attributes) {
    for (const auto& [key, value] : attributes) setValueForKey(key, value);
    if (auto* ctx = context(); ctx && ctx->host()) ctx->host()->saveManagedObjects();
}

std::vector<FileInformation> Recording::fileInformation() {
    std::vector<FileInformation> info;
    auto streams = Streams();
    info.reserve(streams.size());
    for (const auto& s : streams) {
        for (const auto& f : s->Files()) {
            f->readFileSize();
            if (f->bytesUploaded() > f->totalSize()) {
                core::logf("Warning: File info object reports %llu bytes uploaded, this exceeds file size (%llu).  "
                           "Reseting bytesUploaded to file size",
                           static_cast<unsigned long long>(f->bytesUploaded()),
                           static_cast<unsigned long long>(f->totalSize()));
                f->setBytesUploaded(f->totalSize());
            }
            info.push_back(f->fileInformation());
        }
    }
    return info;
}

void Recording::updateUploadProgress() {
    double total = 0, uploaded = 0;
    for (const auto& s : Streams())
        for (const auto& f : s->Files()) {
            f->readFileSize();
            total += static_cast<double>(f->totalSize());
            uploaded += static_cast<double>(f->bytesUploaded());
        }
    setUploadProgress(total == 0 ? 0.0f : static_cast<float>(uploaded / total));
}

void Recording::stopUploading() {
    if (stitchingOperation_ && !stitchingOperation_->isFinished()) {
        stitchingOperation_->detachDelegate();
        stitchingOperation_->cancel();
    }
    if (auto* ctx = context(); ctx && ctx->host())
        ctx->host()->pauseUploadForRecording(std::static_pointer_cast<Recording>(shared_from_this()));
}

void Recording::deleteFiles() {
    // Never remove more than the recording's own folder: without a usable Guid the path would be
    // the folder that holds every recording.
    auto guid = Guid();
    if (!guid || guid->empty() || *guid == "." || *guid == ".." || guid->find('/') != std::string::npos) {
        core::logf("%s refusing to delete files of a recording without a valid Guid", __PRETTY_FUNCTION__);
        return;
    }
    std::error_code ec;
    std::filesystem::remove_all(RecordingPath(), ec);
}

void Recording::awakeFromInsert() {
    setValueForKey("Guid", core::stringWithUUID());
    std::error_code ec;
    std::filesystem::create_directories(RecordingPath(), ec);
    onAwake();
}

void Recording::awakeFromFetch() { onAwake(); }

void Recording::onAwake() {
    auto* ctx = context();
    RecordingHost* host = ctx ? ctx->host() : nullptr;
    if (host) {
        std::weak_ptr<ManagedObject> weak = weak_from_this();
        loginObservation_ = host->observeLoggedIn([weak, host](bool loggedIn) {
            auto self = std::static_pointer_cast<Recording>(weak.lock());
            if (!self) return;
            if (loggedIn && self->State() == kStateUploading) {
                host->performOnMainThread([self, host] { host->uploadRecording(self); }, false);
            } else if (!loggedIn) {
                self->stopUploading();
            }
        });
    }
    updateUploadProgress();
    int state = State();
    if (host && (state == kStateStopped || state == kStatePostProcessing))
        host->stitchFiles(std::static_pointer_cast<Recording>(shared_from_this()));
}

void Recording::willTurnIntoFault() {
    core::logf("Recording willTurnIntoFault");
    loginObservation_.reset();
}

}  // namespace orvanta::model
