#include "control/RecordingRecovery.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <system_error>

#include "capture/RecordingStitcher.h"
#include "control/ManifestFile.h"
#include "control/MovieDuration.h"
#include "control/RecordingLock.h"
#include "core/Log.h"
#include "core/Util.h"
#include "model/ManagedObjectContext.h"
#include "model/Recording.h"
#include "model/RecordingHost.h"
#include "model/Segment.h"
#include "model/Stream.h"

namespace orvanta::control {

namespace {

namespace fs = std::filesystem;
using model::Date;

Date addSeconds(Date date, double seconds) {
    return date + std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(seconds));
}

double secondsBetween(Date from, Date to) { return std::chrono::duration<double>(to - from).count(); }

bool isMovieStream(const model::Stream& stream) {
    const std::string tag = stream.Tag().value_or("");
    return tag == model::kTagCamera || tag == model::kTagAudio || tag == model::kTagScreen;
}

// How long the stream's movie lasts on disk: the camera's numbered files, or the screen's movie.
std::optional<double> recordedSeconds(const model::Stream& stream) {
    const std::string tag = stream.Tag().value_or("");
    if (tag == model::kTagScreen) return readableMovieDuration(stream.FilePath());
    return readableSequenceDuration(stream.FilePath());
}

// Sets end times, length, segments, fault text and State 3 from what is on disk.
void settle(model::Recording& recording) {
    const int state = recording.State();
    std::optional<Date> start = recording.dateValue("StartTime");
    std::optional<Date> end;
    const auto streams = recording.Streams();

    for (const auto& stream : streams) {
        if (!isMovieStream(*stream)) continue;
        std::optional<Date> streamStart = stream->dateValue("StartTime");
        if (!streamStart) streamStart = start;
        if (!streamStart) {
            core::logf("Recovery: stream %s of recording %s has no start time; its end is left as it is",
                       stream->Guid().value_or("").c_str(), recording.Guid().value_or("").c_str());
            continue;
        }
        std::optional<double> seconds = recordedSeconds(*stream);
        if (!seconds) {
            core::logf("Recovery: no readable movie for stream %s (%s) of recording %s; it keeps no length",
                       stream->Guid().value_or("").c_str(), stream->FilePath().c_str(),
                       recording.Guid().value_or("").c_str());
        }
        const Date streamEnd = addSeconds(*streamStart, seconds.value_or(0));
        stream->setValueForKey("EndTime", streamEnd);
        if (!end || streamEnd > *end) end = streamEnd;
        if (!start || *streamStart < *start) start = streamStart;
    }
    if (!start) start = end;
    if (start && !end) end = start;
    if (start && !recording.dateValue("StartTime")) recording.setValueForKey("StartTime", *start);

    // Slide streams run as long as the recording.
    for (const auto& stream : streams)
        if (!isMovieStream(*stream) && end && !stream->dateValue("EndTime")) stream->setValueForKey("EndTime", *end);

    const double length = start && end ? std::max(0.0, secondsBetween(*start, *end)) : 0.0;
    if (end) recording.setValueForKey("EndTime", *end);
    recording.setValueForKey("Length", core::durationFromTimeInterval(length));

    // A paused recording's segments end at the pause already; a running one's last is still open.
    if (state == model::kStateRecording)
        for (const auto& segment : recording.Segments())
            if (!segment->End()) segment->setValueForKey("End", std::max(segment->Start(), length));

    recording.setValueForKey("FaultString", std::string(kRecoveredFaultString));
    recording.setState(model::kStateStopped);
    core::logf("Recovered interrupted recording %s (state %d): %s long", recording.Guid().value_or("").c_str(), state,
               recording.Length().value_or("").c_str());
}

}  // namespace

std::vector<std::shared_ptr<model::Recording>> recoverInterruptedRecordings(model::ManagedObjectContext& context,
                                                                           model::RecordingHost& host,
                                                                           core::OperationQueue& stitchingQueue) {
    std::vector<std::shared_ptr<model::Recording>> recovered;
    // Held while the recordings are changed, so that two programs starting together do not both
    // take the same recording.
    std::vector<std::unique_ptr<RecordingLock>> locks;
    for (const auto& recording : context.all<model::Recording>("Recording")) {
        const int state = recording->State();
        if (state != model::kStateRecording && state != model::kStatePaused) continue;
        const std::string folder = recording->RecordingPath();
        std::error_code ec;
        if (fs::is_directory(folder, ec)) {
            core::Error error;
            auto lock = RecordingLock::acquire(folder, &error);
            if (!lock && RecordingLock::isHeldElsewhere(folder)) {
                core::logf("Recording %s is still being recorded by another process; leaving it alone",
                           recording->Guid().value_or("").c_str());
                continue;
            }
            if (lock)
                locks.push_back(std::move(lock));
            else
                core::logf("Recovering recording %s without its lock: %s", recording->Guid().value_or("").c_str(),
                           error.localizedDescription().c_str());
        }
        settle(*recording);
        recovered.push_back(recording);
    }
    if (recovered.empty()) return recovered;

    for (const auto& recording : recovered) {
        writeManifestFile(*recording);
        capture::stitchFiles(recording, host, stitchingQueue);
    }
    host.saveManagedObjects();
    return recovered;
}

}  // namespace orvanta::control
