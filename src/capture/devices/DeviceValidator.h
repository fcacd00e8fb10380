#pragma once

#include <chrono>
#include <string>

namespace orvanta::capture {

// The device validator is a program of its own ("orvanta-validator --device") that opens every
// camera once and asks it for its capabilities and format: a camera whose driver hangs or fails
// hangs or fails that process instead of the recorder. Exit status 0: all cameras answered.

// $ORVANTA_VALIDATOR when set, else "orvanta-validator" in the folder of the running program.
std::string validatorPath();

// Runs "<path> --device" (no shell) and waits for it at most `limit`. Returns its exit status
// (128 + the signal when a signal ended it), or -1 when it could not be started or ran longer
// than the limit; then it is killed with everything it started.
int runValidator(const std::string& path, std::chrono::seconds limit);

}  // namespace orvanta::capture
