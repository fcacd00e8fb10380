#include "capture/CompressionPresets.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "capture/VideoEncoder.h"
#include "core/Log.h"
#include "core/Resources.h"

namespace orvanta::capture {

namespace {

constexpr std::uint32_t kStoredQuality = 0x300;
// x264's rate factor doubles the bit rate about every 6 steps; MPEG-4's quantiser about every 2.
constexpr double kCrfPerQualityStep = 6.0;
constexpr double kQscalePerQualityStep = 2.0;

double qualitySteps(std::uint32_t quality) {
    return (static_cast<double>(kStoredQuality) - static_cast<double>(quality)) / 0x100;
}

std::string optionText(const nlohmann::json& value) {
    if (value.is_string()) return value.get<std::string>();
    if (value.is_boolean()) return value.get<bool>() ? "1" : "0";
    return value.dump();
}

}  // namespace

std::string compressionResourceName(const std::string& codec) { return codec == "avc1" ? "h264" : "mpeg4"; }

StoredCompressionSettings defaultCompressionSettings(const std::string& codec) {
    StoredCompressionSettings settings;
    if (codec == "avc1") {
        settings.codec = "avc1";
        settings.encoder = "libx264";
        settings.crf = 23;
    } else {
        settings.codec = "mp4v";
        settings.encoder = "mpeg4";
        settings.qscale = 4;
    }
    return settings;
}

std::optional<StoredCompressionSettings> parseCompressionSettings(const std::string& text, std::string* error) {
    nlohmann::json json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!json.is_object()) {
        *error = "not a JSON object";
        return std::nullopt;
    }
    StoredCompressionSettings settings;
    try {
        settings.codec = json.at("codec").get<std::string>();
        settings.encoder = json.at("encoder").get<std::string>();
        if (json.contains("pixelFormat")) settings.pixelFormat = json["pixelFormat"].get<std::string>();
        if (json.contains("crf")) settings.crf = json["crf"].get<double>();
        if (json.contains("qscale")) settings.qscale = json["qscale"].get<int>();
        if (json.contains("bitRate")) settings.bitRate = json["bitRate"].get<std::int64_t>();
        if (json.contains("keyFrameSeconds")) settings.keyFrameSeconds = json["keyFrameSeconds"].get<double>();
        if (json.contains("options")) {
            const auto& options = json["options"];
            if (!options.is_object()) throw std::invalid_argument("\"options\" is not an object");
            for (const auto& [key, value] : options.items()) settings.options.emplace_back(key, optionText(value));
        }
    } catch (const std::exception& e) {
        *error = e.what();
        return std::nullopt;
    }
    if (settings.codec.size() != 4) {
        *error = "\"codec\" is not a four-character code";
        return std::nullopt;
    }
    if (settings.encoder.empty() || settings.bitRate < 0 || settings.keyFrameSeconds < 0 ||
        !std::isfinite(settings.keyFrameSeconds)) {
        *error = "\"encoder\", \"bitRate\" or \"keyFrameSeconds\" is out of range";
        return std::nullopt;
    }
    return settings;
}

CompressionOptions makeCompressionOptions(const StoredCompressionSettings& settings, std::uint32_t quality,
                                          std::int32_t frameRate) {
    CompressionOptions options;
    options.codec = settings.codec;
    options.encoderName = settings.encoder;
    options.pixelFormat = settings.pixelFormat;
    options.quality = quality;
    options.frameRate = frameRate;
    options.bitRate = settings.bitRate;
    if (settings.keyFrameSeconds > 0 && frameRate > 0)
        options.keyFrameInterval = std::max(1, static_cast<int>(std::lround(settings.keyFrameSeconds * frameRate)));
    std::string flags;
    if (settings.crf) {
        double crf = std::clamp(*settings.crf + qualitySteps(quality) * kCrfPerQualityStep, 1.0, 51.0);
        std::ostringstream text;
        text << crf;
        options.encoderOptions.emplace_back("crf", text.str());
    } else if (settings.qscale) {
        long q = std::clamp(std::lround(*settings.qscale + qualitySteps(quality) * kQscalePerQualityStep), 1L, 31L);
        flags = "+qscale";
        options.encoderOptions.emplace_back("global_quality", std::to_string(q * FF_QP2LAMBDA));
    }
    for (const auto& [key, value] : settings.options) {
        if (key == "flags") flags += value;
        else options.encoderOptions.emplace_back(key, value);
    }
    if (!flags.empty()) options.encoderOptions.emplace_back("flags", flags);
    return options;
}

std::shared_ptr<const CompressionOptions> MovieWriter::compressionOptions(std::string* codec, std::uint32_t quality,
                                                                          std::int32_t dataRate,
                                                                          std::int32_t frameRate, bool showOptions) {
    std::string wanted = codec ? *codec : std::string("mp4v");
    StoredCompressionSettings settings = defaultCompressionSettings(wanted);
    std::filesystem::path file = core::resourcePath("presets/" + compressionResourceName(wanted));
    std::error_code ec;
    if (std::filesystem::exists(file, ec)) {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        std::string error;
        if (auto stored = in ? parseCompressionSettings(text.str(), &error) : std::nullopt) {
            settings = *stored;
        } else {
            core::logf("SCSetSettingsFromAtomContainer() failed with error %ld", static_cast<long>(AVERROR_INVALIDDATA));
            core::logf("Stored compression settings %s are unusable (%s); using the defaults", file.c_str(),
                       in ? error.c_str() : "cannot be read");
        }
    }
    if (!avcodec_find_encoder_by_name(settings.encoder.c_str())) {
        core::logf("Compression component opening failed: no encoder \"%s\"", settings.encoder.c_str());
        return nullptr;
    }
    if (showOptions)
        core::logf("There is no compression settings dialog; the stored settings for \"%s\" are used",
                   settings.codec.c_str());
    // The data rate comes from the stored settings, not from the caller.
    (void)dataRate;
    if (codec) *codec = settings.codec;
    return std::make_shared<const CompressionOptions>(makeCompressionOptions(settings, quality, frameRate));
}

}  // namespace orvanta::capture
