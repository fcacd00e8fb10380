#include <cstdio>

#include "capture/camera/VideoRecorder.h"
#include "cli/Commands.h"

namespace orvanta::cli {

int runDevices(CommandContext& context, const std::vector<std::string>& argv) {
    auto args = parseArguments(argv, {}, {});
    if (!args.error.empty()) return usageError("devices", args.error);
    if (!args.positional.empty()) return usageError("devices", "unexpected argument '" + args.positional[0] + "'");
    // The lists as the recorder sees them: checked by the device validator, with the devices a
    // recording would use now marked.
    capture::VideoRecorder recorder(capture::systemDeviceDirectory(), context.settings(), nullptr);
    recorder.awakeFromNib();
    context.runUntil([&] { return recorder.devicesAreListed() || context.interrupts().count() > 0; });
    if (!recorder.devicesAreListed()) return kExitInterrupted;
    auto print = [](const char* kind, const std::vector<capture::CaptureDevicePtr>& devices,
                    const capture::CaptureDevicePtr& selected) {
        for (const auto& device : devices)
            std::printf("%s\t%s%s\n", kind, device->localizedDisplayName.c_str(),
                        capture::sameDevice(device, selected) ? "\tselected" : "");
    };
    print("camera", recorder.videoDevices(), recorder.selectedVideoDevice());
    print("microphone", recorder.audioDevices(), recorder.selectedAudioDevice());
    if (recorder.videoDevices().empty() && recorder.audioDevices().empty()) std::printf("no devices\n");
    return kExitOk;
}

}  // namespace orvanta::cli
