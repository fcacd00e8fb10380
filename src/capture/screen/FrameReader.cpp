#include "capture/screen/FrameReader.h"

#include <cstring>
#include <utility>
#include <string>

#include <xcb/xfixes.h>

#include "capture/screen/DisplayContext.h"
#include "capture/screen/QueueController.h"
#include "capture/screen/SharedMemorySegment.h"
#include "capture/screen/XcbHandles.h"
#include "core/Log.h"

namespace orvanta::capture {

namespace {

constexpr std::uint32_t kAllPlanes = ~0u;

// Pixels stored most significant byte first (X, R, G, B) turned into B, G, R, X.
void swapToLsbFirst(std::uint8_t* data, std::size_t bytes) {
    for (std::size_t i = 0; i + 3 < bytes; i += 4) {
        std::swap(data[i], data[i + 3]);
        std::swap(data[i + 1], data[i + 2]);
    }
}

}  // namespace

std::shared_ptr<FrameReader> FrameReader::create(std::shared_ptr<DisplayContext> context, std::uint32_t pixelsWide,
                                                 std::uint32_t pixelsHigh, std::weak_ptr<QueueController> controller) {
    if (!context || pixelsWide == 0 || pixelsHigh == 0) return nullptr;
    std::shared_ptr<FrameReader> reader(new FrameReader());
    reader->mWidth = pixelsWide;
    reader->mHeight = pixelsHigh;
    reader->mBufferRowBytes = pixelsWide * 4;
    const std::size_t size = static_cast<std::size_t>(reader->mBufferRowBytes) * pixelsHigh;
    if (context->hasSharedMemory()) {
        std::string error;
        reader->mSharedMemory = SharedMemorySegment::create(context->connection(), size, &error);
        if (!reader->mSharedMemory)
            core::logf("Shared memory for a %ux%u screen grab failed (%s); copying through the connection",
                       pixelsWide, pixelsHigh, error.c_str());
    }
    if (reader->mSharedMemory) {
        reader->mBaseAddress = reader->mSharedMemory->data();
    } else {
        reader->mCopyBuffer.resize(size);
        reader->mBaseAddress = reader->mCopyBuffer.data();
    }
    reader->mPixelBuffer = PixelBuffer{reader->mBaseAddress, pixelsWide, pixelsHigh, reader->mBufferRowBytes};
    reader->mFrameQueueController = std::move(controller);
    reader->mDisplayContext = std::move(context);
    return reader;
}

FrameReader::~FrameReader() { discardPendingRead(); }

void FrameReader::discardPendingRead() {
    xcb_connection_t* c = mDisplayContext ? mDisplayContext->connection() : nullptr;
    if (c && mPending == PendingRead::SharedMemory) xcb_discard_reply(c, mSharedMemoryCookie.sequence);
    if (c && mPending == PendingRead::Copy) xcb_discard_reply(c, mCopyCookie.sequence);
    mPending = PendingRead::None;
}

bool FrameReader::readScreenAsyncSynchronized(double now) {
    mRecordTime = now - mStartTime;
    const bool begun = readScreenAsyncBegin();
    if (std::shared_ptr<QueueController> controller = queueController()) {
        if (begun)
            controller->addItemToFilledQ(shared_from_this());
        else
            controller->addItemToFreeQ(shared_from_this());
    }
    return begun;
}

bool FrameReader::readScreenAsyncBegin() {
    discardPendingRead();
    mCursorImage = CursorImage{};
    xcb_connection_t* c = mDisplayContext->connection();
    if (mDisplayContext->connectionLost()) return false;
    if (mDisplayContext->bitsPerPixel() != 32) return false;  // the picture would not be BGRA

    const xcb_window_t root = mDisplayContext->root();
    const auto w = static_cast<std::uint16_t>(mWidth), h = static_cast<std::uint16_t>(mHeight);
    if (mSharedMemory) {
        mSharedMemoryCookie = xcb_shm_get_image(c, root, 0, 0, w, h, kAllPlanes, XCB_IMAGE_FORMAT_Z_PIXMAP,
                                                mSharedMemory->segment(), 0);
        mPending = PendingRead::SharedMemory;
    } else {
        mCopyCookie = xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, 0, 0, w, h, kAllPlanes);
        mPending = PendingRead::Copy;
    }

    // The cursor as it is now; no cursor image when the server cannot say.
    if (mDisplayContext->hasCursorImages()) {
        auto cursor = xcb::reply<xcb_xfixes_get_cursor_image_reply_t>(c, xcb_xfixes_get_cursor_image_reply,
                                                                      xcb_xfixes_get_cursor_image(c));
        if (cursor)
            mCursorImage = cursorImageFromArgb(cursor->x, cursor->y, cursor->width, cursor->height, cursor->xhot,
                                               cursor->yhot, xcb_xfixes_get_cursor_image_cursor_image(cursor.get()));
    } else {
        xcb_flush(c);
    }
    return !mDisplayContext->connectionLost();
}

const PixelBuffer* FrameReader::readScreenAsyncFinish() {
    xcb_connection_t* c = mDisplayContext->connection();
    const std::size_t expected = static_cast<std::size_t>(mBufferRowBytes) * mHeight;
    const PendingRead pending = mPending;
    mPending = PendingRead::None;
    xcb::ErrorPtr error;
    bool ok = false;
    if (pending == PendingRead::SharedMemory) {
        auto image = xcb::reply<xcb_shm_get_image_reply_t>(c, xcb_shm_get_image_reply, mSharedMemoryCookie, &error);
        ok = image && image->size == expected;
        if (image && !ok) core::logf("Screen grab returned %u bytes instead of %zu", image->size, expected);
    } else if (pending == PendingRead::Copy) {
        auto image = xcb::reply<xcb_get_image_reply_t>(c, xcb_get_image_reply, mCopyCookie, &error);
        if (image) {
            const auto length = static_cast<std::size_t>(xcb_get_image_data_length(image.get()));
            ok = length == expected;
            if (ok)
                std::memcpy(mBaseAddress, xcb_get_image_data(image.get()), expected);
            else
                core::logf("Screen grab returned %zu bytes instead of %zu", length, expected);
        }
    }
    if (error) core::logf("Screen grab failed (X error %d)", error->error_code);
    if (!ok) {
        mCursorImage = CursorImage{};
        return nullptr;
    }
    if (!mDisplayContext->imageLsbFirst()) swapToLsbFirst(mBaseAddress, expected);
    // X images are already stored top row first, so unlike a bottom-up frame buffer nothing is
    // flipped here.
    paintCursor(mPixelBuffer, mCursorImage);
    mCursorImage = CursorImage{};
    return &mPixelBuffer;
}

}  // namespace orvanta::capture
