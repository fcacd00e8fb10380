#include "capture/devices/MicrophoneInput.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstdint>
#include <thread>
#include <utility>
#include <vector>

#include "capture/devices/InputErrors.h"
#include "core/Log.h"

namespace orvanta::capture {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSampleRate = 48000;
constexpr int kChannels = 2;
constexpr std::size_t kFrameBytes = kChannels * 2;
constexpr std::size_t kBufferFrames = kSampleRate / 50;  // 20 ms

std::int64_t nowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

// The libpulse objects of one recording stream. The main loop runs its own thread; the context and
// the stream are used with its lock held and dropped before the loop is stopped.
class PulseStream {
public:
    PulseStream() : loop_(pa_threaded_mainloop_new()) {}
    ~PulseStream() {
        if (!loop_) return;
        if (running_) pa_threaded_mainloop_lock(loop_);
        if (stream_) {
            pa_stream_set_state_callback(stream_, nullptr, nullptr);
            pa_stream_set_read_callback(stream_, nullptr, nullptr);
            pa_stream_disconnect(stream_);
            pa_stream_unref(stream_);
        }
        if (context_) {
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
            pa_context_unref(context_);
        }
        if (running_) {
            pa_threaded_mainloop_unlock(loop_);
            pa_threaded_mainloop_stop(loop_);
        }
        pa_threaded_mainloop_free(loop_);
    }
    PulseStream(const PulseStream&) = delete;
    PulseStream& operator=(const PulseStream&) = delete;

    pa_threaded_mainloop* loop() const { return loop_; }
    pa_stream* stream() const { return stream_; }
    pa_context* context() const { return context_; }

    // Connects to the server and starts recording `source`; *error set and false on failure.
    bool open(const std::string& source, std::chrono::milliseconds timeLimit, core::Error* error);

private:
    static void signal(pa_context*, void* loop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0); }
    static void signalStream(pa_stream*, void* loop) {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
    }
    static void signalRead(pa_stream*, std::size_t, void* loop) {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
    }

    pa_threaded_mainloop* loop_;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    bool running_ = false;
};

// Wakes the waiting opener once the time limit has passed.
struct Deadline {
    pa_threaded_mainloop* loop;
    bool passed = false;
    static void fire(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* opaque) {
        auto* deadline = static_cast<Deadline*>(opaque);
        deadline->passed = true;
        pa_threaded_mainloop_signal(deadline->loop, 0);
    }
};

std::string describeSource(const std::string& source) { return source.empty() ? "the default source" : source; }

core::Error serverError(const std::string& source, const std::string& what) {
    return captureDeviceError(kCaptureDeviceTimedOut, "The sound server did not answer.",
                              describeSource(source) + ": " + what);
}

