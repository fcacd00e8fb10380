#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Error.h"
#include "core/Observable.h"
#include "model/Recording.h"
#include "service/UploadService.h"
#include "upload/FileUploadOperation.h"
#include "upload/FileUploadOperationDelegate.h"
#include "upload/FinalizeRecordingOperation.h"
#include "upload/FinalizeRecordingOperationDelegate.h"
#include "upload/UploadEnvironment.h"
#include "upload/UploadInfo.h"
#include "upload/UploadRetryScheduler.h"

namespace orvanta::upload {

// The single owner of all running uploads. Given a stored recording it builds the chain of
// background work (wait for a pending movie join, create the session and finalize, upload the
// files), queues it on the upload queue, and turns the operations' reports into changes of the
// stored recording: state, fault, progress, per-file progress and completion. It defers uploads
// while a capture runs and resumes them afterwards, offers a retry or a restart when an upload
// fails, and retries by itself uploads that failed because the network or the server was down
// (UploadRetryScheduler). Main thread only.
class UploadController : public FileUploadOperationDelegate, public FinalizeRecordingOperationDelegate {
public:
    // Values the application leaves at their defaults; tests shorten the waits or put stand-ins in
    // place of the service clients.
    struct Options {
        double pollingInterval = 60.0;  // between close requests while the server assembles a file
        std::chrono::duration<double> manifestWait = FinalizeRecordingOperation::kDefaultManifestWait;
        RetryPolicy retryPolicy;
        // Makes the receiver client for an endpoint; empty: service::UploadService.
        std::function<std::unique_ptr<service::IUploadService>(const std::string& endpoint)> uploadServiceFactory;
        // Makes the recorder service client of finalize operations; empty: service::RecorderService.
        FinalizeRecordingOperation::ServiceFactory recorderServiceFactory;
    };

    // Throws core::InternalInconsistency when another controller exists.
    explicit UploadController(UploadEnvironment& environment);
    ~UploadController() override;
    UploadController(const UploadController&) = delete;
    UploadController& operator=(const UploadController&) = delete;

    // The live controller, or null when none exists.
    static UploadController* instance();

    const Options& options() const { return options_; }
    void setOptions(Options options);

    // Starts an upload of the recording, or defers it while a capture runs.
    void uploadRecording(std::shared_ptr<model::Recording> recording);
    // Cancels the recording's operations, if it has an upload. Throws std::invalid_argument for null.
    void pauseUploadForRecording(std::shared_ptr<model::Recording> recording);

    bool isUploading(const std::string& guid) const;
    bool hasPendingRetry(const std::string& guid) const;
    void cancelPendingRetries();
    // The running upload of a recording, or null.
    const UploadInfo* uploadInfoForRecording(const std::string& guid) const;
    const std::vector<std::shared_ptr<model::Recording>>& pausedRecordings() const { return pausedRecordings_; }

    // Emitted with the recording's Guid whenever an upload's entry is removed (after success,
    // failure or cancellation).
    core::Signal<std::string> uploadEnded;

    // New operations for the recording, not yet queued.
    std::shared_ptr<FileUploadOperation> uploadOperationForRecording(model::Recording& recording);
    std::shared_ptr<FinalizeRecordingOperation> finalizeOperationForRecording(model::Recording& recording);

    // FileUploadOperationDelegate
    void fileUploadOperationCompleted(FileUploadOperation& op, const std::string& sessionId) override;
    void operationFailedToInitializeUploadOfFile(FileUploadOperation& op, const std::optional<std::string>& file,
                                                 const std::string& session, const core::Error& error) override;
    void operationFailedToCloseFile(FileUploadOperation& op, const std::string& file, const std::string& session,
                                    const core::Error& error) override;
    void operationClosedFile(FileUploadOperation& op, const std::string& file, const std::string& session) override;
    void operationFailedToUploadBytesAtOffset(FileUploadOperation& op, uint64_t offset, const std::string& file,
                                              const std::string& session, const core::Error& error) override;
    void operationUploadedBytes(FileUploadOperation& op, uint64_t bytes, const std::string& file,
                                const std::string& session) override;

    // FinalizeRecordingOperationDelegate
    void finalizeRecordingOerationCompleted(FinalizeRecordingOperation& op, const std::string& recordingId) override;
    void operationFailedToFinalizedRecording(FinalizeRecordingOperation& op, const std::string& recordingId,
                                             const core::Error& error) override;
    void operationFinalizedRecording(FinalizeRecordingOperation& op, const std::string& recordingId) override;
    void operationFailedToAddSessionforRecording(FinalizeRecordingOperation& op, const std::string& recordingId,
                                                 const core::Error& error) override;
    void operationAddedSessionWithId(FinalizeRecordingOperation& op, const std::optional<std::string>& sessionId,
                                     const std::string& recordingId) override;

    // The end of the restart sheet: 0 "Cancel", 1 "Retry", 2 "Upload from beginning".
    void alertDidEnd(int returnCode, std::shared_ptr<model::Recording> recording);
    void showRestartAlertForRecording(const std::shared_ptr<model::Recording>& recording, const core::Error& error);
    void cleanupUploadInfoForRecording(const std::shared_ptr<model::Recording>& recording);

private:
    void startUpload(const std::shared_ptr<model::Recording>& recording, bool byHand);
    void recordingStateChanged(bool isRecording);
    // Re-reads the sizes of files not yet delivered; true when a known size has changed.
    bool refreshFileSizes(model::Recording& recording);
    UploadInfo* infoForUploadOperation(const FileUploadOperation& op, const std::string& session);
    UploadInfo* infoForFinalizeOperation(const FinalizeRecordingOperation& op, const std::string& recordingId);
    // Stores the failure, schedules an automatic retry when the network or server was at fault.
    void recordFailure(const std::shared_ptr<model::Recording>& recording, int faultType, const core::Error& error);
    void showModalAlert(const std::shared_ptr<model::Recording>& recording, const core::Error& error);
    void retryFired(const std::weak_ptr<model::Recording>& recording);

    UploadEnvironment& env_;
    Options options_;
    std::map<std::string, std::unique_ptr<UploadInfo>> recordingIdToRecording_;
    std::map<std::string, std::string> sessionIdToRecordingId_;
    std::vector<std::shared_ptr<model::Recording>> pausedRecordings_;
    // Answers of restart sheets given while the failed upload's entry was still there: they are
    // carried out once it is gone, so that "Retry" is never taken for a second call and ignored.
    std::map<std::string, std::vector<std::function<void()>>> afterCleanup_;
    UploadRetryScheduler retries_;
    core::Subscription recordingObservation_;
    // Held while the controller lives; sheets still open when it goes away check it.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace orvanta::upload
