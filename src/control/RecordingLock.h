#pragma once

#include <memory>
#include <string>

#include "core/Error.h"

namespace orvanta::control {

// Marks a recording's folder as being recorded into by this process: an exclusive flock(2) on the
// file ".recording.lock" in the folder. The lock ends when the object is destroyed or the process
// dies, however it dies, so a recording left in a recording state with no lock held was cut short.
class RecordingLock {
public:
    static constexpr const char* kFileName = ".recording.lock";

    // Takes the lock of the folder (which must exist) without waiting. Null, with *error filled
    // when given, when another process (or another lock object) holds it or the file cannot be made.
    static std::unique_ptr<RecordingLock> acquire(const std::string& folder, core::Error* error = nullptr);

    // Whether a live lock on the folder exists: someone holds it, so the try-lock fails. A folder
    // without a lock file, or whose lock nobody holds, answers false. Never waits.
    static bool isHeldElsewhere(const std::string& folder);

    ~RecordingLock();
    RecordingLock(const RecordingLock&) = delete;
    RecordingLock& operator=(const RecordingLock&) = delete;

    const std::string& path() const { return path_; }

private:
    RecordingLock(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}

    std::string path_;
    int fd_;
};

}  // namespace orvanta::control
