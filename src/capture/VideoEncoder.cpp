#include "capture/VideoEncoder.h"

#include <cstdlib>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include "core/Log.h"

namespace orvanta::capture {

namespace {

AVPixelFormat choosePixelFormat(const AVCodec* encoder, const CompressionOptions* options) {
    AVPixelFormat wanted = AV_PIX_FMT_YUV420P;
    if (options && !options->pixelFormat.empty()) {
        AVPixelFormat named = av_get_pix_fmt(options->pixelFormat.c_str());
        if (named != AV_PIX_FMT_NONE) wanted = named;
        else core::logf("Unknown pixel format \"%s\", using the encoder's", options->pixelFormat.c_str());
    }
    if (!encoder->pix_fmts) return wanted;
    for (const AVPixelFormat* f = encoder->pix_fmts; *f != AV_PIX_FMT_NONE; ++f)
        if (*f == wanted) return wanted;
    return encoder->pix_fmts[0];
}

// Where a picture's pixels are and how they are laid out, as swscale takes them.
struct SourceLayout {
    AVPixelFormat format = AV_PIX_FMT_BGRA;
    bool fullRange = false;  // YUV with the full 0-255 range (what JPEG cameras give)
    const std::uint8_t* planes[4] = {};
    int strides[4] = {};
};

// The full-range ("J") YUV formats are the ordinary ones with the full range; swscale wants them
// named as the ordinary ones and the range set on the context.
AVPixelFormat withoutFullRange(AVPixelFormat format, bool* fullRange) {
    *fullRange = true;
    switch (format) {
    case AV_PIX_FMT_YUVJ420P: return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P: return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P: return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P: return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P: return AV_PIX_FMT_YUV411P;
    default: *fullRange = false; return format;
    }
}

// MPEG-4 video keeps its time base in 16 bits. A finer time scale (a camera's microseconds) is
// coarsened to the nearest time base that fits, a whole multiple of the tick where possible.
AVRational encoderTimeBase(const AVCodec* encoder, std::int32_t timeScale) {
    constexpr int kMaximum = 65535;
    if (encoder->id != AV_CODEC_ID_MPEG4 || timeScale <= kMaximum) return AVRational{1, timeScale};
    const std::int64_t factor = (static_cast<std::int64_t>(timeScale) + kMaximum - 1) / kMaximum;
    AVRational coarse{1, 1};
    av_reduce(&coarse.num, &coarse.den, factor, timeScale, kMaximum);
    return coarse;
}

bool describeSource(const PixelBuffer& pixels, SourceLayout* layout, std::string* error) {
    if (pixels.width == 0 || pixels.height == 0) {
        *error = "the picture has no usable pixels";
        return false;
    }
    if (pixels.pixelFormat == PixelBuffer::kBGRA) {
        if (!pixels.data || pixels.rowBytes < pixels.width * 4) {
            *error = "the picture has no usable pixels";
            return false;
        }
        layout->format = AV_PIX_FMT_BGRA;
        layout->planes[0] = pixels.data;
        layout->strides[0] = static_cast<int>(pixels.rowBytes);
        return true;
    }
    auto format = static_cast<AVPixelFormat>(pixels.pixelFormat);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    if (!desc || (desc->flags & AV_PIX_FMT_FLAG_HWACCEL) || !sws_isSupportedInput(format)) {
        *error = "pictures in pixel format " + std::to_string(pixels.pixelFormat) + " (" +
                 (desc ? desc->name : "unknown") + ") cannot be converted";
        return false;
    }
    int planeCount = av_pix_fmt_count_planes(format);
    for (int i = 0; i < planeCount && i < 4; ++i) {
        int needed = av_image_get_linesize(format, static_cast<int>(pixels.width), i);
        int stride = pixels.planeRowBytes[static_cast<std::size_t>(i)];
        if (!pixels.planes[static_cast<std::size_t>(i)] || needed <= 0 || std::abs(stride) < needed) {
            *error = std::string("the ") + desc->name + " picture's plane " + std::to_string(i) + " is missing or too short";
            return false;
        }
        layout->planes[i] = pixels.planes[static_cast<std::size_t>(i)];
        layout->strides[i] = stride;
    }
    layout->format = withoutFullRange(format, &layout->fullRange);
    return true;
}

// A converter from the source's layout to the encoder's format and size. The source range is set
// before the converter is made: it decides whether a plain copy will do.
ff::SwsPtr makeScaler(std::uint32_t width, std::uint32_t height, const SourceLayout& source,
                      const AVCodecContext* encoder, int flags) {
    ff::SwsPtr scaler(sws_alloc_context());
    if (!scaler) return nullptr;
    SwsContext* s = scaler.get();
    if (av_opt_set_int(s, "srcw", width, 0) < 0 || av_opt_set_int(s, "srch", height, 0) < 0 ||
        av_opt_set_int(s, "src_format", source.format, 0) < 0 || av_opt_set_int(s, "src_range", source.fullRange, 0) < 0 ||
        av_opt_set_int(s, "dstw", encoder->width, 0) < 0 || av_opt_set_int(s, "dsth", encoder->height, 0) < 0 ||
        av_opt_set_int(s, "dst_format", encoder->pix_fmt, 0) < 0 || av_opt_set_int(s, "sws_flags", flags, 0) < 0)
        return nullptr;
    if (sws_init_context(s, nullptr, nullptr) < 0) return nullptr;
    return scaler;
}

}  // namespace

std::string encoderNameForCodec(const std::string& codec) {
    if (codec == "avc1") return "libx264";
    if (codec != "mp4v") core::logf("Unknown video codec \"%s\", writing MPEG-4 video", codec.c_str());
    return "mpeg4";
}

std::unique_ptr<VideoEncoder> VideoEncoder::open(const std::string& codec, const CompressionOptions* options,
                                                 std::uint32_t width, std::uint32_t height, std::int32_t timeScale,
                                                 bool globalHeader, std::string* error) {
    // Options made for another codec say nothing about this one.
    if (options && !options->codec.empty() && options->codec != codec) {
        core::logf("Compression options are for codec \"%s\", not \"%s\"; using the encoder's defaults",
                   options->codec.c_str(), codec.c_str());
        options = nullptr;
    }
    std::string name = options && !options->encoderName.empty() ? options->encoderName : encoderNameForCodec(codec);
    ff::CodecContextPtr context = ff::encoderContext(name, AVMEDIA_TYPE_VIDEO, error);
    if (!context) return nullptr;
    const AVCodec* encoder = context->codec;
    AVPixelFormat format = choosePixelFormat(encoder, options);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    // Subsampled chroma needs sizes that divide evenly.
    std::uint32_t alignW = desc ? (1u << desc->log2_chroma_w) : 1, alignH = desc ? (1u << desc->log2_chroma_h) : 1;
    std::uint32_t w = width / alignW * alignW, h = height / alignH * alignH;
    if (w == 0 || h == 0) {
        *error = "output size " + std::to_string(width) + "x" + std::to_string(height) + " is too small";
        return nullptr;
    }
    if (w != width || h != height)
        core::logf("Output size %ux%u rounded to %ux%u for the encoder", width, height, w, h);
    context->width = static_cast<int>(w);
    context->height = static_cast<int>(h);
    context->pix_fmt = format;
    context->sample_aspect_ratio = AVRational{1, 1};
    context->time_base = encoderTimeBase(encoder, timeScale);
    context->thread_count = 0;
    if (globalHeader) context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

    ff::Dictionary dict;
    if (options) {
        if (options->frameRate > 0) context->framerate = AVRational{options->frameRate, 1};
        if (options->bitRate > 0) context->bit_rate = options->bitRate;
        if (options->keyFrameInterval > 0) context->gop_size = options->keyFrameInterval;
        for (const auto& [key, value] : options->encoderOptions) dict.set(key, value);
    }
    if (int rc = avcodec_open2(context.get(), encoder, dict.address()); rc < 0) {
        *error = "cannot open encoder \"" + name + "\": " + ff::errorText(rc);
        return nullptr;
    }
    if (std::string left = dict.leftoverKeys(); !left.empty())
        core::logf("Encoder \"%s\" ignored the options %s", name.c_str(), left.c_str());
    return std::unique_ptr<VideoEncoder>(new VideoEncoder(std::move(context)));
}

ff::FramePtr VideoEncoder::convert(const PixelBuffer& pixels, std::int64_t pts, std::string* error) {
    SourceLayout source;
    if (!describeSource(pixels, &source, error)) return nullptr;
    if (!scaler_ || scalerSourceWidth_ != pixels.width || scalerSourceHeight_ != pixels.height ||
        scalerSourceFormat_ != pixels.pixelFormat) {
        bool shrinking = pixels.width > static_cast<std::uint32_t>(context_->width) ||
                         pixels.height > static_cast<std::uint32_t>(context_->height);
        scaler_ = makeScaler(pixels.width, pixels.height, source, context_.get(), shrinking ? SWS_AREA : SWS_BILINEAR);
        if (!scaler_) {
            *error = "cannot convert " + std::to_string(pixels.width) + "x" + std::to_string(pixels.height) +
                     " pictures to the encoder's format";
            return nullptr;
        }
        scalerSourceWidth_ = pixels.width;
        scalerSourceHeight_ = pixels.height;
        scalerSourceFormat_ = pixels.pixelFormat;
    }
    // One picture is converted into again and again; a fresh one only while the encoder still holds
    // the last (a new allocation per frame costs more than the conversion).
    if (!picture_) {
        picture_.reset(av_frame_alloc());
        if (!picture_) {
            *error = "out of memory";
            return nullptr;
        }
        picture_->format = context_->pix_fmt;
        picture_->width = context_->width;
        picture_->height = context_->height;
        if (int rc = av_frame_get_buffer(picture_.get(), 0); rc < 0) {
            picture_.reset();
            *error = ff::errorText(rc);
            return nullptr;
        }
    } else if (int rc = av_frame_make_writable(picture_.get()); rc < 0) {
        *error = ff::errorText(rc);
        return nullptr;
    }
    sws_scale(scaler_.get(), source.planes, source.strides, 0, static_cast<int>(pixels.height), picture_->data,
              picture_->linesize);
    ff::FramePtr frame(av_frame_alloc());
    if (!frame || av_frame_ref(frame.get(), picture_.get()) < 0) {
        *error = "out of memory";
        return nullptr;
    }
    frame->pts = pts;
    return frame;
}

int VideoEncoder::encode(const AVFrame* frame, const PacketSink& sink) {
    if (drained_) return 0;
    if (!frame) drained_ = true;
    return ff::sendAndReceive(context_.get(), packet_.get(), frame, sink);
}

}  // namespace orvanta::capture
