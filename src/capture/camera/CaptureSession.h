#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "capture/camera/MovieFileOutput.h"
#include "capture/devices/AudioLevelMeter.h"
#include "capture/devices/CaptureDevice.h"
#include "capture/devices/CaptureInput.h"
#include "core/Error.h"

namespace orvanta::capture {

// The running link between the opened devices and their users: camera pictures go to the preview
// and to the movie-file output, microphone sound to the level meter and to the output. Inputs can
// be added and removed while it runs. Main loop, except where said.
class CaptureSession {
public:
    using FrameTap = std::function<void(const std::shared_ptr<VideoFrame>& frame)>;
    // A device stopped delivering (unplugged, taken away, failing); on the device's thread.
    using RuntimeErrorHandler = std::function<void(const core::Error& error)>;

    CaptureSession(std::shared_ptr<MovieFileOutput> output, FrameTap preview, RuntimeErrorHandler onRuntimeError);
    ~CaptureSession();  // stops the inputs
    CaptureSession(const CaptureSession&) = delete;
    CaptureSession& operator=(const CaptureSession&) = delete;

    void addVideoInput(CaptureDevicePtr device, std::unique_ptr<VideoInput> input);
    void removeVideoInput();  // stops and closes the camera
    void addAudioInput(CaptureDevicePtr device, std::unique_ptr<AudioInput> input);
    void removeAudioInput();
    CaptureDevicePtr videoDevice() const { return videoDevice_; }
    CaptureDevicePtr audioDevice() const { return audioDevice_; }
    bool hasVideoInput() const { return videoInput_ != nullptr; }
    bool hasAudioInput() const { return audioInput_ != nullptr; }

    void startRunning();
    void stopRunning();
    bool isRunning() const { return running_; }

    MovieFileOutput& output() { return *output_; }
    // Levels of the sound since the last call; any thread.
    AudioLevelMeter& levelMeter() { return *meter_; }

private:
    void startVideo();
    void startAudio();

    std::shared_ptr<MovieFileOutput> output_;
    FrameTap preview_;
    RuntimeErrorHandler onRuntimeError_;
    std::shared_ptr<AudioLevelMeter> meter_ = std::make_shared<AudioLevelMeter>();
    CaptureDevicePtr videoDevice_, audioDevice_;
    std::unique_ptr<VideoInput> videoInput_;
    std::unique_ptr<AudioInput> audioInput_;
    bool running_ = false;
};

}  // namespace orvanta::capture
