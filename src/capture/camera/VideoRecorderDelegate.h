#pragma once

#include "core/Error.h"

namespace orvanta::capture {

class VideoRecorder;

// What the camera and microphone recorder tells the recording session. Every call comes on the
// main loop; within one recording the start comes before the stop and the finish.
class VideoRecorderDelegate {
public:
    virtual ~VideoRecorderDelegate() = default;
    // Recording has begun; once per session start.
    virtual void videoRecorderDidStartRecording(VideoRecorder& recorder) = 0;
    // The sound level, every 0.1 s from startSession until endSession (0 without sound).
    virtual void videoRecorderDidChangeAudioVolume(VideoRecorder& recorder, float level) = 0;
    // Recording ended because of an error.
    virtual void videoRecorderDidStopRecordingWithError(VideoRecorder& recorder, const core::Error& error) = 0;
    // The last file is closed and the session torn down.
    virtual void videoRecorderDidFinishRecording(VideoRecorder& recorder) = 0;
    // The microphone has delivered nothing but digital silence for `seconds` while recording: the
    // lecture is being recorded without sound. Told once; again only after sound came back.
    virtual void videoRecorderDidDetectSilence(VideoRecorder& /*recorder*/, double /*seconds*/) {}
};

}  // namespace orvanta::capture
