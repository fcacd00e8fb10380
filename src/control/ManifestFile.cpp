#include "control/ManifestFile.h"

#include <filesystem>

#include "capture/DurableFiles.h"
#include "core/Log.h"
#include "model/Manifest.h"

namespace orvanta::control {

bool writeManifestFile(model::Recording& recording) {
    const std::filesystem::path folder = recording.RecordingPath();
    const std::filesystem::path file = folder / (recording.Guid().value_or("recording") + ".xml");
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    core::Error error;
    if (capture::writeFileDurably(file.string(), model::manifestText(recording), &error)) return true;
    core::logf("Unable to write the manifest %s: %s", file.c_str(), error.localizedDescription().c_str());
    return false;
}

}  // namespace orvanta::control
