#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "capture/devices/MicrophoneInput.h"

namespace orvanta::capture {

namespace {

using Clock = std::chrono::steady_clock;

class ToneInput final : public AudioInput {
public:
    ToneInput(int frequency, int sampleRate, int channels)
        : frequency_(frequency), sampleRate_(sampleRate > 0 ? sampleRate : 48000), channels_(channels > 0 ? channels : 1) {}
    ~ToneInput() override { stop(); }

    void start(SampleHandler onSamples, ErrorHandler) override {
        std::lock_guard lock(mutex_);
        if (started_ || stopping_) return;
        started_ = true;
        thread_ = std::thread([this, onSamples = std::move(onSamples)] { run(onSamples); });
    }

    void stop() override {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    }

private:
    void run(const SampleHandler& onSamples) {
        const int framesPerBuffer = std::max(1, sampleRate_ / 100);
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(framesPerBuffer) * channels_ * 2);
        const Clock::time_point begin = Clock::now();
        const std::int64_t beginMicros =
            std::chrono::duration_cast<std::chrono::microseconds>(begin.time_since_epoch()).count();
        std::int64_t frame = 0;
        for (;;) {
            // A buffer is complete when its last sample has been "heard".
            const auto due = begin + std::chrono::microseconds((frame + framesPerBuffer) * 1000000 / sampleRate_);
            {
                std::unique_lock lock(mutex_);
                if (wake_.wait_until(lock, due, [this] { return stopping_; })) return;
            }
            for (int i = 0; i < framesPerBuffer; ++i) {
                const double t = static_cast<double>(frame + i) / sampleRate_;
                const auto sample = static_cast<std::int16_t>(std::lround(0.5 * 32767 * std::sin(2 * M_PI * frequency_ * t)));
                for (int c = 0; c < channels_; ++c)
                    std::memcpy(bytes.data() + (static_cast<std::size_t>(i) * channels_ + c) * 2, &sample, 2);
            }
            AudioSampleBuffer buffer;
            buffer.format = AudioSampleBuffer::Format::S16;
            buffer.sampleRate = sampleRate_;
            buffer.channels = channels_;
            buffer.timeScale = 1000000;
            buffer.presentationTime = beginMicros + frame * 1000000 / sampleRate_;
            buffer.data = bytes.data();
            buffer.byteCount = bytes.size();
            if (onSamples) onSamples(buffer);
            frame += framesPerBuffer;
        }
    }

    const int frequency_;
    const int sampleRate_;
    const int channels_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool started_ = false;
    bool stopping_ = false;
};

}  // namespace

std::unique_ptr<AudioInput> openToneInput(int frequency, int sampleRate, int channels) {
    return std::make_unique<ToneInput>(frequency, sampleRate, channels);
}

}  // namespace orvanta::capture
