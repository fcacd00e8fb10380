#include "upload/UploadController.h"

#include <filesystem>
#include <limits>
#include <stdexcept>

#include "core/Log.h"
#include "core/SettingsKeys.h"
#include "core/Util.h"
#include "model/FileUpload.h"
#include "model/Manifest.h"
#include "model/Stream.h"

namespace orvanta::upload {

namespace {

UploadController* gInstance = nullptr;  // the live controller, set while it exists

using ull = unsigned long long;

const char* orNull(const std::optional<std::string>& s) { return s ? s->c_str() : "(null)"; }

uint32_t settingAsUInt32(core::Settings& settings, const char* key) {
    int64_t value = settings.integerForKey(key);
    if (value < 0) return 0;
    if (value > std::numeric_limits<uint32_t>::max()) return std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(value);
}

// The movie-joining operation the recording still waits for, if any.
std::shared_ptr<core::Operation> pendingStitchingOperation(const model::Recording& recording) {
    const auto& handle = recording.stitchingOperation();
    if (!handle || handle->isFinished()) return nullptr;
    auto op = std::dynamic_pointer_cast<core::Operation>(handle);
    if (!op) core::logf("%s the pending joining operation cannot be waited for", ORV_FUNC);
    return op;
}

}  // namespace

UploadController::UploadController(UploadEnvironment& environment)
    : env_(environment), retries_(environment.mainLoop(), options_.retryPolicy) {
    if (gInstance) throw core::InternalInconsistency("an UploadController exists already");
    gInstance = this;
    recordingObservation_ = env_.observeIsRecording([this](bool recording) { recordingStateChanged(recording); });
}

UploadController::~UploadController() {
    recordingObservation_.reset();
    retries_.cancelAll();
    for (auto& [guid, info] : recordingIdToRecording_) info->detachOperations();
    recordingIdToRecording_.clear();
    sessionIdToRecordingId_.clear();
    pausedRecordings_.clear();
    afterCleanup_.clear();
    if (gInstance == this) gInstance = nullptr;
}

UploadController* UploadController::instance() { return gInstance; }

void UploadController::setOptions(Options options) {
    options_ = std::move(options);
    retries_.setPolicy(options_.retryPolicy);
}

bool UploadController::isUploading(const std::string& guid) const { return recordingIdToRecording_.count(guid) != 0; }

bool UploadController::hasPendingRetry(const std::string& guid) const { return retries_.hasPending(guid); }

void UploadController::cancelPendingRetries() { retries_.cancelAll(); }

const UploadInfo* UploadController::uploadInfoForRecording(const std::string& guid) const {
    auto it = recordingIdToRecording_.find(guid);
    return it == recordingIdToRecording_.end() ? nullptr : it->second.get();
}

// ---- building the operations

std::shared_ptr<FileUploadOperation> UploadController::uploadOperationForRecording(model::Recording& recording) {
    const std::string endpoint = env_.dataReceiverEndpoint();
    auto& settings = env_.settings();
    settings.setObjectIfAbsent(core::kMaxUploadRetriesKey, core::SettingValue(core::kDefaultMaxUploadRetries));
    settings.setObjectIfAbsent(core::kMaxCloseFileRetriesKey, core::SettingValue(core::kDefaultMaxCloseFileRetries));
    std::unique_ptr<service::IUploadService> service =
        options_.uploadServiceFactory ? options_.uploadServiceFactory(endpoint)
                                      : std::make_unique<service::UploadService>(endpoint);
    return std::make_shared<FileUploadOperation>(
        recording.SessionID().value_or(""), recording.fileInformation(),
        settingAsUInt32(settings, core::kMaxUploadRetriesKey), settingAsUInt32(settings, core::kMaxCloseFileRetriesKey),
        options_.pollingInterval, std::move(service), env_.mainLoop());
}

std::shared_ptr<FinalizeRecordingOperation> UploadController::finalizeOperationForRecording(model::Recording& recording) {
    auto op = std::make_shared<FinalizeRecordingOperation>(
        model::manifestText(recording), core::isNullOrEmpty(recording.SessionID()),
        recording.SessionName().value_or(""), recording.SessionGroupID().value_or(""),
        recording.Server().value_or(""), recording.Guid().value_or(""), env_.mainLoop(), options_.manifestWait);
    if (options_.recorderServiceFactory) op->setServiceFactory(options_.recorderServiceFactory);
    return op;
}

// ---- starting, pausing, resuming

void UploadController::uploadRecording(std::shared_ptr<model::Recording> recording) { startUpload(recording, true); }

void UploadController::startUpload(const std::shared_ptr<model::Recording>& recording, bool byHand) {
    core::logf("%s", ORV_FUNC);
    if (!recording) return;
    const std::string guid = recording->Guid().value_or("");
    if (byHand) retries_.reset(guid);

    if (env_.isRecording()) {
        core::logf("Cannot upload (%s) because we are recording.  Queue for later.", guid.c_str());
        pausedRecordings_.push_back(recording);
        return;
    }
    if (!recording->canUpload() || !env_.isLoggedIn()) return;
    if (recordingIdToRecording_.count(guid)) {
        core::logf("Already uploading %s (to session: %s), ignoring call to upload", guid.c_str(),
                   orNull(recording->SessionID()));
        return;
    }
    core::logf("%s recording=%s, session=%s (%s)", ORV_FUNC, guid.c_str(), orNull(recording->SessionName()),
               orNull(recording->SessionID()));

    auto info = std::make_unique<UploadInfo>();
    info->setRecording(recording);
    recording->setValueForKey("FaultString", model::Value{});

    auto stitching = pendingStitchingOperation(*recording);
    // Files that are complete on disk may have changed since their size was stored; a joined movie
    // still being written is measured once its session exists.
    if (!stitching && refreshFileSizes(*recording) && recording->IsFinalized()) {
        core::logf("The server's manifest of %s names other file sizes; sending it again", guid.c_str());
        recording->setValueForKey("IsFinalized", false);
    }

    auto upload = uploadOperationForRecording(*recording);
    upload->setDelegate(this);
    info->setUploadOperation(upload);

    std::shared_ptr<FinalizeRecordingOperation> finalize;
    if (!(recording->IsFinalized() && !core::isNullOrEmpty(recording->SessionID()))) {
        recording->setValueForKey("IsFinalized", false);
        finalize = finalizeOperationForRecording(*recording);
        finalize->setDelegate(this);
        upload->addDependency(finalize);
        info->setFinalizeOperation(finalize);
    }

    if (stitching) {
        upload->addDependency(stitching);
        if (finalize) finalize->addDependency(stitching);
    } else {
        recording->setState(model::kStateUploading);
    }

    uint64_t totalUploaded = 0, totalSize = 0;
    for (const auto& stream : recording->Streams()) {
        for (const auto& file : stream->Files()) {
            info->addFile(file);
            if (file->totalSize() == 0) file->readFileSize();
            totalUploaded += file->bytesUploaded();
            totalSize += file->totalSize();
        }
    }
    info->setTotalUploaded(totalUploaded);
    info->setTotalSize(totalSize);

    env_.saveManagedObjects();
    auto& queue = env_.uploadOperationQueue();
    if (finalize) queue.addOperation(finalize);
    queue.addOperation(upload);

    recordingIdToRecording_[guid] = std::move(info);
    if (auto session = recording->SessionID(); session && !session->empty()) sessionIdToRecordingId_[*session] = guid;
}

bool UploadController::refreshFileSizes(model::Recording& recording) {
    bool changed = false;
    for (const auto& stream : recording.Streams()) {
        for (const auto& file : stream->Files()) {
            if (file->isUploaded()) continue;
            std::error_code ec;
            const std::string path = file->localPath().value_or("");
            const uint64_t size = std::filesystem::file_size(path, ec);
            if (ec || size == file->totalSize()) continue;
            if (file->totalSize() != 0) {
                core::logf("File %s changed size from %llu to %llu bytes since it was last read", path.c_str(),
                           static_cast<ull>(file->totalSize()), static_cast<ull>(size));
                changed = true;
            }
            file->setTotalSize(size);
        }
    }
    return changed;
}

void UploadController::pauseUploadForRecording(std::shared_ptr<model::Recording> recording) {
    if (!recording) throw std::invalid_argument("cannot pass a nil recording");
    const std::string guid = recording->Guid().value_or("");
    retries_.reset(guid);
    auto it = recordingIdToRecording_.find(guid);
    if (it == recordingIdToRecording_.end()) return;
    if (const auto& finalize = it->second->finalizeOperation()) finalize->cancel();
    if (const auto& upload = it->second->uploadOperation()) upload->cancel();
}

void UploadController::recordingStateChanged(bool isRecording) {
    core::logf("%s", ORV_FUNC);
    if (isRecording) {
        core::logf("We are recording therefore we should cancel all uploads and wait until we stop recording to "
                   "resume them");
        std::vector<std::shared_ptr<model::Recording>> running;
        for (const auto& [guid, info] : recordingIdToRecording_) running.push_back(info->recording());
        for (const auto& recording : running) {
            pausedRecordings_.push_back(recording);
            pauseUploadForRecording(recording);
        }
    } else {
        core::logf("We are not recording therefore we should resume all uploads that were paused");
        while (!pausedRecordings_.empty()) {
            auto recording = pausedRecordings_.back();
            pausedRecordings_.pop_back();
            uploadRecording(recording);
        }
    }
}

// ---- clean-up

void UploadController::cleanupUploadInfoForRecording(const std::shared_ptr<model::Recording>& recording) {
    if (!recording) return;
    const std::string guid = recording->Guid().value_or("");
    auto it = recordingIdToRecording_.find(guid);
    if (it == recordingIdToRecording_.end()) return;
    // Operations still to come (a cancelled upload behind its finalize) have nobody to tell.
    it->second->detachOperations();
    recordingIdToRecording_.erase(it);
    if (auto session = recording->SessionID()) {
        auto s = sessionIdToRecordingId_.find(*session);
        if (s != sessionIdToRecordingId_.end() && s->second == guid) sessionIdToRecordingId_.erase(s);
    }
    // A sheet answered while the entry was there starts its upload now; listeners then already see it.
    if (auto pending = afterCleanup_.extract(guid))
        for (auto& action : pending.mapped()) action();
    uploadEnded.emit(guid);
}

UploadInfo* UploadController::infoForUploadOperation(const FileUploadOperation& op, const std::string& session) {
    if (auto s = sessionIdToRecordingId_.find(session); s != sessionIdToRecordingId_.end()) {
        auto it = recordingIdToRecording_.find(s->second);
        if (it != recordingIdToRecording_.end() && it->second->uploadOperation().get() == &op) return it->second.get();
    }
    // A session shared by two recordings, or a report of an upload that was replaced.
    for (const auto& [guid, info] : recordingIdToRecording_)
        if (info->uploadOperation().get() == &op) return info.get();
    return nullptr;
}

UploadInfo* UploadController::infoForFinalizeOperation(const FinalizeRecordingOperation& op,
                                                       const std::string& recordingId) {
    auto it = recordingIdToRecording_.find(recordingId);
    if (it == recordingIdToRecording_.end() || it->second->finalizeOperation().get() != &op) return nullptr;
    return it->second.get();
}

void UploadController::fileUploadOperationCompleted(FileUploadOperation& op, const std::string& sessionId) {
    if (auto* info = infoForUploadOperation(op, sessionId)) {
        auto recording = info->recording();
        cleanupUploadInfoForRecording(recording);
    }
}

void UploadController::finalizeRecordingOerationCompleted(FinalizeRecordingOperation& op,
                                                          const std::string& recordingId) {
    auto* info = infoForFinalizeOperation(op, recordingId);
    if (info && op.isCancelled()) {
        auto recording = info->recording();
        cleanupUploadInfoForRecording(recording);
    }
}

}  // namespace orvanta::upload
