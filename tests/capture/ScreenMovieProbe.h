#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace orvanta::test {

// Presentation times in seconds of the first video track's frames as they are shown (decoded by
// ffprobe).
std::vector<double> videoFrameTimes(const std::filesystem::path& movie);

// The video frame shown at `seconds`, decoded to 8-bit RGB at the track's size; empty when it cannot
// be decoded.
struct RgbPicture {
    int width = 0, height = 0;
    std::vector<std::uint8_t> rgb;
    bool empty() const { return rgb.empty(); }
    // {r, g, b} of one pixel.
    std::vector<int> at(int x, int y) const;
};
RgbPicture decodeFrame(const std::filesystem::path& movie, double seconds, int width, int height);

}  // namespace orvanta::test
