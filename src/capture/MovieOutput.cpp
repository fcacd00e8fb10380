#include "capture/MovieOutput.h"

#include "core/Log.h"

namespace orvanta::capture {

namespace {

// How much media one fragment holds at most, in microseconds: about what a crash can lose.
constexpr const char* kFragmentDuration = "1000000";
// How far the interleaver may hold one track back waiting for the other, in microseconds, so a
// silent source does not keep video from reaching the file.
constexpr const char* kMaxInterleaveDelta = "2000000";

}  // namespace

int MovieOutput::create(const std::string& path, std::unique_ptr<MovieOutput>* output) {
    AVFormatContext* raw = nullptr;
    int rc = avformat_alloc_output_context2(&raw, nullptr, "mov", path.c_str());
    if (rc < 0) return rc;
    ff::OutputContextPtr context(raw);
    // Truncates an existing file.
    rc = avio_open(&context->pb, path.c_str(), AVIO_FLAG_WRITE);
    if (rc < 0) return rc;
    output->reset(new MovieOutput(std::move(context)));
    return 0;
}

int MovieOutput::addTrack(const AVCodecContext* encoder) {
    if (headerWritten_) return AVERROR(EINVAL);
    AVStream* stream = avformat_new_stream(context_.get(), nullptr);
    if (!stream) return AVERROR(ENOMEM);
    int rc = avcodec_parameters_from_context(stream->codecpar, encoder);
    if (rc < 0) return rc;
    stream->time_base = encoder->time_base;
    return stream->index;
}

int MovieOutput::writeHeader(int videoTimeScale) {
    ff::Dictionary options;
    options.set("movflags", "frag_keyframe+empty_moov+delay_moov+default_base_moof");
    options.set("frag_duration", kFragmentDuration);
    options.set("flush_packets", "1");
    options.set("max_interleave_delta", kMaxInterleaveDelta);
    if (videoTimeScale > 0) options.set("video_track_timescale", std::to_string(videoTimeScale));
    int rc = avformat_write_header(context_.get(), options.address());
    if (rc < 0) return rc;
    headerWritten_ = true;
    if (std::string left = options.leftoverKeys(); !left.empty())
        core::logf("The movie muxer ignored the options %s", left.c_str());
    avio_flush(context_->pb);
    return context_->pb->error < 0 ? context_->pb->error : 0;
}

int MovieOutput::writePacket(AVPacket* packet, int track, AVRational timeBase) {
    if (!headerWritten_ || track < 0 || track >= trackCount()) return AVERROR(EINVAL);
    AVStream* stream = context_->streams[track];
    packet->stream_index = track;
    av_packet_rescale_ts(packet, timeBase, stream->time_base);
    return av_interleaved_write_frame(context_.get(), packet);
}

int MovieOutput::finish() {
    int rc = 0;
    if (headerWritten_) {
        rc = av_write_trailer(context_.get());
        headerWritten_ = false;
    }
    if (context_->pb) {
        avio_flush(context_->pb);
        if (rc >= 0 && context_->pb->error < 0) rc = context_->pb->error;
        int closed = avio_closep(&context_->pb);
        if (rc >= 0 && closed < 0) rc = closed;
    }
    return rc;
}

}  // namespace orvanta::capture
