#pragma once

#include <string>

namespace orvanta::validator {

// Opens a camera node the way a capture program does, asks for its capabilities and current
// format, and closes it. Empty when all of that worked; otherwise what failed. May block as long
// as the driver does.
std::string probeCamera(const std::string& node);

}  // namespace orvanta::validator
