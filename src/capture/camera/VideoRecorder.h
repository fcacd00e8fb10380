#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "capture/MovieWriter.h"
#include "capture/camera/CaptureSession.h"
#include "capture/camera/DeviceSelection.h"
#include "capture/camera/MovieFileOutput.h"
#include "capture/camera/VideoRecorderDelegate.h"
#include "capture/devices/DeviceDirectory.h"
#include "core/AppUserInterface.h"
#include "core/Observable.h"
#include "core/RunLoop.h"
#include "core/Settings.h"

namespace orvanta::model {
class Recording;
}

namespace orvanta::capture {

// Finds the cameras and microphones, keeps the user's choice of one of each, runs the capture
// session that feeds the preview and the level meter, and records the chosen devices: with a camera
// into the numbered sequence of movie files next to the stream's path (G.DV.mov → G_0.DV.mov,
// G_1.DV.mov, …, joined later into the stream's movie), with a microphone alone into the stream's
// path itself through a MovieWriter.
//
// Main loop only, except the preview observers (device thread). Observable keys:
// "selectedVideoDevice", "selectedAudioDevice", "videoDevices", "audioDevices",
// "hasRecordingDevice" (announced with either selection).
class VideoRecorder : public core::Observable, private MovieFileOutputDelegate, private MovieWriterDelegate {
public:
    static constexpr std::chrono::seconds kValidatorTimeLimit{30};
    static constexpr std::chrono::seconds kEndRecordingTimeLimit{10};
    static constexpr double kSilenceWarningSeconds = 10.0;

    // ui may be null: errors are then logged and their follow-up happens at once.
    VideoRecorder(std::shared_ptr<DeviceDirectory> directory, core::Settings& settings,
                  core::AppUserInterface* ui);
    ~VideoRecorder() override;
    VideoRecorder(const VideoRecorder&) = delete;
    VideoRecorder& operator=(const VideoRecorder&) = delete;

    void setDelegate(VideoRecorderDelegate* delegate) { delegate_ = delegate; }
    VideoRecorderDelegate* delegate() const { return delegate_; }
    // The device validator and how long it may take (for tests; defaults: validatorPath(), 30 s).
    void setValidator(std::string path, std::chrono::milliseconds timeLimit);

    // Start-up: device events, the first refresh, settings observation.
    void awakeFromNib();

    // Devices.
    void refreshDevices();
    void refreshDevicesWithDefaultDevicesOnly(bool defaultDevicesOnly);
    void loadDefaults();
    CaptureDevicePtr defaultAudioDevice() const;
    const std::vector<CaptureDevicePtr>& videoDevices() const { return videoDevices_; }
    const std::vector<CaptureDevicePtr>& audioDevices() const { return audioDevices_; }
    CaptureDevicePtr selectedVideoDevice() const { return selectedVideoDevice_; }
    CaptureDevicePtr selectedAudioDevice() const { return selectedAudioDevice_; }
    void setSelectedVideoDevice(CaptureDevicePtr device);
    void setSelectedAudioDevice(CaptureDevicePtr device);
    bool hasRecordingDevice() const;
    // Whether the lists are known (the validator answered or its time ran out).
    bool devicesAreListed() const { return devicesListed_; }
    // Writes "lastVideoDevice" (the camera's name or "None") and "lastAudioDevice".
    void rememberSelectedDevices();

    // Session.
    void startSession();
    void endSession();
    void cancelSession();
    bool hasSession() const { return session_ != nullptr; }

    // Recording.
    void setRecording(bool shouldRecord, const std::string& filePath, std::shared_ptr<model::Recording> recording);
    void setRecording(bool shouldRecord, std::shared_ptr<model::Recording> recording);
    bool isRecording() const;
    // Moves recording on to the next file of the sequence (also what a device asks for).
    void switchToNewRecordingFile();
    const std::optional<core::Error>& lastError() const { return lastError_; }

    // Camera pictures as they arrive, recording or not, for a preview; on the camera's thread.
    [[nodiscard]] core::Subscription observePreviewFrames(std::function<void(const std::shared_ptr<VideoFrame>&)> fn);
    bool previewIsActive() const { return previewIsActive_; }
    void setPreviewIsActive(bool active) { previewIsActive_ = active; }

protected:
    const DependencyTable& dependentKeys() const override;

private:
    // Devices.
    void callValidator();
    void refreshTimerFired();
    void replaceDeviceLists(DeviceLists lists);
    void selectedVideoDeviceChanged(const CaptureDevicePtr& old);
    void initializeVideoDevice();
    void initializeAudioDevice();
    void releaseVideoDevice();
    void releaseAudioDevice(const CaptureDevicePtr& old);
    void showDeviceError(const core::Error& error, bool video);
    // Session.
    void setupQTKit();
    void teardownQTKit();
    void setCompressionOptions();
    void setMovieVideoFrameRate();
    void updateAudioLevels();
    void handleSessionRuntimeError(const core::Error& error);
    void handleQTKitError(const core::Error& error);
    void restartOnNextFile();
    // Recording.
    void startEndRecordingTimer();
    void forceQuitRecording();
    void quitRecordingAndNotify(bool notify);
    void stopWriter();

    // MovieFileOutputDelegate
    void captureOutputDidStartRecordingToOutputFile(MovieFileOutput& output, const std::string& path) override;
    void captureOutputDidFinishRecordingToOutputFile(MovieFileOutput& output, const std::string& path,
                                                     const core::Error* error) override;
    void captureOutputDidOutputAudioSampleBuffer(MovieFileOutput& output, const AudioSampleBuffer& samples) override;
    // MovieWriterDelegate
    void movieWriterFailedWithError(MovieWriter& writer, const core::Error& error) override;

    void postToMain(std::function<void()> task);
    CameraFormat cameraFormat() const;
    int videoFrameRate() const;

    std::shared_ptr<DeviceDirectory> directory_;
    core::Settings& settings_;
    core::AppUserInterface* ui_;
    VideoRecorderDelegate* delegate_ = nullptr;
    std::string validatorPath_;
    std::chrono::milliseconds validatorTimeLimit_ = kValidatorTimeLimit;

    bool delegateInformedOfStart_ = false;
    std::shared_ptr<MovieFileOutput> movieFileOutput_;
    std::unique_ptr<CaptureSession> session_;
    mutable std::mutex writerMutex_;
    std::unique_ptr<MovieWriter> writer_;
    CaptureDevicePtr selectedVideoDevice_, selectedAudioDevice_;
    std::vector<CaptureDevicePtr> videoDevices_, audioDevices_;
    core::TimerHandle audioLevelTimer_, endRecordingTimer_, refreshTimer_;
    std::shared_ptr<model::Recording> currentRecording_;
    std::atomic<bool> useQTCapture_{false};
    bool previewIsActive_ = false;
    bool defaultsAreLoaded_ = false;
    bool devicesListed_ = false;
    std::mutex processedFileNamesMutex_;
    std::set<std::string> processedFileNames_;
    std::optional<core::Error> lastError_;
    bool silenceReported_ = false;
    bool refreshPending_ = false;
    bool endRecordingPending_ = false;
    bool recordingActive_ = false;  // from the start of a recording until its end is reported
    std::chrono::steady_clock::time_point recordingStartedAt_{};
    core::Signal<std::shared_ptr<VideoFrame>> previewFrames_;
    std::vector<core::Subscription> subscriptions_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace orvanta::capture
