#pragma once

#include <cstdint>
#include <future>
#include <string>
#include <vector>

namespace orvanta::upload {

// Reads one file chunk by chunk, each with the Base64 text of its MD5 digest, and prepares the next
// chunk (read and hashed on another thread) while the current ones travel to the server: the
// local work of one chunk overlaps the network and server work of the ones before. Each chunk owns
// its bytes, so several can be on their way at once; handing a chunk's buffer back (recycle) lets
// later chunks use it again.
class ChunkReader {
public:
    struct Chunk {
        std::vector<std::uint8_t> bytes;
        std::string hash;         // Base64 of the MD5 digest of bytes
        bool readFailed = false;  // the file could not be read (short reads are not failures)
    };

    // Opens the file; isOpen() tells whether that worked, openError() why not.
    ChunkReader(const std::string& path, std::uint64_t chunkSize);
    ~ChunkReader();
    ChunkReader(const ChunkReader&) = delete;
    ChunkReader& operator=(const ChunkReader&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    const std::string& openError() const { return openError_; }

    // The bytes at offset, at most length of them (fewer when the file ends sooner). A prepared
    // chunk is used only when it is exactly this one and complete; otherwise the file is read now.
    Chunk read(std::uint64_t offset, std::uint64_t length);
    // Starts preparing the chunk at offset in the background.
    void prepare(std::uint64_t offset, std::uint64_t length);
    // A buffer of a chunk that is no longer needed, for a later chunk.
    void recycle(std::vector<std::uint8_t> buffer);

private:
    struct Prepared {
        Chunk chunk;
        std::uint64_t offset = 0, wanted = 0;
    };
    void fill(Chunk& chunk, std::uint64_t offset, std::uint64_t length) const;
    std::vector<std::uint8_t> freeBuffer();
    void finishPreparing();

    int fd_ = -1;
    std::string openError_;
    std::uint64_t chunkSize_;
    std::vector<std::vector<std::uint8_t>> spare_;
    Prepared next_;
    bool nextValid_ = false;
    std::future<void> preparing_;
};

}  // namespace orvanta::upload
