#pragma once

#include <mutex>
#include <vector>

#include "capture/MovieWriter.h"

namespace orvanta::capture {

// Measures the sound of a microphone for the level display: the average power of each channel
// since it was last asked, and how long the sound has been digital silence. Samples may be added
// on one thread while another asks.
class AudioLevelMeter {
public:
    // Takes 16-bit or 32-bit float interleaved samples (full scale 1.0 for floats, 32768 for
    // 16-bit). A change in the number of channels starts the average afresh.
    void add(const AudioSampleBuffer& samples);

    // The average power of each channel, in dB of full scale (10·log10 of the mean square), of
    // the samples added since the previous call; -infinity for a channel of zeros only, and an
    // empty list when nothing was added since.
    std::vector<float> averagePowerLevels();

    // The level shown for some channels: the mean of the levels above -1000000 dB, as
    // 20 × 10^(0.05 × mean) (0 dB gives 20, -20 dB gives 2); 0 when there is none.
    static float meterValue(const std::vector<float>& levels);

    // How long, in seconds of sound, every channel has been exactly zero without interruption:
    // the run of all-zero frames at the end of what was added (0 when the last frame was not).
    double digitalSilenceSeconds() const;

private:
    mutable std::mutex mutex_;
    std::vector<double> sumOfSquares_;
    std::size_t frames_ = 0;
    double silentSeconds_ = 0;
};

}  // namespace orvanta::capture
