#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>

namespace orvanta::devserver {

// Files being received, kept open for writing between their chunks, so that a chunk costs one
// write rather than making folders, opening and closing as well. A few files stay open at once;
// when another one comes, the one unused longest is closed. A file handed out stays open for
// whoever holds it, also when it is closed here meanwhile, so chunks of one file may be written
// from several threads at once (each at its own offset).
class OpenFiles {
public:
    // One open file; closed when the last holder lets go.
    class File {
    public:
        File(int fd, dev_t device, ino_t inode) : fd_(fd), device_(device), inode_(inode) {}
        ~File();
        File(const File&) = delete;
        File& operator=(const File&) = delete;

        int fd() const { return fd_; }
        // Whether the path still names this file (it may have been removed or replaced).
        bool isAt(const std::filesystem::path& path) const;

    private:
        int fd_;
        dev_t device_;
        ino_t inode_;
    };

    explicit OpenFiles(size_t capacity = 4) : capacity_(capacity) {}

    // The file at path, opened for writing (created with its folders when missing). Throws
    // std::system_error.
    std::shared_ptr<const File> forWriting(const std::filesystem::path& path);
    // Closes the file here once its upload is over.
    void close(const std::filesystem::path& path);
    size_t openCount() const;

private:
    struct Entry {
        std::filesystem::path path;
        std::shared_ptr<const File> file;
    };

    mutable std::mutex mutex_;
    std::list<Entry> entries_;  // most recently used first
    const size_t capacity_;
};

}  // namespace orvanta::devserver
