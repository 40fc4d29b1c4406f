#include "common/Thread_Common.h"

#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace {

// Runs a function as its Execute.
class FunctionThread : public qor::TQueuedCommonThread {
public:
    explicit FunctionThread(std::function<void(FunctionThread&)> body) : body_(std::move(body)) {}
    ~FunctionThread() override {
        Terminate();
        Stop(true);
        WaitFor(platform::INFINITE, false);
    }

protected:
    void Execute() override { body_(*this); }

private:
    std::function<void(FunctionThread&)> body_;
};

char TaskState(platform::DWORD tid) {
    std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string stat;
    std::getline(file, stat);
    const auto close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

// Off the main thread, a thread that does not end in time is ended by force:
// WaitFor returns false and the thread's counter no longer moves.
TEST(QueuedCommonThreadTest, WaitForWithKillEndsAThreadThatDoesNotStop) {
    std::atomic<unsigned long> counter{0};
    auto spinner = std::make_unique<FunctionThread>([&](FunctionThread&) {
        for (;;) {
            counter.fetch_add(1);
            platform::Sleep(0);
        }
    });
    spinner->Resume();
    while (counter.load() < 1000)
        platform::Sleep(0);
    std::atomic<bool> finished{true};
    const platform::HANDLE waiter = platform::CreateThread(
        [&] {
            finished = spinner->WaitFor(50, true);
            return 0u;
        },
        false);
    platform::WaitForSingleObject(waiter, platform::INFINITE);
    platform::CloseHandle(waiter);
    EXPECT_FALSE(finished.load());
    EXPECT_TRUE(spinner->Finished());
    const unsigned long stopped = counter.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(counter.load(), stopped);
    EXPECT_EQ(TaskState(spinner->ThreadID()), 'S');
    spinner.reset(); // the handle is signalled, so destruction does not wait
}

// On the main thread WaitFor keeps serving Synchronize calls while it waits,
// and a time-out leaves the thread running.
TEST(QueuedCommonThreadTest, WaitForOnTheMainThreadRunsSynchronizeCallsAndLeavesTheThreadOnTimeOut) {
    ASSERT_EQ(platform::GetCurrentThreadId(), platform::MainThreadId());
    platform::Event release(true, false);
    std::atomic<platform::DWORD> ranOn{0};
    FunctionThread t([&](FunctionThread&) {
        release.Wait(platform::INFINITE);
        platform::Synchronize([&] { ranOn = platform::GetCurrentThreadId(); });
    });
    t.Resume();
    EXPECT_FALSE(t.WaitFor(30, false));
    EXPECT_FALSE(t.Finished());
    release.Set();
    EXPECT_TRUE(t.WaitFor(platform::INFINITE, false));
    EXPECT_EQ(ranOn.load(), platform::MainThreadId());
}

} // namespace
