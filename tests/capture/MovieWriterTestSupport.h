#pragma once

// Frames, a delegate and ffprobe readings shared by the movie writer's tests.

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "capture/MovieWriter.h"
#include "support/Files.h"

namespace orvanta::capture::writertest {

// How often frames were asked for their pixels and gave them back.
struct FrameCounts {
    std::atomic<int> pixelRequests{0};
    std::atomic<int> releases{0};
    std::atomic<int> doubleReleases{0};
};

// A frame that owns a BGRA picture of one grey level.
class TestFrame : public VideoFrame {
public:
    TestFrame(std::int64_t timeStamp, std::int32_t timeScale, std::uint32_t width, std::uint32_t height,
              std::uint8_t grey, std::shared_ptr<FrameCounts> counts, bool withPixels = true, bool noise = false)
        : VideoFrame(timeStamp, timeScale), counts_(std::move(counts)), withPixels_(withPixels) {
        pixels_.resize(static_cast<std::size_t>(width) * height * 4);
        std::uint32_t random = static_cast<std::uint32_t>(timeStamp) * 2654435761u + 1;
        for (std::size_t i = 0; i < pixels_.size(); i += 4) {
            if (noise) {
                random = random * 1664525u + 1013904223u;
                grey = static_cast<std::uint8_t>(random >> 24);
            }
            pixels_[i] = pixels_[i + 1] = pixels_[i + 2] = grey;
            pixels_[i + 3] = 255;
        }
        buffer_ = PixelBuffer{pixels_.data(), width, height, width * 4};
    }

