#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace orvanta::capture {

// What the copy changes on the way.
struct RemuxPlan {
    // Sound samples starting at or after this time are left out and the last one kept is
    // shortened to end there, so the sound track ends with the video.
    std::optional<double> soundEndSeconds;
    // Time scale of the video track (0: the muxer's choice) and the duration of its samples in it;
    // the last sample keeps that duration instead of what a fragmented file can tell about it.
    int videoTimeScale = 0;
    std::int64_t videoFrameDuration = 0;
};

// Copies the samples of a (fragmented) movie into an ordinary, self-contained QuickTime movie at
// `destination`, without re-encoding, as the plan says. False, with *error set, on failure; a partly
// written destination is removed.
bool remuxMovie(const std::string& source, const std::string& destination, const RemuxPlan& plan,
                std::string* error);

// Writes a movie with no tracks at all: what a writer that never received anything leaves.
bool writeEmptyMovie(const std::string& path, std::string* error);

}  // namespace orvanta::capture
