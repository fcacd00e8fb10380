#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "capture/FfmpegHandles.h"
#include "capture/MovieWriter.h"
#include "capture/VideoFrame.h"

namespace orvanta::capture {

// Receives each encoded packet; a negative result stops the encoding call and is passed back.
using PacketSink = std::function<int(AVPacket* packet)>;

// The FFmpeg encoder name for a movie codec: "avc1" → "libx264", "mp4v" → "mpeg4". Other codes
// are treated as "mp4v".
std::string encoderNameForCodec(const std::string& codec);

// One video encoder: converts pictures (BGRA or any pixel format a PixelBuffer names) to the
// encoder's pixel format at the output size (scaling when the source size differs) and encodes
// them with explicit time stamps.
class VideoEncoder {
public:
    // Null, with *error set, when the encoder cannot be opened. `globalHeader` when the container
    // wants the codec's parameter sets out of band (QuickTime movies do).
    static std::unique_ptr<VideoEncoder> open(const std::string& codec, const CompressionOptions* options,
                                              std::uint32_t width, std::uint32_t height, std::int32_t timeScale,
                                              bool globalHeader, std::string* error);

    AVCodecContext* context() const { return context_.get(); }

    // The encoder's time base: 1/timeScale as asked, or a coarser one where the codec cannot
    // store that (MPEG-4 video takes at most 1/65535).
    AVRational timeBase() const { return context_->time_base; }

    // A converted copy of the picture, stamped with pts (in the encoder's time base); null when the
    // conversion failed. The source pixels are not needed any more once this returns.
    ff::FramePtr convert(const PixelBuffer& pixels, std::int64_t pts, std::string* error);

    // Encodes one picture (null: drains the encoder) and hands every packet that comes out to sink.
    // Returns 0 or a negative FFmpeg error code.
    int encode(const AVFrame* frame, const PacketSink& sink);

private:
    explicit VideoEncoder(ff::CodecContextPtr context) : context_(std::move(context)) {}

    ff::CodecContextPtr context_;
    ff::SwsPtr scaler_;
    ff::FramePtr picture_;  // the conversion target, reused
    std::uint32_t scalerSourceWidth_ = 0;
    std::uint32_t scalerSourceHeight_ = 0;
    int scalerSourceFormat_ = PixelBuffer::kBGRA;
    ff::PacketPtr packet_{av_packet_alloc()};
    bool drained_ = false;
};

}  // namespace orvanta::capture
