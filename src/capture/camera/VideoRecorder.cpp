#include "capture/camera/VideoRecorder.h"

#include <cmath>
#include <thread>
#include <utility>

#include "capture/CompressionPresetCatalog.h"
#include "capture/FileSequence.h"
#include "capture/devices/DeviceValidator.h"
#include "core/Log.h"
#include "core/SettingsKeys.h"

namespace orvanta::capture {

namespace {
constexpr const char* kSoundCompressionOption = "QTCompressionOptionsHighQualityAACAudio";
constexpr double kAudioLevelInterval = 0.1;
constexpr std::uint32_t kDefaultCameraWidth = 640;
constexpr std::uint32_t kDefaultCameraHeight = 480;

const char* deviceName(const CaptureDevicePtr& device) {
    return device ? device->localizedDisplayName.c_str() : "(null)";
}

std::string describe(const core::Error* error) {
    if (!error) return "(null)";
    return error->domain + " " + std::to_string(error->code) + " " + error->localizedDescription();
}

std::string describeInfo(const core::Error* error) {
    std::string text;
    if (!error) return "(null)";
    for (const auto& [key, value] : error->userInfo) text += key + " = " + value + "; ";
    if (!error->failureReason.empty()) text += "reason = " + error->failureReason + "; ";
    return "{" + text + "}";
}

bool finishedSuccessfully(const core::Error& error) {
    auto it = error.userInfo.find(kCaptureRecordingSuccessfullyFinishedKey);
    return it != error.userInfo.end() && (it->second == "1" || it->second == "YES" || it->second == "true");
}
}  // namespace

VideoRecorder::VideoRecorder(std::shared_ptr<DeviceDirectory> directory, core::Settings& settings,
                             core::AppUserInterface* ui)
    : directory_(std::move(directory)), settings_(settings), ui_(ui), validatorPath_(validatorPath()) {}

VideoRecorder::~VideoRecorder() {
    subscriptions_.clear();
    audioLevelTimer_.invalidate();
    endRecordingTimer_.invalidate();
    refreshTimer_.invalidate();
    teardownQTKit();
    stopWriter();
}

void VideoRecorder::setValidator(std::string path, std::chrono::milliseconds timeLimit) {
    validatorPath_ = std::move(path);
    validatorTimeLimit_ = timeLimit;
}

const core::Observable::DependencyTable& VideoRecorder::dependentKeys() const {
    static const DependencyTable table{
        {"selectedVideoDevice", {"hasRecordingDevice"}},
        {"selectedAudioDevice", {"hasRecordingDevice"}},
    };
    return table;
}

void VideoRecorder::postToMain(std::function<void()> task) {
    std::weak_ptr<int> alive = alive_;
    core::RunLoop::main().post([alive, task = std::move(task)] {
        if (!alive.expired()) task();
    });
}

void VideoRecorder::awakeFromNib() {
    subscriptions_.push_back(directory_->observeDevices([this] { postToMain([this] { refreshDevices(); }); }));
    refreshDevices();
    for (const char* key : {core::kVideoCompressionOption, core::kAudioCompressionOption, core::kVideoFrameRate}) {
        const std::string name = key;
        subscriptions_.push_back(settings_.observe(name, [this, name](const std::string&) {
            postToMain([this, name] {
                if (isRecording()) return;  // taken up by the next session
                if (name == core::kVideoFrameRate) setMovieVideoFrameRate();
                else setCompressionOptions();
            });
        }));
    }
}

// ---- Devices ----

void VideoRecorder::refreshDevices() {
    // A refresh under way lists the devices as they are when it ends.
    if (refreshPending_) return;
    refreshPending_ = true;
    refreshTimer_ = core::RunLoop::main().schedule(std::chrono::duration<double>(validatorTimeLimit_), false,
                                                   [this] { refreshTimerFired(); });
    callValidator();
}

void VideoRecorder::callValidator() {
    std::weak_ptr<int> alive = alive_;
    std::thread([this, alive, path = validatorPath_, limit = validatorTimeLimit_] {
        core::logf("Calling validator");
        // Allowed a little longer than the recorder waits, then ended so that it does not linger.
        const int status = runValidator(path, std::chrono::duration_cast<std::chrono::seconds>(limit) +
                                                  std::chrono::seconds(5));
        core::logf("Validator returned code %i", status);
        core::RunLoop::main().post([this, alive, status] {
            if (!alive.expired()) refreshDevicesWithDefaultDevicesOnly(status != 0);
        });
    }).detach();
}

void VideoRecorder::refreshTimerFired() { refreshDevicesWithDefaultDevicesOnly(true); }

void VideoRecorder::refreshDevicesWithDefaultDevicesOnly(bool defaultDevicesOnly) {
    // The first of the validator's answer and its time limit wins.
    if (!refreshPending_) return;
    refreshPending_ = false;
    refreshTimer_.invalidate();
    if (defaultDevicesOnly) {
        if (ui_)
            ui_->runModalAlert(core::Alert{core::Alert::Style::Warning, "Device Driver Error",
                                           "Please try disconnecting and reconnecting any external video devices "
                                           "to make them available for recording.",
                                           {"Ok"}});
        core::logf("It is only safe to use the default capture devices.");
    } else {
        core::logf("Refreshing capture device list");
    }
    replaceDeviceLists(listDevices(*directory_, defaultDevicesOnly, selectedVideoDevice_));
    devicesListed_ = true;
    loadDefaults();
}

void VideoRecorder::replaceDeviceLists(DeviceLists lists) {
    videoDevices_ = std::move(lists.video);
    didChangeValueForKey("videoDevices");
    audioDevices_ = std::move(lists.audio);
    didChangeValueForKey("audioDevices");
    const DeviceSelection selection =
        selectionAfterRefresh({videoDevices_, audioDevices_}, {selectedVideoDevice_, selectedAudioDevice_});
    if (!sameDevice(selection.video, selectedVideoDevice_)) setSelectedVideoDevice(selection.video);
    if (!sameDevice(selection.audio, selectedAudioDevice_)) setSelectedAudioDevice(selection.audio);
}

CaptureDevicePtr VideoRecorder::defaultAudioDevice() const { return capture::defaultAudioDevice(audioDevices_); }

void VideoRecorder::loadDefaults() {
    if (defaultsAreLoaded_) return;
    defaultsAreLoaded_ = true;
    const DeviceSelection selection =
        defaultSelection({videoDevices_, audioDevices_}, {selectedVideoDevice_, selectedAudioDevice_},
                         settings_.stringForKey(core::kLastVideoDevice), settings_.stringForKey(core::kLastAudioDevice));
    if (!sameDevice(selection.video, selectedVideoDevice_)) setSelectedVideoDevice(selection.video);
    if (!sameDevice(selection.audio, selectedAudioDevice_)) setSelectedAudioDevice(selection.audio);
}

void VideoRecorder::rememberSelectedDevices() {
    settings_.setString(core::kLastAudioDevice, selectedAudioDevice_ ? selectedAudioDevice_->localizedDisplayName : "");
    settings_.setString(core::kLastVideoDevice,
                        selectedVideoDevice_ ? selectedVideoDevice_->localizedDisplayName : kNoVideoDeviceName);
}

bool VideoRecorder::hasRecordingDevice() const {
    return session_ && (session_->hasVideoInput() || session_->hasAudioInput());
}

void VideoRecorder::setSelectedVideoDevice(CaptureDevicePtr device) {
    if (device == selectedVideoDevice_) return;
    CaptureDevicePtr old = std::exchange(selectedVideoDevice_, std::move(device));
    didChangeValueForKey("selectedVideoDevice");
    selectedVideoDeviceChanged(old);
}

void VideoRecorder::selectedVideoDeviceChanged(const CaptureDevicePtr& old) {
    if (deviceProvidesAudio(selectedVideoDevice_) || deviceProvidesAudio(old)) refreshDevices();
    if (deviceProvidesAudio(selectedVideoDevice_)) setSelectedAudioDevice(selectedVideoDevice_);
    releaseVideoDevice();
    initializeVideoDevice();
}

void VideoRecorder::setSelectedAudioDevice(CaptureDevicePtr device) {
    if (device == selectedAudioDevice_) return;
    CaptureDevicePtr old = std::exchange(selectedAudioDevice_, std::move(device));
    didChangeValueForKey("selectedAudioDevice");
    releaseAudioDevice(old);
    initializeAudioDevice();
}

int VideoRecorder::videoFrameRate() const {
    const double rate = settings_.doubleForKey(core::kVideoFrameRate);
    return rate >= 1 ? static_cast<int>(rate) : static_cast<int>(core::kDefaultVideoFrameRate);
}

CameraFormat VideoRecorder::cameraFormat() const {
    CameraFormat format{kDefaultCameraWidth, kDefaultCameraHeight, videoFrameRate()};
    if (auto id = settings_.stringForKey(core::kVideoCompressionOption); id && !id->empty())
        if (auto preset = compressionOptionsWithIdentifier(*id); preset && preset->width > 0 && preset->height > 0) {
            format.width = static_cast<std::uint32_t>(preset->width);
            format.height = static_cast<std::uint32_t>(preset->height);
        }
    return format;
}

void VideoRecorder::initializeVideoDevice() {
    useQTCapture_ = selectedVideoDevice_ != nullptr;
    core::logf("Using QTCapture: %d", useQTCapture_ ? 1 : 0);
    if (selectedVideoDevice_ && session_ && !session_->hasVideoInput()) {
        core::Error error;
        auto input = directory_->openVideoInput(*selectedVideoDevice_, cameraFormat(), &error);
        if (!input) {
            showDeviceError(error, true);
            return;
        }
        session_->addVideoInput(selectedVideoDevice_, std::move(input));
        didChangeValueForKey("hasRecordingDevice");
    }
    setCompressionOptions();
}

void VideoRecorder::initializeAudioDevice() {
    if (!selectedAudioDevice_ || !session_) return;
    if (sameDevice(selectedAudioDevice_, selectedVideoDevice_)) {
        // The camera records the sound itself; its pictures and sound come through one input.
    } else if (!session_->hasAudioInput()) {
        core::Error error;
        auto input = directory_->openAudioInput(*selectedAudioDevice_, &error);
        if (!input) {
            didChangeValueForKey("selectedAudioDevice");
            showDeviceError(error, false);
            return;
        }
        session_->addAudioInput(selectedAudioDevice_, std::move(input));
        didChangeValueForKey("hasRecordingDevice");
    }
    setCompressionOptions();
}

void VideoRecorder::showDeviceError(const core::Error& error, bool video) {
    core::logf("Could not open %s: %s", video ? deviceName(selectedVideoDevice_) : deviceName(selectedAudioDevice_),
               describe(&error).c_str());
    // The device is deselected once the user has seen why.
    auto deselect = [this, video, device = video ? selectedVideoDevice_ : selectedAudioDevice_](int) {
        postToMain([this, video, device] {
            if (video && selectedVideoDevice_ == device) setSelectedVideoDevice(nullptr);
            if (!video && selectedAudioDevice_ == device) setSelectedAudioDevice(nullptr);
        });
    };
    if (ui_)
        ui_->showSheet(core::Alert{core::Alert::Style::Critical, error.localizedDescription(),
                                   error.localizedFailureReason(), {"OK"}},
                       deselect);
    else
        deselect(0);
}

void VideoRecorder::releaseAudioDevice(const CaptureDevicePtr&) {
    if (session_ && session_->hasAudioInput()) {
        session_->removeAudioInput();
        didChangeValueForKey("hasRecordingDevice");
    }
}

void VideoRecorder::releaseVideoDevice() {
    if (session_ && session_->hasVideoInput()) {
        session_->removeVideoInput();
        didChangeValueForKey("hasRecordingDevice");
    }
}

// ---- Session ----

void VideoRecorder::startSession() {
    if (session_) return;
    {
        std::lock_guard lock(processedFileNamesMutex_);
        processedFileNames_.clear();
        delegateInformedOfStart_ = false;
    }
    setupQTKit();
    audioLevelTimer_ = core::RunLoop::main().schedule(std::chrono::duration<double>(kAudioLevelInterval), true,
                                                      [this] { updateAudioLevels(); });
    endRecordingTimer_.invalidate();
    endRecordingPending_ = false;
}

void VideoRecorder::setupQTKit() {
    movieFileOutput_ = std::make_shared<MovieFileOutput>();
    movieFileOutput_->setDelegate(this);
    std::weak_ptr<int> alive = alive_;
    session_ = std::make_unique<CaptureSession>(
        movieFileOutput_, [this](const std::shared_ptr<VideoFrame>& frame) { previewFrames_.emit(frame); },
        [this](const core::Error& error) { postToMain([this, error] { handleSessionRuntimeError(error); }); });
    initializeVideoDevice();
    initializeAudioDevice();
    core::logf("StartSessionVideo {session = running; video = %s; audio = %s}", deviceName(session_->videoDevice()),
               deviceName(session_->audioDevice()));
    session_->startRunning();
}

void VideoRecorder::endSession() {
    core::logf("%s RUNNING:%d %s", __PRETTY_FUNCTION__, session_ && session_->isRunning() ? 1 : 0,
               deviceName(selectedVideoDevice_));
    audioLevelTimer_.invalidate();
}

void VideoRecorder::cancelSession() { teardownQTKit(); }

void VideoRecorder::teardownQTKit() {
    if (!movieFileOutput_ || !session_) return;
    movieFileOutput_->setDelegate(nullptr);
    session_->stopRunning();
    session_.reset();  // closes the devices
    // Finishes a file still being written before anyone goes on with it.
    movieFileOutput_.reset();
    didChangeValueForKey("hasRecordingDevice");
}

void VideoRecorder::setCompressionOptions() {
    if (!movieFileOutput_) return;
    std::string codec = "mp4v";
    std::uint32_t width = 0, height = 0;
    CompressionOptions options;
    if (auto base = MovieWriter::compressionOptions(&codec, 0x300, 0, videoFrameRate(), false)) options = *base;
    if (auto id = settings_.stringForKey(core::kVideoCompressionOption); id && !id->empty()) {
        if (auto preset = compressionOptionsWithIdentifier(*id); preset && preset->mediaType == kMediaTypeVideo) {
            core::logf("set compressionOptions for %s: %s", "video", id->c_str());
            options = compressionOptionsForVideoPreset(*preset, videoFrameRate());
            codec = preset->codec;
            width = static_cast<std::uint32_t>(std::max(preset->width, 0));
            height = static_cast<std::uint32_t>(std::max(preset->height, 0));
        }
    }
    if (auto sound = compressionOptionsWithIdentifier(kSoundCompressionOption)) {
        core::logf("set compressionOptions for %s: %s", "sound", kSoundCompressionOption);
        options.audio = audioCompressionForSoundPreset(*sound);
    }
    movieFileOutput_->setCompressionOptions(codec, std::make_shared<const CompressionOptions>(std::move(options)), width,
                                            height);
    setMovieVideoFrameRate();
}

void VideoRecorder::setMovieVideoFrameRate() {
    if (!movieFileOutput_) return;
    const double interval = 1.0 / videoFrameRate();
    movieFileOutput_->setMinimumVideoFrameInterval(interval);
    core::logf(" set VideoFrameRate: %f", interval);
}

void VideoRecorder::updateAudioLevels() {
    float level = 0;
    if (session_ && session_->hasAudioInput()) {
        level = AudioLevelMeter::meterValue(session_->levelMeter().averagePowerLevels());
        if (isRecording()) {
            const double recorded =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - recordingStartedAt_).count();
            const double silent = std::min(session_->levelMeter().digitalSilenceSeconds(), recorded);
            if (silent < kSilenceWarningSeconds) {
                silenceReported_ = false;
            } else if (!silenceReported_) {
                silenceReported_ = true;
                core::logf("No sound from %s for %.0f s", deviceName(session_->audioDevice()), silent);
                if (delegate_) delegate_->videoRecorderDidDetectSilence(*this, silent);
            }
        }
    }
    if (delegate_) delegate_->videoRecorderDidChangeAudioVolume(*this, level);
}

