#include "upload/ChunkReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "core/Util.h"

namespace orvanta::upload {

namespace {

// Buffers kept for later chunks: enough for the chunks travelling at once and the one prepared.
constexpr size_t kSpareBuffers = 4;

}  // namespace

ChunkReader::ChunkReader(const std::string& path, std::uint64_t chunkSize) : chunkSize_(chunkSize) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) openError_ = std::error_code(errno, std::generic_category()).message();
}

ChunkReader::~ChunkReader() {
    finishPreparing();
    if (fd_ >= 0) ::close(fd_);
}

void ChunkReader::fill(Chunk& chunk, std::uint64_t offset, std::uint64_t length) const {
    // Resizing a recycled buffer keeps its memory; only a larger chunk than before allocates.
    chunk.bytes.resize(length);
    chunk.readFailed = false;
    std::uint64_t got = 0;
    while (got < length) {
        ssize_t n = ::pread(fd_, chunk.bytes.data() + got, length - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) chunk.readFailed = true;
        if (n <= 0) break;
        got += static_cast<std::uint64_t>(n);
    }
    chunk.bytes.resize(got);
    auto digest = core::md5Digest(std::span<const std::uint8_t>(chunk.bytes.data(), got));
    chunk.hash = core::encodeBase64(std::span<const std::uint8_t>(digest.data(), digest.size()));
}

std::vector<std::uint8_t> ChunkReader::freeBuffer() {
    if (spare_.empty()) {
        std::vector<std::uint8_t> fresh;
        fresh.reserve(chunkSize_);
        return fresh;
    }
    auto buffer = std::move(spare_.back());
    spare_.pop_back();
    return buffer;
}

void ChunkReader::recycle(std::vector<std::uint8_t> buffer) {
    if (spare_.size() < kSpareBuffers && buffer.capacity() >= chunkSize_) spare_.push_back(std::move(buffer));
}

void ChunkReader::finishPreparing() {
    if (preparing_.valid()) preparing_.get();
}

void ChunkReader::prepare(std::uint64_t offset, std::uint64_t length) {
    finishPreparing();
    if (nextValid_) recycle(std::move(next_.chunk.bytes));
    next_.chunk.bytes = freeBuffer();
    next_.offset = offset;
    next_.wanted = length;
    nextValid_ = true;
    preparing_ = std::async(std::launch::async, [this, offset, length] { fill(next_.chunk, offset, length); });
}

ChunkReader::Chunk ChunkReader::read(std::uint64_t offset, std::uint64_t length) {
    finishPreparing();
    // A prepared chunk of a file that has since become shorter is not used: reading now notices it.
    struct stat now {};
    bool stillThere = ::fstat(fd_, &now) == 0 && static_cast<std::uint64_t>(now.st_size) >= offset + length;
    Chunk chunk;
    if (stillThere && nextValid_ && next_.offset == offset && next_.wanted == length &&
        next_.chunk.bytes.size() == length && !next_.chunk.readFailed) {
        chunk = std::move(next_.chunk);
    } else {
        if (nextValid_) recycle(std::move(next_.chunk.bytes));
        chunk.bytes = freeBuffer();
        fill(chunk, offset, length);
    }
    nextValid_ = false;
    return chunk;
}

}  // namespace orvanta::upload
