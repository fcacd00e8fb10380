#include "capture/MovieRemux.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

#include "capture/FfmpegHandles.h"

namespace orvanta::capture {

namespace {

bool failed(int rc, const std::string& what, std::string* error) {
    *error = what + ": " + ff::errorText(rc) + " (error " + std::to_string(rc) + ")";
    return false;
}

bool copyPackets(AVFormatContext* in, AVFormatContext* out, const RemuxPlan& plan, std::string* error) {
    ff::PacketPtr packet(av_packet_alloc());
    if (!packet) return failed(AVERROR(ENOMEM), "out of memory", error);
    for (;;) {
        int rc = av_read_frame(in, packet.get());
        if (rc == AVERROR_EOF) return true;
        if (rc < 0) return failed(rc, "reading the movie failed", error);
        const AVStream* inStream = in->streams[packet->stream_index];
        if (plan.videoFrameDuration > 0 && plan.videoTimeScale > 0 &&
            inStream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            packet->duration =
                av_rescale_q(plan.videoFrameDuration, AVRational{1, plan.videoTimeScale}, inStream->time_base);
        if (plan.soundEndSeconds && inStream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO &&
            packet->pts != AV_NOPTS_VALUE) {
            auto end = static_cast<std::int64_t>(
                std::llround(*plan.soundEndSeconds * inStream->time_base.den / inStream->time_base.num));
            if (packet->pts >= end) {
                av_packet_unref(packet.get());
                continue;
            }
            if (packet->duration > 0 && packet->pts + packet->duration > end) packet->duration = end - packet->pts;
        }
        const AVStream* outStream = out->streams[packet->stream_index];
        av_packet_rescale_ts(packet.get(), inStream->time_base, outStream->time_base);
        packet->pos = -1;
        rc = av_interleaved_write_frame(out, packet.get());
        av_packet_unref(packet.get());
        if (rc < 0) return failed(rc, "writing the movie failed", error);
    }
}

bool remux(const std::string& source, const std::string& destination, const RemuxPlan& plan, std::string* error) {
    AVFormatContext* rawIn = nullptr;
    if (int rc = avformat_open_input(&rawIn, source.c_str(), nullptr, nullptr); rc < 0)
        return failed(rc, "cannot open " + source, error);
    ff::InputContextPtr in(rawIn);
    if (int rc = avformat_find_stream_info(in.get(), nullptr); rc < 0)
        return failed(rc, "cannot read the tracks of " + source, error);

    AVFormatContext* rawOut = nullptr;
    if (int rc = avformat_alloc_output_context2(&rawOut, nullptr, "mov", destination.c_str()); rc < 0)
        return failed(rc, "cannot make a movie", error);
    ff::OutputContextPtr out(rawOut);
    for (unsigned i = 0; i < in->nb_streams; ++i) {
        AVStream* stream = avformat_new_stream(out.get(), nullptr);
        if (!stream) return failed(AVERROR(ENOMEM), "out of memory", error);
        if (int rc = avcodec_parameters_copy(stream->codecpar, in->streams[i]->codecpar); rc < 0)
            return failed(rc, "cannot copy a track", error);
        stream->codecpar->codec_tag = 0;
        stream->time_base = in->streams[i]->time_base;
    }
    if (int rc = avio_open(&out->pb, destination.c_str(), AVIO_FLAG_WRITE); rc < 0)
        return failed(rc, "cannot create " + destination, error);
    ff::Dictionary options;
    if (plan.videoTimeScale > 0) options.set("video_track_timescale", std::to_string(plan.videoTimeScale));
    if (int rc = avformat_write_header(out.get(), options.address()); rc < 0)
        return failed(rc, "cannot write the movie header", error);
    bool copied = copyPackets(in.get(), out.get(), plan, error);
    int rc = av_write_trailer(out.get());
    if (copied && rc < 0) return failed(rc, "cannot write the movie index", error);
    if (!copied) return false;
    avio_flush(out->pb);
    if (out->pb->error < 0) return failed(out->pb->error, "writing the movie failed", error);
    if (int closed = avio_closep(&out->pb); closed < 0) return failed(closed, "closing the movie failed", error);
    return true;
}

void appendBox(std::vector<char>& data, const char* type, const std::vector<char>& payload) {
    std::uint32_t size = static_cast<std::uint32_t>(8 + payload.size());
    for (int shift = 24; shift >= 0; shift -= 8) data.push_back(static_cast<char>((size >> shift) & 0xff));
    data.insert(data.end(), type, type + 4);
    data.insert(data.end(), payload.begin(), payload.end());
}

void appendWord(std::vector<char>& data, std::uint32_t value, int bytes = 4) {
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8) data.push_back(static_cast<char>((value >> shift) & 0xff));
}

}  // namespace

bool remuxMovie(const std::string& source, const std::string& destination, const RemuxPlan& plan,
                std::string* error) {
    if (remux(source, destination, plan, error)) return true;
    std::error_code ec;
    std::filesystem::remove(destination, ec);
    return false;
}

bool writeEmptyMovie(const std::string& path, std::string* error) {
    std::vector<char> ftyp;
    ftyp.insert(ftyp.end(), {'q', 't', ' ', ' '});
    appendWord(ftyp, 0x200);
    ftyp.insert(ftyp.end(), {'q', 't', ' ', ' '});

    // Movie header, version 0: no tracks, time scale 1000, duration 0, rate 1.0, full volume,
    // identity matrix, next track 1.
    std::vector<char> mvhd;
    appendWord(mvhd, 0);     // version and flags
    appendWord(mvhd, 0);     // creation time
    appendWord(mvhd, 0);     // modification time
    appendWord(mvhd, 1000);  // time scale
    appendWord(mvhd, 0);     // duration
    appendWord(mvhd, 0x10000);
    appendWord(mvhd, 0x100, 2);
    mvhd.insert(mvhd.end(), 10, '\0');
    for (std::uint32_t v : std::array<std::uint32_t, 9>{0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000})
        appendWord(mvhd, v);
    mvhd.insert(mvhd.end(), 24, '\0');
    appendWord(mvhd, 1);
    std::vector<char> moov;
    appendBox(moov, "mvhd", mvhd);

    std::vector<char> file;
    appendBox(file, "ftyp", ftyp);
    appendBox(file, "moov", moov);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(file.data(), static_cast<std::streamsize>(file.size()));
    out.close();
    if (!out) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace orvanta::capture
