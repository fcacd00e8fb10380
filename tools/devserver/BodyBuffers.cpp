#include "devserver/BodyBuffers.h"

#include <algorithm>

namespace orvanta::devserver {

namespace {

// Room reserved ahead at most, and the largest buffer kept for later.
constexpr size_t kLargestKept = size_t(64) << 20;
// Buffers kept for later: one per connection that sends chunks at the same time.
constexpr size_t kKept = 8;

}  // namespace

BodyBuffers::Lease BodyBuffers::take(size_t expectedSize) {
    std::string buffer;
    {
        std::lock_guard lock(mutex_);
        if (!free_.empty()) {
            buffer = std::move(free_.back());
            free_.pop_back();
        }
    }
    buffer.reserve(std::min(expectedSize, kLargestKept));
    return Lease(*this, std::move(buffer));
}

void BodyBuffers::giveBack(std::string buffer) {
    if (buffer.capacity() > kLargestKept) return;
    buffer.clear();
    std::lock_guard lock(mutex_);
    if (free_.size() < kKept) free_.push_back(std::move(buffer));
}

}  // namespace orvanta::devserver
