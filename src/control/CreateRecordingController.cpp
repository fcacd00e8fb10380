#include "control/CreateRecordingController.h"

#include <filesystem>

#include "capture/CompressionPresetCatalog.h"
#include "capture/GlScreenCaptureFactory.h"
#include "control/ManifestFile.h"
#include "core/Log.h"
#include "core/SettingsKeys.h"
#include "core/Util.h"
#include "model/Manifest.h"
#include "model/SimpleSessionGroup.h"
#include "model/Stream.h"
#include "service/RecorderService.h"

namespace orvanta::control {

namespace {
// Rough data rates for the free-space check, in bits per second: a 1080p screen at the screen
// preset, and the sound track.
constexpr double kScreenBitRate = 2'000'000;
constexpr double kSoundBitRate = 160'000;
constexpr double kDefaultCameraBitRate = 1'000'000;

const char* yesNo(bool value) { return value ? "YES" : "NO"; }
}  // namespace

CreateRecordingController::CreateRecordingController(ApplicationControllers& controllers,
                                                     SessionChooserController& chooser,
                                                     RecordingsController& recordings,
                                                     capture::VideoRecorder& videoRecorder, SteadyClock clock)
    : controllers_(controllers),
      chooser_(chooser),
      recordings_(recordings),
      videoController_(videoRecorder),
      clock_(clock ? std::move(clock) : SteadyClock([] { return std::chrono::steady_clock::now(); })),
      captureFactory_(std::make_shared<capture::GlScreenCaptureFactory>()) {
    for (auto* flag : {&recordAudioVideo_, &recordScreenCapture_, &recordPresentations_})
        subscriptions_.push_back(flag->observe([this](const bool&) { updateCanRecord(); }));
    subscriptions_.push_back(recordAudioVideo_.observe([this](const bool& on) { recordAudioVideoChanged(on); }));
}

CreateRecordingController::~CreateRecordingController() {
    subscriptions_.clear();
    if (videoController_.delegate() == this) videoController_.setDelegate(nullptr);
}

void CreateRecordingController::setScreenCaptureFactory(std::shared_ptr<capture::ScreenCaptureFactory> factory) {
    captureFactory_ = std::move(factory);
}

void CreateRecordingController::setPresentationRecorders(std::vector<PresentationRecorder*> recorders) {
    presentationRecorders_ = std::move(recorders);
}

// ---- Set-up

void CreateRecordingController::awakeFromNib() {
    videoController_.setDelegate(this);
    subscriptions_.push_back(controllers_.loginController().loggedIn().observe([this](const bool&) {
        controllers_.mainLoop().post([this] { updateCanRecord(); });
    }));
    subscriptions_.push_back(chooser_.sessionName().observe([this](const std::string&) { updateCanRecord(); }));
    for (const char* key : {"selectedAudioDevice", "selectedVideoDevice"})
        subscriptions_.push_back(videoController_.observe(key, [this](const std::string&) { updateCanRecord(); }));
    chooser_.setNullSessionGroupLabel(kRecordOfflineLabel);
    chooser_.setAllowNullSessionGroupSelection(true);
    loadDefaults();
    updateCanRecord();
}

void CreateRecordingController::loadDefaults() {
    auto& settings = controllers_.settings();
    recordAudioVideo_.set(settings.boolForKey(core::kRecordAudioVideo));
    recordPresentations_.set(settings.boolForKey(core::kRecordPresentations));
    recordScreenCapture_.set(settings.boolForKey(core::kRecordScreenCapture));
}

void CreateRecordingController::beforeDisplay() {
    chooser_.resetFromSettings(controllers_.settings());
}

void CreateRecordingController::onDisplay(bool shown) {
    shown_ = shown;
    if (recordAudioVideo_.get()) {
        if (shown)
            videoController_.startSession();
        else
            videoController_.endSession();
    }
    if (shown && !checkedKeynoteInstall_) {
        for (auto* recorder : presentationRecorders_) recorder->installKeynotePlugin();
        checkedKeynoteInstall_ = true;
    }
}

bool CreateRecordingController::processHotkeys() const { return shown_ && canRecord_.get(); }

void CreateRecordingController::updateCanRecord() {
    if (chooser_.sessionName().get().empty()) {
        canRecord_.set(false);
        toRecordMessage_.set("Specify a Session to begin recording.");
    } else if (!recordScreenCapture_.get() && !recordPresentations_.get()) {
        if (!recordAudioVideo_.get()) {
            canRecord_.set(false);
            toRecordMessage_.set("Choose a capture source to begin recording.");
        } else if (!videoController_.selectedAudioDevice() && !videoController_.selectedVideoDevice()) {
            canRecord_.set(false);
            toRecordMessage_.set("Select a Video or Audio device to begin recording.");
        } else {
            canRecord_.set(true);
        }
    } else {
        canRecord_.set(true);
    }
}

void CreateRecordingController::recordAudioVideoChanged(bool on) {
    // The device pop-ups come and go with the choice; the preview runs while the view is shown.
    if (!shown_ || isRecording_.get()) return;
    if (on)
        videoController_.startSession();
    else
        videoController_.endSession();
}

// ---- Start

void CreateRecordingController::startStopRecording() {
    core::logf("%s", __PRETTY_FUNCTION__);
    if (isRecording_.get()) {
        stopRecordingWithError(std::nullopt);
        return;
    }
    if (recordAudioVideo_.get() && videoController_.selectedAudioDevice()) {
        confirmAndStart();
        return;
    }
    sheet(core::Alert{core::Alert::Style::Warning,
                      "No audio or video source is selected. Would you like to continue recording?",
                      "Your recording will not be usable unless there is an audio track associated with it. If "
                      "audio is being recorded from another computer or will be added later, click continue.",
                      {"Continue", "Don't Record"}},
          [this](int button) {
              if (button == 0) confirmAndStart();
          });
}

bool CreateRecordingController::hasRoomToRecord(std::uintmax_t* needed, std::uintmax_t* available) const {
    auto& settings = controllers_.settings();
    double bitRate = 0;
    if (recordScreenCapture_.get()) bitRate += kScreenBitRate;
    if (recordAudioVideo_.get()) {
        bitRate += kSoundBitRate;
        if (videoController_.selectedVideoDevice()) {
            double camera = kDefaultCameraBitRate;
            if (auto id = settings.stringForKey(core::kVideoCompressionOption))
                if (auto preset = capture::compressionOptionsWithIdentifier(*id); preset && preset->bitRate > 0)
                    camera = static_cast<double>(preset->bitRate);
            bitRate += camera;
        }
    }
    const auto bytes = static_cast<std::uintmax_t>(bitRate / 8 * kFreeSpaceSeconds);
    std::error_code ec;
    std::filesystem::path folder = controllers_.app().recordingDirectory();
    while (!folder.empty() && !std::filesystem::exists(folder, ec) && folder != folder.parent_path())
        folder = folder.parent_path();
    const auto space = std::filesystem::space(folder, ec);
    if (needed) *needed = bytes;
    if (available) *available = ec ? 0 : space.available;
    return ec || space.available >= bytes;  // an unknown amount does not stop a lecture
}

void CreateRecordingController::confirmAndStart() {
    std::uintmax_t needed = 0, available = 0;
    if (hasRoomToRecord(&needed, &available)) {
        startRecording();
        return;
    }
    constexpr double kMegabyte = 1024.0 * 1024.0;
    char text[400];
    std::snprintf(text, sizeof text,
                  "The recording folder has %.0f MB free; 30 minutes of recording at the current settings take "
                  "about %.0f MB. The recording stops when the disk is full.",
                  static_cast<double>(available) / kMegabyte, static_cast<double>(needed) / kMegabyte);
    sheet(core::Alert{core::Alert::Style::Warning, "There is little free space for recording.", text,
                      {"Record Anyway", "Don't Record"}},
          [this](int button) {
              if (button == 0) startRecording();
          });
}

std::shared_ptr<model::Stream> CreateRecordingController::newStream() {
    return controllers_.app().managedObjectContext()->insert<model::Stream>("Stream");
}

void CreateRecordingController::startRecording() {
    std::lock_guard lock(lock_);
    auto& settings = controllers_.settings();
    sleepInhibitor_.startPreventingSleep();
    screenController_ = captureFactory_ ? captureFactory_->createScreenCaptureHandler() : nullptr;
    segments_.clear();

    auto recording = recordings_.newObject();
    if (!recording) {  // no store: told already when it failed to open
        sleepInhibitor_.stopPreventingSleep();
        return;
    }
    currentRecording_ = recording;
    const auto now = std::chrono::system_clock::now();
    recording->setValueForKey("LocalFolder", controllers_.app().recordingDirectory());
    // Held until the recording has ended, so that no other process takes it for one cut short.
    std::error_code ec;
    std::filesystem::create_directories(recording->RecordingPath(), ec);
    recordingLock_ = RecordingLock::acquire(recording->RecordingPath());
    recording->setState(model::kStateRecording);
    recording->setValueForKey("StartTime", model::Date(now));
    if (controllers_.loginController().loggedIn().get())
        recording->setValueForKey("TimeOffset", controllers_.loginController().timeOffset().get());
    createSession(*recording);
    chooser_.rememberSessionGroup(settings);

    startDate_ = clock_();
    durationTimer_ = controllers_.mainLoop().schedule(std::chrono::duration<double>(kDurationInterval), true,
                                                      [this] { updateDuration(); });
    updateDuration();
    setRecordingState(true);
    isPaused_ = false;

    std::vector<std::string> descriptions;
    descriptions.reserve(2);
    if (recordScreenCapture_.get() && screenController_) {
        auto stream = newStream();
        recording->setScreenCaptureStream(stream);
        stream->setValueForKey("StartTime", model::Date(std::chrono::system_clock::now()));
        screenController_->setStopRecordingHandler(
            [this](const core::Error& error) { stopRecordingWithError(error); });
        screenController_->captureScreenToPath(stream->FilePath());
        descriptions.push_back(model::getStreamInfoXML(*stream));
    }
    settings.setBool(core::kRecordScreenCapture, recordScreenCapture_.get());
    if (recordPresentations_.get())
        for (auto* presentation : presentationRecorders_) presentation->startRecording();
    settings.setBool(core::kRecordPresentations, recordPresentations_.get());
    if (recordAudioVideo_.get()) {
        auto stream = newStream();
        const bool video = videoController_.selectedVideoDevice() != nullptr;
        stream->setValueForKey("Description", std::string(video ? "Video" : "Audio"));
        stream->setValueForKey("Tag", std::string(video ? "DV" : "AUDIO"));
        recording->setVideoStream(stream);
        stream->setValueForKey("StartTime", model::Date(std::chrono::system_clock::now()));
        startStopEnabled_.set(false);
        videoController_.setRecording(true, stream->FilePath(), recording);
        timerStartRecording_.invalidate();
        if (video)
            timerStartRecording_ = controllers_.mainLoop().schedule(
                std::chrono::duration<double>(kRecordingStartTimeLimit), false, [this] { timeOutRecordingStart(); });
        descriptions.push_back(model::getStreamInfoXML(*stream));
        videoController_.rememberSelectedDevices();
        settings.setBool(core::kRecordAudioVideo, true);
    } else {
        settings.setBool(core::kRecordAudioVideo, false);
    }
    startStopTitle_.set("Stop Recording");
    pauseEnabled_.set(true);

    if (auto sessionID = recording->SessionID(); sessionID && !sessionID->empty()) {
        try {
            auto service = service::RecorderService::serviceFromSettings();
            service->StartRecording(*sessionID, descriptions);
        } catch (const std::exception& e) {
            core::logf("Exception: %s", e.what());
            sheet(core::Alert{core::Alert::Style::Warning, "Error communicating start of recording to server.",
                              "There was an error trying to communicate the start of this recording to the server. "
                              "This recording will continue but the current Session may appear as not started to "
                              "other users.",
                              {"OK"}});
        }
    }
    if (auto error = controllers_.app().managedObjectContext()->save()) {
        sheet(core::Alert{core::Alert::Style::Critical, error->localizedDescription(),
                          error->localizedFailureReason(), {"OK"}},
              [this, error = *error](int) { endRecordingWithError(error); });
    }
}

void CreateRecordingController::createSession(model::Recording& recording) {
    const std::string name = chooser_.sessionName().get();
    const SessionGroupPtr group = chooser_.selectedSessionGroup().get();
    const std::string server = controllers_.settings().stringForKey(core::kServer).value_or("");
    if (!group) {
        recording.setSessionName(name, nullptr, "");
        return;
    }
    if (auto session = chooser_.selectedSession().get()) {
        recording.setSession(*session, *group, server);
        return;
    }
    model::ObjectPtr session;
    try {
        auto service = service::RecorderService::serviceFromSettings();
        session = service->AddSession(group->stringValue("publicID").value_or(""), name);
    } catch (const std::exception& e) {
        core::logf("Exception: %s", e.what());
    }
    if (session) {
        group->addToMany("sessions", session);
        recording.setSession(*session, *group, server);
        return;
    }
    sheet(core::Alert{core::Alert::Style::Warning, "Error trying to create a new Session.",
                      "There was an error trying to create an online session for this recording. This recording "
                      "will continue Offline.",
                      {"OK"}});
    recording.setSessionName(name, nullptr, "");
}

double CreateRecordingController::elapsedSeconds() const {
    return std::chrono::duration<double>(clock_() - startDate_).count();
}

void CreateRecordingController::updateDuration() {
    if (!currentRecording_) return;
    const std::string text = core::durationFromTimeInterval(elapsedSeconds());
    currentRecording_->setValueForKey("Length", text);
    durationText_.set(text);
}

void CreateRecordingController::timeOutRecordingStart() {
    core::logf("CreateRecordingController: Timeout waiting for recording to start.  Notifying user.");
    stopRecordingWithError(core::Error("Orvanta", 77, "Timed out waiting for QTKit to start recording"));
}

void CreateRecordingController::onVideoStartedRecording() {
    if (currentRecording_)
        if (auto stream = currentRecording_->VideoStream())
            stream->setValueForKey("StartTime", model::Date(std::chrono::system_clock::now()));
    startStopEnabled_.set(true);
    timerStartRecording_.invalidate();
}

// ---- Pause

void CreateRecordingController::pauseRecording() {
    if (!isRecording_.get() || !currentRecording_) return;
    const double t = elapsedSeconds();
    auto* context = controllers_.app().managedObjectContext();
    if (!isPaused_) {
        core::logf("Pausing");
        if (segments_.empty()) {
            core::logf("Creating a segment starting at 0");
            auto segment = context->insert<model::Segment>("Segment");
            segment->setValueForKey("Start", 0.0);
            segments_.push_back(segment);
            currentRecording_->addToMany("Segments", segment);
        }
        core::logf("Closing latest segment at current time");
        segments_.back()->setValueForKey("End", t);
        pauseTitle_.set("Resume");
        isPaused_ = true;
        currentRecording_->setState(model::kStatePaused);
    } else {
        core::logf("Unpausing.");
        core::logf("Creating a new segment starting at curr time");
        auto segment = context->insert<model::Segment>("Segment");
        segment->setValueForKey("Start", t);
        segments_.push_back(segment);
        currentRecording_->addToMany("Segments", segment);
        pauseTitle_.set("Pause");
        isPaused_ = false;
        currentRecording_->setState(model::kStateRecording);
    }
    // Each segment belongs to the recording from the start and is saved at once, so that a
    // recording cut short by a crash is recovered with its pauses.
    controllers_.app().saveManagedObjects();
}

// ---- Stop

void CreateRecordingController::stopRecordingWithError(const std::optional<core::Error>& error) {
    core::logf("%s", __PRETTY_FUNCTION__);
    auto recording = currentRecording_;
    core::logf("%s %d %s %s", __PRETTY_FUNCTION__, recording ? recording->State() : 0,
               recording ? recording->Guid().value_or("").c_str() : "(null)",
               error ? error->localizedDescription().c_str() : "(null)");
    std::lock_guard lock(lock_);
    sleepInhibitor_.stopPreventingSleep();
    if (!recording || (recording->State() != model::kStateRecording && recording->State() != model::kStatePaused))
        return;
    if (!isPaused_ && !segments_.empty()) pauseRecording();
    pauseTitle_.set("Pause");

    endRecordingCalled_ = false;
    recordingError_ = error;
    startStopEnabled_.set(false);
    recording->setState(model::kStateStopped);
    durationTimer_.invalidate();
    timerStartRecording_.invalidate();
    const auto end = std::chrono::system_clock::now();
    recording->setValueForKey("EndTime", model::Date(end));
    updateDuration();

    if (recordScreenCapture_.get() && screenController_) {
        if (auto stream = recording->ScreenCaptureStream()) stream->setValueForKey("EndTime", model::Date(end));
        try {
            screenController_->endRecording();
        } catch (const std::exception& e) {
            core::logf("Exception stopping screen capture: %s", e.what());
        }
    }
    if (recordPresentations_.get()) {
        for (auto* presentation : presentationRecorders_) {
            try {
                presentation->stopRecording();
            } catch (const std::exception& e) {
                core::logf("Exception stopping presentation capture: %s", e.what());
            }
        }
    }
    if (!recordAudioVideo_.get()) {
        recording->setState(model::kStateReady);
        readyToUpload();
    } else {
        videoController_.setRecording(false, recording);
        if (auto stream = recording->VideoStream()) stream->setValueForKey("EndTime", model::Date(end));
    }
    controllers_.app().saveManagedObjects();
    writeManifestFile(*recording);
    core::logf("Call endRecordingWithError %s", error ? error->localizedDescription().c_str() : "(null)");
    endRecordingWithError(error);
}

void CreateRecordingController::endRecordingWithError(const std::optional<core::Error>& given) {
    std::lock_guard lock(lock_);
    core::logf("%s", __PRETTY_FUNCTION__);
    core::logf("%s error:%s endRecordingCalled:%s", __PRETTY_FUNCTION__,
               given ? given->localizedDescription().c_str() : "(null)", yesNo(endRecordingCalled_));
    if (endRecordingCalled_) return;
    endRecordingCalled_ = true;
    const std::optional<core::Error> error = given ? given : recordingError_;
    auto& settings = controllers_.settings();
    if (error && currentRecording_) {
        currentRecording_->setValueForKey("FaultType", int64_t{1});
        currentRecording_->setState(model::kStateFailed);
        currentRecording_->setValueForKey("FaultString", "Error: " + error->localizedDescription());
        controllers_.app().saveManagedObjects();
        sheet(core::Alert{core::Alert::Style::Critical, error->localizedDescription(), error->localizedFailureReason(),
                          {"OK"}},
              [this](int) { recordingCompleted(); });
        return;
    }
    if (settings.boolForKey(core::kHasRun)) {
        recordingCompleted();
        return;
    }
    settings.setBool(core::kHasRun, true);
    sheet(core::Alert{core::Alert::Style::Informational, "You have completed your first recording.",
                      "Your recording will be selected in the Manage Recordings window.", {"OK"}},
          [this](int) { recordingCompleted(); });
}

void CreateRecordingController::recordingCompleted() {
    core::logf("%s", __PRETTY_FUNCTION__);
    if (currentRecording_) recordings_.setSelectedRecording(currentRecording_);
    setRecordingState(false);
    endRecordingCalled_ = false;
    recordingLock_.reset();
    if (manageRecordings_) manageRecordings_();
    startStopTitle_.set("Start Recording");
    startStopEnabled_.set(true);
    pauseEnabled_.set(false);
}

void CreateRecordingController::setRecordingState(bool recording) {
    isRecording_.set(recording);
    controllers_.recording().set(recording);
}

void CreateRecordingController::cancel() {
    videoController_.cancelSession();
    if (manageRecordings_) manageRecordings_();
}

void CreateRecordingController::readyToUpload() {
    if (currentRecording_ && controllers_.settings().boolForKey(core::kAutoUpload))
        controllers_.uploadController().uploadRecording(currentRecording_);
}

void CreateRecordingController::sheet(const core::Alert& alert, std::function<void(int)> completion) {
    controllers_.userInterface().showSheet(alert, completion ? std::move(completion) : [](int) {});
}

// ---- Camera recorder reports

void CreateRecordingController::videoRecorderDidStartRecording(capture::VideoRecorder&) { onVideoStartedRecording(); }

void CreateRecordingController::videoRecorderDidChangeAudioVolume(capture::VideoRecorder&, float level) {
    audioLevel_.set(level);
}

void CreateRecordingController::videoRecorderDidStopRecordingWithError(capture::VideoRecorder&,
                                                                       const core::Error& error) {
    if (!isRecording_.get()) {
        core::logf("We aren't recording!  Ignoring call to \"Stop\" recording %s", __PRETTY_FUNCTION__);
        return;
    }
    core::logf("%s", __PRETTY_FUNCTION__);
    if (currentRecording_ &&
        (currentRecording_->State() == model::kStateRecording || currentRecording_->State() == model::kStatePaused))
        stopRecordingWithError(error);
    endRecordingWithError(error);
}

void CreateRecordingController::videoRecorderDidFinishRecording(capture::VideoRecorder&) {
    core::logf("%s", __PRETTY_FUNCTION__);
    if (!currentRecording_) return;
    controllers_.app().stitchFiles(currentRecording_);
    readyToUpload();
}

void CreateRecordingController::videoRecorderDidDetectSilence(capture::VideoRecorder&, double seconds) {
    silenceDetected.emit(seconds);
}

}  // namespace orvanta::control
