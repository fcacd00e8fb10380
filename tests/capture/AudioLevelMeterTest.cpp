#include "capture/devices/AudioLevelMeter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

namespace orvanta::capture {
namespace {

constexpr float kSilent = -std::numeric_limits<float>::infinity();

// Interleaved samples, each channel given as a function of the frame number (values in full scale).
struct Sound {
    AudioSampleBuffer::Format format = AudioSampleBuffer::Format::F32;
    int channels = 1;
    int frames = 4800;
    std::function<double(int channel, int frame)> value;

    std::vector<std::uint8_t> bytes() const {
        const std::size_t size = format == AudioSampleBuffer::Format::S16 ? 2 : 4;
        std::vector<std::uint8_t> out(static_cast<std::size_t>(frames) * channels * size);
        for (int f = 0; f < frames; ++f)
            for (int c = 0; c < channels; ++c) {
                std::uint8_t* at = out.data() + (static_cast<std::size_t>(f) * channels + c) * size;
                const double v = value(c, f);
                if (size == 2) {
                    const auto s = static_cast<std::int16_t>(std::clamp(std::lround(v * 32768), -32768L, 32767L));
                    std::memcpy(at, &s, 2);
                } else {
                    const auto s = static_cast<float>(v);
                    std::memcpy(at, &s, 4);
                }
            }
        return out;
    }
};

void addTo(AudioLevelMeter& meter, const Sound& sound, int sampleRate = 48000) {
    const auto bytes = sound.bytes();
    AudioSampleBuffer buffer;
    buffer.format = sound.format;
    buffer.channels = sound.channels;
    buffer.sampleRate = sampleRate;
    buffer.timeScale = 1000000;
    buffer.data = bytes.data();
    buffer.byteCount = bytes.size();
    meter.add(buffer);
}

double square(double amplitude, int frame) { return frame % 2 == 0 ? amplitude : -amplitude; }

struct LevelCase {
    const char* name;
    std::vector<Sound> sounds;     // added in turn
    std::vector<float> levels;     // expected per channel, dB full scale
    float meter;
};

void PrintTo(const LevelCase& c, std::ostream* os) { *os << c.name; }

class AudioLevelTest : public ::testing::TestWithParam<LevelCase> {};

TEST_P(AudioLevelTest, AveragePowerPerChannelAndMeterValue) {
    AudioLevelMeter meter;
    for (const Sound& sound : GetParam().sounds) addTo(meter, sound);
    const std::vector<float> levels = meter.averagePowerLevels();
    ASSERT_EQ(levels.size(), GetParam().levels.size());
    for (std::size_t c = 0; c < levels.size(); ++c) {
        if (std::isinf(GetParam().levels[c])) EXPECT_EQ(levels[c], kSilent) << c;
        else EXPECT_NEAR(levels[c], GetParam().levels[c], 0.01) << c;
    }
    EXPECT_NEAR(AudioLevelMeter::meterValue(levels), GetParam().meter, 0.01);
    // What was measured is gone with the answer.
    EXPECT_TRUE(meter.averagePowerLevels().empty());
}

const auto kF32 = AudioSampleBuffer::Format::F32;
const auto kS16 = AudioSampleBuffer::Format::S16;

INSTANTIATE_TEST_SUITE_P(
    Cases, AudioLevelTest,
    ::testing::Values(
        LevelCase{"FullScaleSquareF32", {{kF32, 1, 4800, [](int, int f) { return square(1.0, f); }}}, {0.0f}, 20.0f},
        LevelCase{"FullScaleSquareS16", {{kS16, 1, 4800, [](int, int f) { return square(1.0, f); }}}, {0.0f}, 20.0f},
        LevelCase{"MinusTwentyOnTwoChannelsF32",
                  {{kF32, 2, 4800, [](int, int f) { return square(0.1, f); }}},
                  {-20.0f, -20.0f},
                  2.0f},
        LevelCase{"MinusTwentyOnTwoChannelsS16",
                  {{kS16, 2, 4800, [](int, int f) { return square(0.1, f); }}},
                  {-20.0f, -20.0f},
                  2.0f},
        // A sine's power is half its peak squared: -3 dB at full scale.
        LevelCase{"SineS16",
                  {{kS16, 1, 4800, [](int, int f) { return 0.999 * std::sin(2 * M_PI * 480 * f / 48000.0); }}},
                  {static_cast<float>(20 * std::log10(0.999 / std::sqrt(2.0)))},
                  static_cast<float>(20 * 0.999 / std::sqrt(2.0))},
        LevelCase{"SilenceOnBothChannels", {{kS16, 2, 4800, [](int, int) { return 0.0; }}}, {kSilent, kSilent}, 0.0f},
        // A silent channel is left out of the meter's average.
        LevelCase{"OneChannelSilent",
                  {{kF32, 2, 4800, [](int c, int f) { return c == 0 ? square(0.1, f) : 0.0; }}},
                  {-20.0f, kSilent},
                  2.0f},
        // The average runs over everything added since the last answer: half at 0 dB, half silent.
        LevelCase{"TwoBuffersAveraged",
                  {{kF32, 1, 4800, [](int, int f) { return square(1.0, f); }},
                   {kF32, 1, 4800, [](int, int) { return 0.0; }}},
                  {static_cast<float>(10 * std::log10(0.5))},
                  static_cast<float>(20 * std::sqrt(0.5))},
        // A change of channel count starts afresh.
        LevelCase{"ChannelCountChange",
                  {{kF32, 1, 4800, [](int, int) { return 0.0; }},
                   {kF32, 2, 4800, [](int, int f) { return square(0.1, f); }}},
                  {-20.0f, -20.0f},
                  2.0f},
        LevelCase{"Empty", {}, {}, 0.0f}),
    [](const ::testing::TestParamInfo<LevelCase>& info) { return std::string(info.param.name); });

TEST(AudioLevelMeter, MeterValueOfGivenLevels) {
    EXPECT_FLOAT_EQ(AudioLevelMeter::meterValue({-20.0f, -20.0f}), 2.0f);
    EXPECT_FLOAT_EQ(AudioLevelMeter::meterValue({0.0f}), 20.0f);
    EXPECT_FLOAT_EQ(AudioLevelMeter::meterValue({-10.0f, -30.0f}), 2.0f);
    EXPECT_FLOAT_EQ(AudioLevelMeter::meterValue({}), 0.0f);
    EXPECT_FLOAT_EQ(AudioLevelMeter::meterValue({-1000000.0f, kSilent}), 0.0f);
    EXPECT_FLOAT_EQ(AudioLevelMeter::meterValue({-20.0f, -2000000.0f}), 2.0f);
}

// Digital silence is the unbroken run of all-zero frames at the end of the sound, across buffers
// and sample rates; one non-zero sample on any channel ends it.
TEST(AudioLevelMeter, DigitalSilenceCountsTheUnbrokenRunOfZeros) {
    AudioLevelMeter meter;
    EXPECT_EQ(meter.digitalSilenceSeconds(), 0.0);
    addTo(meter, {kS16, 2, 4800, [](int, int) { return 0.0; }});
    EXPECT_NEAR(meter.digitalSilenceSeconds(), 0.1, 1e-9);
    addTo(meter, {kS16, 2, 2400, [](int, int) { return 0.0; }}, 24000);
    EXPECT_NEAR(meter.digitalSilenceSeconds(), 0.2, 1e-9);
    // Asking for the levels does not end it.
    meter.averagePowerLevels();
    EXPECT_NEAR(meter.digitalSilenceSeconds(), 0.2, 1e-9);
    // One sample on one channel, last in its buffer.
    addTo(meter, {kF32, 2, 480, [](int c, int f) { return c == 1 && f == 479 ? 1e-6 : 0.0; }});
    EXPECT_EQ(meter.digitalSilenceSeconds(), 0.0);
    // Zeros after a sound count from the sound on.
    addTo(meter, {kF32, 2, 4800, [](int, int f) { return f < 2400 ? 0.5 : 0.0; }});
    EXPECT_NEAR(meter.digitalSilenceSeconds(), 0.05, 1e-9);
}

// Adding on one thread while another reads the levels loses nothing and mixes no halves.
TEST(AudioLevelMeter, AddAndReadFromTwoThreads) {
    AudioLevelMeter meter;
    const Sound sound{kS16, 2, 480, [](int, int f) { return square(0.1, f); }};
    std::vector<float> all;
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) addTo(meter, sound);
    });
    for (int i = 0; i < 200; ++i)
        for (float level : meter.averagePowerLevels()) all.push_back(level);
    writer.join();
    for (float level : meter.averagePowerLevels()) all.push_back(level);
    ASSERT_FALSE(all.empty());
    for (float level : all) EXPECT_NEAR(level, -20.0f, 0.01);
}

}  // namespace
}  // namespace orvanta::capture
