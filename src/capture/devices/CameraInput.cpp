#include "capture/devices/CameraInput.h"

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>
#include <utility>

#include "capture/devices/CameraFrame.h"
#include "capture/devices/CameraOpening.h"
#include "capture/devices/InputErrors.h"
#include "core/Log.h"

namespace orvanta::capture {

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t microseconds(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

// An open that the caller may stop waiting for: the opening thread and the caller share it, and
// whoever lets go last frees it (with the camera, if it was opened after the caller gave up).
struct OpenAttempt {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::unique_ptr<OpenedCamera> camera;
    core::Error error;
};

class CameraInput final : public VideoInput {
public:
    CameraInput(std::unique_ptr<OpenedCamera> camera, bool paced) : camera_(std::move(camera)), paced_(paced) {}
    ~CameraInput() override { stop(); }

    void start(FrameHandler onFrame, ErrorHandler onError) override {
        std::lock_guard lock(mutex_);
        if (started_) return;
        started_ = true;
        if (stopping_) return;
        onFrame_ = std::move(onFrame);
        onError_ = std::move(onError);
        thread_ = std::thread([this] { run(); });
    }

    void stop() override {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        camera_->interrupt->store(true);
        wake_.notify_all();
        // From a handler the thread ends by itself once the handler returns.
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    }

private:
    bool stopping() {
        std::lock_guard lock(mutex_);
        return stopping_;
    }

    // Sleeps until `until` or until stopped; false when stopped.
    bool sleepUntil(Clock::time_point until) {
        std::unique_lock lock(mutex_);
        return !wake_.wait_until(lock, until, [this] { return stopping_; });
    }

    void run() {
        ff::PacketPtr packet(av_packet_alloc());
        ff::FramePtr decoded(av_frame_alloc());
        if (!packet || !decoded) {
            fail(AVERROR(ENOMEM));
            return;
        }
        while (!stopping()) {
            int rc = av_read_frame(camera_->input.get(), packet.get());
            if (rc == AVERROR(EAGAIN)) {
                if (!sleepUntil(Clock::now() + std::chrono::milliseconds(5))) break;
                continue;
            }
            if (rc < 0) {
                if (!stopping()) fail(rc);
                return;
            }
            const Clock::time_point arrival = Clock::now();
            if (packet->stream_index != camera_->stream) {
                av_packet_unref(packet.get());
                continue;
            }
            rc = decode(packet.get(), decoded.get(), arrival);
            av_packet_unref(packet.get());
            if (rc < 0) return;
        }
    }

    // Decodes one packet and delivers its pictures; negative when reading must end.
    int decode(AVPacket* packet, AVFrame* decoded, Clock::time_point arrival) {
        if (camera_->copyPackets) {
            // A copy that owns its bytes: the driver's buffer goes back to the driver at once.
            ff::PacketPtr copy(av_packet_alloc());
            if (!copy || av_new_packet(copy.get(), packet->size) < 0) return reportDecodeFailure(AVERROR(ENOMEM));
            std::copy(packet->data, packet->data + packet->size, copy->data);
            av_packet_copy_props(copy.get(), packet);
            av_packet_unref(packet);
            av_packet_move_ref(packet, copy.get());
        }
        int rc = avcodec_send_packet(camera_->decoder.get(), packet);
        if (rc < 0) return reportDecodeFailure(rc);
        for (;;) {
            rc = avcodec_receive_frame(camera_->decoder.get(), decoded);
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return 0;
            if (rc < 0) return reportDecodeFailure(rc);
            if (!deliver(decoded, arrival)) return -1;
        }
    }

    // A damaged picture is skipped; the camera goes on.
    int reportDecodeFailure(int rc) {
        if (++decodeFailures_ == 1 || decodeFailures_ % 100 == 0)
            core::logf("Camera %s: a picture could not be decoded (%s), %d so far", camera_->url.c_str(),
                       ff::errorText(rc).c_str(), decodeFailures_);
        return 0;
    }

    bool deliver(AVFrame* decoded, Clock::time_point arrival) {
        if (paced_) {
            const std::int64_t pts = decoded->best_effort_timestamp != AV_NOPTS_VALUE ? decoded->best_effort_timestamp
                                                                                     : decoded->pts;
            if (pts != AV_NOPTS_VALUE) {
                if (firstPts_ == AV_NOPTS_VALUE) {
                    firstPts_ = pts;
                    pacedStart_ = arrival;
                }
                const AVRational timeBase = camera_->input->streams[camera_->stream]->time_base;
                const std::int64_t offset = av_rescale_q(pts - firstPts_, timeBase, AVRational{1, 1000000});
                if (!sleepUntil(pacedStart_ + std::chrono::microseconds(offset))) {
                    av_frame_unref(decoded);
                    return false;
                }
                arrival = Clock::now();
            }
        }
        std::int64_t stamp = microseconds(arrival);
        if (stamp <= lastStamp_) stamp = lastStamp_ + 1;
        lastStamp_ = stamp;
        ff::FramePtr picture(av_frame_alloc());
        if (!picture) {
            av_frame_unref(decoded);
            return true;
        }
        av_frame_move_ref(picture.get(), decoded);
        if (onFrame_) onFrame_(std::make_shared<CameraFrame>(std::move(picture), stamp));
        return true;
    }

    void fail(int rc) {
        const std::string& url = camera_->url;
        std::string reason = url + ": " + ff::errorText(rc);
        CaptureErrorCode code = captureCodeForErrno(errnoOfAverror(rc));
        std::error_code ec;
        const bool nodeGone = url.starts_with("/dev/") && !std::filesystem::exists(url, ec);
        if (rc == AVERROR_EOF || nodeGone || errnoOfAverror(rc) == EIO) code = kCaptureDeviceNotConnected;
        if (code == kCaptureDeviceInUse) code = kCaptureDeviceFailed;
        core::logf("Camera %s stopped delivering pictures: %s", url.c_str(), ff::errorText(rc).c_str());
        if (onError_)
            onError_(captureDeviceError(code,
                                        code == kCaptureDeviceNotConnected ? "The camera was disconnected."
                                                                           : "The camera stopped delivering pictures.",
                                        reason));
    }

    std::unique_ptr<OpenedCamera> camera_;
    const bool paced_;
    FrameHandler onFrame_;
    ErrorHandler onError_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool started_ = false;
    bool stopping_ = false;

    // Used by the reading thread only.
    std::int64_t firstPts_ = AV_NOPTS_VALUE;
    Clock::time_point pacedStart_;
    std::int64_t lastStamp_ = 0;
    int decodeFailures_ = 0;
};

}  // namespace

std::unique_ptr<VideoInput> openCameraInput(const std::string& inputFormatName, const std::string& url,
                                            const CameraFormat& format, bool pacedByClock,
                                            std::chrono::milliseconds openTimeLimit, core::Error* error) {
    auto attempt = std::make_shared<OpenAttempt>();
    auto interrupt = std::make_shared<std::atomic<bool>>(false);
    std::thread([attempt, interrupt, inputFormatName, url, format] {
        core::Error openError;
        std::unique_ptr<OpenedCamera> camera = openCameraBlocking(inputFormatName, url, format, interrupt, &openError);
        {
            std::lock_guard lock(attempt->mutex);
            attempt->camera = std::move(camera);
            attempt->error = std::move(openError);
            attempt->done = true;
        }
        attempt->finished.notify_all();
    }).detach();

    std::unique_lock lock(attempt->mutex);
    if (!attempt->finished.wait_for(lock, openTimeLimit, [&] { return attempt->done; })) {
        // Whatever the device does later, the opening thread frees it; an open that can give up
        // does so now.
        interrupt->store(true);
        core::logf("Camera %s did not answer within %lld ms", url.c_str(),
                   static_cast<long long>(openTimeLimit.count()));
        *error = captureDeviceError(kCaptureDeviceTimedOut, "The camera did not answer.",
                                    url + " did not answer within " +
                                        std::to_string(openTimeLimit.count()) + " ms");
        return nullptr;
    }
    if (!attempt->camera) {
        *error = attempt->error;
        core::logf("Camera %s could not be opened: %s", url.c_str(), error->failureReason.c_str());
        return nullptr;
    }
    return std::make_unique<CameraInput>(std::move(attempt->camera), pacedByClock);
}

}  // namespace orvanta::capture
