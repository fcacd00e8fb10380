#include "capture/devices/MicrophoneInput.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <cmath>
#include <thread>

#include "capture/devices/AudioLevelMeter.h"
#include "support/Latch.h"
#include "support/PulseServer.h"
#include "support/ScopedEnvironment.h"
#include "support/TempDir.h"

namespace orvanta::capture {
namespace {

using namespace std::chrono_literals;

// What a started microphone delivered.
struct Heard {
    std::mutex mutex;
    AudioLevelMeter meter;
    std::int64_t frames = 0;
    std::int64_t lastTime = 0;
    bool timesRise = true;
    bool formatKept = true;
    std::vector<core::Error> errors;
    int buffersAfterError = 0;
    test::Latch someSound;
    test::Latch failed;

    AudioInput::SampleHandler sampleHandler() {
        return [this](const AudioSampleBuffer& samples) {
            meter.add(samples);
            std::lock_guard lock(mutex);
            if (!errors.empty()) ++buffersAfterError;
            formatKept = formatKept && samples.format == AudioSampleBuffer::Format::S16 && samples.channels == 2 &&
                         samples.sampleRate == 48000 && samples.timeScale == 1000000;
            if (samples.presentationTime <= lastTime) timesRise = false;
            lastTime = samples.presentationTime;
            frames += static_cast<std::int64_t>(samples.byteCount / 4);
            if (frames >= 4800) someSound.set();
        };
    }
    AudioInput::ErrorHandler errorHandler() {
        return [this](const core::Error& error) {
            {
                std::lock_guard lock(mutex);
                errors.push_back(error);
            }
            failed.set();
        };
    }
};

std::int64_t nowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class MicrophoneInputTest : public ::testing::Test {
protected:
    test::PulseServer pulse_;
};

// Two seconds of a tone played into the microphone's sink arrive as two seconds of 48 kHz stereo,
// stamped on the steady clock, loud enough for the meter.
TEST_F(MicrophoneInputTest, RecordsTwoSecondsOfTheTone) {
    pulse_.playTone(440);
    core::Error error;
    auto microphone = openPulseInput(pulse_.microphoneSource(), &error);
    ASSERT_TRUE(microphone) << error.localizedFailureReason();
    Heard heard;
    const std::int64_t before = nowMicros();
    microphone->start(heard.sampleHandler(), heard.errorHandler());
    // The null sink may take a moment to lower its latency for a new recording; counting starts
    // with the first sound.
    ASSERT_TRUE(heard.someSound.wait());
    std::int64_t framesAtStart;
    {
        std::lock_guard lock(heard.mutex);
        framesAtStart = heard.frames;
    }
    heard.meter.averagePowerLevels();
    std::this_thread::sleep_for(2s);
    microphone->stop();
    const std::int64_t after = nowMicros();
    const std::vector<float> levels = heard.meter.averagePowerLevels();

    std::lock_guard lock(heard.mutex);
    EXPECT_TRUE(heard.errors.empty());
    EXPECT_TRUE(heard.formatKept);
    EXPECT_TRUE(heard.timesRise);
    EXPECT_NEAR(static_cast<double>(heard.frames - framesAtStart), 96000.0, 9600.0);
    EXPECT_GT(heard.lastTime, before);
    EXPECT_LT(heard.lastTime, after);
    ASSERT_EQ(levels.size(), 2u);
    for (float level : levels) EXPECT_GT(level, -30.0f);
    EXPECT_GT(AudioLevelMeter::meterValue(levels), 0.6f);
    EXPECT_EQ(heard.meter.digitalSilenceSeconds(), 0.0);
}

// With nothing playing the microphone hears digital silence, and the meter counts it up.
TEST_F(MicrophoneInputTest, SilenceIsReportedAsGrowingDigitalSilence) {
    core::Error error;
    auto microphone = openPulseInput(pulse_.microphoneSource(), &error);
    ASSERT_TRUE(microphone) << error.localizedFailureReason();
    Heard heard;
    microphone->start(heard.sampleHandler(), heard.errorHandler());
    ASSERT_TRUE(heard.someSound.wait());
    const double first = heard.meter.digitalSilenceSeconds();
    std::this_thread::sleep_for(500ms);
    const double second = heard.meter.digitalSilenceSeconds();
    microphone->stop();
    EXPECT_GE(first, 0.1);
    EXPECT_GT(second, first + 0.3);
    const std::vector<float> levels = heard.meter.averagePowerLevels();
    ASSERT_EQ(levels.size(), 2u);
    EXPECT_TRUE(std::isinf(levels[0]) && levels[0] < 0);
    EXPECT_EQ(AudioLevelMeter::meterValue(levels), 0.0f);
}

// A source that does not exist fails at once as not connected, naming the source.
TEST_F(MicrophoneInputTest, MissingSourceIsNotConnected) {
    core::Error error;
    auto microphone = openPulseInput("orvanta_no_such_source", &error);
    EXPECT_FALSE(microphone);
    EXPECT_EQ(error.domain, kCaptureErrorDomain);
    EXPECT_EQ(error.code, kCaptureDeviceNotConnected);
    EXPECT_NE(error.failureReason.find("orvanta_no_such_source"), std::string::npos) << error.failureReason;
}

// The source goes away while recording (its sink's module is unloaded, as when a USB microphone
// is pulled): the error comes once, as not connected, and no sound after it. The stream is not
// moved to another source.
TEST_F(MicrophoneInputTest, SourceThatVanishesIsReportedOnce) {
    const int module = pulse_.loadNullSink("orvanta_unplugged", "Unplugged Microphone");
    core::Error error;
    auto microphone = openPulseInput("orvanta_unplugged.monitor", &error);
    ASSERT_TRUE(microphone) << error.localizedFailureReason();
    Heard heard;
    microphone->start(heard.sampleHandler(), heard.errorHandler());
    ASSERT_TRUE(heard.someSound.wait());
    // The module is the one the listing names for the sink.
    const std::string modules = pulse_.pactl({"list", "short", "modules"});
    EXPECT_NE(modules.find(std::to_string(module) + "\tmodule-null-sink\tsink_name=orvanta_unplugged"),
              std::string::npos)
        << modules;
    pulse_.unloadModule(module);
    ASSERT_TRUE(heard.failed.wait());
    std::this_thread::sleep_for(200ms);
    microphone->stop();
    std::lock_guard lock(heard.mutex);
    ASSERT_EQ(heard.errors.size(), 1u);
    EXPECT_EQ(heard.errors[0].domain, kCaptureErrorDomain);
    EXPECT_EQ(heard.errors[0].code, kCaptureDeviceNotConnected);
    EXPECT_EQ(heard.buffersAfterError, 0);
}

// Stopping while sound flows returns and nothing is delivered after it; stopping again is harmless.
TEST_F(MicrophoneInputTest, StopEndsDelivery) {
    pulse_.playTone(880);
    core::Error error;
    auto microphone = openPulseInput(pulse_.microphoneSource(), &error);
    ASSERT_TRUE(microphone) << error.localizedFailureReason();
    Heard heard;
    microphone->start(heard.sampleHandler(), heard.errorHandler());
    ASSERT_TRUE(heard.someSound.wait());
    microphone->stop();
    std::int64_t frames;
    {
        std::lock_guard lock(heard.mutex);
        frames = heard.frames;
    }
    std::this_thread::sleep_for(100ms);
    microphone->stop();
    microphone.reset();
    std::lock_guard lock(heard.mutex);
    EXPECT_EQ(heard.frames, frames);
    EXPECT_TRUE(heard.errors.empty());
}

// A socket that takes the connection but never answers stands for a hung sound server.
class SilentServer {
public:
    explicit SilentServer(const std::filesystem::path& path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              ::listen(fd_, 4) == 0;
    }
    ~SilentServer() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return ok_; }

private:
    int fd_ = -1;
    bool ok_ = false;
};

// A sound server that is not there, or does not answer, fails within the time limit as "did not
// answer" instead of holding the caller.
TEST(MicrophoneInput, ServerGoneOrHungTimesOut) {
    test::TempDir dir;
    SilentServer hung(dir.path() / "hung");
    ASSERT_TRUE(hung.ok());
    for (const std::string socket : {"gone", "hung"}) {
        SCOPED_TRACE(socket);
        test::ScopedEnvironment environment;
        environment.set("PULSE_SERVER", "unix:" + (dir.path() / socket).string());
        core::Error error;
        auto microphone = openPulseInput("orvanta_mic.monitor", &error, 500ms);
        EXPECT_FALSE(microphone);
        EXPECT_EQ(error.domain, kCaptureErrorDomain);
        EXPECT_EQ(error.code, kCaptureDeviceTimedOut);
        EXPECT_EQ(error.description, "The sound server did not answer.");
    }
}

// The synthetic microphone: a second of the tone at half of full scale, at the real rate, in
// 10 ms buffers with presentation times one buffer apart.
TEST(MicrophoneInput, ToneInputDeliversASineAtTheRealRate) {
    auto tone = openToneInput(440, 48000, 2);
    AudioLevelMeter meter;
    std::mutex mutex;
    std::vector<AudioSampleBuffer> buffers;
    const auto begin = std::chrono::steady_clock::now();
    tone->start(
        [&](const AudioSampleBuffer& samples) {
            meter.add(samples);
            std::lock_guard lock(mutex);
            buffers.push_back(samples);
            buffers.back().data = nullptr;
        },
        nullptr);
    std::this_thread::sleep_for(1s);
    tone->stop();
    const auto elapsed = std::chrono::steady_clock::now() - begin;
    std::lock_guard lock(mutex);
    ASSERT_FALSE(buffers.empty());
    const double seconds = std::chrono::duration<double>(elapsed).count();
    EXPECT_LE(static_cast<double>(buffers.size()), seconds * 100 + 1);  // never ahead of the clock
    EXPECT_GE(buffers.size(), 80u);
    for (std::size_t i = 0; i < buffers.size(); ++i) {
        EXPECT_EQ(buffers[i].byteCount, 480u * 2 * 2);
        EXPECT_EQ(buffers[i].timeScale, 1000000);
        EXPECT_EQ(buffers[i].sampleRate, 48000);
        if (i > 0) {
            EXPECT_EQ(buffers[i].presentationTime - buffers[i - 1].presentationTime, 10000) << i;
        }
    }
    const std::vector<float> levels = meter.averagePowerLevels();
    ASSERT_EQ(levels.size(), 2u);
    for (float level : levels) EXPECT_NEAR(level, 20 * std::log10(0.5 / std::sqrt(2.0)), 0.1);
}

}  // namespace
}  // namespace orvanta::capture
