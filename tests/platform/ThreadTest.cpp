#include "platform/Messages.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

namespace {

using namespace platform;

TEST(ThreadTest, AnExceptionEndsOnlyItsThread) {
    const HANDLE t = CreateThread([]() -> DWORD { throw std::runtime_error("boom"); }, false);
    WaitForSingleObject(t, INFINITE);
    DWORD code = 0;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, THREAD_EXIT_EXCEPTION);
    CloseHandle(t);
}

TEST(ThreadTest, SynchronizeRunsOnTheMainThreadInsideItsMessageLoop) {
    ASSERT_EQ(GetCurrentThreadId(), MainThreadId());
    std::atomic<DWORD> ranOn{0};
    std::atomic<bool> rethrown{false};
    const HANDLE t = CreateThread(
        [&] {
            Synchronize([&] { ranOn = GetCurrentThreadId(); });
            try {
                Synchronize([] { throw std::runtime_error("from the main thread"); });
            } catch (const std::runtime_error&) {
                rethrown = true;
            }
            PostThreadMessage(MainThreadId(), WM_APP, 0, 0);
            return 0u;
        },
        false);
    MSG msg;
    // GetMessage runs the queued calls while it waits for the message.
    ASSERT_EQ(GetMessage(&msg, 0, WM_APP, WM_APP), 1);
    WaitForSingleObject(t, INFINITE);
    EXPECT_EQ(ranOn.load(), MainThreadId());
    EXPECT_TRUE(rethrown.load());
    EXPECT_EQ(WaitForSingleObject(SyncEvent(), 0), WAIT_TIMEOUT);
    EXPECT_FALSE(CheckSynchronize());
    CloseHandle(t);
}

} // namespace
