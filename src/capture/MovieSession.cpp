#include "capture/MovieSession.h"

#include <algorithm>
#include <cmath>

#include "capture/DurableFiles.h"
#include "capture/MovieRemux.h"
#include "core/Log.h"

namespace orvanta::capture {

namespace {

// Gives a frame's pixels back to their owner exactly once: early, as soon as the copy is made, or
// at the end of the scope at the latest.
class PixelRelease {
public:
    explicit PixelRelease(VideoFrame& frame) : frame_(frame) {}
    ~PixelRelease() { release(); }
    PixelRelease(const PixelRelease&) = delete;
    PixelRelease& operator=(const PixelRelease&) = delete;
    void release() {
        if (!released_) {
            released_ = true;
            frame_.releasePixels();
        }
    }

private:
    VideoFrame& frame_;
    bool released_ = false;
};

}  // namespace

MovieSession::MovieSession(std::string path, std::unique_ptr<MovieOutput> output, std::string codec,
                           std::uint32_t width, std::uint32_t height,
                           std::shared_ptr<const CompressionOptions> options, FailureHandler onFailure)
    : path_(std::move(path)),
      output_(std::move(output)),
      codec_(std::move(codec)),
      width_(width),
      height_(height),
      options_(std::move(options)),
      onFailure_(std::move(onFailure)) {}

MovieSession::~MovieSession() {
    if (!finished_) finish();
}

void MovieSession::fail(int code, const std::string& what) {
    if (failed_) return;
    failed_ = true;
    std::string reason = what + ": " + ff::errorText(code) + " (error " + std::to_string(code) + ")";
    core::logf("Movie %s: %s; the movie keeps what was written before", path_.c_str(), reason.c_str());
    if (onFailure_) onFailure_(code, reason);
}

bool MovieSession::startVideo(const VideoFrame& frame, const PixelBuffer& pixels) {
    if (videoRefused_) return false;
    if (output_->headerWritten()) {
        core::logf("Video arrived after the tracks of %s were fixed; it is not recorded", path_.c_str());
        videoRefused_ = true;
        return false;
    }
    std::uint32_t width = width_, height = height_;
    if (width == 0 || height == 0) {
        // No output size given: the movie takes the size of its first picture.
        core::logf("No output size for %s; using the first frame's", path_.c_str());
        width = pixels.width;
        height = pixels.height;
    }
    // Finer clocks than the movie format is made for (a camera's microseconds) are counted in
    // 1/90000 s.
    constexpr std::int32_t kMaxTrackTimeScale = 90000;
    const std::int32_t timeScale = std::min(frame.timeScale(), kMaxTrackTimeScale);
    std::string error;
    video_ = VideoEncoder::open(codec_, options_.get(), width, height, timeScale, true, &error);
    if (!video_) {
        core::logf("Creating the video encoder for %s failed: %s", path_.c_str(), error.c_str());
        videoRefused_ = true;
        return false;
    }
    int track = output_->addTrack(video_->context());
    if (track < 0) {
        core::logf("NewMovieTrack failed with error %i", track);
        video_.reset();
        videoRefused_ = true;
        return false;
    }
    videoTrack_ = track;
    timeScale_ = timeScale;
    firstTimeStamp_ = av_rescale_q(frame.timeStamp(), AVRational{1, frame.timeScale()}, AVRational{1, timeScale_});
    return true;
}

bool MovieSession::startAudio(const AudioInputFormat& format) {
    if (audioRefused_) return false;
    if (output_->headerWritten()) {
        core::logf("Sound arrived after the tracks of %s were fixed; it is not recorded", path_.c_str());
        audioRefused_ = true;
        return false;
    }
    std::string error;
    AudioCompression settings = options_ ? options_->audio : AudioCompression{};
    audio_ = AudioEncoder::open(settings, format, true, &error);
    if (!audio_) {
        core::logf("QTSoundDescriptionCreate failed (%d): %s", -1, error.c_str());
        audioRefused_ = true;
        return false;
    }
    int track = output_->addTrack(audio_->context());
    if (track < 0) {
        core::logf("NewMovieTrack failed with error %ld", static_cast<long>(track));
        audio_.reset();
        audioRefused_ = true;
        return false;
    }
    audioTrack_ = track;
    return true;
}

std::int64_t MovieSession::frameDuration() const {
    if (lastInterval_ > 0) return lastInterval_;
    if (options_ && options_->frameRate > 0)
        return std::max<std::int64_t>(1, std::llround(static_cast<double>(timeScale_) / options_->frameRate));
    return std::max<std::int64_t>(1, timeScale_ / 30);
}

std::int64_t MovieSession::encoderFrameDuration() const {
    return std::max<std::int64_t>(1, av_rescale_q(frameDuration(), AVRational{1, timeScale_}, video_->timeBase()));
}

void MovieSession::addFrame(VideoFrame& frame) {
    const PixelBuffer* pixels = frame.pixelBuffer();
    PixelRelease release(frame);
    if (failed_ || finished_) return;
    if (!pixels) {
        core::logf("Frame at %lld/%d has no pixels; dropped", static_cast<long long>(frame.timeStamp()),
                   frame.timeScale());
        return;
    }
    if (frame.timeScale() <= 0) {
        core::logf("Frame with time scale %d dropped", frame.timeScale());
        return;
    }
    if (!video_ && !startVideo(frame, *pixels)) return;
    std::int64_t pts =
        av_rescale_q(frame.timeStamp(), AVRational{1, frame.timeScale()}, AVRational{1, timeScale_}) - firstTimeStamp_;
    // The encoder may count in coarser ticks than the frames (see VideoEncoder::timeBase).
    const AVRational timeBase = video_->timeBase();
    const std::int64_t encoderPts = av_rescale_q(pts, AVRational{1, timeScale_}, timeBase);
    if (lastPts_ != AV_NOPTS_VALUE &&
        (pts <= lastPts_ || encoderPts <= av_rescale_q(lastPts_, AVRational{1, timeScale_}, timeBase))) {
        core::logf("Frame at %lld/%d dropped: it is not later than the frame before",
                   static_cast<long long>(frame.timeStamp()), frame.timeScale());
        return;
    }
    std::string error;
    ff::FramePtr picture = video_->convert(*pixels, encoderPts, &error);
    release.release();
    if (!picture) {
        core::logf("ICMCompressionSessionEncodeFrame() failed with error %ld (%s)", -1L, error.c_str());
        return;
    }
    if (lastPts_ != AV_NOPTS_VALUE) lastInterval_ = pts - lastPts_;
    lastPts_ = pts;
    int rc = video_->encode(picture.get(), [&](AVPacket* packet) {
        packet->duration = encoderFrameDuration();
        return takePacket(packet, videoTrack_, timeBase);
    });
    if (rc < 0 && !failed_) core::logf("ICMCompressionSessionEncodeFrame() failed with error %ld", static_cast<long>(rc));
}

void MovieSession::addAudio(const AudioChunk& chunk) {
    if (failed_ || finished_) return;
    if (!audio_ && !startAudio(chunk.format)) return;
    if (!(chunk.format == audio_->input())) {
        if (!audioFormatLogged_)
            core::logf("Sound for %s changed its format (%d Hz, %d channels); such sound is dropped", path_.c_str(),
                       chunk.format.sampleRate, chunk.format.channels);
        audioFormatLogged_ = true;
        return;
    }
    int frames = static_cast<int>(chunk.data.size() / static_cast<std::size_t>(chunk.format.bytesPerFrame()));
    AVRational timeBase = audio_->context()->time_base;
    int rc = audio_->encode(chunk.data.data(), frames,
                            [&](AVPacket* packet) { return takePacket(packet, audioTrack_, timeBase); });
    if (rc < 0 && !failed_) core::logf("AddMediaSample2(soundMedia) failed (%d)", rc);
}

double MovieSession::pendingSeconds(int track) const {
    std::int64_t first = AV_NOPTS_VALUE, last = AV_NOPTS_VALUE;
    AVRational timeBase{1, 1};
    for (const Pending& p : pending_) {
        if (p.track != track || p.packet->pts == AV_NOPTS_VALUE) continue;
        if (first == AV_NOPTS_VALUE || p.packet->pts < first) first = p.packet->pts;
        if (last == AV_NOPTS_VALUE || p.packet->pts > last) last = p.packet->pts;
        timeBase = p.timeBase;
    }
    if (first == AV_NOPTS_VALUE) return 0;
    return static_cast<double>(last - first) * av_q2d(timeBase);
}

int MovieSession::writeHeaderWhenReady(bool force) {
    if (output_->headerWritten() || output_->trackCount() == 0) return 0;
    auto has = [this](int track) {
        return std::any_of(pending_.begin(), pending_.end(), [track](const Pending& p) { return p.track == track; });
    };
    bool bothReady = videoTrack_ >= 0 && audioTrack_ >= 0 && has(videoTrack_) && has(audioTrack_);
    bool waitedLongEnough =
        pendingSeconds(videoTrack_) >= kTrackWaitSeconds || pendingSeconds(audioTrack_) >= kTrackWaitSeconds;
    if (!force && !bothReady && !waitedLongEnough) return 0;

    if (int rc = output_->writeHeader(timeScale_); rc < 0) {
        fail(rc, "Writing the movie header failed");
        return rc;
    }
    std::vector<Pending> pending = std::move(pending_);
    pending_.clear();
    for (Pending& p : pending) {
        if (int rc = output_->writePacket(p.packet.get(), p.track, p.timeBase); rc < 0) {
            fail(rc, "Writing to the movie file failed");
            return rc;
        }
    }
    return 0;
}

int MovieSession::takePacket(AVPacket* packet, int track, AVRational timeBase) {
    if (failed_) return AVERROR(EIO);
    if (!output_->headerWritten()) {
        ff::PacketPtr copy(av_packet_clone(packet));
        if (!copy) return AVERROR(ENOMEM);
        pending_.push_back(Pending{std::move(copy), track, timeBase});
        return writeHeaderWhenReady(false);
    }
    if (int rc = output_->writePacket(packet, track, timeBase); rc < 0) {
        fail(rc, "Writing to the movie file failed");
        return rc;
    }
    return 0;
}

std::optional<double> MovieSession::soundCut() const {
    if (!video_ || !audio_ || lastPts_ == AV_NOPTS_VALUE) return std::nullopt;
    double videoEnd = static_cast<double>(lastPts_ + frameDuration()) / timeScale_;
    double soundEnd = static_cast<double>(audio_->samplesEncoded()) / audio_->context()->sample_rate;
    if (soundEnd <= videoEnd) return std::nullopt;
    core::logf("Sound track ran long, soundTrackDur = %ld, videoTrackDur = %ld", std::lround(soundEnd * 1000),
               std::lround(videoEnd * 1000));
    return videoEnd;
}

void MovieSession::finish() {
    if (finished_) return;
    finished_ = true;
    if (video_ && !failed_) {
        AVRational timeBase = video_->timeBase();
        int rc = video_->encode(nullptr, [&](AVPacket* packet) {
            packet->duration = encoderFrameDuration();
            return takePacket(packet, videoTrack_, timeBase);
        });
        if (rc < 0 && !failed_) core::logf("ICMCompressionSessionCompleteFrames() failed with error %i", rc);
    } else if (!video_) {
        core::logf("ICMCompressionSessionCompleteFrames() failed with error %i: %s has no video", -1, path_.c_str());
    }
    if (audio_ && !failed_) {
        AVRational timeBase = audio_->context()->time_base;
        int rc = audio_->flush([&](AVPacket* packet) { return takePacket(packet, audioTrack_, timeBase); });
        if (rc < 0 && !failed_) core::logf("AddMediaSample2(soundMedia) failed (%d)", rc);
    }
    if (!failed_) writeHeaderWhenReady(true);
    bool hasTracks = output_->trackCount() > 0;
    bool headerWritten = output_->headerWritten();
    if (int rc = output_->finish(); rc < 0) fail(rc, "AddMovieToStorage() failed");
    if (failed_) return;
    if (!hasTracks) {
        std::string error;
        if (!writeEmptyMovie(path_, &error)) core::logf("AddMovieToStorage() failed with error %i: %s", -1, error.c_str());
        return;
    }
    if (headerWritten) makeSelfContained();
}

void MovieSession::makeSelfContained() {
    std::string temporary = path_ + ".tmp";
    std::string error;
    RemuxPlan plan;
    plan.soundEndSeconds = soundCut();
    if (video_) {
        plan.videoTimeScale = timeScale_;
        plan.videoFrameDuration = frameDuration();
    }
    if (!remuxMovie(path_, temporary, plan, &error)) {
        core::logf("Could not rewrite %s as a self-contained movie (%s); it stays as written", path_.c_str(),
                   error.c_str());
        return;
    }
    core::Error moveError;
    if (!moveFileDurably(temporary, path_, &moveError)) {
        core::logf("Could not replace %s by its self-contained copy (%s); it stays as written", path_.c_str(),
                   moveError.localizedDescription().c_str());
        std::error_code ec;
        std::filesystem::remove(temporary, ec);
    }
}

}  // namespace orvanta::capture
