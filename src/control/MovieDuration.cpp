#include "control/MovieDuration.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "capture/FfmpegHandles.h"
#include "capture/FileSequence.h"
#include "capture/MovieFiles.h"
#include "core/Log.h"

namespace orvanta::control {

namespace {

bool fileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

bool isMedia(const AVStream* stream) {
    const AVMediaType type = stream->codecpar->codec_type;
    return type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO;
}

}  // namespace

std::optional<double> readableMovieDuration(const std::string& path) {
    core::Error error;
    auto movie = capture::SourceMovie::movieWithFile(path, &error);
    if (!movie) {
        core::logf("Cannot measure movie %s: %s", path.c_str(), error.localizedDescription().c_str());
        return std::nullopt;
    }
    AVFormatContext* in = movie->context();
    capture::ff::PacketPtr packet(av_packet_alloc());
    if (!packet) return std::nullopt;

    bool sawSample = false;
    double end = 0;
    for (;;) {
        int result = av_read_frame(in, packet.get());
        if (result == AVERROR_EOF) break;
        if (result < 0) {
            // A tail cut short: what came before it counts.
            core::logf("Stopped measuring movie %s at unreadable data: %s", path.c_str(),
                       capture::ff::errorText(result).c_str());
            break;
        }
        const int index = packet->stream_index;
        const AVStream* stream = index >= 0 && static_cast<unsigned>(index) < in->nb_streams ? in->streams[index]
                                                                                             : nullptr;
        const int64_t at = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        if (stream && isMedia(stream) && !(packet->flags & AV_PKT_FLAG_CORRUPT) && at != AV_NOPTS_VALUE) {
            const int64_t sampleEnd = at + std::max<int64_t>(packet->duration, 0);
            end = std::max(end, static_cast<double>(sampleEnd) * av_q2d(stream->time_base));
            sawSample = true;
        }
        av_packet_unref(packet.get());
    }
    if (!sawSample && in->duration != AV_NOPTS_VALUE && in->duration > 0)
        end = static_cast<double>(in->duration) / AV_TIME_BASE;
    return end;
}

std::optional<double> readableSequenceDuration(const std::string& finalPath) {
    if (fileExists(finalPath)) return readableMovieDuration(finalPath);
    std::optional<double> total;
    std::string previous = finalPath;
    for (std::string next = capture::fileURLWithNextSequence(previous); next != previous && fileExists(next);
         next = capture::fileURLWithNextSequence(previous)) {
        if (auto seconds = readableMovieDuration(next)) total = total.value_or(0) + *seconds;
        previous = next;
    }
    return total;
}

}  // namespace orvanta::control
