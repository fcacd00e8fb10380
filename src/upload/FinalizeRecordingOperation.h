#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/Error.h"
#include "core/Operation.h"
#include "core/RunLoop.h"
#include "service/RecorderService.h"
#include "upload/FinalizeRecordingOperationDelegate.h"

namespace orvanta::upload {

// Tells the server about a recording before its files are sent: creates the server session when the
// recording has none, waits until the delegate has rebuilt the manifest (which must name the
// session) and submits it with FinalizeRecording.
//
// Runs on an upload-queue thread; reports reach the delegate on the main thread (reportLoop). Every
// failure cancels the operation, so that the file upload depending on it does not run. Create it
// with std::make_shared.
//
// Errors it reports (domain "Orvanta"): 81 the session could not be created; 82 the recording could
// not be finalized, also when no new manifest came in time. An error caused by a failed service call
// carries that call's error as its innerError.
class FinalizeRecordingOperation : public core::Operation {
public:
    using ServiceFactory = std::function<std::unique_ptr<service::RecorderService>(const std::string& serverName)>;

    static constexpr int kManifestWaits = 6;
    static constexpr std::chrono::duration<double> kDefaultManifestWait{30.0};

    // manifestWait: the length of each of the kManifestWaits waits for the rebuilt manifest.
    FinalizeRecordingOperation(std::optional<std::string> manifest, bool shouldAddSession, std::string sessionName,
                               std::string folderId, std::string serverName, std::string recordingId,
                               core::RunLoop& reportLoop = core::RunLoop::main(),
                               std::chrono::duration<double> manifestWait = kDefaultManifestWait);
    ~FinalizeRecordingOperation() override;

    FinalizeRecordingOperationDelegate* delegate() const;
    // Must be set before the operation runs; not owned.
    void setDelegate(FinalizeRecordingOperationDelegate* delegate);

    // Hands over the (rebuilt) manifest; any thread.
    void setManifest(std::optional<std::string> manifest);
    std::optional<std::string> manifest() const;

    bool shouldAddSession() const { return shouldAddSession_; }
    const std::string& sessionName() const { return sessionName_; }
    const std::string& folderID() const { return folderID_; }
    const std::string& serverName() const { return serverName_; }
    const std::string& recordingId() const { return recordingId_; }

    // Replaces how service() makes its client (tests: other time-outs). Set before the run.
    void setServiceFactory(ServiceFactory factory);
    // A new recorder service client for serverName.
    std::unique_ptr<service::RecorderService> service();

    void main() override;
    bool addSessionWithService(service::RecorderService& service);
    void finalizeRecordingWithService(service::RecorderService& service);

private:
    std::shared_ptr<FinalizeRecordingOperation> self();
    template <typename Call>
    void report(const char* name, Call call);

    // Reports, delivered on the main thread.
    void completedForRecordingId(const std::string& recordingId);
    void failedToFinalizedRecording(const std::string& recordingId, const core::Error& error);
    void finalizedRecording(const std::string& recordingId);
    void failedToAddSessionforRecording(const std::string& recordingId, const core::Error& error);
    void addedSessionWithId(const std::optional<std::string>& sessionId, const std::string& recordingId);

    mutable std::mutex mutex_;  // the operation's lock: guards manifest_, delegate_ and factory_
    std::condition_variable manifestCondition_;
    FinalizeRecordingOperationDelegate* delegate_ = nullptr;
    std::optional<std::string> manifest_;
    const bool shouldAddSession_;
    const std::string sessionName_;
    const std::string folderID_;
    const std::string serverName_;
    const std::string recordingId_;
    core::RunLoop& reportLoop_;
    const std::chrono::duration<double> manifestWait_;
    ServiceFactory factory_;
    std::atomic<bool> mainStarted_{false};
};

}  // namespace orvanta::upload
