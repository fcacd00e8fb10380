#include "capture/devices/CameraOpening.h"

#include <mutex>
#include <utility>
#include <vector>

extern "C" {
#include <libavdevice/avdevice.h>
}

#include "capture/devices/InputErrors.h"
#include "core/Log.h"

namespace orvanta::capture {

namespace {

void registerDevices() {
    static std::once_flag once;
    std::call_once(once, [] { avdevice_register_all(); });
}

int interrupted(void* opaque) { return static_cast<std::atomic<bool>*>(opaque)->load() ? 1 : 0; }

core::Error openError(const std::string& url, int code) {
    std::string reason = url + ": " + ff::errorText(code);
    CaptureErrorCode captureCode = captureCodeForErrno(errnoOfAverror(code));
    switch (captureCode) {
    case kCaptureDeviceNotConnected:
        return captureDeviceError(captureCode, "The camera is not connected.", reason);
    case kCaptureDeviceInUse:
        return captureDeviceError(captureCode, "The camera is in use by another program.", reason);
    default:
        return captureDeviceError(kCaptureDeviceFailed, "The camera could not be opened.", reason);
    }
}

using Options = std::vector<std::pair<std::string, std::string>>;

int openInput(const AVInputFormat* inputFormat, const std::string& url, const Options& options,
              std::atomic<bool>* interrupt, ff::InputContextPtr* opened) {
    AVFormatContext* context = avformat_alloc_context();
    if (!context) return AVERROR(ENOMEM);
    context->interrupt_callback.callback = interrupted;
    context->interrupt_callback.opaque = interrupt;
    ff::Dictionary dict;
    for (const auto& [key, value] : options) dict.set(key, value);
    // On failure the context is freed and the pointer cleared.
    int rc = avformat_open_input(&context, url.c_str(), inputFormat, dict.address());
    if (rc < 0) return rc;
    opened->reset(context);
    if (std::string left = dict.leftoverKeys(); !left.empty())
        core::logf("Camera %s ignored the options %s", url.c_str(), left.c_str());
    return 0;
}

int openDecoder(OpenedCamera& camera) {
    AVFormatContext* input = camera.input.get();
    int index = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    bool described = index >= 0 && input->streams[index]->codecpar->codec_id != AV_CODEC_ID_NONE &&
                     input->streams[index]->codecpar->width > 0;
    if (!described) {
        // Some inputs only tell what they deliver after a look at the first packets.
        if (int rc = avformat_find_stream_info(input, nullptr); rc < 0) return rc;
        index = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (index < 0) return index;
    }
    const AVCodecParameters* parameters = input->streams[index]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    if (!codec) return AVERROR_DECODER_NOT_FOUND;
    ff::CodecContextPtr decoder(avcodec_alloc_context3(codec));
    if (!decoder) return AVERROR(ENOMEM);
    if (int rc = avcodec_parameters_to_context(decoder.get(), parameters); rc < 0) return rc;
    decoder->pkt_timebase = input->streams[index]->time_base;
    if (int rc = avcodec_open2(decoder.get(), codec, nullptr); rc < 0) return rc;
    // Only the chosen stream is read.
    for (unsigned i = 0; i < input->nb_streams; ++i)
        if (static_cast<int>(i) != index) input->streams[i]->discard = AVDISCARD_ALL;
    camera.decoder = std::move(decoder);
    camera.stream = index;
    return 0;
}

}  // namespace

int errnoOfAverror(int code) {
    // AVERROR(e) is -e; FFmpeg's own errors are large negative tags.
    return code < 0 && code > -4096 ? -code : 0;
}

std::unique_ptr<OpenedCamera> openCameraBlocking(const std::string& inputFormatName, const std::string& url,
                                                 const CameraFormat& format,
                                                 std::shared_ptr<std::atomic<bool>> interrupt, core::Error* error) {
    registerDevices();
    const AVInputFormat* inputFormat = av_find_input_format(inputFormatName.c_str());
    if (!inputFormat) {
        *error = captureDeviceError(kCaptureDeviceFailed, "The camera could not be opened.",
                                    url + ": this system cannot read input of the kind \"" + inputFormatName + "\"");
        return nullptr;
    }
    auto camera = std::make_unique<OpenedCamera>();
    camera->interrupt = std::move(interrupt);
    camera->url = url;
    const bool v4l2 = inputFormatName == "video4linux2" || inputFormatName == "v4l2";
    camera->copyPackets = v4l2;

    int rc = 0;
    if (v4l2) {
        Options wanted{{"video_size", std::to_string(format.width) + "x" + std::to_string(format.height)}};
        if (format.frameRate > 0) wanted.emplace_back("framerate", std::to_string(format.frameRate));
        rc = openInput(inputFormat, url, wanted, camera->interrupt.get(), &camera->input);
        CaptureErrorCode code = captureCodeForErrno(errnoOfAverror(rc));
        if (rc < 0 && code == kCaptureDeviceFailed && !camera->interrupt->load()) {
            core::logf("Camera %s refused %ux%u at %d frames per second (%s); opening it as it is", url.c_str(),
                       format.width, format.height, format.frameRate, ff::errorText(rc).c_str());
            rc = openInput(inputFormat, url, {}, camera->interrupt.get(), &camera->input);
        }
    } else {
        rc = openInput(inputFormat, url, {}, camera->interrupt.get(), &camera->input);
    }
    if (rc >= 0) rc = openDecoder(*camera);
    if (rc < 0) {
        *error = openError(url, rc);
        return nullptr;
    }
    return camera;
}

}  // namespace orvanta::capture
