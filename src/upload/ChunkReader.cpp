#include "upload/ChunkReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "core/Util.h"

namespace orvanta::upload {

ChunkReader::ChunkReader(const std::string& path, std::uint64_t chunkSize) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        openError_ = std::error_code(errno, std::generic_category()).message();
        return;
    }
    current_.data.resize(chunkSize);
    next_.data.resize(chunkSize);
}

ChunkReader::~ChunkReader() {
    finishPreparing();
    if (fd_ >= 0) ::close(fd_);
}

void ChunkReader::fill(Buffer& buffer, std::uint64_t offset, std::uint64_t length) const {
    if (buffer.data.size() < length) buffer.data.resize(length);
    buffer.offset = offset;
    buffer.wanted = length;
    buffer.got = 0;
    buffer.failed = false;
    while (buffer.got < length) {
        ssize_t n = ::pread(fd_, buffer.data.data() + buffer.got, length - buffer.got,
                            static_cast<off_t>(offset + buffer.got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) buffer.failed = true;
        if (n <= 0) break;
        buffer.got += static_cast<std::uint64_t>(n);
    }
    auto digest = core::md5Digest(std::span<const std::uint8_t>(buffer.data.data(), buffer.got));
    buffer.hash = core::encodeBase64(std::span<const std::uint8_t>(digest.data(), digest.size()));
}

void ChunkReader::finishPreparing() {
    if (preparing_.valid()) preparing_.get();
}

void ChunkReader::prepare(std::uint64_t offset, std::uint64_t length) {
    finishPreparing();
    nextValid_ = true;
    preparing_ = std::async(std::launch::async, [this, offset, length] { fill(next_, offset, length); });
}

ChunkReader::Chunk ChunkReader::read(std::uint64_t offset, std::uint64_t length) {
    finishPreparing();
    // A prepared chunk of a file that has since become shorter is not used: reading now notices it.
    struct stat now {};
    bool stillThere = ::fstat(fd_, &now) == 0 && static_cast<std::uint64_t>(now.st_size) >= offset + length;
    if (stillThere && nextValid_ && next_.offset == offset && next_.wanted == length && next_.got == length &&
        !next_.failed) {
        std::swap(current_, next_);
    } else {
        fill(current_, offset, length);
    }
    nextValid_ = false;
    return {std::span<const std::uint8_t>(current_.data.data(), current_.got), current_.hash, current_.failed};
}

}  // namespace orvanta::upload
