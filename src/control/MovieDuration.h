#pragma once

#include <optional>
#include <string>

namespace orvanta::control {

// How long the media of a movie file lasts, in seconds from the movie's zero to the end of its last
// video or sound sample, reading every sample as joining does. A movie cut short (a fragmented file
// whose writer died, a damaged tail) counts as far as it can be read. Absent when the file does not
// open as a movie; 0 for a movie without samples.
std::optional<double> readableMovieDuration(const std::string& path);

// The same for a numbered file sequence as the camera recorder leaves it next to finalPath
// (finalPath_0, finalPath_1, … up to the first missing number): the sum of the readable files, as
// long as the joined movie will be. When the final file itself exists it is measured instead.
// Absent when no file of the sequence can be read.
std::optional<double> readableSequenceDuration(const std::string& finalPath);

}  // namespace orvanta::control
