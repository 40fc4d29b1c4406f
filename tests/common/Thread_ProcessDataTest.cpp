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

// Synchronized items run on the main thread, which serves them while it waits.
TEST(ProcessDataThreadTest, SynchronizedItemsRunOnTheMainThread) {
    std::atomic<int> freed{0};
    std::atomic<platform::DWORD> ranOn{0};
    platform::Event done(true, false);
    TProcessDataThread worker("Worker", false, true);
    worker.Synchronized = true;
    worker.OnProcessItem = [&](TProcessDataThread&, std::unique_ptr<TQueueItem>&) {
        ranOn = platform::GetCurrentThreadId();
        done.Set();
    };
    worker.Start();
    worker.Queue.Push(std::make_unique<Numbered>(1, freed));
    while (!done.Wait(0))
        platform::CheckSynchronize(1000);
    worker.Stop(true);
    worker.WaitFor(platform::INFINITE, false);
    EXPECT_EQ(ranOn.load(), platform::MainThreadId());
    EXPECT_EQ(freed.load(), 1);
}

// With a message loop the worker also runs the messages of the windows it owns.
TEST(ProcessDataThreadTest, AMessageLoopWorkerRunsItsWindowsMessages) {
    std::atomic<platform::HWND> hwnd{0};
    std::atomic<platform::DWORD> handledOn{0};
    platform::Event created(true, false), handled(true, false);
    std::unique_ptr<qor::TWindowHandle> window;
    TProcessDataThread worker("Pumping", true, true);
    worker.OnStart = [&](TProcessDataThread&) {
        window = std::make_unique<qor::TWindowHandle>();
        window->OnMessage = [&](platform::UINT msg, platform::WPARAM, bool& isHandled, platform::LPARAM) {
            if (msg == platform::WM_APP) {
                isHandled = true;
                handledOn = platform::GetCurrentThreadId();
                handled.Set();
            }
            return platform::LRESULT{0};
        };
        hwnd = window->GetHandle();
        created.Set();
    };
    worker.OnFinish = [&](TProcessDataThread&) { window.reset(); };
    worker.Start();
    created.Wait(platform::INFINITE);
    ASSERT_TRUE(platform::PostMessage(hwnd, platform::WM_APP, 0, 0));
    ASSERT_TRUE(handled.Wait(platform::INFINITE));
    EXPECT_EQ(handledOn.load(), worker.ThreadID());
    worker.Stop(true);
    worker.WaitFor(platform::INFINITE, false);
    EXPECT_FALSE(platform::IsWindow(hwnd));
}

} // namespace
