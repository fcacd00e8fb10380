#pragma once

#include <functional>
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace orvanta::capture::ff {

// Owning handles for the FFmpeg objects the movie code uses; each frees its object the way the
// library asks for.

struct CodecContextDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;

struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

struct SwsDeleter {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;

struct SwrDeleter {
    void operator()(SwrContext* s) const { swr_free(&s); }
};
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;

struct AudioFifoDeleter {
    void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoDeleter>;

// An output format context together with its open file, if any: freeing closes the file first.
struct OutputContextDeleter {
    void operator()(AVFormatContext* s) const {
        if (s->pb && !(s->oformat->flags & AVFMT_NOFILE)) avio_closep(&s->pb);
        avformat_free_context(s);
    }
};
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextDeleter>;

struct InputContextDeleter {
    void operator()(AVFormatContext* s) const { avformat_close_input(&s); }
};
using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextDeleter>;

// A dictionary of options handed to an open call; whatever the call did not consume is freed.
class Dictionary {
public:
    Dictionary() = default;
    ~Dictionary() { av_dict_free(&dict_); }
    Dictionary(const Dictionary&) = delete;
    Dictionary& operator=(const Dictionary&) = delete;

    void set(const std::string& key, const std::string& value) { av_dict_set(&dict_, key.c_str(), value.c_str(), 0); }
    AVDictionary** address() { return &dict_; }
    // The keys left over after an open call, comma separated; empty when all were used.
    std::string leftoverKeys() const {
        std::string keys;
        const AVDictionaryEntry* e = nullptr;
        while ((e = av_dict_get(dict_, "", e, AV_DICT_IGNORE_SUFFIX))) {
            if (!keys.empty()) keys += ",";
            keys += e->key;
        }
        return keys;
    }

private:
    AVDictionary* dict_ = nullptr;
};

// The library's text for an error code.
inline std::string errorText(int code) {
    char buffer[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buffer, sizeof buffer);
    return buffer;
}

// A context for the encoder of that name, which must encode `type` ("video" or "sound" in the
// message); null with *error set when there is no such encoder or no memory.
inline CodecContextPtr encoderContext(const std::string& name, AVMediaType type, std::string* error) {
    const AVCodec* encoder = avcodec_find_encoder_by_name(name.c_str());
    if (!encoder || encoder->type != type) {
        *error = std::string("no ") + (type == AVMEDIA_TYPE_AUDIO ? "sound" : "video") + " encoder named \"" + name + "\"";
        return nullptr;
    }
    CodecContextPtr context(avcodec_alloc_context3(encoder));
    if (!context) *error = "out of memory";
    return context;
}

// Hands a frame (null: the end) to the encoder and every packet it then has to the sink; a
// negative result of the encoder or the sink stops and is returned.
inline int sendAndReceive(AVCodecContext* context, AVPacket* packet, const AVFrame* frame,
                          const std::function<int(AVPacket*)>& sink) {
    int rc = avcodec_send_frame(context, frame);
    if (rc < 0 && rc != AVERROR_EOF) return rc;
    for (;;) {
        rc = avcodec_receive_packet(context, packet);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return 0;
        if (rc < 0) return rc;
        rc = sink(packet);
        av_packet_unref(packet);
        if (rc < 0) return rc;
    }
}

}  // namespace orvanta::capture::ff