    const PixelBuffer* pixelBuffer() override {
        ++counts_->pixelRequests;
        return withPixels_ ? &buffer_ : nullptr;
    }
    void releasePixels() override {
        if (released_.exchange(true)) ++counts_->doubleReleases;
        ++counts_->releases;
        // The owner reuses the memory at once: whatever still reads it would see garbage.
        std::fill(pixels_.begin(), pixels_.end(), 0x5a);
    }

private:
    std::shared_ptr<FrameCounts> counts_;
    bool withPixels_;
    std::vector<std::uint8_t> pixels_;
    PixelBuffer buffer_;
    std::atomic<bool> released_{false};
};

// Collects what the writer reports.
class RecordingDelegate : public MovieWriterDelegate {
public:
    void movieWriterFailedWithError(MovieWriter&, const core::Error& error) override {
        std::lock_guard lock(mutex_);
        errors_.push_back(error);
    }
    std::vector<core::Error> errors() const {
        std::lock_guard lock(mutex_);
        return errors_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<core::Error> errors_;
};

// Hands `count` frames of the given size to the writer, `step` time units apart, grey levels rising.
inline void feedFrames(MovieWriter& writer, int count, std::int64_t step, std::int32_t timeScale,
                       std::uint32_t width, std::uint32_t height, const std::shared_ptr<FrameCounts>& counts,
                       std::int64_t firstStamp = 0) {
    for (int i = 0; i < count; ++i)
        writer.compressFrameOnSeparateThread(std::make_shared<TestFrame>(
            firstStamp + i * step, timeScale, width, height, static_cast<std::uint8_t>(16 + (i * 7) % 224), counts));
}

// Interleaved PCM of a sine tone: 16-bit integers or 32-bit floats.
inline std::vector<std::uint8_t> tone(double seconds, int sampleRate, int channels,
                                      AudioSampleBuffer::Format format = AudioSampleBuffer::Format::S16) {
    auto frames = static_cast<std::size_t>(seconds * sampleRate);
    bool s16 = format == AudioSampleBuffer::Format::S16;
    std::size_t sampleBytes = s16 ? 2 : 4;
    std::vector<std::uint8_t> bytes(frames * channels * sampleBytes);
    for (std::size_t i = 0; i < frames; ++i) {
        double v = 0.25 * std::sin(2 * M_PI * 440 * static_cast<double>(i) / sampleRate);
        for (int c = 0; c < channels; ++c) {
            std::uint8_t* at = bytes.data() + (i * channels + c) * sampleBytes;
            if (s16) {
                auto sample = static_cast<std::int16_t>(v * 32767);
                std::memcpy(at, &sample, 2);
            } else {
                auto sample = static_cast<float>(v);
                std::memcpy(at, &sample, 4);
            }
        }
    }
    return bytes;
}

inline std::size_t bytesPerFrame(AudioSampleBuffer::Format format, int channels) {
    return static_cast<std::size_t>(channels) * (format == AudioSampleBuffer::Format::S16 ? 2 : 4);
}

// Appends PCM from `from` (a byte offset) for `seconds`, in buffers of about 20 ms as a microphone
// delivers them. Returns where it stopped.
inline std::size_t feedSound(MovieWriter& writer, const std::vector<std::uint8_t>& pcm, int sampleRate, int channels,
                             AudioSampleBuffer::Format format = AudioSampleBuffer::Format::S16,
                             std::size_t from = 0, double seconds = 1e9) {
    std::size_t frameBytes = bytesPerFrame(format, channels);
    std::size_t chunk = static_cast<std::size_t>(sampleRate / 50) * frameBytes;
    std::size_t end = std::min(pcm.size(), from + static_cast<std::size_t>(seconds * sampleRate) * frameBytes);
    std::size_t at = from;
    for (; at < end; at += chunk) {
        AudioSampleBuffer buffer;
        buffer.format = format;
        buffer.sampleRate = sampleRate;
        buffer.channels = channels;
        buffer.timeScale = sampleRate;
        buffer.presentationTime = static_cast<std::int64_t>(at / frameBytes);
        buffer.data = pcm.data() + at;
        buffer.byteCount = std::min(chunk, end - at);
        writer.processAudioSamples(buffer);
    }
    return std::min(at, end);
}

inline std::string quoted(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

inline nlohmann::json ffprobe(const std::filesystem::path& movie, const std::string& what) {
    std::string text = test::commandOutput("ffprobe -v error " + what + " -of json " + quoted(movie) + " 2>/dev/null");
    auto json = nlohmann::json::parse(text, nullptr, false);
    return json.is_discarded() ? nlohmann::json() : json;
}

struct StreamFacts {
    std::string type, codec, timeBase;
    int width = 0, height = 0, frames = 0, sampleRate = 0;
    double duration = 0;
};

struct MovieFacts {
    bool readable = false;
    double duration = 0;
    std::vector<StreamFacts> streams;

    const StreamFacts* stream(const std::string& type) const {
        for (const auto& s : streams)
            if (s.type == type) return &s;
        return nullptr;
    }
};

inline double number(const nlohmann::json& j, const char* key) {
    if (!j.contains(key)) return 0;
    const auto& v = j[key];
    if (v.is_number()) return v.get<double>();
    if (v.is_string()) return std::atof(v.get<std::string>().c_str());
    return 0;
}

inline MovieFacts probeMovie(const std::filesystem::path& movie) {
    MovieFacts facts;
    auto json = ffprobe(movie,
                        "-count_packets -show_entries "
                        "stream=codec_type,codec_name,width,height,nb_read_packets,sample_rate,duration,time_base:"
                        "format=duration");
    if (!json.is_object() || !json.contains("format")) return facts;
    facts.readable = true;
    facts.duration = number(json["format"], "duration");
    for (const auto& s : json["streams"]) {
        StreamFacts f;
        f.type = s.value("codec_type", "");
        f.codec = s.value("codec_name", "");
        f.timeBase = s.value("time_base", "");
        f.width = s.value("width", 0);
        f.height = s.value("height", 0);
        f.frames = static_cast<int>(number(s, "nb_read_packets"));
        f.sampleRate = static_cast<int>(number(s, "sample_rate"));
        f.duration = number(s, "duration");
        facts.streams.push_back(f);
    }
    return facts;
}

// Presentation time stamps of the video samples, in file (decode) order, in the track's time base.
inline std::vector<std::int64_t> videoPacketTimes(const std::filesystem::path& movie, bool decodeTimes = false) {
    auto json = ffprobe(movie, "-select_streams v:0 -show_entries packet=pts,dts");
    std::vector<std::int64_t> times;
    if (!json.is_object()) return times;
    for (const auto& p : json["packets"]) times.push_back(p.value(decodeTimes ? "dts" : "pts", std::int64_t{-1}));
    return times;
}

// The mean grey level of every decoded picture, in display order.
inline std::vector<int> decodedGreyLevels(const std::filesystem::path& movie) {
    // Through a file: the pictures are binary data.
    std::filesystem::path raw = movie.string() + ".grey";
    test::commandOutput("ffmpeg -v error -y -i " + quoted(movie) +
                        " -map 0:v:0 -fps_mode passthrough -vf scale=4:4 -pix_fmt gray -f rawvideo " + quoted(raw) +
                        " 2>/dev/null");
    std::string pictures = test::readFile(raw);
    std::error_code ec;
    std::filesystem::remove(raw, ec);
    std::vector<int> levels;
    for (std::size_t at = 0; at + 16 <= pictures.size(); at += 16) {
        int sum = 0;
        for (std::size_t i = 0; i < 16; ++i) sum += static_cast<unsigned char>(pictures[at + i]);
        levels.push_back(sum / 16);
    }
    return levels;
}

// Whether a box of the given type appears at the top level of the file (e.g. "moof" fragments).
inline bool hasTopLevelBox(const std::filesystem::path& movie, const std::string& type) {
    std::string data = test::readFile(movie);
    std::size_t at = 0;
    while (at + 8 <= data.size()) {
        auto byte = [&](std::size_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(data[i])); };
        std::uint64_t size = byte(at) << 24 | byte(at + 1) << 16 | byte(at + 2) << 8 | byte(at + 3);
        if (data.compare(at + 4, 4, type) == 0) return true;
        if (size == 1 && at + 16 <= data.size()) {
            size = 0;
            for (int i = 0; i < 8; ++i) size = size << 8 | byte(at + 8 + i);
        }
        if (size < 8) break;
        at += size;
    }
    return false;
}

}  // namespace orvanta::capture::writertest