void VideoRecorder::handleSessionRuntimeError(const core::Error& error) {
    core::logf("%s isRunning:%d isRecording:%d notification:%s \n\terrorInfo:%s object:%s", __PRETTY_FUNCTION__,
               session_ && session_->isRunning() ? 1 : 0, isRecording() ? 1 : 0, "runtime error",
               describeInfo(&error).c_str(), "session");
    handleQTKitError(error);
}

void VideoRecorder::handleQTKitError(const core::Error& error) {
    core::logf("%s error:%s", __PRETTY_FUNCTION__, describe(&error).c_str());
    bool restart = false;
    switch (error.code) {
    case kCaptureNoDataCaptured:
    case kCaptureMediaDiscontinuity: restart = true; break;
    case kCaptureSessionConfigurationChanged:
    case kCaptureMediaChanged: restart = finishedSuccessfully(error); break;
    default: break;
    }
    if (restart) {
        restartOnNextFile();
        return;
    }
    if (isRecording()) endSession();
    if (delegate_) delegate_->videoRecorderDidStopRecordingWithError(*this, error);
}

void VideoRecorder::restartOnNextFile() {
    if (!movieFileOutput_) return;
    const std::string current = movieFileOutput_->outputFileURL();
    if (current.empty()) return;
    const std::string next = fileURLWithNextSequence(current);
    core::logf("Setup Teardown from %s to %s", current.c_str(), next.c_str());
    teardownQTKit();
    setupQTKit();
    movieFileOutput_->recordToOutputFile(next);
}