bool PulseStream::open(const std::string& source, std::chrono::milliseconds timeLimit, core::Error* error) {
    if (!loop_ || pa_threaded_mainloop_start(loop_) < 0) {
        *error = captureDeviceError(kCaptureDeviceFailed, "The microphone could not be opened.",
                                    describeSource(source) + ": the sound client could not start");
        return false;
    }
    running_ = true;
    pa_threaded_mainloop_lock(loop_);
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
    Deadline deadline{loop_};
    pa_time_event* timer = nullptr;
    auto finish = [&](bool ok) {
        if (timer) api->time_free(timer);
        pa_threaded_mainloop_unlock(loop_);
        return ok;
    };

    context_ = pa_context_new(api, "Orvanta Recorder");
    if (!context_) {
        *error = captureDeviceError(kCaptureDeviceFailed, "The microphone could not be opened.",
                                    describeSource(source) + ": the sound client could not start");
        return finish(false);
    }
    pa_context_set_state_callback(context_, signal, loop_);
    timer = pa_context_rttime_new(context_, pa_rtclock_now() + static_cast<pa_usec_t>(timeLimit.count()) * 1000,
                                  Deadline::fire, &deadline);
    // The server from PULSE_SERVER or the client configuration; never start one.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        *error = serverError(source, pa_strerror(pa_context_errno(context_)));
        return finish(false);
    }
    for (;;) {
        pa_context_state_t state = pa_context_get_state(context_);
        if (state == PA_CONTEXT_READY) break;
        if (!PA_CONTEXT_IS_GOOD(state)) {
            *error = serverError(source, pa_strerror(pa_context_errno(context_)));
            return finish(false);
        }
        if (deadline.passed) {
            *error = serverError(source, "no answer within " + std::to_string(timeLimit.count()) + " ms");
            return finish(false);
        }
        pa_threaded_mainloop_wait(loop_);
    }

    const pa_sample_spec spec{PA_SAMPLE_S16LE, kSampleRate, kChannels};
    stream_ = pa_stream_new(context_, "Microphone", &spec, nullptr);
    if (!stream_) {
        *error = captureDeviceError(kCaptureDeviceFailed, "The microphone could not be opened.",
                                    describeSource(source) + ": " + pa_strerror(pa_context_errno(context_)));
        return finish(false);
    }
    pa_stream_set_state_callback(stream_, signalStream, loop_);
    pa_stream_set_read_callback(stream_, signalRead, loop_);
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(-1);
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    attributes.minreq = static_cast<std::uint32_t>(-1);
    attributes.fragsize = static_cast<std::uint32_t>(kBufferFrames * kFrameBytes);
    // A stream moved to another source would record something the user did not choose: when the
    // source goes, the stream must end.
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream_, source.empty() ? nullptr : source.c_str(), &attributes, flags) < 0) {
        *error = captureDeviceError(kCaptureDeviceFailed, "The microphone could not be opened.",
                                    describeSource(source) + ": " + pa_strerror(pa_context_errno(context_)));
        return finish(false);
    }
    for (;;) {
        pa_stream_state_t state = pa_stream_get_state(stream_);
        if (state == PA_STREAM_READY) break;
        if (!PA_STREAM_IS_GOOD(state)) {
            int code = pa_context_errno(context_);
            std::string reason = describeSource(source) + ": " + pa_strerror(code);
            if (code == PA_ERR_NOENTITY)
                *error = captureDeviceError(kCaptureDeviceNotConnected, "The microphone is not connected.", reason);
            else if (code == PA_ERR_BUSY)
                *error = captureDeviceError(kCaptureDeviceInUse, "The microphone is in use by another program.", reason);
            else if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)))
                *error = serverError(source, pa_strerror(code));
            else
                *error = captureDeviceError(kCaptureDeviceFailed, "The microphone could not be opened.", reason);
            return finish(false);
        }
        if (deadline.passed) {
            *error = serverError(source, "the source did not start within " + std::to_string(timeLimit.count()) + " ms");
            return finish(false);
        }
        pa_threaded_mainloop_wait(loop_);
    }
    return finish(true);
}

class PulseInput final : public AudioInput {
public:
    PulseInput(std::unique_ptr<PulseStream> stream, std::string source)
        : pulse_(std::move(stream)), source_(std::move(source)) {}
    ~PulseInput() override {
        stop();
        // Drops the stream before the reading thread's state goes.
        pulse_.reset();
    }

    void start(SampleHandler onSamples, ErrorHandler onError) override {
        pa_threaded_mainloop_lock(pulse_->loop());
        const bool go = !started_ && !stopping_;
        started_ = true;
        pa_threaded_mainloop_unlock(pulse_->loop());
        if (!go) return;
        onSamples_ = std::move(onSamples);
        onError_ = std::move(onError);
        thread_ = std::thread([this] { run(); });
    }

