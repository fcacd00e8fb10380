#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace orvanta::test {

// Small movies made with the ffmpeg program (mpeg4 video at 30 frames per second and AAC sound),
// made once per test run and copied where a test needs them.
enum class Clip {
    A,      // 320x240 test pattern, 440 Hz, 1.0 s
    B,      // 320x240 moving pattern, 660 Hz, 1.5 s
    C,      // 320x240 colour bars, 880 Hz, 0.7 s
    Small,  // 160x120 test pattern, 440 Hz, 0.5 s: cannot continue the others
    Fragmented,  // like A but 2.0 s, written in fragments of half a second (readable when cut short)
};
// Copies the clip to `to` (replacing what is there).
void copyClip(Clip clip, const std::filesystem::path& to);
// The clip's own file; do not change it.
const std::filesystem::path& clipPath(Clip clip);

// What ffprobe reports.
double movieDuration(const std::filesystem::path& movie);  // seconds; negative when unreadable

struct TrackInfo {
    std::string type;  // "video" or "audio"
    std::string codec;
    int width = 0, height = 0, sampleRate = 0, channels = 0;
    bool operator==(const TrackInfo&) const = default;
};
std::vector<TrackInfo> movieTracks(const std::filesystem::path& movie);

struct PacketInfo {
    int stream = 0;
    std::string hash;  // MD5 of the sample's bytes
    bool discard = false;
    int64_t pts = 0, dts = 0;
    double time = 0;  // presentation time in seconds
};
std::vector<PacketInfo> moviePackets(const std::filesystem::path& movie);
// The hashes of one track's samples in file order; discarded ones left out when asked.
std::vector<std::string> trackHashes(const std::vector<PacketInfo>& packets, int stream, bool withDiscarded = true);

// MD5 of a whole file, as hex text.
std::string fileDigest(const std::filesystem::path& file);

}  // namespace orvanta::test
