#include "common/Thread_ProcessData.h"
#include "common/qorWinHandle.h"

#include "platform/Messages.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace {

using qor::TProcessDataThread;
using qor::TQueueItem;

struct Numbered : TQueueItem {
    Numbered(int n, std::atomic<int>& freed) : N(n), Freed(freed) {}
    ~Numbered() override { ++Freed; }
    int N;
    std::atomic<int>& Freed;
};

TEST(ProcessDataThreadTest, ItemsAreProcessedInOrderAndFreedUnlessTheHandlerKeepsThem) {
    std::atomic<int> freed{0};
    std::vector<int> seen;
    std::unique_ptr<TQueueItem> kept;
    platform::Event last(true, false);
    TProcessDataThread worker("Worker", false, true);
    worker.OnProcessItem = [&](TProcessDataThread&, std::unique_ptr<TQueueItem>& item) {
        const int n = static_cast<Numbered&>(*item).N;
        seen.push_back(n);
        if (n == 2)
            kept = std::move(item);
        if (n == 3)
            throw std::runtime_error("a failing item does not stop the thread");
        if (n == 5)
            last.Set();
    };
    worker.Start();
    EXPECT_EQ(worker.Priority(), platform::THREAD_PRIORITY_BELOW_NORMAL);
    for (int i = 1; i <= 5; ++i)
        worker.Queue.Push(std::make_unique<Numbered>(i, freed));
    ASSERT_TRUE(last.Wait(platform::INFINITE));
    worker.Stop(true);
    ASSERT_TRUE(worker.WaitFor(platform::INFINITE, false));
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(freed.load(), 4);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(static_cast<Numbered&>(*kept).N, 2);
    kept.reset();
    EXPECT_EQ(freed.load(), 5);
}

} // namespace
