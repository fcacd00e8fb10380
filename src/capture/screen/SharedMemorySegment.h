#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <xcb/shm.h>

namespace orvanta::capture {

// A block of System V shared memory that the X server can write images into: created, mapped,
// attached by the server and then marked for removal at once, so it disappears with the last
// user even when the process dies. The server's attachment is dropped first, the mapping last.
class SharedMemorySegment {
public:
    // Null, with *error set, when the memory cannot be made or the server cannot attach it (a
    // display on another machine, for one).
    static std::unique_ptr<SharedMemorySegment> create(xcb_connection_t* connection, std::size_t size,
                                                       std::string* error);
    ~SharedMemorySegment();
    SharedMemorySegment(const SharedMemorySegment&) = delete;
    SharedMemorySegment& operator=(const SharedMemorySegment&) = delete;

    std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    // The server's name for the segment.
    xcb_shm_seg_t segment() const { return segment_; }

private:
    SharedMemorySegment() = default;

    xcb_connection_t* connection_ = nullptr;
    int id_ = -1;
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    xcb_shm_seg_t segment_ = 0;
    bool attached_ = false;
};

}  // namespace orvanta::capture
