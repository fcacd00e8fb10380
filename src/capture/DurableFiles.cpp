#include "capture/DurableFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "core/Log.h"

namespace orvanta::capture {

namespace {

// An open file descriptor, closed at the end of its scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

bool fail(core::Error* error, int errnum) {
    if (error) *error = core::Error("NSPOSIXErrorDomain", errnum, std::strerror(errnum));
    return false;
}

bool syncPath(const std::string& path, int flags, core::Error* error) {
    FileDescriptor fd(::open(path.c_str(), flags | O_CLOEXEC));
    if (fd.get() < 0) return fail(error, errno);
    if (::fsync(fd.get()) != 0) return fail(error, errno);
    return true;
}

}  // namespace

bool syncFile(const std::string& path, core::Error* error) { return syncPath(path, O_RDONLY, error); }

bool renameFile(const std::string& from, const std::string& to, core::Error* error) {
    if (std::rename(from.c_str(), to.c_str()) != 0) return fail(error, errno);
    std::filesystem::path folder = std::filesystem::path(to).parent_path();
    std::string folderPath = folder.empty() ? std::string(".") : folder.string();
    core::Error folderError;
    // The file already has its new name; a folder that cannot be flushed does not undo that.
    if (!syncPath(folderPath, O_RDONLY | O_DIRECTORY, &folderError))
        core::logf("Unable to flush folder %s: %s", folderPath.c_str(), folderError.localizedDescription().c_str());
    return true;
}

bool moveFileDurably(const std::string& from, const std::string& to, core::Error* error) {
    return syncFile(from, error) && renameFile(from, to, error);
}

bool writeFileDurably(const std::string& path, const std::string& contents, core::Error* error) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
        out.close();
        if (!out) {
            if (error) *error = core::Error("orvanta", 81, "Could not write " + path, std::strerror(errno));
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            return false;
        }
    }
    if (moveFileDurably(temporary, path, error)) return true;
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    return false;
}

}  // namespace orvanta::capture
