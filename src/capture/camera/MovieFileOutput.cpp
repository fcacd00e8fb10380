#include "capture/camera/MovieFileOutput.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "core/Log.h"
#include "core/RunLoop.h"

namespace orvanta::capture {

namespace {
constexpr double kMicrosecondsPerSecond = 1e6;
// A picture is kept when at least this share of the minimum interval has passed, so a camera
// whose pictures come a little early is not halved.
constexpr double kIntervalTolerance = 0.75;
// Sound that starts this much (microseconds) after the first picture is moved into place.
constexpr std::int64_t kLateSoundTolerance = 20000;
constexpr std::int64_t kLongestSoundGap = 10000000;

std::int64_t microseconds(std::int64_t value, std::int32_t timeScale) {
    if (timeScale <= 0) return value;
    return static_cast<std::int64_t>(static_cast<long double>(value) * kMicrosecondsPerSecond / timeScale);
}

std::size_t bytesPerFrame(const AudioSampleBuffer& samples) {
    const std::size_t sampleBytes = samples.format == AudioSampleBuffer::Format::S16 ? 2 : 4;
    return sampleBytes * static_cast<std::size_t>(samples.channels > 0 ? samples.channels : 1);
}
}  // namespace

// One movie file being recorded; it is its writer's delegate.
struct MovieFileOutput::File : MovieWriterDelegate {
    explicit File(std::string path_) : path(std::move(path_)) {}

    void movieWriterFailedWithError(MovieWriter& failed, const core::Error& failure) override {
        {
            std::lock_guard lock(errorMutex);
            if (!error) error = failure;
        }
        if (onFailure) onFailure(failed, failure);
    }
    std::optional<core::Error> failure() const {
        std::lock_guard lock(errorMutex);
        return error;
    }

