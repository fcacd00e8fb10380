#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace orvanta::devserver {

// Buffers that request bodies are read into and that are used again for later requests: a chunk
// then lands in memory that is already there, instead of in a fresh string grown piece by piece.
class BodyBuffers {
public:
    // A buffer lent out for one request; it goes back, emptied, when the lease ends.
    class Lease {
    public:
        Lease(BodyBuffers& owner, std::string buffer) : owner_(owner), buffer_(std::move(buffer)) {}
        ~Lease() { owner_.giveBack(std::move(buffer_)); }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;

        std::string& buffer() { return buffer_; }

    private:
        BodyBuffers& owner_;
        std::string buffer_;
    };

    // An empty buffer with room for expectedSize bytes (up to a limit; it grows past it as needed).
    Lease take(size_t expectedSize);

private:
    void giveBack(std::string buffer);

    std::mutex mutex_;
    std::vector<std::string> free_;
};

}  // namespace orvanta::devserver
