#include "capture/AudioEncoder.h"

#include <climits>
#include <cstdlib>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include "core/Log.h"

namespace orvanta::capture {

namespace {

// The encoder's sample rate nearest to the wanted one (the next higher when there is no exact
// match, else the highest).
int chooseSampleRate(const AVCodec* encoder, int wanted) {
    if (!encoder->supported_samplerates) return wanted;
    int best = 0;
    int highest = 0;
    for (const int* r = encoder->supported_samplerates; *r; ++r) {
        if (*r == wanted) return wanted;
        highest = std::max(highest, *r);
        if (*r > wanted && (best == 0 || *r < best)) best = *r;
    }
    return best ? best : highest;
}

AVSampleFormat chooseSampleFormat(const AVCodec* encoder) {
    return encoder->sample_fmts ? encoder->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
}

}  // namespace

std::unique_ptr<AudioEncoder> AudioEncoder::open(const AudioCompression& settings, const AudioInputFormat& input,
                                                 bool globalHeader, std::string* error) {
    if (input.sampleRate <= 0 || input.channels <= 0 || input.channels > 8) {
        *error = "unusable sound format (" + std::to_string(input.sampleRate) + " Hz, " +
                 std::to_string(input.channels) + " channels)";
        return nullptr;
    }
    std::string name = settings.encoderName.empty() ? "aac" : settings.encoderName;
    ff::CodecContextPtr context = ff::encoderContext(name, AVMEDIA_TYPE_AUDIO, error);
    if (!context) return nullptr;
    const AVCodec* encoder = context->codec;
    int channels = settings.channels > 0 ? settings.channels : input.channels;
    av_channel_layout_default(&context->ch_layout, channels);
    context->sample_rate = chooseSampleRate(encoder, settings.sampleRate > 0 ? settings.sampleRate : input.sampleRate);
    context->sample_fmt = chooseSampleFormat(encoder);
    context->time_base = AVRational{1, context->sample_rate};
    if (settings.bitRate > 0) context->bit_rate = settings.bitRate;
    if (globalHeader) context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (int rc = avcodec_open2(context.get(), encoder, nullptr); rc < 0) {
        *error = "cannot open encoder \"" + name + "\": " + ff::errorText(rc);
        return nullptr;
    }

    AVChannelLayout inLayout;
    av_channel_layout_default(&inLayout, input.channels);
    AVSampleFormat inFormat = input.format == AudioSampleBuffer::Format::S16 ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_FLT;
    SwrContext* raw = nullptr;
    int rc = swr_alloc_set_opts2(&raw, &context->ch_layout, context->sample_fmt, context->sample_rate, &inLayout,
                                 inFormat, input.sampleRate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    ff::SwrPtr resampler(raw);
    if (rc < 0 || (rc = swr_init(resampler.get())) < 0) {
        *error = "cannot convert the sound: " + ff::errorText(rc);
        return nullptr;
    }
    ff::AudioFifoPtr fifo(av_audio_fifo_alloc(context->sample_fmt, channels, 4096));
    if (!fifo) {
        *error = "out of memory";
        return nullptr;
    }
    return std::unique_ptr<AudioEncoder>(
        new AudioEncoder(std::move(context), std::move(resampler), std::move(fifo), input));
}

int AudioEncoder::frameSize() const {
    // Encoders that take any frame size get a common one.
    return context_->frame_size > 0 ? context_->frame_size : 1024;
}

int AudioEncoder::convertIntoFifo(const std::uint8_t* data, int frames) {
    int capacity = swr_get_out_samples(resampler_.get(), frames);
    if (capacity < 0) return capacity;
    if (capacity == 0) return 0;
    if (converted_->nb_samples < capacity) {
        av_frame_unref(converted_.get());
        converted_->format = context_->sample_fmt;
        converted_->nb_samples = capacity;
        if (int rc = av_channel_layout_copy(&converted_->ch_layout, &context_->ch_layout); rc < 0) return rc;
        if (int rc = av_frame_get_buffer(converted_.get(), 0); rc < 0) return rc;
    }
    const std::uint8_t* in[1] = {data};
    int produced = swr_convert(resampler_.get(), converted_->data, capacity, data ? in : nullptr, frames);
    if (produced < 0) return produced;
    if (produced > 0 && av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(converted_->data), produced) <
                            produced)
        return AVERROR(ENOMEM);
    return 0;
}

int AudioEncoder::sendAndReceive(const AVFrame* frame, const PacketSink& sink) {
    return ff::sendAndReceive(context_.get(), packet_.get(), frame, sink);
}

int AudioEncoder::encodeFromFifo(int samples, const PacketSink& sink) {
    // A new frame each time: the encoder may keep a reference to the one it was given.
    ff::FramePtr frame(av_frame_alloc());
    if (!frame) return AVERROR(ENOMEM);
    frame->format = context_->sample_fmt;
    frame->nb_samples = samples;
    frame->sample_rate = context_->sample_rate;
    if (int rc = av_channel_layout_copy(&frame->ch_layout, &context_->ch_layout); rc < 0) return rc;
    if (int rc = av_frame_get_buffer(frame.get(), 0); rc < 0) return rc;
    if (av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame->data), samples) < samples)
        return AVERROR_BUG;
    frame->pts = nextPts_;
    nextPts_ += samples;
    return sendAndReceive(frame.get(), sink);
}

int AudioEncoder::encode(const std::uint8_t* data, int frames, const PacketSink& sink) {
    if (drained_) return AVERROR_EOF;
    if (frames <= 0) return 0;
    if (int rc = convertIntoFifo(data, frames); rc < 0) return rc;
    while (av_audio_fifo_size(fifo_.get()) >= frameSize())
        if (int rc = encodeFromFifo(frameSize(), sink); rc < 0) return rc;
    return 0;
}

int AudioEncoder::flush(const PacketSink& sink) {
    if (drained_) return 0;
    drained_ = true;
    // What the resampler still holds.
    if (int rc = convertIntoFifo(nullptr, 0); rc < 0) return rc;
    while (int left = av_audio_fifo_size(fifo_.get()))
        if (int rc = encodeFromFifo(std::min(left, frameSize()), sink); rc < 0) return rc;
    return sendAndReceive(nullptr, sink);
}

}  // namespace orvanta::capture