    const std::string path;
    std::unique_ptr<MovieWriter> writer;
    std::function<void(MovieWriter&, const core::Error&)> onFailure;
    bool started = false;
    bool soundStarted = false;
    std::optional<std::int64_t> firstVideoTime;  // microseconds
    std::optional<std::int64_t> lastVideoTime;
    mutable std::mutex errorMutex;
    std::optional<core::Error> error;
};

MovieFileOutput::MovieFileOutput() = default;

MovieFileOutput::~MovieFileOutput() {
    {
        std::lock_guard lock(mutex_);
        delegate_ = nullptr;
        if (current_) finishInBackground(std::exchange(current_, nullptr));
    }
    waitForFinishedFiles();
}

void MovieFileOutput::setDelegate(MovieFileOutputDelegate* delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
}

void MovieFileOutput::setCompressionOptions(const std::string& codec, std::shared_ptr<const CompressionOptions> options,
                                            std::uint32_t width, std::uint32_t height) {
    std::lock_guard lock(mutex_);
    codec_ = codec;
    options_ = std::move(options);
    width_ = width;
    height_ = height;
}

void MovieFileOutput::setMinimumVideoFrameInterval(double seconds) {
    std::lock_guard lock(mutex_);
    minimumInterval_ = seconds > 0 ? seconds : 0;
}

double MovieFileOutput::minimumVideoFrameInterval() const {
    std::lock_guard lock(mutex_);
    return minimumInterval_;
}

void MovieFileOutput::setExpectsVideo(bool expectsVideo) {
    std::lock_guard lock(mutex_);
    expectsVideo_ = expectsVideo;
}

std::string MovieFileOutput::outputFileURL() const {
    std::lock_guard lock(mutex_);
    return current_ ? current_->path : std::string();
}

std::shared_ptr<MovieFileOutput::File> MovieFileOutput::openFile(const std::string& path) {
    std::string codec;
    std::shared_ptr<const CompressionOptions> options;
    std::uint32_t width, height;
    {
        std::lock_guard lock(mutex_);
        codec = codec_;
        options = options_;
        width = width_;
        height = height_;
    }
    auto file = std::make_shared<File>(path);
    // Created without the lock: a file that cannot be created is reported from the constructor.
    file->writer = std::make_unique<MovieWriter>(path, codec, width, height, options, file.get());
    std::weak_ptr<File> weakFile = file;
    file->onFailure = [this, weakFile](MovieWriter&, const core::Error&) {
        // On the writer's compression thread: the file ends here; what it holds is kept.
        auto failed = weakFile.lock();
        if (!failed) return;
        std::lock_guard lock(mutex_);
        if (current_ != failed || !delegate_) return;
        current_ = nullptr;
        finishInBackground(failed);
    };
    return file;
}

void MovieFileOutput::recordToOutputFile(const std::string& path) {
    std::shared_ptr<File> file;
    if (!path.empty()) file = openFile(path);
    std::lock_guard lock(mutex_);
    std::shared_ptr<File> previous = std::exchange(current_, nullptr);
    if (file && !file->failure()) current_ = file;
    if (previous) finishInBackground(previous);
    if (file && !current_) finishInBackground(file);  // could not be created: reported as finished with its error
}

void MovieFileOutput::finishInBackground(std::shared_ptr<File> file) {
    std::weak_ptr<int> alive = alive_;
    finishers_.emplace_back([this, file, alive] {
        file->writer->writeAndCloseMovie();
        const std::optional<core::Error> error = file->failure();
        file->writer.reset();
        core::RunLoop::main().post([this, alive, path = file->path, error] {
            if (alive.expired()) return;
            MovieFileOutputDelegate* delegate;
            {
                std::lock_guard lock(mutex_);
                delegate = delegate_;
            }
            if (delegate) delegate->captureOutputDidFinishRecordingToOutputFile(*this, path, error ? &*error : nullptr);
        });
    });
}

void MovieFileOutput::reportStart(const std::shared_ptr<File>& file) {
    file->started = true;
    std::weak_ptr<int> alive = alive_;
    core::RunLoop::main().post([this, alive, path = file->path] {
        if (alive.expired()) return;
        MovieFileOutputDelegate* delegate;
        {
            std::lock_guard lock(mutex_);
            delegate = delegate_;
        }
        if (delegate) delegate->captureOutputDidStartRecordingToOutputFile(*this, path);
    });
}

void MovieFileOutput::addVideoFrame(const std::shared_ptr<VideoFrame>& frame) {
    std::lock_guard lock(mutex_);
    if (!current_) return;
    const std::int64_t time = microseconds(frame->timeStamp(), frame->timeScale());
    if (current_->lastVideoTime && minimumInterval_ > 0 &&
        time - *current_->lastVideoTime < minimumInterval_ * kIntervalTolerance * kMicrosecondsPerSecond)
        return;
    if (!current_->writer->compressFrameOnSeparateThread(frame)) return;
    current_->lastVideoTime = time;
    if (!current_->firstVideoTime) current_->firstVideoTime = time;
    if (!current_->started) reportStart(current_);
}

void MovieFileOutput::addAudioSamples(const AudioSampleBuffer& samples) {
    MovieFileOutputDelegate* delegate;
    {
        std::lock_guard lock(mutex_);
        delegate = delegate_;
    }
    if (delegate) delegate->captureOutputDidOutputAudioSampleBuffer(*this, samples);

    std::lock_guard lock(mutex_);
    if (!current_) return;
    AudioSampleBuffer part = samples;
    if (expectsVideo_) {
        // Sound starts with the file's first picture.
        if (!current_->firstVideoTime) return;
        const std::size_t frameBytes = bytesPerFrame(samples);
        const std::int64_t start = microseconds(samples.presentationTime, samples.timeScale);
        if (start < *current_->firstVideoTime) {
            const auto skip = static_cast<std::size_t>((*current_->firstVideoTime - start) * samples.sampleRate /
                                                       static_cast<std::int64_t>(kMicrosecondsPerSecond));
            const std::size_t skipBytes = skip * frameBytes;
            if (skipBytes >= samples.byteCount) return;
            part.data += skipBytes;
            part.byteCount -= skipBytes;
            part.presentationTime += static_cast<std::int64_t>(skip) * samples.timeScale / samples.sampleRate;
        } else if (!current_->soundStarted && start - *current_->firstVideoTime > kLateSoundTolerance) {
            // The microphone started late (a sound server filling its first block, a wireless
            // microphone waking up): silence fills the gap so that sound stays with the pictures.
            const std::int64_t gap = std::min(start - *current_->firstVideoTime, kLongestSoundGap);
            std::vector<std::uint8_t> zeros(static_cast<std::size_t>(gap * samples.sampleRate / 1000000) * frameBytes);
            AudioSampleBuffer silence = samples;
            silence.data = zeros.data();
            silence.byteCount = zeros.size();
            current_->writer->processAudioSamples(silence);
        }
    }
    current_->soundStarted = true;
    current_->writer->processAudioSamples(part);
    if (!current_->started && !expectsVideo_) reportStart(current_);
}

void MovieFileOutput::waitForFinishedFiles() {
    std::vector<std::thread> finishers;
    {
        std::lock_guard lock(mutex_);
        finishers.swap(finishers_);
    }
    for (auto& finisher : finishers) finisher.join();
}

}  // namespace orvanta::capture
