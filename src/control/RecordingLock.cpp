#include "control/RecordingLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "core/Log.h"

namespace orvanta::control {

namespace {

std::string lockPath(const std::string& folder) {
    return (std::filesystem::path(folder) / RecordingLock::kFileName).string();
}

// flock without waiting; EWOULDBLOCK when someone holds the lock.
int tryLock(int fd) {
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}

core::Error lockError(const std::string& path, int code, const std::string& what) {
    core::Error error("orvanta", code, what + " " + path);
    error.failureReason = std::strerror(code);
    return error;
}

}  // namespace

std::unique_ptr<RecordingLock> RecordingLock::acquire(const std::string& folder, core::Error* error) {
    std::string path = lockPath(folder);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        int code = errno;
        if (error) *error = lockError(path, code, "Cannot create the recording lock");
        return nullptr;
    }
    if (int code = tryLock(fd); code != 0) {
        ::close(fd);
        if (error)
            *error = lockError(path, code, code == EWOULDBLOCK ? "The recording is locked by another process:"
                                                               : "Cannot lock the recording");
        return nullptr;
    }
    return std::unique_ptr<RecordingLock>(new RecordingLock(std::move(path), fd));
}

bool RecordingLock::isHeldElsewhere(const std::string& folder) {
    std::string path = lockPath(folder);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;  // no lock file: nobody ever locked the folder
    int code = tryLock(fd);
    // Closing the only descriptor of this open file also drops the lock we may just have taken.
    ::close(fd);
    if (code != 0 && code != EWOULDBLOCK)
        core::logf("Cannot test the recording lock %s: %s", path.c_str(), std::strerror(code));
    return code == EWOULDBLOCK;
}

RecordingLock::~RecordingLock() {
    // The file stays: removing it while another process may be opening it would let two processes
    // lock different files of the same name.
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
}

}  // namespace orvanta::control
