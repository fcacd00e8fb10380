#include "capture/MovieWriter.h"

#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>
#include <variant>

#include "capture/MovieOutput.h"
#include "capture/MovieSession.h"
#include "core/Log.h"

namespace orvanta::capture {

namespace {

constexpr long kWriteFileError = 80;
constexpr long kCreateStorageError = 81;

core::Error movieError(long code, const std::string& path, int detail) {
    char reason[64];
    std::snprintf(reason, sizeof reason, "Failed with error %i", detail);
    core::Error error(core::kMovieWriterErrorDomain, code,
                      code == kWriteFileError ? "Failed to write file" : "Failed to create movie storage in file",
                      reason);
    error.with(core::kFileNameKey, path);
    return error;
}

// A diagnostic for running out of file descriptors: which files the process holds open.
void writeOpenFilesToStandardError() {
    try {
        std::fprintf(stderr, "Open files of process %d:\n", static_cast<int>(::getpid()));
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code ec;
            auto target = std::filesystem::read_symlink(entry.path(), ec);
            std::fprintf(stderr, "%s -> %s\n", entry.path().filename().c_str(), ec ? "?" : target.c_str());
        }
    } catch (const std::exception& e) {
        core::logf("Getting list of all opened files failed");
        core::logf("%s (%s)", e.what(), "std::exception");
    }
}

}  // namespace

struct MovieWriter::Impl {
    using Job = std::variant<std::shared_ptr<VideoFrame>, AudioChunk>;

    MovieWriter& owner;
    const std::string path;
    MovieWriterDelegate* const delegate;

    std::mutex mutex;  // guards the fields below
    std::condition_variable wake;
    std::deque<Job> queue;
    bool open = false;
    bool closing = false;

    std::mutex closeMutex;  // one closer at a time
    std::thread worker;
    std::thread::id workerId;  // set before any job is queued, then constant
    std::unique_ptr<MovieSession> session;  // used by the worker only

    Impl(MovieWriter& owner_, std::string path_, MovieWriterDelegate* delegate_)
        : owner(owner_), path(std::move(path_)), delegate(delegate_) {}

    void tell(const core::Error& error) {
        if (delegate) delegate->movieWriterFailedWithError(owner, error);
    }

    std::unique_ptr<MovieOutput> createMovie();
    void run();
    void process(Job& job);
};

std::unique_ptr<MovieOutput> MovieWriter::Impl::createMovie() {
    namespace fs = std::filesystem;
    fs::path file(path);
    std::error_code ec;
    if (path.empty() || !file.has_filename()) {
        ec = std::make_error_code(std::errc::invalid_argument);
    } else if (file.has_parent_path() && !fs::is_directory(file.parent_path())) {
        fs::create_directories(file.parent_path(), ec);
        if (!ec && !fs::is_directory(file.parent_path())) ec = std::make_error_code(std::errc::not_a_directory);
    }
    if (ec) {
        int code = -ec.value();
        core::logf("QTNewDataReferenceFromFullPathCFString() failed with error %i", code);
        core::logf("Cannot make the folder for %s: %s", path.c_str(), ec.message().c_str());
        tell(movieError(kWriteFileError, path, code));
        return nullptr;
    }
    std::unique_ptr<MovieOutput> output;
    if (int rc = MovieOutput::create(path, &output); rc < 0) {
        core::logf("CreateMovieStorage() failed with error %i", rc);
        core::logf("Cannot create %s: %s", path.c_str(), ff::errorText(rc).c_str());
        if (rc == AVERROR(EMFILE) || rc == AVERROR(ENFILE)) writeOpenFilesToStandardError();
        tell(movieError(kCreateStorageError, path, rc));
        return nullptr;
    }
    return output;
}

void MovieWriter::Impl::process(Job& job) {
    if (auto* frame = std::get_if<std::shared_ptr<VideoFrame>>(&job)) {
        session->addFrame(**frame);
        frame->reset();
    } else {
        session->addAudio(std::get<AudioChunk>(job));
    }
}

void MovieWriter::Impl::run() {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex);
            wake.wait(lock, [this] { return !queue.empty() || closing; });
            if (queue.empty()) break;
            job = std::move(queue.front());
            queue.pop_front();
        }
        process(job);
    }
    session->finish();
    session.reset();
    std::lock_guard lock(mutex);
    open = false;
}

MovieWriter::MovieWriter(const std::string& path, const std::string& codec, std::uint32_t pixelsWide,
                         std::uint32_t pixelsHigh, std::shared_ptr<const CompressionOptions> options,
                         MovieWriterDelegate* delegate)
    : impl_(std::make_unique<Impl>(*this, path, delegate)) {
    std::unique_ptr<MovieOutput> output = impl_->createMovie();
    if (!output) return;
    if (!options) core::logf("No compression options for %s; the encoder's defaults are used", path.c_str());
    Impl* impl = impl_.get();
    impl->session = std::make_unique<MovieSession>(
        path, std::move(output), codec, pixelsWide, pixelsHigh, std::move(options),
        [impl](int code, const std::string& reason) {
            core::Error error(core::kMovieWriterErrorDomain, kCreateStorageError,
                              "Failed to create movie storage in file", reason);
            error.with(core::kFileNameKey, impl->path);
            (void)code;
            impl->tell(error);
        });
    impl->open = true;
    impl->worker = std::thread([impl] { impl->run(); });
    impl->workerId = impl->worker.get_id();
}

MovieWriter::~MovieWriter() { writeAndCloseMovie(); }

bool MovieWriter::compressFrameOnSeparateThread(std::shared_ptr<VideoFrame> frame) {
    if (!frame) return false;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->open && !impl_->closing) {
            impl_->queue.emplace_back(std::move(frame));
            impl_->wake.notify_one();
            return true;
        }
    }
    core::logf("Frame at %lld/%d dropped: %s is not open", static_cast<long long>(frame->timeStamp()),
               frame->timeScale(), impl_->path.c_str());
    frame->pixelBuffer();
    frame->releasePixels();
    return false;
}

void MovieWriter::processAudioSamples(const AudioSampleBuffer& buffer) {
    if (!buffer.data || buffer.byteCount == 0 || !isOpen()) return;
    AudioChunk chunk;
    chunk.format = AudioInputFormat{buffer.format, buffer.sampleRate, buffer.channels};
    chunk.data.assign(buffer.data, buffer.data + buffer.byteCount);
    std::lock_guard lock(impl_->mutex);
    if (!impl_->open || impl_->closing) return;
    impl_->queue.emplace_back(std::move(chunk));
    impl_->wake.notify_one();
}

void MovieWriter::writeAndCloseMovie() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->closing = true;
        impl_->wake.notify_one();
    }
    // Called from the delegate on the compression thread: that thread finishes the movie as soon
    // as the call returns.
    if (impl_->workerId == std::this_thread::get_id()) return;
    std::lock_guard closeLock(impl_->closeMutex);
    if (impl_->worker.joinable()) impl_->worker.join();
}

MovieWriterDelegate* MovieWriter::delegate() const { return impl_->delegate; }

bool MovieWriter::isOpen() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->open && !impl_->closing;
}

const std::string& MovieWriter::path() const { return impl_->path; }

}  // namespace orvanta::capture