// ---- Recording ----

bool VideoRecorder::isRecording() const {
    if (useQTCapture_) return movieFileOutput_ && !movieFileOutput_->outputFileURL().empty();
    std::lock_guard lock(writerMutex_);
    return writer_ != nullptr;
}

void VideoRecorder::setRecording(bool shouldRecord, std::shared_ptr<model::Recording> recording) {
    setRecording(shouldRecord, std::string(), std::move(recording));
}

void VideoRecorder::setRecording(bool shouldRecord, const std::string& filePath,
                                 std::shared_ptr<model::Recording> recording) {
    core::logf("%s shouldRecord:%d isRecording:%d", __PRETTY_FUNCTION__, shouldRecord ? 1 : 0, isRecording() ? 1 : 0);
    currentRecording_ = std::move(recording);
    if (shouldRecord) {
        recordingActive_ = true;
        if (!session_) startSession();  // sound and pictures only come through a running session
        recordingStartedAt_ = std::chrono::steady_clock::now();
        silenceReported_ = false;
        if (useQTCapture_) {
            const std::string url = fileURLWithNextSequence(filePath);
            core::logf("recordToOutputFile %s new:%s", filePath.c_str(), url.c_str());
            movieFileOutput_->recordToOutputFile(url);
            return;
        }
        std::string codec = "mp4v";
        auto options = MovieWriter::compressionOptions(&codec, 0x300, 512000, 30, false);
        lastError_.reset();
        MovieWriterDelegate* writerDelegate = this;
        auto writer = std::make_unique<MovieWriter>(filePath, codec, 320, 240, options, writerDelegate);
        {
            std::lock_guard lock(writerMutex_);
            writer_ = std::move(writer);
        }
        if (lastError_) return;
        if (delegate_) delegate_->videoRecorderDidStartRecording(*this);
        return;
    }
    // Stopping twice must not report the end twice.
    if (!recordingActive_) return;
    if (useQTCapture_) {
        core::logf("Stop writing to outputfile");
        if (movieFileOutput_ && !movieFileOutput_->outputFileURL().empty()) {
            movieFileOutput_->recordToOutputFile(std::string());
            startEndRecordingTimer();
        } else {
            // The last file already ended (with an error that was reported): nothing to wait for.
            quitRecordingAndNotify(true);
        }
        return;
    }
    stopWriter();
    quitRecordingAndNotify(true);
}

