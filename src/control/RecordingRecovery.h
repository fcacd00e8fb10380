#pragma once

#include <memory>
#include <string>
#include <vector>

namespace orvanta::core {
class OperationQueue;
}

namespace orvanta::model {
class ManagedObjectContext;
class Recording;
class RecordingHost;
}  // namespace orvanta::model

namespace orvanta::control {

// What a recovered recording's FaultString says.
inline constexpr const char* kRecoveredFaultString = "Recovered after the recorder stopped unexpectedly";

// Finishes the recordings that a crash or a power loss left behind: every recording still
// recording (State 2) or paused (7) whose folder is not locked by a live recording process
// (RecordingLock) gets what a stop would have given it, measured from the files on disk:
//   - each movie stream ends at its StartTime plus the length of what its file holds (the screen
//     stream's movie; the camera's numbered sequence); a stream without a readable file ends where
//     it starts; a slide stream without an end ends with the recording;
//   - the recording ends with its longest stream (EndTime, Length); a recording cut short while
//     recording has its open segments closed there, a paused one keeps its segments as they are;
//   - FaultString says it was recovered, State 3, the manifest "<Guid>.xml" is written in the
//     recording folder, and the camera's files are joined (stitchFiles), which takes it to 5.
// Nothing on disk is removed. Runs on the main thread; saves the store after the changes.
// Returns the recordings it recovered.
std::vector<std::shared_ptr<model::Recording>> recoverInterruptedRecordings(model::ManagedObjectContext& context,
                                                                           model::RecordingHost& host,
                                                                           core::OperationQueue& stitchingQueue);

}  // namespace orvanta::control
