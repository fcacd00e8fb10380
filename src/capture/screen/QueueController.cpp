#include "capture/screen/QueueController.h"

#include "capture/screen/DisplayContext.h"
#include "capture/screen/FrameReader.h"

namespace orvanta::capture {

std::shared_ptr<QueueController> QueueController::create(std::size_t count, std::shared_ptr<DisplayContext> context,
                                                         std::uint32_t pixelsWide, std::uint32_t pixelsHigh) {
    std::shared_ptr<QueueController> controller(new QueueController());
    controller->pixelsWide_ = pixelsWide;
    controller->pixelsHigh_ = pixelsHigh;
    for (std::size_t i = 0; i < count; ++i) {
        if (auto reader = FrameReader::create(context, pixelsWide, pixelsHigh, controller)) {
            controller->addItemToFreeQ(std::move(reader));
            ++controller->readerCount_;
        }
    }
    return controller;
}

QueueController::~QueueController() = default;

void QueueController::addItemToFreeQ(std::shared_ptr<FrameReader> reader) {
    if (!reader) return;
    std::lock_guard lock(mFreeQMutex);
    mFreeQ.addItem(std::move(reader));
}

void QueueController::addItemToFilledQ(std::shared_ptr<FrameReader> reader) {
    if (!reader) return;
    std::lock_guard lock(mFilledQMutex);
    mFilledQ.addItem(std::move(reader));
}

std::shared_ptr<FrameReader> QueueController::removeOldestItemFromFreeQ() {
    std::lock_guard lock(mFreeQMutex);
    return mFreeQ.returnAndRemoveOldest();
}

std::shared_ptr<FrameReader> QueueController::removeOldestItemFromFilledQ() {
    std::lock_guard lock(mFilledQMutex);
    return mFilledQ.returnAndRemoveOldest();
}

std::size_t QueueController::freeCount() const {
    std::lock_guard lock(mFreeQMutex);
    return mFreeQ.count();
}

std::size_t QueueController::filledCount() const {
    std::lock_guard lock(mFilledQMutex);
    return mFilledQ.count();
}

}  // namespace orvanta::capture
