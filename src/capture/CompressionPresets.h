#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "capture/MovieWriter.h"

namespace orvanta::capture {

// Stored codec settings: the contents of the "h264" and "mpeg4" preset resources, a small JSON
// object:
//   codec            four-character code of the video track ("avc1", "mp4v")
//   encoder          FFmpeg encoder name ("libx264", "mpeg4")
//   pixelFormat      FFmpeg pixel format name (optional)
//   crf              constant rate factor at quality 0x300 (encoders with a "crf" option)
//   qscale           fixed quantiser at quality 0x300 (encoders without one)
//   bitRate          bits per second (optional; the quality settings usually suffice)
//   keyFrameSeconds  longest time between key frames
//   options          further encoder options, passed as given
struct StoredCompressionSettings {
    std::string codec;
    std::string encoder;
    std::string pixelFormat;
    std::optional<double> crf;
    std::optional<int> qscale;
    std::int64_t bitRate = 0;
    double keyFrameSeconds = 0;
    std::vector<std::pair<std::string, std::string>> options;
};

// The resource name of the stored settings for a codec: "h264" for "avc1", else "mpeg4".
std::string compressionResourceName(const std::string& codec);

// What is used when no stored settings exist (or they cannot be read) for a codec.
StoredCompressionSettings defaultCompressionSettings(const std::string& codec);

// Reads stored settings from JSON text; nullopt, with *error set, when it is not a valid preset.
std::optional<StoredCompressionSettings> parseCompressionSettings(const std::string& text, std::string* error);

// Encoder options from stored settings at the caller's quality (0x300 = as stored; each 0x100 more
// or less moves the quality by about a factor two in bit rate) and expected frame rate.
CompressionOptions makeCompressionOptions(const StoredCompressionSettings& settings, std::uint32_t quality,
                                          std::int32_t frameRate);

}  // namespace orvanta::capture
