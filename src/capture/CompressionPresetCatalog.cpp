#include "capture/CompressionPresetCatalog.h"

#include <algorithm>
#include <array>
#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace orvanta::capture {

namespace {

const std::array<CompressionPreset, 13>& catalog() {
    // Bit rates suit a lecturer in front of a camera: little motion, a steady background.
    static const std::array<CompressionPreset, 13> presets{{
        {"QTCompressionOptions120SizeH264Video", "H.264 Video, 160 x 120", kMediaTypeVideo, "avc1", "libx264", 160,
         120, 128000, 0, 0},
        {"QTCompressionOptions240SizeH264Video", "H.264 Video, 320 x 240", kMediaTypeVideo, "avc1", "libx264", 320,
         240, 384000, 0, 0},
        {"QTCompressionOptionsSD480SizeH264Video", "H.264 Video, 640 x 480", kMediaTypeVideo, "avc1", "libx264", 640,
         480, 1000000, 0, 0},
        {"QTCompressionOptionsHD720SizeH264Video", "H.264 Video, 1280 x 720", kMediaTypeVideo, "avc1", "libx264",
         1280, 720, 2500000, 0, 0},
        {"QTCompressionOptions120SizeMPEG4Video", "MPEG-4 Video, 160 x 120", kMediaTypeVideo, "mp4v", "mpeg4", 160,
         120, 192000, 0, 0},
        {"QTCompressionOptions240SizeMPEG4Video", "MPEG-4 Video, 320 x 240", kMediaTypeVideo, "mp4v", "mpeg4", 320,
         240, 512000, 0, 0},
        {"QTCompressionOptionsSD480SizeMPEG4Video", "MPEG-4 Video, 640 x 480", kMediaTypeVideo, "mp4v", "mpeg4", 640,
         480, 1500000, 0, 0},
        {"QTCompressionOptionsLosslessAnimationVideo", "Animation Video (lossless)", kMediaTypeVideo, "rle ", "qtrle",
         0, 0, 0, 0, 0},
        {"QTCompressionOptionsJPEGVideo", "Photo JPEG Video", kMediaTypeVideo, "jpeg", "mjpeg", 0, 0, 0, 0, 0},
        {"QTCompressionOptionsLowQualityAACAudio", "AAC Audio, low quality (mono, 22.05 kHz)", kMediaTypeSound,
         "mp4a", "aac", 0, 0, 32000, 22050, 1},
        {"QTCompressionOptionsVoiceQualityAACAudio", "AAC Audio, voice quality (mono, 32 kHz)", kMediaTypeSound,
         "mp4a", "aac", 0, 0, 48000, 32000, 1},
        {"QTCompressionOptionsHighQualityAACAudio", "AAC Audio, high quality (stereo, 48 kHz)", kMediaTypeSound,
         "mp4a", "aac", 0, 0, 160000, 48000, 2},
        {"QTCompressionOptionsLosslessALACAudio", "ALAC Audio (lossless)", kMediaTypeSound, "alac", "alac", 0, 0, 0, 0,
         0},
    }};
    return presets;
}

}  // namespace

std::vector<std::string> compressionOptionsIdentifiersForMediaType(const std::string& mediaType) {
    std::vector<std::string> identifiers;
    for (const CompressionPreset& preset : catalog())
        if (preset.mediaType == mediaType) identifiers.push_back(preset.identifier);
    return identifiers;
}

std::optional<CompressionPreset> compressionOptionsWithIdentifier(const std::string& identifier) {
    for (const CompressionPreset& preset : catalog()) {
        if (preset.identifier != identifier) continue;
        if (!avcodec_find_encoder_by_name(preset.encoderName.c_str())) return std::nullopt;
        return preset;
    }
    return std::nullopt;
}

CompressionOptions compressionOptionsForVideoPreset(const CompressionPreset& preset, std::int32_t frameRate) {
    CompressionOptions options;
    options.codec = preset.codec;
    options.encoderName = preset.encoderName;
    options.frameRate = frameRate;
    options.bitRate = preset.bitRate;
    if (frameRate > 0) options.keyFrameInterval = 2 * frameRate;
    if (preset.encoderName == "libx264") options.encoderOptions = {{"preset", "veryfast"}, {"profile", "high"}};
    return options;
}

AudioCompression audioCompressionForSoundPreset(const CompressionPreset& preset) {
    AudioCompression audio;
    audio.encoderName = preset.encoderName;
    audio.bitRate = preset.bitRate;
    audio.sampleRate = preset.sampleRate;
    audio.channels = preset.channels;
    return audio;
}

}  // namespace orvanta::capture