void VideoRecorder::stopWriter() {
    std::lock_guard lock(writerMutex_);
    if (!writer_) return;
    writer_->writeAndCloseMovie();
    writer_.reset();
}

void VideoRecorder::startEndRecordingTimer() {
    endRecordingPending_ = true;
    endRecordingTimer_ = core::RunLoop::main().schedule(std::chrono::duration<double>(kEndRecordingTimeLimit), false,
                                                        [this] { forceQuitRecording(); });
}

void VideoRecorder::forceQuitRecording() {
    if (!endRecordingPending_) return;
    endRecordingPending_ = false;
    endRecordingTimer_.invalidate();
    core::logf("Force stopping recording");
    quitRecordingAndNotify(true);
}

void VideoRecorder::quitRecordingAndNotify(bool notify) {
    recordingActive_ = false;
    teardownQTKit();
    if (notify && delegate_) delegate_->videoRecorderDidFinishRecording(*this);
}

void VideoRecorder::switchToNewRecordingFile() {
    if (!movieFileOutput_) return;
    std::lock_guard lock(processedFileNamesMutex_);
    const std::string current = movieFileOutput_->outputFileURL();
    if (current.empty()) return;
    if (processedFileNames_.count(current)) {
        core::logf("Ignoring call to switch %s", current.c_str());
        return;
    }
    const std::string next = fileURLWithNextSequence(current);
    core::logf("switchToNewRecordingFile: current %s new %s", current.c_str(), next.c_str());
    movieFileOutput_->recordToOutputFile(next);
    processedFileNames_.insert(current);
    core::logf("Resuming recording on new file: %s", next.c_str());
}

