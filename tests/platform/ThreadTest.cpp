#include "platform/Messages.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

using namespace platform;

std::string TaskFile(DWORD tid, const char* name) {
    std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/" + name);
    std::string text;
    std::getline(file, text);
    return text;
}

// The state letter of a thread: R running, S sleeping, ...
char TaskState(DWORD tid) {
    const std::string stat = TaskFile(tid, "stat");
    const auto close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

TEST(ThreadTest, ASuspendedThreadStartsOnResumeAndReportsItsExitCode) {
    std::atomic<bool> ran{false};
    DWORD tid = 0;
    const HANDLE t = CreateThread([&] { ran = true; return 42u; }, true, &tid);
    ASSERT_NE(t, 0u);
    EXPECT_NE(tid, 0u);
    EXPECT_EQ(GetThreadId(t), tid);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_TIMEOUT);
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(ResumeThread(t), 1u);
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ran.load());
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(ResumeThread(t), 0u);
    EXPECT_TRUE(CloseHandle(t));
    EXPECT_EQ(ResumeThread(t), static_cast<DWORD>(-1));
}

TEST(ThreadTest, AnExceptionEndsOnlyItsThread) {
    const HANDLE t = CreateThread([]() -> DWORD { throw std::runtime_error("boom"); }, false);
    WaitForSingleObject(t, INFINITE);
    DWORD code = 0;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, THREAD_EXIT_EXCEPTION);
    CloseHandle(t);
}

TEST(ThreadTest, NamesAndLowerPrioritiesReachTheKernel) {
    Event named(true, false), done(true, false);
    DWORD tid = 0;
    const HANDLE t = CreateThread(
        [&] {
            SetThreadName("ABCDEFGHIJKLMNOPQRS");
            named.Set();
            done.Wait();
            return 0u;
        },
        false, &tid);
    named.Wait();
    EXPECT_EQ(TaskFile(tid, "comm"), "ABCDEFGHIJKLMNO");
    EXPECT_TRUE(SetThreadPriority(t, THREAD_PRIORITY_LOWEST));
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_LOWEST);
    errno = 0;
    EXPECT_EQ(getpriority(PRIO_PROCESS, tid), 10);
    EXPECT_FALSE(SetThreadPriority(t, 7));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    done.Set();
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
}

// A thread that never looks at anything is ended by force: the call returns
// once it is parked, its handle is signalled with the given code, and it does
// not run on (its counter stands still and the kernel reports it asleep).
TEST(ThreadTest, TerminateThreadStopsASpinningThreadForGood) {
    std::atomic<unsigned long> counter{0};
    DWORD tid = 0;
    const HANDLE t = CreateThread(
        [&] {
            for (;;) {
                counter.fetch_add(1);
                Sleep(0);
            }
            return 0u;
        },
        false, &tid);
    while (counter.load() < 1000)
        Sleep(0);
    ASSERT_TRUE(TerminateThread(t, 9));
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, 9u);
    const unsigned long stopped = counter.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(counter.load(), stopped);
    EXPECT_EQ(TaskState(tid), 'S');
    EXPECT_TRUE(TerminateThread(t, 10)) << "an ended thread stays ended";
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, 9u);
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
