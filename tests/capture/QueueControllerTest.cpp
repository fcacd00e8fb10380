// The reader pool: queues, readers on a real X server, and the grab thread's FIFO.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "capture/screen/DisplayContext.h"
#include "capture/screen/FrameReader.h"
#include "capture/screen/Queue.h"
#include "capture/screen/QueueController.h"
#include "capture/screen/RefreshTicker.h"
#include "capture/screen/SerialWorker.h"
#include "support/XServer.h"

using namespace orvanta::capture;

TEST(Queue, HandsOutTheOldestFirstAndNothingWhenEmpty) {
    Queue<int> queue;
    EXPECT_EQ(queue.returnAndRemoveOldest(), nullptr);
    for (int i = 0; i < 5; ++i) queue.addItem(std::make_shared<int>(i));
    EXPECT_EQ(*queue.returnAndRemoveOldest(), 0);
    EXPECT_EQ(*queue.returnAndRemoveOldest(), 1);
    queue.addItem(std::make_shared<int>(5));
    std::vector<int> rest;
    while (auto item = queue.returnAndRemoveOldest()) rest.push_back(*item);
    EXPECT_EQ(rest, (std::vector<int>{2, 3, 4, 5}));
    EXPECT_EQ(queue.count(), 0u);
}

TEST(SerialWorker, RunsTasksOneAtATimeInTheOrderGiven) {
    std::vector<int> order;
    std::atomic<int> running{0};
    bool overlapped = false;
    {
        SerialWorker worker;
        // Tasks posted faster than they run still run one after the other, in order.
        for (int i = 0; i < 200; ++i) {
            worker.post([&, i] {
                if (running.fetch_add(1) != 0) overlapped = true;
                order.push_back(i);
                running.fetch_sub(1);
            });
        }
        worker.stop();  // runs what is queued first
        worker.post([&] { order.push_back(-1); });
    }
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
}

TEST(RefreshTicker, StopsFromOutsideAndFromInsideItsOwnTick) {
    using namespace std::chrono_literals;
    std::atomic<int> ticks{0};
    {
        RefreshTicker ticker(500, [&] { ++ticks; });
        while (ticks < 3) std::this_thread::sleep_for(1ms);
        ticker.stop();
        const int seen = ticks;
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(ticks, seen);  // nothing after stop() returned
    }

    // A tick that stops its own ticker (a capture ending itself) neither blocks nor ticks again.
    std::atomic<int> own{0};
    RefreshTicker* self = nullptr;
    std::atomic<bool> ready{false};
    RefreshTicker ticker(500, [&] {
        while (!ready) std::this_thread::sleep_for(1ms);
        if (++own == 2) self->stop();
    });
    self = &ticker;
    ready = true;
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(own, 2);
}

class ReaderPool : public testing::Test {
protected:
    static void SetUpTestSuite() { server_ = std::make_unique<orvanta::test::XServer>(320, 200, 24); }
    static void TearDownTestSuite() { server_.reset(); }

    std::shared_ptr<DisplayContext> open() {
        std::string error;
        auto context = DisplayContext::open(server_->display(), &error);
        EXPECT_TRUE(context) << error;
        return context;
    }

    static std::unique_ptr<orvanta::test::XServer> server_;
};
std::unique_ptr<orvanta::test::XServer> ReaderPool::server_;

TEST_F(ReaderPool, StartsWithEveryReaderFreeAndMovesThemOneAtATime) {
    auto context = open();
    ASSERT_TRUE(context);
    auto pool = QueueController::create(10, context, 320, 200);
    EXPECT_EQ(pool->readerCount(), 10u);
    EXPECT_EQ(pool->freeCount(), 10u);
    EXPECT_EQ(pool->filledCount(), 0u);

    std::set<FrameReader*> distinct;
    std::vector<std::shared_ptr<FrameReader>> taken;
    while (auto reader = pool->removeOldestItemFromFreeQ()) {
        EXPECT_EQ(reader->queueController(), pool);
        EXPECT_EQ(reader->width(), 320u);
        distinct.insert(reader.get());
        taken.push_back(reader);
    }
    EXPECT_EQ(distinct.size(), 10u);
    EXPECT_EQ(pool->removeOldestItemFromFilledQ(), nullptr);
    for (auto& reader : taken) pool->addItemToFilledQ(reader);
    EXPECT_EQ(pool->filledCount(), 10u);
    EXPECT_EQ(pool->removeOldestItemFromFilledQ(), taken.front());  // first in, first out
    pool->addItemToFreeQ(nullptr);
    EXPECT_EQ(pool->freeCount(), 0u);
}

TEST_F(ReaderPool, ReadersThatCannotBeMadeAreLeftOut) {
    auto context = open();
    ASSERT_TRUE(context);
    EXPECT_EQ(QueueController::create(10, context, 0, 200)->readerCount(), 0u);
    EXPECT_EQ(QueueController::create(10, nullptr, 320, 200)->freeCount(), 0u);
    EXPECT_EQ(FrameReader::create(context, 320, 0, {}), nullptr);
}

TEST_F(ReaderPool, AGrabGoesToTheFilledQueueOrBackToTheFreeQueue) {
    auto context = open();
    ASSERT_TRUE(context);
    auto pool = QueueController::create(2, context, 320, 200);
    auto reader = pool->removeOldestItemFromFreeQ();
    reader->setBufferReadTime(100.0);
    EXPECT_TRUE(reader->readScreenAsyncSynchronized(101.5));
    EXPECT_DOUBLE_EQ(reader->bufferReadTime(), 1.5);
    EXPECT_EQ(pool->filledCount(), 1u);
    EXPECT_EQ(pool->freeCount(), 1u);
    EXPECT_NE(reader->readScreenAsyncFinish(), nullptr);

    // A reader larger than the screen cannot be read: the server refuses the request.
    auto large = QueueController::create(1, context, 640, 400);
    auto big = large->removeOldestItemFromFreeQ();
    EXPECT_TRUE(big->readScreenAsyncBegin());
    EXPECT_EQ(big->readScreenAsyncFinish(), nullptr);

    // A reader whose pool is gone is dropped after its grab.
    auto orphan = pool->removeOldestItemFromFreeQ();
    pool.reset();
    EXPECT_TRUE(orphan->readScreenAsyncSynchronized(1.0));
    EXPECT_EQ(orphan->queueController(), nullptr);
    EXPECT_NE(orphan->readScreenAsyncFinish(), nullptr);
}
