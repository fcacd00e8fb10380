#include "devserver/FileStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <system_error>
#include <vector>

#include "core/Util.h"

namespace orvanta::devserver {

namespace {

// Closes a descriptor on every way out.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};

[[noreturn]] void throwErrno(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

}  // namespace

FileStore::FileStore(std::filesystem::path root) : root_(std::move(root)) {}

bool FileStore::isSafeComponent(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

bool FileStore::isSafeRelativePath(const std::string& name) {
    if (name.empty()) return false;
    size_t start = 0;
    for (;;) {
        size_t slash = name.find('/', start);
        if (!isSafeComponent(name.substr(start, slash == std::string::npos ? slash : slash - start))) return false;
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

std::optional<std::filesystem::path> FileStore::pathFor(const std::string& sessionID,
                                                        const std::string& fileName) const {
    if (!isSafeComponent(sessionID) || !isSafeRelativePath(fileName)) return std::nullopt;
    return root_ / sessionID / fileName;
}

void FileStore::writeHashed(int fd, uint64_t offset, std::span<const uint8_t> bytes, core::Md5& md5) {
    if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) - bytes.size())
        throw std::system_error(std::make_error_code(std::errc::file_too_large), "offset beyond the largest file");
    constexpr size_t kSlice = 256 * 1024;
    size_t done = 0;
    while (done < bytes.size()) {
        const auto slice = bytes.subspan(done, std::min(kSlice, bytes.size() - done));
        md5.update(slice);
        size_t written = 0;
        while (written < slice.size()) {
            ssize_t n = ::pwrite(fd, slice.data() + written, slice.size() - written,
                                 static_cast<off_t>(offset + done + written));
            if (n < 0) {
                if (errno == EINTR) continue;
                throwErrno("write");
            }
            written += static_cast<size_t>(n);
        }
        done += slice.size();
    }
}

std::optional<uint64_t> FileStore::sizeOf(const std::filesystem::path& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

std::optional<std::string> FileStore::md5Hex(const std::filesystem::path& file) {
    Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    core::Md5 md5;
    std::vector<uint8_t> buf(1 << 20);
    for (;;) {
        ssize_t n = ::read(fd.get(), buf.data(), buf.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) break;
        md5.update(std::span<const uint8_t>(buf.data(), static_cast<size_t>(n)));
    }
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (uint8_t b : md5.final()) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

}  // namespace orvanta::devserver
