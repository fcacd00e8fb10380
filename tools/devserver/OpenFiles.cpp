#include "devserver/OpenFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace orvanta::devserver {

namespace {

int openForWriting(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ENOENT) {
        std::filesystem::create_directories(path.parent_path());
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    }
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "open " + path.string());
    return fd;
}

}  // namespace

OpenFiles::File::~File() { ::close(fd_); }

bool OpenFiles::File::isAt(const std::filesystem::path& path) const {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_;
}

std::shared_ptr<const OpenFiles::File> OpenFiles::forWriting(const std::filesystem::path& path) {
    std::lock_guard lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->path != path) continue;
        if (it->file->isAt(path)) {
            entries_.splice(entries_.begin(), entries_, it);
            return entries_.front().file;
        }
        entries_.erase(it);  // removed or replaced since it was opened: open what is there now
        break;
    }
    const int fd = openForWriting(path);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        throw std::system_error(error, std::generic_category(), "stat " + path.string());
    }
    entries_.push_front({path, std::make_shared<const File>(fd, st.st_dev, st.st_ino)});
    if (entries_.size() > capacity_) entries_.pop_back();
    return entries_.front().file;
}

void OpenFiles::close(const std::filesystem::path& path) {
    std::lock_guard lock(mutex_);
    entries_.remove_if([&](const Entry& e) { return e.path == path; });
}

size_t OpenFiles::openCount() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

}  // namespace orvanta::devserver
