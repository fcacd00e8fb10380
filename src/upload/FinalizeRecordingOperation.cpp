#include "upload/FinalizeRecordingOperation.h"

#include "core/Log.h"
#include "upload/OperationReports.h"

namespace orvanta::upload {

namespace {

void logException(const char* what, const core::OrvantaSoapException& e) {
    core::logf("%s%s: %s %s = %s", what, core::OrvantaSoapException::kName, e.what(), core::kInnerErrorKey,
               e.innerError().localizedDescription().c_str());
}

core::Error failure(long code, const char* description, const char* reason,
                    const std::optional<core::OrvantaSoapException>& caught) {
    core::Error error(core::kOrvantaErrorDomain, code, description, reason);
    if (caught) {
        error.with(core::kInnerExceptionKey, std::string(core::OrvantaSoapException::kName) + ": " + caught->what());
        error.withInner(caught->innerError());
    }
    return error;
}

}  // namespace

FinalizeRecordingOperation::FinalizeRecordingOperation(std::optional<std::string> manifest, bool shouldAddSession,
                                                       std::string sessionName, std::string folderId,
                                                       std::string serverName, std::string recordingId,
                                                       core::RunLoop& reportLoop,
                                                       std::chrono::duration<double> manifestWait)
    : manifest_(std::move(manifest)),
      shouldAddSession_(shouldAddSession),
      sessionName_(std::move(sessionName)),
      folderID_(std::move(folderId)),
      serverName_(std::move(serverName)),
      recordingId_(std::move(recordingId)),
      reportLoop_(reportLoop),
      manifestWait_(manifestWait) {
    name = "FinalizeRecordingOperation";
    // The queue finishes an operation cancelled before it started without running main; completion
    // is still reported then, so that the delegate always learns that the run is over.
    setCompletionBlock([this] {
        if (mainStarted_) return;
        core::logf("%s operation cancelled before it started", ORV_FUNC);
        completedForRecordingId(recordingId_);
    });
}

FinalizeRecordingOperation::~FinalizeRecordingOperation() = default;

FinalizeRecordingOperationDelegate* FinalizeRecordingOperation::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

void FinalizeRecordingOperation::setDelegate(FinalizeRecordingOperationDelegate* delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
}

void FinalizeRecordingOperation::setManifest(std::optional<std::string> manifest) {
    std::lock_guard lock(mutex_);
    manifest_ = std::move(manifest);
    manifestCondition_.notify_all();
}

std::optional<std::string> FinalizeRecordingOperation::manifest() const {
    std::lock_guard lock(mutex_);
    return manifest_;
}

void FinalizeRecordingOperation::setServiceFactory(ServiceFactory factory) {
    std::lock_guard lock(mutex_);
    factory_ = std::move(factory);
}

std::unique_ptr<service::RecorderService> FinalizeRecordingOperation::service() {
    ServiceFactory factory;
    {
        std::lock_guard lock(mutex_);
        factory = factory_;
    }
    // Result objects of our service client are detached, so no store context is involved here.
    if (factory) return factory(serverName_);
    return std::make_unique<service::RecorderService>(serverName_);
}

std::shared_ptr<FinalizeRecordingOperation> FinalizeRecordingOperation::self() {
    return std::static_pointer_cast<FinalizeRecordingOperation>(shared_from_this());
}

// ---- reports

template <typename Call>
void FinalizeRecordingOperation::report(const char* name, Call call) {
    FinalizeRecordingOperationDelegate* d = delegate();
    if (!d) {
        core::logf("%s no delegate", name);
        return;
    }
    deliverReport<FinalizeRecordingOperation, FinalizeRecordingOperationDelegate>(reportLoop_, self(), d,
                                                                                   std::move(call));
}

void FinalizeRecordingOperation::completedForRecordingId(const std::string& recordingId) {
    report(ORV_FUNC, [op = self(), recordingId](FinalizeRecordingOperationDelegate& d) {
        d.finalizeRecordingOerationCompleted(*op, recordingId);
    });
}

void FinalizeRecordingOperation::failedToFinalizedRecording(const std::string& recordingId, const core::Error& error) {
    report(ORV_FUNC, [op = self(), recordingId, error](FinalizeRecordingOperationDelegate& d) {
        d.operationFailedToFinalizedRecording(*op, recordingId, error);
    });
}

void FinalizeRecordingOperation::finalizedRecording(const std::string& recordingId) {
    report(ORV_FUNC, [op = self(), recordingId](FinalizeRecordingOperationDelegate& d) {
        d.operationFinalizedRecording(*op, recordingId);
    });
}

void FinalizeRecordingOperation::failedToAddSessionforRecording(const std::string& recordingId,
                                                                const core::Error& error) {
    report(ORV_FUNC, [op = self(), recordingId, error](FinalizeRecordingOperationDelegate& d) {
        d.operationFailedToAddSessionforRecording(*op, recordingId, error);
    });
}

void FinalizeRecordingOperation::addedSessionWithId(const std::optional<std::string>& sessionId,
                                                    const std::string& recordingId) {
    report(ORV_FUNC, [op = self(), sessionId, recordingId](FinalizeRecordingOperationDelegate& d) {
        d.operationAddedSessionWithId(*op, sessionId, recordingId);
    });
}

// ---- main

void FinalizeRecordingOperation::main() {
    mainStarted_ = true;
    for (const auto& dependency : dependencies()) {
        if (dependency->isCancelled()) {
            core::logf("%s dependency operation %s was cancelled", ORV_FUNC, dependency->name.c_str());
            completedForRecordingId(recordingId_);
            return;
        }
    }
    if (isCancelled()) {
        core::logf("%s operation cancelled before it started", ORV_FUNC);
    } else {
        core::logf("%s entering", ORV_FUNC);
        auto recorder = service();
        if (addSessionWithService(*recorder)) finalizeRecordingWithService(*recorder);
        core::logf("%s exiting", ORV_FUNC);
    }
    completedForRecordingId(recordingId_);
}

bool FinalizeRecordingOperation::addSessionWithService(service::RecorderService& recorder) {
    std::optional<std::string> sessionId;
    if (shouldAddSession_) {
        core::logf("Adding a new session with name %s", sessionName_.c_str());
        std::optional<core::OrvantaSoapException> caught;
        try {
            if (auto session = recorder.AddSession(folderID_, sessionName_)) {
                auto id = session->stringValue("publicID");
                if (id && !id->empty()) sessionId = *id;
            }
        } catch (const core::OrvantaSoapException& e) {
            logException("Exception while adding session: ", e);
            caught.emplace(e);
        }
        if (!sessionId) {
            failedToAddSessionforRecording(
                recordingId_, failure(81, "Failed to create session", "Server reported an error in AddSession", caught));
            cancel();
            return false;
        }
    }

    setManifest(std::nullopt);
    addedSessionWithId(sessionId, recordingId_);
    core::logf("Waiting for new manifest from the delegate");

    bool haveManifest;
    {
        std::unique_lock lock(mutex_);
        auto done = [this] { return manifest_.has_value() || isCancelled(); };
        for (int wait = 0; wait < kManifestWaits && !done(); ++wait)
            waitUntilDone(lock, manifestCondition_, manifestWait_, done);
        haveManifest = manifest_.has_value();
    }
    if (isCancelled()) {
        if (haveManifest) core::logf("Obtained new manifest");
        core::logf("%s operation cancelled while trying to create a session on the server", ORV_FUNC);
        return false;
    }
    if (!haveManifest) {
        core::logf("Delegate did not update us with a new manifest for session %s.  Timed out waiting.",
                   sessionId.value_or("").c_str());
        // The run ends here, and with it the file upload that depends on it.
        core::logf("Timed out waiting for new recording manifest.");
        failedToFinalizedRecording(recordingId_, core::Error(core::kOrvantaErrorDomain, 82, "Failed to finalize",
                                                             "Timed out waiting for new recording manifest."));
        cancel();
        return false;
    }
    core::logf("Obtained new manifest");
    return true;
}

void FinalizeRecordingOperation::finalizeRecordingWithService(service::RecorderService& recorder) {
    core::logf("Calling FinalizeRecording on server");
    bool finalized = false;
    std::optional<core::OrvantaSoapException> caught;
    try {
        finalized = recorder.FinalizeRecording(manifest().value_or(""));
    } catch (const core::OrvantaSoapException& e) {
        logException("Exception finalizing recording: ", e);
        caught.emplace(e);
    }
    if (finalized) {
        core::logf("Finalize success");
        finalizedRecording(recordingId_);
        return;
    }
    failedToFinalizedRecording(recordingId_,
                               failure(82, "Failed to finalize", "Server reported an error in FinalizeRecording", caught));
    cancel();
}

}  // namespace orvanta::upload
