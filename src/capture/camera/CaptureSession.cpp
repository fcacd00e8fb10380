#include "capture/camera/CaptureSession.h"

namespace orvanta::capture {

CaptureSession::CaptureSession(std::shared_ptr<MovieFileOutput> output, FrameTap preview,
                               RuntimeErrorHandler onRuntimeError)
    : output_(std::move(output)), preview_(std::move(preview)), onRuntimeError_(std::move(onRuntimeError)) {}

CaptureSession::~CaptureSession() {
    stopRunning();
    removeVideoInput();
    removeAudioInput();
}

void CaptureSession::addVideoInput(CaptureDevicePtr device, std::unique_ptr<VideoInput> input) {
    removeVideoInput();
    videoDevice_ = std::move(device);
    videoInput_ = std::move(input);
    output_->setExpectsVideo(videoInput_ != nullptr);
    if (running_) startVideo();
}

void CaptureSession::removeVideoInput() {
    if (videoInput_) videoInput_->stop();
    videoInput_.reset();
    videoDevice_.reset();
    output_->setExpectsVideo(false);
}

void CaptureSession::addAudioInput(CaptureDevicePtr device, std::unique_ptr<AudioInput> input) {
    removeAudioInput();
    audioDevice_ = std::move(device);
    audioInput_ = std::move(input);
    if (running_) startAudio();
}

void CaptureSession::removeAudioInput() {
    if (audioInput_) audioInput_->stop();
    audioInput_.reset();
    audioDevice_.reset();
}

void CaptureSession::startRunning() {
    if (running_) return;
    running_ = true;
    startVideo();
    startAudio();
}

void CaptureSession::stopRunning() {
    if (!running_) return;
    running_ = false;
    if (videoInput_) videoInput_->stop();
    if (audioInput_) audioInput_->stop();
}

void CaptureSession::startVideo() {
    if (!videoInput_) return;
    // The handlers hold the output and the meter themselves: a device thread may still be
    // finishing a call while the session goes away.
    videoInput_->start(
        [output = output_, preview = preview_](std::shared_ptr<VideoFrame> frame) {
            if (preview) preview(frame);
            output->addVideoFrame(frame);
        },
        onRuntimeError_);
}

void CaptureSession::startAudio() {
    if (!audioInput_) return;
    audioInput_->start(
        [output = output_, meter = meter_](const AudioSampleBuffer& samples) {
            meter->add(samples);
            output->addAudioSamples(samples);
        },
        onRuntimeError_);
}

}  // namespace orvanta::capture
