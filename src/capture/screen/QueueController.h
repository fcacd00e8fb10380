#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "capture/screen/Queue.h"

namespace orvanta::capture {

class DisplayContext;
class FrameReader;

// The reader pool of one display size: readers whose buffers may be overwritten wait in the free
// queue, readers holding a grab not yet handed to the writer in the filled queue. Each queue has
// its own lock; moving a reader from one to the other takes one lock at a time.
class QueueController : public std::enable_shared_from_this<QueueController> {
public:
    // Makes `count` readers of the given size on the context and puts every one that sets up into
    // the free queue (readers that fail are left out).
    static std::shared_ptr<QueueController> create(std::size_t count, std::shared_ptr<DisplayContext> context,
                                                   std::uint32_t pixelsWide, std::uint32_t pixelsHigh);
    ~QueueController();
    QueueController(const QueueController&) = delete;
    QueueController& operator=(const QueueController&) = delete;

    void addItemToFreeQ(std::shared_ptr<FrameReader> reader);
    void addItemToFilledQ(std::shared_ptr<FrameReader> reader);
    std::shared_ptr<FrameReader> removeOldestItemFromFreeQ();
    std::shared_ptr<FrameReader> removeOldestItemFromFilledQ();

    std::size_t freeCount() const;
    std::size_t filledCount() const;
    // How many readers the pool was made with.
    std::size_t readerCount() const { return readerCount_; }
    std::uint32_t pixelsWide() const { return pixelsWide_; }
    std::uint32_t pixelsHigh() const { return pixelsHigh_; }

private:
    QueueController() = default;

    mutable std::mutex mFreeQMutex;
    mutable std::mutex mFilledQMutex;
    Queue<FrameReader> mFreeQ;
    Queue<FrameReader> mFilledQ;
    std::size_t readerCount_ = 0;
    std::uint32_t pixelsWide_ = 0, pixelsHigh_ = 0;
};

}  // namespace orvanta::capture
