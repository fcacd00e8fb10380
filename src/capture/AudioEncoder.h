#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/FfmpegHandles.h"
#include "capture/MovieWriter.h"
#include "capture/VideoEncoder.h"

namespace orvanta::capture {

// The layout of incoming sound: interleaved PCM samples.
struct AudioInputFormat {
    AudioSampleBuffer::Format format = AudioSampleBuffer::Format::S16;
    int sampleRate = 0;
    int channels = 0;

    int bytesPerFrame() const { return (format == AudioSampleBuffer::Format::S16 ? 2 : 4) * channels; }
    bool operator==(const AudioInputFormat&) const = default;
};

// One sound encoder: resamples interleaved PCM to what the encoder takes and encodes it in the
// encoder's frame size. Samples are numbered from 0 without gaps, in the encoder's sample rate.
class AudioEncoder {
public:
    // Null, with *error set, when the input format is unusable or the encoder cannot be opened.
    static std::unique_ptr<AudioEncoder> open(const AudioCompression& settings, const AudioInputFormat& input,
                                              bool globalHeader, std::string* error);

    AVCodecContext* context() const { return context_.get(); }
    const AudioInputFormat& input() const { return input_; }

    // Converts `frames` interleaved frames and encodes every complete encoder frame; packets go to
    // sink. Returns 0 or a negative FFmpeg error code.
    int encode(const std::uint8_t* data, int frames, const PacketSink& sink);
    // Encodes what is left (the last frame may be short) and drains the encoder.
    int flush(const PacketSink& sink);

    // Samples handed to the encoder so far, in its sample rate.
    std::int64_t samplesEncoded() const { return nextPts_; }

private:
    AudioEncoder(ff::CodecContextPtr context, ff::SwrPtr resampler, ff::AudioFifoPtr fifo, AudioInputFormat input)
        : context_(std::move(context)), resampler_(std::move(resampler)), fifo_(std::move(fifo)), input_(input) {}

    int convertIntoFifo(const std::uint8_t* data, int frames);
    int encodeFromFifo(int samples, const PacketSink& sink);
    int sendAndReceive(const AVFrame* frame, const PacketSink& sink);
    int frameSize() const;

    ff::CodecContextPtr context_;
    ff::SwrPtr resampler_;
    ff::AudioFifoPtr fifo_;
    ff::FramePtr converted_{av_frame_alloc()};
    ff::PacketPtr packet_{av_packet_alloc()};
    AudioInputFormat input_;
    std::int64_t nextPts_ = 0;
    bool drained_ = false;
};

}  // namespace orvanta::capture
