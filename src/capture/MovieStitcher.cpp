#include "capture/MovieStitcher.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>

#include "capture/DurableFiles.h"
#include "capture/MovieFiles.h"
#include "core/Log.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace orvanta::capture {

namespace {

// The running offset of the children is kept in nanoseconds, finer than any track's time scale.
constexpr AVRational kNanoseconds{1, 1000000000};
constexpr long kStitchErrorCode = 1234;

struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

bool fail(core::Error* error, core::Error reason) {
    if (error) *error = std::move(reason);
    return false;
}

core::Error stitchError(std::string description) {
    return core::Error(core::kOrvantaErrorDomain, kStitchErrorCode, std::move(description));
}

bool isCopiedTrack(const AVStream* stream) {
    switch (stream->codecpar->codec_type) {
        case AVMEDIA_TYPE_AUDIO:
            return true;
        case AVMEDIA_TYPE_VIDEO:
            return !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC);
        default:
            return false;
    }
}

// The indices of the tracks that are joined, in the movie's order.
std::vector<int> copiedTracks(const AVFormatContext* movie) {
    std::vector<int> tracks;
    for (unsigned i = 0; i < movie->nb_streams; ++i)
        if (isCopiedTrack(movie->streams[i])) tracks.push_back(static_cast<int>(i));
    return tracks;
}

// Whether samples described by b can continue a track described by a.
bool sameDescription(const AVCodecParameters* a, const AVCodecParameters* b) {
    if (a->codec_type != b->codec_type || a->codec_id != b->codec_id) return false;
    if (a->codec_type == AVMEDIA_TYPE_VIDEO && (a->width != b->width || a->height != b->height)) return false;
    if (a->codec_type == AVMEDIA_TYPE_AUDIO &&
        (a->sample_rate != b->sample_rate || a->ch_layout.nb_channels != b->ch_layout.nb_channels))
        return false;
    return a->extradata_size == b->extradata_size &&
           (a->extradata_size == 0 || std::memcmp(a->extradata, b->extradata, a->extradata_size) == 0);
}

bool addTrack(AVFormatContext* out, const AVStream* in, core::Error* error) {
    AVStream* track = avformat_new_stream(out, nullptr);
    if (!track) return fail(error, ffmpegError(AVERROR(ENOMEM), "Cannot add a track"));
    int result = avcodec_parameters_copy(track->codecpar, in->codecpar);
    if (result < 0) return fail(error, ffmpegError(result, "Cannot copy a track description"));
    // Keep the sample description's type only where the movie format knows it for this codec.
    if (out->oformat->codec_tag &&
        av_codec_get_id(out->oformat->codec_tag, in->codecpar->codec_tag) != in->codecpar->codec_id)
        track->codecpar->codec_tag = 0;
    track->time_base = in->time_base;
    track->avg_frame_rate = in->avg_frame_rate;
    track->r_frame_rate = in->r_frame_rate;
    track->sample_aspect_ratio = in->sample_aspect_ratio;
    track->disposition = in->disposition;
    if (const AVDictionaryEntry* language = av_dict_get(in->metadata, "language", nullptr, 0))
        av_dict_set(&track->metadata, "language", language->value, 0);
    return true;
}

// Sets up the final movie's tracks from the first child that has video or sound and maps every
// child's tracks onto them: maps[child][child track index] = final track index, or -1 for a track
// that is not joined. A child without video or sound (a movie that never received a sample) gets an
// empty map and is left out.
bool planTracks(const std::vector<std::shared_ptr<SourceMovie>>& children, AVFormatContext* out,
                std::vector<std::vector<int>>& maps, core::Error* error) {
    const SourceMovie* model = nullptr;
    for (const auto& child : children)
        if (!copiedTracks(child->context()).empty()) {
            model = child.get();
            break;
        }
    if (!model) return fail(error, stitchError("None of the movies to join has video or sound"));
    const AVFormatContext* first = model->context();
    const std::vector<int> firstTracks = copiedTracks(first);
    for (int index : firstTracks)
        if (!addTrack(out, first->streams[index], error)) return false;
    if (const AVDictionaryEntry* created = av_dict_get(first->metadata, "creation_time", nullptr, 0))
        av_dict_set(&out->metadata, "creation_time", created->value, 0);

    for (const auto& child : children) {
        const AVFormatContext* movie = child->context();
        const std::vector<int> tracks = copiedTracks(movie);
        if (tracks.empty()) {
            core::logf("Leaving out movie %s: it has no video or sound", child->path().c_str());
            maps.emplace_back();
            continue;
        }
        bool matches = tracks.size() == firstTracks.size();
        for (size_t i = 0; matches && i < tracks.size(); ++i)
            matches = sameDescription(first->streams[firstTracks[i]]->codecpar, movie->streams[tracks[i]]->codecpar);
        if (!matches)
            return fail(error,
                        stitchError("The tracks of movie " + child->path() + " differ from those of " + model->path()));
        std::vector<int> map(movie->nb_streams, -1);
        for (size_t i = 0; i < tracks.size(); ++i) map[tracks[i]] = static_cast<int>(i);
        maps.push_back(std::move(map));
    }
    return true;
}

