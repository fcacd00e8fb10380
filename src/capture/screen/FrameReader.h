#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include "capture/VideoFrame.h"
#include "capture/screen/CursorImage.h"

namespace orvanta::capture {

class DisplayContext;
class QueueController;
class SharedMemorySegment;

// One grab buffer of the reader pool: a picture of the whole main display (32-bit BGRA, rows top
// to bottom) with the cursor painted in. A grab is split in two: readScreenAsyncBegin asks the X
// server to copy the screen into the reader's shared memory and fetches the cursor image;
// readScreenAsyncFinish, later and on another thread, waits for the server's answer and paints
// the cursor. Without shared memory the picture comes back through the connection and is copied
// into the reader's own buffer instead.
//
// A reader is used by one thread at a time: it is handed between the grab thread and the writer's
// compression thread through the pool's queues.
class FrameReader : public std::enable_shared_from_this<FrameReader> {
public:
    // Null when the context is missing, a size is 0 or the buffer cannot be set up.
    static std::shared_ptr<FrameReader> create(std::shared_ptr<DisplayContext> context, std::uint32_t pixelsWide,
                                               std::uint32_t pixelsHigh, std::weak_ptr<QueueController> controller);
    ~FrameReader();
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    // The capture's start time, given before each grab.
    void setBufferReadTime(double startTime) { mStartTime = startTime; }
    // Seconds from the capture's start to the moment the last grab began.
    double bufferReadTime() const { return mRecordTime; }

    // One grab, on the grab thread, at time now (same clock as the start time): begins the read and
    // puts the reader into its pool's filled queue, or back into the free queue when the read could
    // not begin. A reader whose pool is gone is dropped. False when the read could not begin.
    bool readScreenAsyncSynchronized(double now);

    // Issues the copy of the screen and fetches the cursor. False when the copy cannot be issued.
    bool readScreenAsyncBegin();
    // Waits for the copy and paints the cursor; the finished pixels, or null when the read failed.
    const PixelBuffer* readScreenAsyncFinish();

    // The pool this reader belongs to; null once the pool is gone.
    std::shared_ptr<QueueController> queueController() const { return mFrameQueueController.lock(); }
    std::uint32_t width() const { return mWidth; }
    std::uint32_t height() const { return mHeight; }
    bool usesSharedMemory() const { return mSharedMemory != nullptr; }
    // The cursor fetched by the last begin (empty once painted, or when there was none).
    const CursorImage& cursorImage() const { return mCursorImage; }

private:
    FrameReader() = default;
    void discardPendingRead();

    enum class PendingRead { None, SharedMemory, Copy };

    std::shared_ptr<DisplayContext> mDisplayContext;
    std::uint32_t mWidth = 0, mHeight = 0;
    std::unique_ptr<SharedMemorySegment> mSharedMemory;
    std::vector<std::uint8_t> mCopyBuffer;  // the pixels when there is no shared memory
    PixelBuffer mPixelBuffer;
    std::uint8_t* mBaseAddress = nullptr;
    std::uint32_t mBufferRowBytes = 0;
    double mStartTime = 0;
    double mRecordTime = 0;
    std::weak_ptr<QueueController> mFrameQueueController;
    CursorImage mCursorImage;

    PendingRead mPending = PendingRead::None;
    xcb_shm_get_image_cookie_t mSharedMemoryCookie{};
    xcb_get_image_cookie_t mCopyCookie{};
};

}  // namespace orvanta::capture
