// The upload controller's handling of its operations' reports: progress, completion, failures and
// the alerts that go with them.
#include "core/Log.h"
#include "model/FileUpload.h"
#include "model/Manifest.h"
#include "model/Stream.h"
#include "upload/UploadController.h"

namespace orvanta::upload {

namespace {

using ull = unsigned long long;

std::string alertMessage(const model::Recording& recording, const core::Error& error) {
    return error.localizedDescription() + " for recording \"" + recording.SessionName().value_or("") + "\"";
}

}  // namespace

// ---- progress and success

void UploadController::operationAddedSessionWithId(FinalizeRecordingOperation& op,
                                                   const std::optional<std::string>& sessionId,
                                                   const std::string& recordingId) {
    auto* info = infoForFinalizeOperation(op, recordingId);
    if (!info) {
        core::logf("%s no upload of recording %s", ORV_FUNC, recordingId.c_str());
        return;
    }
    auto recording = info->recording();
    if (sessionId) {
        recording->setValueForKey("SessionID", *sessionId);
        info->uploadOperation()->setSessionID(*sessionId);
        sessionIdToRecordingId_[*sessionId] = recordingId;
    }
    // The joined movie files exist now.
    uint64_t totalSize = 0;
    for (const auto& stream : recording->Streams()) {
        for (const auto& file : stream->Files()) {
            file->readFileSize();
            totalSize += file->totalSize();
        }
    }
    info->setTotalSize(totalSize);
    op.setManifest(model::manifestText(*recording));
    env_.saveManagedObjects();
}

void UploadController::operationFinalizedRecording(FinalizeRecordingOperation& op, const std::string& recordingId) {
    auto* info = infoForFinalizeOperation(op, recordingId);
    if (!info) return;
    info->recording()->setValueForKey("IsFinalized", true);
    env_.saveManagedObjects();
}

void UploadController::operationUploadedBytes(FileUploadOperation& op, uint64_t bytes, const std::string& file,
                                              const std::string& session) {
    auto* info = infoForUploadOperation(op, session);
    if (!info) return;
    auto recording = info->recording();
    if (recording->State() == model::kStatePostProcessing || recording->State() == model::kStateReady)
        recording->setState(model::kStateUploading);

    auto fileUpload = info->fileAt(file);
    if (!fileUpload) {
        core::logf("%s no file %s in the upload of session %s", ORV_FUNC, file.c_str(), session.c_str());
        return;
    }
    // A file sent again from its start reports less than it had: the total goes down with it.
    const uint64_t before = info->totalUploaded();
    const uint64_t size = info->totalSize();
    const uint64_t old = fileUpload->bytesUploaded();
    uint64_t total = bytes >= old ? before + (bytes - old) : (before > old - bytes ? before - (old - bytes) : 0);
    if (total > size) {
        core::logf("Upload operation reported that session %s has %llu bytes uploaded which exceeds its size %llu.",
                   session.c_str(), static_cast<ull>(total), static_cast<ull>(size));
        total = size;
    }
    info->setTotalUploaded(total);

    fileUpload->setBytesUploaded(bytes);
    if (bytes > fileUpload->totalSize()) {
        core::logf("Upload operation reported that file %s has %llu bytes uploaded which exceeds its size %llu.",
                   file.c_str(), static_cast<ull>(bytes), static_cast<ull>(fileUpload->totalSize()));
        fileUpload->setBytesUploaded(fileUpload->totalSize());
    }

    if (recording->State() != model::kStatePaused)
        recording->setUploadProgress(size == 0 ? 0.0f : static_cast<float>(total) / static_cast<float>(size));

    // About ten saves per upload, and one at the end.
    const uint64_t step = size < 1'000'000 ? 100'000 : size / 10;
    if (total == size || total / step != before / step) env_.saveManagedObjects();
}

void UploadController::operationClosedFile(FileUploadOperation& op, const std::string& file,
                                           const std::string& session) {
    auto* info = infoForUploadOperation(op, session);
    if (!info) return;
    auto recording = info->recording();
    for (const auto& stream : recording->Streams())
        for (const auto& f : stream->Files())
            if (f->localPath() == file) f->setValueForKey("isUploaded", true);
    if (recording->isUploaded()) {
        recording->setState(model::kStateUploadComplete);
        retries_.reset(recording->Guid().value_or(""));
    }
    env_.saveManagedObjects();
}

// ---- failures

void UploadController::recordFailure(const std::shared_ptr<model::Recording>& recording, int faultType,
                                     const core::Error& error) {
    recording->setValueForKey("FaultType", int64_t{faultType});
    recording->setValueForKey("FaultString", error.localizedDescription());
    recording->setState(model::kStateFailed);
    env_.saveManagedObjects();
    if (isTransientUploadFailure(error)) {
        std::weak_ptr<model::Recording> weak = recording;
        retries_.schedule(recording->Guid().value_or(""), [this, weak] { retryFired(weak); });
    }
}

void UploadController::retryFired(const std::weak_ptr<model::Recording>& weak) {
    auto recording = weak.lock();
    if (!recording) return;
    const std::string guid = recording->Guid().value_or("");
    if (recording->State() != model::kStateFailed || isUploading(guid)) {
        core::logf("%s recording %s is no longer waiting for a retry", ORV_FUNC, guid.c_str());
        return;
    }
    core::logf("%s retrying the upload of %s", ORV_FUNC, guid.c_str());
    startUpload(recording, false);
}

void UploadController::showModalAlert(const std::shared_ptr<model::Recording>& recording, const core::Error& error) {
    core::Alert alert;
    alert.style = core::Alert::Style::Warning;
    alert.messageText = alertMessage(*recording, error);
    alert.informativeText = error.failureReason;
    alert.buttons = {"OK"};
    env_.userInterface().runModalAlert(alert);
}

void UploadController::showRestartAlertForRecording(const std::shared_ptr<model::Recording>& recording,
                                                    const core::Error& error) {
    core::Alert alert;
    alert.style = core::Alert::Style::Warning;
    alert.messageText = alertMessage(*recording, error);
    alert.informativeText = error.failureReason;
    alert.buttons = {"Cancel", "Retry", "Upload from beginning"};
    std::weak_ptr<int> alive = alive_;
    env_.userInterface().showSheet(alert, [this, alive, recording](int returnCode) {
        if (alive.lock()) alertDidEnd(returnCode, recording);
    });
}

void UploadController::alertDidEnd(int returnCode, std::shared_ptr<model::Recording> recording) {
    if (!recording || (returnCode != 1 && returnCode != 2)) return;  // 0: "Cancel"
    auto action = [this, returnCode, recording] {
        if (returnCode == 2) {  // "Upload from beginning"
            for (const auto& stream : recording->Streams()) {
                for (const auto& file : stream->Files()) {
                    file->setBytesUploaded(0);
                    file->setValueForKey("isUploaded", false);
                }
            }
            recording->setUploadProgress(0.0f);
            env_.saveManagedObjects();
        }
        uploadRecording(recording);  // "Retry" too
    };
    const std::string guid = recording->Guid().value_or("");
    if (isUploading(guid))
        afterCleanup_[guid].push_back(std::move(action));
    else
        action();
}

void UploadController::operationFailedToAddSessionforRecording(FinalizeRecordingOperation& op,
                                                               const std::string& recordingId,
                                                               const core::Error& error) {
    auto* info = infoForFinalizeOperation(op, recordingId);
    if (!info) return;
    auto recording = info->recording();
    recordFailure(recording, model::kFaultSession, error);
    showModalAlert(recording, error);
}

void UploadController::operationFailedToFinalizedRecording(FinalizeRecordingOperation& op,
                                                           const std::string& recordingId, const core::Error& error) {
    auto* info = infoForFinalizeOperation(op, recordingId);
    if (!info) return;
    auto recording = info->recording();
    recordFailure(recording, model::kFaultSession, error);
    showModalAlert(recording, error);
}

void UploadController::operationFailedToInitializeUploadOfFile(FileUploadOperation& op,
                                                               const std::optional<std::string>&,
                                                               const std::string& session, const core::Error& error) {
    auto* info = infoForUploadOperation(op, session);
    if (!info) return;
    auto recording = info->recording();
    recordFailure(recording, model::kFaultFileUpload, error);
    showModalAlert(recording, error);
}

void UploadController::operationFailedToUploadBytesAtOffset(FileUploadOperation& op, uint64_t, const std::string&,
                                                            const std::string& session, const core::Error& error) {
    auto* info = infoForUploadOperation(op, session);
    if (!info) return;
    auto recording = info->recording();
    recordFailure(recording, model::kFaultFileUpload, error);
    showRestartAlertForRecording(recording, error);
}

void UploadController::operationFailedToCloseFile(FileUploadOperation& op, const std::string&,
                                                  const std::string& session, const core::Error& error) {
    // The operation sends such a file again by itself.
    auto answer = error.userInfo.find(core::kCloseFileResultKey);
    if (answer != error.userInfo.end() && answer->second == service::kCloseNotUploaded) return;
    auto* info = infoForUploadOperation(op, session);
    if (!info) return;
    auto recording = info->recording();
    recordFailure(recording, model::kFaultFileUpload, error);
    showRestartAlertForRecording(recording, error);
}

}  // namespace orvanta::upload