// Copies every sample of one child, moved by offset; returns where the child ends (in nanoseconds,
// from the child's own zero) in *end.
//
// lastDts holds, per output track, the decoding time of the last sample written (AV_NOPTS_VALUE for
// none). A child whose first samples would decode before that (H.264 with B-frames starts decoding
// before time 0, and a child before it may end with samples that decode late) is moved later as a
// whole by the difference, so that its picture and sound stay together; a track that still falls
// behind later in the child is moved on its own.
bool copyChild(const SourceMovie& child, bool first, const std::vector<int>& map, AVFormatContext* out,
               int64_t offset, std::vector<int64_t>& lastDts, int64_t* end, const MovieStitcher::CancelCheck& isCancelled,
               core::Error* error) {
    AVFormatContext* in = child.context();
    std::vector<int64_t> shift(out->nb_streams);
    for (unsigned i = 0; i < out->nb_streams; ++i)
        shift[i] = av_rescale_q(offset, kNanoseconds, out->streams[i]->time_base);

    PacketPtr packet(av_packet_alloc());
    if (!packet) return fail(error, ffmpegError(AVERROR(ENOMEM), "Cannot allocate a packet"));
    bool sawSample = false;
    bool wroteSample = false;
    int64_t childEnd = 0;
    for (;;) {
        if (isCancelled && isCancelled()) return fail(error, stitchError("Joining was cancelled"));
        int result = av_read_frame(in, packet.get());
        if (result == AVERROR_EOF) break;
        if (result == AVERROR_INVALIDDATA) {
            // A damaged tail (a movie cut short): keep what came before it.
            core::logf("Stopped reading movie %s at damaged data", child.path().c_str());
            break;
        }
        if (result < 0) return fail(error, ffmpegError(result, "Cannot read movie " + child.path()));

        if (packet->flags & AV_PKT_FLAG_CORRUPT) {
            // The last sample of a movie cut short, with part of its data missing.
            core::logf("Leaving out a damaged sample of movie %s", child.path().c_str());
            av_packet_unref(packet.get());
            continue;
        }
        const int index = packet->stream_index;
        const int track = index >= 0 && static_cast<size_t>(index) < map.size() ? map[index] : -1;
        const AVStream* source = track >= 0 ? in->streams[index] : nullptr;
        if (!source || (!first && (packet->flags & AV_PKT_FLAG_DISCARD) &&
                        source->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)) {
            av_packet_unref(packet.get());
            continue;
        }
        const int64_t at = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        if (at != AV_NOPTS_VALUE) {
            int64_t sampleEnd = av_rescale_q(at + std::max<int64_t>(packet->duration, 0), source->time_base,
                                             kNanoseconds);
            childEnd = sawSample ? std::max(childEnd, sampleEnd) : sampleEnd;
            sawSample = true;
        }
        const AVStream* destination = out->streams[track];
        av_packet_rescale_ts(packet.get(), source->time_base, destination->time_base);
        if (packet->pts != AV_NOPTS_VALUE) packet->pts += shift[track];
        if (packet->dts != AV_NOPTS_VALUE) packet->dts += shift[track];
        if (packet->dts != AV_NOPTS_VALUE && lastDts[track] != AV_NOPTS_VALUE && packet->dts <= lastDts[track]) {
            const int64_t behind = lastDts[track] + 1 - packet->dts;
            if (!wroteSample) {
                const int64_t later = av_rescale_q_rnd(behind, destination->time_base, kNanoseconds, AV_ROUND_UP);
                for (unsigned i = 0; i < out->nb_streams; ++i)
                    shift[i] += av_rescale_q_rnd(later, kNanoseconds, out->streams[i]->time_base, AV_ROUND_UP);
                core::logf("Moving %s %lld ns later so that it decodes after the movie before it",
                           child.path().c_str(), static_cast<long long>(later));
            } else {
                shift[track] += behind;
            }
            const int64_t moved = lastDts[track] + 1 - packet->dts;
            packet->dts += moved;
            if (packet->pts != AV_NOPTS_VALUE) packet->pts += moved;
        }
        if (packet->dts != AV_NOPTS_VALUE) lastDts[track] = packet->dts;
        wroteSample = true;
        packet->stream_index = track;
        packet->pos = -1;
        result = av_interleaved_write_frame(out, packet.get());
        if (result < 0) return fail(error, ffmpegError(result, "Cannot write movie " + std::string(out->url)));
    }
    if (!sawSample && in->duration != AV_NOPTS_VALUE)
        childEnd = av_rescale_q(in->duration, AV_TIME_BASE_Q, kNanoseconds);
    *end = std::max<int64_t>(childEnd, 0);
    return true;
}

