#include "capture/devices/AudioLevelMeter.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace orvanta::capture {

namespace {

double sampleAt(const AudioSampleBuffer& samples, std::size_t index) {
    if (samples.format == AudioSampleBuffer::Format::S16) {
        std::int16_t value;
        std::memcpy(&value, samples.data + index * 2, 2);
        return value / 32768.0;
    }
    float value;
    std::memcpy(&value, samples.data + index * 4, 4);
    return value;
}

}  // namespace

void AudioLevelMeter::add(const AudioSampleBuffer& samples) {
    if (!samples.data || samples.channels <= 0 || samples.sampleRate <= 0) return;
    const std::size_t sampleBytes = samples.format == AudioSampleBuffer::Format::S16 ? 2 : 4;
    const auto channels = static_cast<std::size_t>(samples.channels);
    const std::size_t frames = samples.byteCount / (sampleBytes * channels);
    if (frames == 0) return;

    std::vector<double> sums(channels, 0.0);
    std::size_t trailingZeros = 0;  // all-zero frames at the end of this buffer
    for (std::size_t f = 0; f < frames; ++f) {
        bool silent = true;
        for (std::size_t c = 0; c < channels; ++c) {
            const double v = sampleAt(samples, f * channels + c);
            sums[c] += v * v;
            if (v != 0) silent = false;
        }
        trailingZeros = silent ? trailingZeros + 1 : 0;
    }

    std::lock_guard lock(mutex_);
    if (sumOfSquares_.size() != channels) {
        sumOfSquares_.assign(channels, 0.0);
        frames_ = 0;
    }
    for (std::size_t c = 0; c < channels; ++c) sumOfSquares_[c] += sums[c];
    frames_ += frames;
    const double silence = static_cast<double>(trailingZeros) / samples.sampleRate;
    silentSeconds_ = trailingZeros == frames ? silentSeconds_ + silence : silence;
}

std::vector<float> AudioLevelMeter::averagePowerLevels() {
    std::lock_guard lock(mutex_);
    std::vector<float> levels;
    if (frames_ == 0) return levels;
    levels.reserve(sumOfSquares_.size());
    for (double& sum : sumOfSquares_) {
        const double meanSquare = sum / static_cast<double>(frames_);
        levels.push_back(meanSquare > 0 ? static_cast<float>(10 * std::log10(meanSquare))
                                        : -std::numeric_limits<float>::infinity());
        sum = 0;
    }
    frames_ = 0;
    return levels;
}

float AudioLevelMeter::meterValue(const std::vector<float>& levels) {
    double sum = 0;
    int count = 0;
    for (float level : levels) {
        if (level > -1000000.0f) {
            sum += level;
            ++count;
        }
    }
    if (count == 0) return 0;
    return static_cast<float>(20 * std::pow(10.0, 0.05 * (sum / count)));
}

double AudioLevelMeter::digitalSilenceSeconds() const {
    std::lock_guard lock(mutex_);
    return silentSeconds_;
}

}  // namespace orvanta::capture
