#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <string>
#include <thread>

#include "capture/camera/VideoRecorder.h"
#include "cli/Commands.h"
#include "cli/Terminal.h"
#include "control/CoursesController.h"
#include "control/CreateRecordingController.h"
#include "control/RecordingsController.h"
#include "control/SessionChooserController.h"
#include "core/SettingsKeys.h"
#include "model/Recording.h"
#include "model/SimpleSessionGroup.h"

namespace orvanta::cli {

namespace {

using capture::CaptureDevicePtr;

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// The device of that name: the exact name, else the only one whose name contains it (any case).
CaptureDevicePtr findDevice(const std::vector<CaptureDevicePtr>& devices, const std::string& name) {
    for (const auto& d : devices)
        if (d->localizedDisplayName == name) return d;
    CaptureDevicePtr found;
    for (const auto& d : devices) {
        if (lower(d->localizedDisplayName).find(lower(name)) == std::string::npos) continue;
        if (found) return nullptr;  // more than one
        found = d;
    }
    return found;
}

int unknownDevice(const char* kind, const std::string& name, const std::vector<CaptureDevicePtr>& devices) {
    std::fprintf(stderr, "orvanta record: no %s matches \"%s\"; there are:", kind, name.c_str());
    for (const auto& d : devices) std::fprintf(stderr, " \"%s\"", d->localizedDisplayName.c_str());
    if (devices.empty()) std::fprintf(stderr, " none");
    std::fprintf(stderr, " (see 'orvanta devices')\n");
    return kExitUsage;
}

// "p" + Enter on standard input pauses and resumes; read on a thread of its own.
class PauseKeyReader {
public:
    explicit PauseKeyReader(std::function<void()> toggle)
        : thread_([this, toggle = std::move(toggle)] {
              std::string line;
              while (!stop_) {
                  pollfd p{STDIN_FILENO, POLLIN, 0};
                  if (::poll(&p, 1, 200) <= 0) continue;
                  char c;
                  const ssize_t n = ::read(STDIN_FILENO, &c, 1);
                  if (n <= 0) return;  // no more input
                  if (c != '\n') {
                      line += c;
                      continue;
                  }
                  if (lower(line) == "p") core::RunLoop::main().post(toggle);
                  line.clear();
              }
          }) {}
    ~PauseKeyReader() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

bool finished(const model::Recording& r) {
    const int state = r.State();
    return state != model::kStateRecording && state != model::kStatePaused && state != model::kStateStopped &&
           state != model::kStatePostProcessing;
}

}  // namespace

int runRecord(CommandContext& context, const std::vector<std::string>& argv) {
    auto args = parseArguments(argv, {"camera", "mic", "folder", "session", "duration"}, {"screen"});
    if (!args.error.empty()) return usageError("record", args.error);
    if (!args.positional.empty()) return usageError("record", "unexpected argument '" + args.positional[0] + "'");
    double duration = 0;
    if (args.has("duration")) {
        try {
            duration = std::stod(args.value("duration"));
        } catch (...) {
            duration = -1;
        }
        if (!(duration > 0)) return usageError("record", "--duration takes a number of seconds above 0");
    }
    if (args.has("folder") && args.value("folder").empty()) return usageError("record", "--folder needs a name");
    auto* store = context.store();
    if (!store) return kExitStoreUnavailable;
    auto& settings = context.settings();
    auto& controllers = context.controllers();
    auto& loop = context.loop();

    // The devices, as the recorder lists them.
    capture::VideoRecorder video(capture::systemDeviceDirectory(), settings, &context.ui());
    video.awakeFromNib();
    context.runUntil([&] { return video.devicesAreListed() || context.interrupts().count() > 0; });
    if (!video.devicesAreListed()) return kExitInterrupted;
    CaptureDevicePtr camera, microphone = video.selectedAudioDevice();
    if (args.has("camera") && lower(args.value("camera")) != "none") {
        camera = findDevice(video.videoDevices(), args.value("camera"));
        if (!camera) return unknownDevice("camera", args.value("camera"), video.videoDevices());
    }
    if (args.has("mic")) {
        microphone = lower(args.value("mic")) == "none" ? nullptr : findDevice(video.audioDevices(), args.value("mic"));
        if (!microphone && lower(args.value("mic")) != "none")
            return unknownDevice("microphone", args.value("mic"), video.audioDevices());
    }
    video.setSelectedVideoDevice(camera);
    video.setSelectedAudioDevice(microphone);

    control::CoursesController courses(settings, loop, controllers.loginController().loggedIn(), &context.ui());
    control::SessionChooserController chooser(courses, loop);
    control::RecordingsController recordings(controllers, nullptr);
    control::CreateRecordingController controller(controllers, chooser, recordings, video);
    controller.awakeFromNib();
    controller.recordScreenCapture().set(args.has("screen"));
    controller.recordPresentations().set(false);
    controller.recordAudioVideo().set(camera || microphone);

    // The folder needs the server; without it the recording is made offline.
    const std::string sessionName = args.value("session");
    std::string folderName;
    if (args.has("folder")) {
        bool listed = false;
        auto updated = courses.coursesUpdated.connect([&](bool) { listed = true; });
        if (context.ensureLoggedIn()) {
            context.runUntil([&] { return listed || context.interrupts().count() > 0; });
            folderName = args.value("folder");
        } else {
            std::fprintf(stderr, "orvanta record: the server cannot be reached; recording offline\n");
        }
    }
    chooser.resetWithSessionGroupName(folderName, sessionName);
    if (!folderName.empty()) {
        auto group = chooser.selectedSessionGroup().get();
        if (!group) {
            std::fprintf(stderr, "orvanta record: no folder \"%s\" on the server (see 'orvanta folders')\n",
                         folderName.c_str());
            return kExitUsage;
        }
        for (const auto& session : group->sortedSessions())
            if (session->stringValue("longName") == sessionName) chooser.selectSession(session);
    }
    if (!controller.canRecord().get()) {
        std::fprintf(stderr, "orvanta record: %s\n", controller.toRecordMessage().get().c_str());
        return kExitUsage;
    }

    controller.onDisplay(true);
    controller.startStopRecording();
    auto recording = controller.currentRecording();
    if (!controller.isRecording().get() || !recording) {
        std::fprintf(stderr, "orvanta record: the recording did not start\n");
        return kExitFailed;
    }
    const std::string guid = recording->Guid().value_or("");
    std::fprintf(stderr, "recording %s%s\n", guid.c_str(),
                 duration > 0 ? "" : "; Ctrl-C stops, p + Enter pauses and resumes");

    auto togglePause = [&] {
        controller.pauseRecording();
        std::fprintf(stderr, "%s\n", controller.isPaused() ? "paused" : "resumed");
    };
    context.interrupts().setUserSignalHandler(togglePause);
    context.interrupts().setHandler([&](int count) {
        if (count > 1) std::_Exit(kExitInterrupted);  // the files written so far stay and are recovered
        if (controller.isRecording().get() && !finished(*recording)) controller.startStopRecording();
    });
    PauseKeyReader keys(togglePause);
    auto silence = controller.silenceDetected.connect([](double seconds) {
        std::fprintf(stderr, "warning: no sound from the microphone for %.0f seconds\n", seconds);
    });
    const bool terminal = isTerminal(stderr);
    auto display = loop.schedule(std::chrono::milliseconds(500), true, [&] {
        if (!terminal || !controller.isRecording().get()) return;
        const int bars = std::clamp(static_cast<int>(controller.audioLevel().get()), 0, 20);
        std::fprintf(stderr, "\r%s %s%-20s%s", controller.durationText().get().c_str(),
                     controller.isPaused() ? "paused " : "", std::string(static_cast<std::size_t>(bars), '|').c_str(),
                     "   ");
    });
    core::TimerHandle stopTimer;
    if (duration > 0)
        stopTimer = loop.schedule(std::chrono::duration<double>(duration), false, [&] {
            if (controller.isRecording().get() && recording->State() != model::kStateStopped)
                controller.startStopRecording();
        });

    // Until the recording is stopped and its movies are joined.
    context.runUntil([&] { return !controller.isRecording().get() && finished(*recording); });
    display.invalidate();
    if (terminal) std::fprintf(stderr, "\n");
    context.interrupts().setUserSignalHandler(nullptr);
    context.interrupts().setHandler(nullptr);
    context.app().saveManagedObjects();

    int code = recording->State() == model::kStateFailed ? kExitFailed : kExitOk;
    if (code == kExitOk && settings.boolForKey(core::kAutoUpload) && recording->canUpload() &&
        context.interrupts().count() == 0 && context.ensureLoggedIn())
        code = sendRecordings(context, {recording});
    std::printf("%s\t%s\n", guid.c_str(), recording->DetailedStatus().c_str());
    if (recording->State() == model::kStateFailed)
        std::fprintf(stderr, "orvanta record: %s\n", recording->FaultString().value_or("the recording failed").c_str());
    return code;
}

}  // namespace orvanta::cli
