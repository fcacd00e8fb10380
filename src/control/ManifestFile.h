#pragma once

#include "model/Recording.h"

namespace orvanta::control {

// Writes the recording's manifest beside its media, "<Guid>.xml" in the recording folder, replaced
// whole and flushed to the disk (a crash leaves the old file or the new one). Failures are logged;
// false then.
bool writeManifestFile(model::Recording& recording);

}  // namespace orvanta::control
