#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capture/ScreenCaptureFactory.h"
#include "capture/ScreenCaptureHandler.h"
#include "capture/camera/VideoRecorder.h"
#include "control/ApplicationControllers.h"
#include "control/DisplaySleepInhibitor.h"
#include "control/PresentationRecorder.h"
#include "control/RecordingLock.h"
#include "control/RecordingsController.h"
#include "control/SessionChooserController.h"
#include "core/Error.h"
#include "core/Observable.h"
#include "core/RunLoop.h"
#include "model/Recording.h"
#include "model/Segment.h"

namespace orvanta::control {

// Runs one recording from start to finish: the choice of sources (camera and microphone, screen,
// presentations), start (the recording and its streams in the store, a server session created or
// reused, every chosen capture, the start reported to the server), pause and resume as segments of
// the continuous recording, stop (every capture ended, the manifest written beside the media,
// joining and upload handed on), and the display kept awake in between. No widgets: the buttons'
// texts and states, the duration and the level are observable properties; alerts and sheets go
// through the application's user interface.
//
// Main thread only.
class CreateRecordingController : public capture::VideoRecorderDelegate {
public:
    using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;

    static constexpr std::chrono::seconds kRecordingStartTimeLimit{30};
    static constexpr double kDurationInterval = 0.1;
    // The free space asked for before a start: this much recording at the current settings.
    static constexpr double kFreeSpaceSeconds = 30 * 60;

    // clock: where segment times and the duration are read from (the steady clock when empty).
    CreateRecordingController(ApplicationControllers& controllers, SessionChooserController& chooser,
                              RecordingsController& recordings, capture::VideoRecorder& videoRecorder,
                              SteadyClock clock = {});
    ~CreateRecordingController() override;
    CreateRecordingController(const CreateRecordingController&) = delete;
    CreateRecordingController& operator=(const CreateRecordingController&) = delete;

    void setScreenCaptureFactory(std::shared_ptr<capture::ScreenCaptureFactory> factory);
    // Slide captures, started and stopped in this order.
    void setPresentationRecorders(std::vector<PresentationRecorder*> recorders);
    // Shows the recordings list (the application's "Manage Recordings").
    void setManageRecordingsHandler(std::function<void()> handler) { manageRecordings_ = std::move(handler); }

    // Set-up and display.
    void awakeFromNib();
    void loadDefaults();
    void beforeDisplay();
    void onDisplay(bool shown);
    bool processHotkeys() const;

    // The chosen sources.
    core::Property<bool>& recordAudioVideo() { return recordAudioVideo_; }
    core::Property<bool>& recordScreenCapture() { return recordScreenCapture_; }
    core::Property<bool>& recordPresentations() { return recordPresentations_; }
    // State the view shows.
    core::Property<bool>& isRecording() { return isRecording_; }
    bool isPaused() const { return isPaused_; }
    core::Property<bool>& canRecord() { return canRecord_; }
    core::Property<std::string>& toRecordMessage() { return toRecordMessage_; }
    core::Property<std::string>& durationText() { return durationText_; }
    core::Property<float>& audioLevel() { return audioLevel_; }
    // Start/stop button: its title ("Start Recording" / "Stop Recording") and whether it works.
    core::Property<std::string>& startStopTitle() { return startStopTitle_; }
    core::Property<bool>& startStopEnabled() { return startStopEnabled_; }
    // Pause button: "Pause" / "Resume", and whether it works.
    core::Property<std::string>& pauseTitle() { return pauseTitle_; }
    core::Property<bool>& pauseEnabled() { return pauseEnabled_; }
    // Told when the microphone has been silent for a while during the recording.
    core::Signal<double> silenceDetected;

    std::shared_ptr<model::Recording> currentRecording() const { return currentRecording_; }
    std::shared_ptr<capture::ScreenCaptureHandler> screenCapture() const { return screenController_; }
    const std::vector<std::shared_ptr<model::Segment>>& segments() const { return segments_; }

    // Actions.
    void startStopRecording();
    void pauseRecording();
    void cancel();
    void startRecording();
    void stopRecordingWithError(const std::optional<core::Error>& error);
    void endRecordingWithError(const std::optional<core::Error>& error);
    void recordingCompleted();

    // Whether the recording folder has room for kFreeSpaceSeconds of recording at the current
    // settings; *needed and *available in bytes.
    bool hasRoomToRecord(std::uintmax_t* needed = nullptr, std::uintmax_t* available = nullptr) const;

    // VideoRecorderDelegate
    void videoRecorderDidStartRecording(capture::VideoRecorder& recorder) override;
    void videoRecorderDidChangeAudioVolume(capture::VideoRecorder& recorder, float level) override;
    void videoRecorderDidStopRecordingWithError(capture::VideoRecorder& recorder, const core::Error& error) override;
    void videoRecorderDidFinishRecording(capture::VideoRecorder& recorder) override;
    void videoRecorderDidDetectSilence(capture::VideoRecorder& recorder, double seconds) override;

private:
    void updateCanRecord();
    void recordAudioVideoChanged(bool on);
    void confirmAndStart();
    void createSession(model::Recording& recording);
    void updateDuration();
    double elapsedSeconds() const;
    void timeOutRecordingStart();
    void onVideoStartedRecording();
    void readyToUpload();
    void setRecordingState(bool recording);
    void sheet(const core::Alert& alert, std::function<void(int)> completion = {});
    std::shared_ptr<model::Stream> newStream();

    ApplicationControllers& controllers_;
    SessionChooserController& chooser_;
    RecordingsController& recordings_;
    capture::VideoRecorder& videoController_;
    SteadyClock clock_;
    std::shared_ptr<capture::ScreenCaptureFactory> captureFactory_;
    std::shared_ptr<capture::ScreenCaptureHandler> screenController_;
    std::vector<PresentationRecorder*> presentationRecorders_;
    std::function<void()> manageRecordings_;

    core::Property<bool> recordAudioVideo_{false}, recordScreenCapture_{false}, recordPresentations_{false};
    core::Property<bool> isRecording_{false}, canRecord_{false};
    core::Property<std::string> toRecordMessage_;
    core::Property<std::string> durationText_;
    core::Property<float> audioLevel_{0};
    core::Property<std::string> startStopTitle_{"Start Recording"};
    core::Property<bool> startStopEnabled_{true};
    core::Property<std::string> pauseTitle_{"Pause"};
    core::Property<bool> pauseEnabled_{false};

    bool isPaused_ = false;
    bool shown_ = false;
    bool checkedKeynoteInstall_ = false;
    std::vector<std::shared_ptr<model::Segment>> segments_;
    std::shared_ptr<model::Recording> currentRecording_;
    std::chrono::steady_clock::time_point startDate_{};
    core::TimerHandle durationTimer_, timerStartRecording_;
    bool endRecordingCalled_ = false;
    std::optional<core::Error> recordingError_;
    std::recursive_mutex lock_;
    DisplaySleepInhibitor sleepInhibitor_;
    std::unique_ptr<RecordingLock> recordingLock_;
    std::vector<core::Subscription> subscriptions_;
};

}  // namespace orvanta::control