core::Subscription VideoRecorder::observePreviewFrames(std::function<void(const std::shared_ptr<VideoFrame>&)> fn) {
    return previewFrames_.connect(std::move(fn));
}

// ---- Output and writer reports ----

void VideoRecorder::captureOutputDidStartRecordingToOutputFile(MovieFileOutput&, const std::string& path) {
    core::logf("\n%s\n\t%s \n\terror:%s \n\tinfo:%s isRecording:%d", __PRETTY_FUNCTION__, path.c_str(), "(null)",
               "(null)", isRecording() ? 1 : 0);
    core::logf("VideoRecorder: Recording to %s", path.c_str());
    std::lock_guard lock(processedFileNamesMutex_);
    if (!delegateInformedOfStart_ && delegate_) {
        delegateInformedOfStart_ = true;
        postToMain([this] {
            if (delegate_) delegate_->videoRecorderDidStartRecording(*this);
        });
    }
}

void VideoRecorder::captureOutputDidFinishRecordingToOutputFile(MovieFileOutput&, const std::string& path,
                                                                const core::Error* error) {
    core::logf("\n%s\n\t%s \n\terror:%s \n\tinfo:%s isRecording:%d", __PRETTY_FUNCTION__, path.c_str(),
               describe(error).c_str(), describeInfo(error).c_str(), isRecording() ? 1 : 0);
    bool switched;
    {
        std::lock_guard lock(processedFileNamesMutex_);
        switched = processedFileNames_.count(path) != 0;
    }
    if (switched && isRecording()) return;
    if (error) {
        core::logf("VideoRecorder: didStopRecordingWithError wasSuccessfullyFinished:%s error:%s",
                   finishedSuccessfully(*error) ? "YES" : "NO", describe(error).c_str());
        handleQTKitError(*error);
        return;
    }
    core::logf("Stopping normally");
    if (endRecordingPending_) {
        endRecordingPending_ = false;
        endRecordingTimer_.invalidate();
        quitRecordingAndNotify(true);
    }
}

void VideoRecorder::captureOutputDidOutputAudioSampleBuffer(MovieFileOutput&, const AudioSampleBuffer& samples) {
    if (useQTCapture_) return;
    std::lock_guard lock(writerMutex_);
    if (writer_) writer_->processAudioSamples(samples);
}

void VideoRecorder::movieWriterFailedWithError(MovieWriter& writer, const core::Error& error) {
    // From the writer's constructor (main loop) or later from its compression thread.
    if (core::RunLoop::main().isLoopThread()) lastError_ = error;
    MovieWriter* failed = &writer;
    postToMain([this, failed, error] {
        {
            std::lock_guard lock(writerMutex_);
            if (writer_.get() != failed) return;  // already stopped
        }
        lastError_ = error;
        if (delegate_) delegate_->videoRecorderDidStopRecordingWithError(*this, error);
        {
            std::lock_guard lock(writerMutex_);
            if (writer_.get() != failed) return;  // the delegate stopped the recording itself
        }
        setRecording(false, currentRecording_);
    });
}

}  // namespace orvanta::capture
