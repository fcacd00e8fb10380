#include "capture/MovieFiles.h"

#include <filesystem>

#include "capture/DurableFiles.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

namespace orvanta::capture {

bool ThreadAttachment::detachFromCurrentThread() {
    std::lock_guard lock(mutex_);
    if (owner_ != std::this_thread::get_id()) return false;
    owner_.reset();
    return true;
}

bool ThreadAttachment::attachToCurrentThread() {
    std::lock_guard lock(mutex_);
    if (owner_ && *owner_ != std::this_thread::get_id()) return false;
    owner_ = std::this_thread::get_id();
    return true;
}

core::Error ffmpegError(int code, const std::string& what) {
    char message[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, message, sizeof message);
    return core::Error("FFmpeg", code, what + ": " + message);
}

// ---- SourceMovie

std::shared_ptr<SourceMovie> SourceMovie::movieWithFile(const std::string& path, core::Error* error) {
    AVFormatContext* context = nullptr;
    int result = avformat_open_input(&context, path.c_str(), nullptr, nullptr);
    if (result < 0) {
        if (error) *error = ffmpegError(result, "Cannot open movie " + path);
        return nullptr;
    }
    std::shared_ptr<SourceMovie> movie(new SourceMovie(path, context));
    result = avformat_find_stream_info(context, nullptr);
    if (result < 0) {
        if (error) *error = ffmpegError(result, "Cannot read the tracks of movie " + path);
        return nullptr;
    }
    return movie;
}

SourceMovie::~SourceMovie() { avformat_close_input(&context_); }

// ---- WritableMovie

std::shared_ptr<WritableMovie> WritableMovie::initToWritableFile(const std::string& path, core::Error* error) {
    AVFormatContext* context = nullptr;
    int result = avformat_alloc_output_context2(&context, nullptr, "mov", path.c_str());
    if (result < 0 || !context) {
        if (error) *error = ffmpegError(result, "Cannot make a movie for " + path);
        return nullptr;
    }
    std::shared_ptr<WritableMovie> movie(new WritableMovie(path, context));
    result = avio_open(&context->pb, path.c_str(), AVIO_FLAG_WRITE);
    if (result < 0) {
        if (error) *error = ffmpegError(result, "Cannot create movie file " + path);
        movie->finished_ = true;  // nothing was created, so nothing to remove
        return nullptr;
    }
    return movie;
}

WritableMovie::~WritableMovie() {
    if (!finished_) abandon();
    close();
    avformat_free_context(context_);
}

void WritableMovie::close() {
    if (context_ && context_->pb) avio_closep(&context_->pb);
}

bool WritableMovie::finish(bool headerWritten, core::Error* error) {
    if (headerWritten) {
        int result = av_write_trailer(context_);
        if (result < 0) {
            if (error) *error = ffmpegError(result, "Cannot finish movie " + path_);
            return false;
        }
    }
    if (context_->pb) {
        avio_flush(context_->pb);
        int result = context_->pb->error;
        int closeResult = avio_closep(&context_->pb);
        if (result >= 0) result = closeResult;
        if (result < 0) {
            if (error) *error = ffmpegError(result, "Cannot write movie " + path_);
            return false;
        }
    }
    if (!syncFile(path_, error)) return false;
    finished_ = true;
    return true;
}

void WritableMovie::abandon() {
    close();
    std::error_code ec;
    std::filesystem::remove(path_, ec);
    finished_ = true;
}

}  // namespace orvanta::capture
