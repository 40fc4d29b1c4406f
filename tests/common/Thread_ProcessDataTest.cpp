#include "common/Thread_ProcessData.h"
#include "common/qorWinHandle.h"

#include "platform/Messages.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

using qor::TProcessDataThread;
using qor::TQueueItem;

struct Counted : TQueueItem {
    Counted(int n, std::atomic<int>& freed) : N(n), Freed(freed) {}
    ~Counted() override { ++Freed; }
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
        const int n = static_cast<Counted&>(*item).N;
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
        worker.Queue.Push(std::make_unique<Counted>(i, freed));
    ASSERT_TRUE(last.Wait(platform::INFINITE));
    worker.Stop(true);
    ASSERT_TRUE(worker.WaitFor(platform::INFINITE, false));
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(freed.load(), 4);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(static_cast<Counted&>(*kept).N, 2);
    kept.reset();
    EXPECT_EQ(freed.load(), 5);
}

// A worker with a message loop takes messages as soon as its constructor has
// returned: the owner posts to it at once (thread messages and messages to
// windows it makes in OnStart).
TEST(ProcessDataThreadTest, AMessageLoopWorkerTakesMessagesRightAfterConstruction) {
    int refused = 0;
    for (int i = 0; i < 200; ++i) {
        TProcessDataThread worker("Worker", true, false);
        if (!platform::PostThreadMessage(worker.ThreadID(), platform::WM_USER, 0, 0))
            ++refused;
    }
    EXPECT_EQ(refused, 0);
}

// A message a window of the worker gets while an item runs is dispatched
// before the next item.
TEST(ProcessDataThreadTest, AMessageLoopWorkerDispatchesToItsWindowsBetweenItems) {
    std::atomic<int> freed{0};
    std::vector<int> order; // item numbers, and 100 + wParam for messages
    platform::Event ready(true, false), done(true, false);
    std::unique_ptr<qor::TWindowHandle> window;
    TProcessDataThread worker("Worker", true, true);
    worker.OnStart = [&](TProcessDataThread&) {
        window = std::make_unique<qor::TWindowHandle>();
        window->OnMessage = [&](platform::UINT msg, platform::WPARAM wParam, bool& handled, platform::LPARAM) {
            handled = msg == platform::WM_USER;
            if (handled)
                order.push_back(100 + static_cast<int>(wParam));
            return platform::LRESULT{0};
        };
        window->GetHandle();
        ready.Set();
    };
    worker.OnFinish = [&](TProcessDataThread&) { window.reset(); };
    worker.OnProcessItem = [&](TProcessDataThread&, std::unique_ptr<TQueueItem>& item) {
        const int n = static_cast<Counted&>(*item).N;
        order.push_back(n);
        if (n == 1)
            platform::PostMessage(window->Handle(), platform::WM_USER, 1, 0);
        if (n == 2)
            done.Set();
    };
    worker.Start();
    ASSERT_TRUE(ready.Wait(platform::INFINITE));
    worker.Queue.Push(std::make_unique<Counted>(1, freed));
    worker.Queue.Push(std::make_unique<Counted>(2, freed));
    ASSERT_TRUE(done.Wait(platform::INFINITE));
    worker.Stop(true);
    ASSERT_TRUE(worker.WaitFor(platform::INFINITE, false));
    EXPECT_EQ(order, (std::vector<int>{1, 101, 2}));
    EXPECT_EQ(freed.load(), 2);
    EXPECT_EQ(window, nullptr);
}

} // namespace
