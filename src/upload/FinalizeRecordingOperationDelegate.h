#pragma once

#include <optional>
#include <string>

#include "core/Error.h"

namespace orvanta::upload {

class FinalizeRecordingOperation;

// Receives the reports of a FinalizeRecordingOperation, always on the main thread and in the order
// the operation made them. recordingId is the recording's Guid.
class FinalizeRecordingOperationDelegate {
public:
    virtual ~FinalizeRecordingOperationDelegate() = default;

    // The run has ended.
    virtual void finalizeRecordingOerationCompleted(FinalizeRecordingOperation& op, const std::string& recordingId) = 0;
    virtual void operationFailedToFinalizedRecording(FinalizeRecordingOperation& op, const std::string& recordingId,
                                                     const core::Error& error) = 0;
    // The server accepted the manifest.
    virtual void operationFinalizedRecording(FinalizeRecordingOperation& op, const std::string& recordingId) = 0;
    virtual void operationFailedToAddSessionforRecording(FinalizeRecordingOperation& op,
                                                         const std::string& recordingId, const core::Error& error) = 0;
    // The session exists (sessionId: the new one, none when the recording had one already). The
    // delegate stores it where needed, rebuilds the manifest and hands it over with setManifest.
    virtual void operationAddedSessionWithId(FinalizeRecordingOperation& op, const std::optional<std::string>& sessionId,
                                             const std::string& recordingId) = 0;
};

}  // namespace orvanta::upload
