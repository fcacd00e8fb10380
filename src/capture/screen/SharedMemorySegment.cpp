#include "capture/screen/SharedMemorySegment.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstring>

#include "capture/screen/XcbHandles.h"

namespace orvanta::capture {

std::unique_ptr<SharedMemorySegment> SharedMemorySegment::create(xcb_connection_t* connection, std::size_t size,
                                                                  std::string* error) {
    std::unique_ptr<SharedMemorySegment> segment(new SharedMemorySegment());
    segment->connection_ = connection;
    segment->size_ = size;
    segment->id_ = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (segment->id_ < 0) {
        if (error) *error = std::string("shmget failed: ") + std::strerror(errno);
        return nullptr;
    }
    void* address = shmat(segment->id_, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        if (error) *error = std::string("shmat failed: ") + std::strerror(errno);
        return nullptr;  // the destructor removes the id
    }
    segment->data_ = static_cast<std::uint8_t*>(address);

    segment->segment_ = xcb_generate_id(connection);
    xcb::ErrorPtr attachError =
        xcb::check(connection, xcb_shm_attach_checked(connection, segment->segment_, segment->id_, /*read_only=*/0));
    if (attachError) {
        if (error) *error = "the X server could not attach the shared memory (error " +
                            std::to_string(attachError->error_code) + ")";
        return nullptr;
    }
    segment->attached_ = true;
    // Both sides hold it now; it goes away when the last of them lets go.
    shmctl(segment->id_, IPC_RMID, nullptr);
    segment->id_ = -1;
    return segment;
}

SharedMemorySegment::~SharedMemorySegment() {
    if (attached_) {
        xcb_shm_detach(connection_, segment_);
        xcb_flush(connection_);
    }
    if (data_) shmdt(data_);
    if (id_ >= 0) shmctl(id_, IPC_RMID, nullptr);
}

}  // namespace orvanta::capture
