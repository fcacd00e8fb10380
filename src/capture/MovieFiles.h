#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/Error.h"

struct AVFormatContext;

namespace orvanta::capture {

// Which thread may use a movie. A movie belongs to the thread that made it; it is handed to another
// thread by detaching it on the first and attaching it on the second.
class ThreadAttachment {
public:
    // False when the calling thread does not hold the movie.
    bool detachFromCurrentThread();
    // False when another thread holds the movie.
    bool attachToCurrentThread();

private:
    std::mutex mutex_;
    std::optional<std::thread::id> owner_ = std::this_thread::get_id();
};

// A movie file opened for reading: its container is parsed and its tracks are known.
class SourceMovie {
public:
    // Null, with *error filled, when the file cannot be read as a movie.
    static std::shared_ptr<SourceMovie> movieWithFile(const std::string& path, core::Error* error);
    ~SourceMovie();
    SourceMovie(const SourceMovie&) = delete;
    SourceMovie& operator=(const SourceMovie&) = delete;

    const std::string& path() const { return path_; }
    AVFormatContext* context() const { return context_; }
    ThreadAttachment& thread() { return thread_; }

private:
    SourceMovie(std::string path, AVFormatContext* context) : path_(std::move(path)), context_(context) {}

    std::string path_;
    AVFormatContext* context_;
    ThreadAttachment thread_;
};

// A new, empty QuickTime movie file being written. The file exists from creation on; a movie that is
// destroyed before finish() succeeded removes its file again, so no half-written movie is left behind
// by anything short of the process dying.
class WritableMovie {
public:
    // Creates (or truncates) the file. Null, with *error filled, when it cannot be created.
    static std::shared_ptr<WritableMovie> initToWritableFile(const std::string& path, core::Error* error);
    ~WritableMovie();
    WritableMovie(const WritableMovie&) = delete;
    WritableMovie& operator=(const WritableMovie&) = delete;

    const std::string& path() const { return path_; }
    // The muxer; the caller adds the tracks and writes the header and the samples.
    AVFormatContext* context() const { return context_; }
    ThreadAttachment& thread() { return thread_; }

    // Writes the movie's index (when the header was written), closes the file and flushes it to the
    // disk. After success the file is complete and stays.
    bool finish(bool headerWritten, core::Error* error);
    // Closes the file without finishing it and removes it.
    void abandon();

private:
    WritableMovie(std::string path, AVFormatContext* context) : path_(std::move(path)), context_(context) {}
    void close();

    std::string path_;
    AVFormatContext* context_;
    bool finished_ = false;
    ThreadAttachment thread_;
};

// An error for a failed FFmpeg call: what was being done and FFmpeg's message for the code.
core::Error ffmpegError(int code, const std::string& what);

}  // namespace orvanta::capture