bool writeMovie(const std::vector<std::shared_ptr<SourceMovie>>& children, WritableMovie& finalMovie,
                const MovieStitcher::CancelCheck& isCancelled, core::Error* error) {
    AVFormatContext* out = finalMovie.context();
    std::vector<std::vector<int>> maps;
    if (!planTracks(children, out, maps, error)) return false;
    int result = avformat_write_header(out, nullptr);
    if (result < 0) return fail(error, ffmpegError(result, "Cannot start movie " + finalMovie.path()));
    int64_t offset = 0;
    bool first = true;
    std::vector<int64_t> lastDts(out->nb_streams, AV_NOPTS_VALUE);
    for (size_t i = 0; i < children.size(); ++i) {
        if (maps[i].empty()) continue;
        int64_t end = 0;
        if (!copyChild(*children[i], first, maps[i], out, offset, lastDts, &end, isCancelled, error)) return false;
        offset += end;
        first = false;
    }
    return finalMovie.finish(true, error);
}

}  // namespace

std::string MovieStitcher::stitchedMovieFileName(const std::string& path) { return path + ".STITCH"; }

bool MovieStitcher::stitchMovies(const std::vector<std::shared_ptr<SourceMovie>>& children, WritableMovie& finalMovie,
                                 const std::string& finalPath, core::Error* error, const CancelCheck& isCancelled) {
    const std::string stitchPath = stitchedMovieFileName(finalPath);
    if (finalMovie.path() != stitchPath) {
        finalMovie.abandon();
        return fail(error, stitchError("The final movie is not being written to " + stitchPath));
    }
    if (children.empty()) {
        finalMovie.abandon();
        return fail(error, stitchError("There are no movies to join"));
    }
    if (!writeMovie(children, finalMovie, isCancelled, error)) {
        finalMovie.abandon();
        return false;
    }
    // The movie is on the disk (finish() flushed it) before it takes the final name.
    core::Error moveError;
    if (!renameFile(stitchPath, finalPath, &moveError)) {
        core::logf("Unable to move %s to %s: %s", stitchPath.c_str(), finalPath.c_str(),
                   moveError.localizedDescription().c_str());
        std::error_code ec;
        std::filesystem::remove(stitchPath, ec);
        return fail(error, moveError);
    }
    return true;
}

bool MovieStitcher::stitchMovies(const std::vector<std::string>& childPaths, const std::string& finalPath,
                                 core::Error* error) {
    std::vector<std::shared_ptr<SourceMovie>> children;
    for (const auto& path : childPaths) {
        auto movie = SourceMovie::movieWithFile(path, error);
        if (!movie) return false;
        children.push_back(std::move(movie));
    }
    auto finalMovie = WritableMovie::initToWritableFile(stitchedMovieFileName(finalPath), error);
    if (!finalMovie) return false;
    return stitchMovies(children, *finalMovie, finalPath, error);
}

}  // namespace orvanta::capture
