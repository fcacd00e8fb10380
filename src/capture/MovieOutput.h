#pragma once

#include <memory>
#include <string>

#include "capture/FfmpegHandles.h"

namespace orvanta::capture {

// A QuickTime movie file being written in fragments: after the header, every second or so of
// samples is written out as a self-describing fragment, so a process that dies leaves a movie that
// plays up to the last complete fragment.
class MovieOutput {
public:
    // Creates the file, replacing an existing one. Returns 0 or a negative FFmpeg error code.
    static int create(const std::string& path, std::unique_ptr<MovieOutput>* output);

    // Adds a track for an opened encoder; only before the header. Returns the track index or a
    // negative error code.
    int addTrack(const AVCodecContext* encoder);
    int trackCount() const { return static_cast<int>(context_->nb_streams); }

    // Fixes the tracks and writes the file's header. `videoTimeScale` becomes the video track's
    // time scale (0: the muxer's choice).
    int writeHeader(int videoTimeScale);
    bool headerWritten() const { return headerWritten_; }

    // Writes one packet whose time stamps are in `timeBase` to the given track.
    int writePacket(AVPacket* packet, int track, AVRational timeBase);

    // Writes the rest and the index and closes the file. Returns 0 or a negative error code; the
    // file is closed either way.
    int finish();

private:
    explicit MovieOutput(ff::OutputContextPtr context) : context_(std::move(context)) {}

    ff::OutputContextPtr context_;
    bool headerWritten_ = false;
};

}  // namespace orvanta::capture
