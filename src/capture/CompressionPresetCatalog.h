#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture/MovieWriter.h"

namespace orvanta::capture {

// Media types of compression presets.
inline constexpr const char* kMediaTypeVideo = "video";
inline constexpr const char* kMediaTypeSound = "sound";

// One compression preset offered for the camera movie: for video a codec, a largest picture size
// and a bit rate; for sound an encoder, sample rate, channels and bit rate. Zero means "as the
// source" for size, sample rate and channels.
struct CompressionPreset {
    std::string identifier;
    std::string localizedDisplayName;
    std::string mediaType;  // kMediaTypeVideo or kMediaTypeSound
    std::string codec;      // four-character code of the track
    std::string encoderName;
    int width = 0;
    int height = 0;
    std::int64_t bitRate = 0;
    int sampleRate = 0;
    int channels = 0;

    bool operator==(const CompressionPreset&) const = default;
};

// The identifiers of all presets of a media type, in the order they are offered (including ones
// this system cannot make). Empty for an unknown media type.
std::vector<std::string> compressionOptionsIdentifiersForMediaType(const std::string& mediaType);

// The preset for an identifier; nullopt when it is unknown or its encoder is not available here.
std::optional<CompressionPreset> compressionOptionsWithIdentifier(const std::string& identifier);

// Movie writer options for a video preset at an expected frame rate (key frames every two seconds).
CompressionOptions compressionOptionsForVideoPreset(const CompressionPreset& preset, std::int32_t frameRate);
// Sound settings for a sound preset.
AudioCompression audioCompressionForSoundPreset(const CompressionPreset& preset);

}  // namespace orvanta::capture