    void stop() override {
        pa_threaded_mainloop_lock(pulse_->loop());
        stopping_ = true;
        pa_threaded_mainloop_signal(pulse_->loop(), 0);
        pa_threaded_mainloop_unlock(pulse_->loop());
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    }

private:
    void run() {
        pa_threaded_mainloop* loop = pulse_->loop();
        pa_threaded_mainloop_lock(loop);
        while (!stopping_) {
            pa_stream* stream = pulse_->stream();
            if (pa_stream_get_state(stream) != PA_STREAM_READY) {
                const std::string reason = pa_strerror(pa_context_errno(pulse_->context()));
                pa_threaded_mainloop_unlock(loop);
                fail(reason);
                return;
            }
            const void* data = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(stream, &data, &bytes) < 0) {
                const std::string reason = pa_strerror(pa_context_errno(pulse_->context()));
                pa_threaded_mainloop_unlock(loop);
                fail(reason);
                return;
            }
            if (bytes == 0) {
                pa_threaded_mainloop_wait(loop);
                continue;
            }
            // A hole (no data for that stretch) is skipped.
            if (data) pending_.insert(pending_.end(), static_cast<const std::uint8_t*>(data),
                                      static_cast<const std::uint8_t*>(data) + bytes);
            pa_stream_drop(stream);
            pa_threaded_mainloop_unlock(loop);
            deliverPending();
            pa_threaded_mainloop_lock(loop);
        }
        pa_threaded_mainloop_unlock(loop);
    }

    // Hands over whole frames in buffers of up to 20 ms; the first sample's time is when it was
    // heard, reckoned back from now, and follows on from the buffer before when that is close.
    void deliverPending() {
        const std::size_t frames = pending_.size() / kFrameBytes;
        if (frames == 0) return;
        std::int64_t first = nowMicros() - static_cast<std::int64_t>(frames) * 1000000 / kSampleRate;
        if (nextTime_ != 0 && std::llabs(first - nextTime_) < 20000) first = nextTime_;
        std::size_t done = 0;
        while (done < frames) {
            const std::size_t count = std::min(kBufferFrames, frames - done);
            AudioSampleBuffer buffer;
            buffer.format = AudioSampleBuffer::Format::S16;
            buffer.sampleRate = kSampleRate;
            buffer.channels = kChannels;
            buffer.timeScale = 1000000;
            buffer.presentationTime = first + static_cast<std::int64_t>(done) * 1000000 / kSampleRate;
            buffer.data = pending_.data() + done * kFrameBytes;
            buffer.byteCount = count * kFrameBytes;
            if (onSamples_) onSamples_(buffer);
            done += count;
        }
        nextTime_ = first + static_cast<std::int64_t>(frames) * 1000000 / kSampleRate;
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(frames * kFrameBytes));
    }

    void fail(const std::string& reason) {
        core::logf("Microphone %s stopped: %s", describeSource(source_).c_str(), reason.c_str());
        if (onError_)
            onError_(captureDeviceError(kCaptureDeviceNotConnected, "The microphone was disconnected.",
                                        describeSource(source_) + ": " + reason));
    }

    std::unique_ptr<PulseStream> pulse_;
    const std::string source_;
    SampleHandler onSamples_;
    ErrorHandler onError_;
    std::thread thread_;
    // Guarded by the main loop's lock.
    bool started_ = false;
    bool stopping_ = false;
    // Used by the reading thread only.
    std::vector<std::uint8_t> pending_;
    std::int64_t nextTime_ = 0;
};

}  // namespace

std::unique_ptr<AudioInput> openPulseInput(const std::string& sourceName, core::Error* error,
                                           std::chrono::milliseconds connectTimeLimit) {
    auto stream = std::make_unique<PulseStream>();
    if (!stream->open(sourceName, connectTimeLimit, error)) {
        core::logf("Microphone %s could not be opened: %s", describeSource(sourceName).c_str(),
                   error->failureReason.c_str());
        return nullptr;
    }
    return std::make_unique<PulseInput>(std::move(stream), sourceName);
}

}  // namespace orvanta::capture
