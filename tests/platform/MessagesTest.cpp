#include "platform/Clock.h"
#include "platform/Messages.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <time.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace {

using namespace platform;

constexpr const char* TestClass = "MessagesTestClass";

struct Log {
    std::vector<UINT> messages;
    std::atomic<DWORD> lastThread{0};
    std::atomic<int> calls{0};
};
Log* current = nullptr;

LRESULT RecordingProc(HWND, UINT msg, WPARAM wParam, LPARAM) {
    if (current) {
        current->messages.push_back(msg);
        current->lastThread = GetCurrentThreadId();
        ++current->calls;
    }
    return msg == WM_USER ? static_cast<LRESULT>(wParam) * 2 : 0;
}

class MessagesTest : public ::testing::Test {
protected:
    void SetUp() override {
        current = &log;
        ASSERT_TRUE(RegisterClass(WNDCLASS{TestClass, RecordingProc, 2 * sizeof(std::intptr_t)}));
    }
    void TearDown() override {
        MSG msg;
        while (PeekMessage(&msg, 0, 0, 0, PM_REMOVE)) {
        }
        EXPECT_TRUE(UnregisterClass(TestClass));
        current = nullptr;
    }

    Log log;
};

LRESULT OtherModuleProc(HWND, UINT msg, WPARAM, LPARAM) { return msg == WM_USER ? 7 : 0; }

// The host and the plug-in each carry a copy of the framework and each register
// the same class name; each must get its own procedure. Within one module a
// name is unique (without regard to case) and held while windows use it.
TEST_F(MessagesTest, ClassesAreUniquePerModuleAndHeldByTheirWindows) {
    EXPECT_FALSE(RegisterClass(WNDCLASS{"messagestestclass", RecordingProc, 0}));
    EXPECT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);
    const HMODULE other = 0x5000;
    ASSERT_TRUE(RegisterClass(WNDCLASS{TestClass, OtherModuleProc, 0, other}));
    const HWND mine = CreateHiddenWindow(TestClass);
    const HWND theirs = CreateHiddenWindow(TestClass, {}, other);
    ASSERT_NE(mine, 0u);
    ASSERT_NE(theirs, 0u);
    EXPECT_EQ(log.messages, std::vector<UINT>{WM_CREATE});
    EXPECT_EQ(SendMessage(mine, WM_USER, 21, 0), 42);
    EXPECT_EQ(SendMessage(theirs, WM_USER, 21, 0), 7);
    EXPECT_FALSE(UnregisterClass(TestClass));
    EXPECT_EQ(GetLastError(), ERROR_CLASS_HAS_WINDOWS);
    EXPECT_TRUE(DestroyWindow(theirs));
    EXPECT_TRUE(UnregisterClass(TestClass, other));
    EXPECT_TRUE(GetClassInfo(TestClass, nullptr)); // the executable's class is untouched
    EXPECT_TRUE(DestroyWindow(mine));
    EXPECT_EQ(CreateHiddenWindow("NoSuchClass"), 0u);
}

// The owner below creates its window and then blocks in a plain wait: it does
// not look at its queue. Once 5 s of platform time have passed it is hung, and
// SMTO_ABORTIFHUNG gives up at once; the clock does not move during the call,
// so a wait for the 1000 ms time-out would never end.
TEST_F(MessagesTest, AbortIfHungGivesUpAtOnceOnAnOwnerThatDoesNotPump) {
    platform::ManualClock clock(1000);
    platform::ScopedClock use(clock);
    HWND w = 0;
    Event ready(true, false), release(true, false), pumping(true, false);
    const HANDLE t = CreateThread(
        [&] {
            w = CreateHiddenWindow(TestClass);
            ready.Set();
            release.Wait();
            MSG msg;
            PeekMessage(&msg, 0, 0, 0, PM_NOREMOVE);
            pumping.Set();
            while (GetMessage(&msg, 0, 0, 0) > 0)
                DispatchMessage(&msg);
            return 0u;
        },
        false);
    ready.Wait();
    clock.Advance(HUNG_THRESHOLD_MS);
    LRESULT result = -1;
    EXPECT_FALSE(SendMessageTimeout(w, WM_USER, 1, 0, SMTO_ABORTIFHUNG, 1000, &result));
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
    EXPECT_EQ(log.calls.load(), 1) << "only WM_CREATE reached the window";

    release.Set();
    pumping.Wait();
    EXPECT_TRUE(SendMessageTimeout(w, WM_USER, 5, 0, SMTO_ABORTIFHUNG, 1000, &result));
    EXPECT_EQ(result, 10);
    PostMessage(w, WM_QUIT, 0, 0);
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
}

TEST_F(MessagesTest, TimersFireAsTheManualClockAdvances) {
    platform::ManualClock clock(10000);
    platform::ScopedClock use(clock);
    const HWND w = CreateHiddenWindow(TestClass);
    ASSERT_EQ(SetTimer(w, 7, 100), 7u);
    MSG msg;
    EXPECT_FALSE(PeekMessage(&msg, 0, 0, 0, PM_REMOVE));
    clock.Advance(99);
    EXPECT_FALSE(PeekMessage(&msg, 0, 0, 0, PM_REMOVE));
    clock.Advance(1);
    ASSERT_TRUE(PeekMessage(&msg, 0, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.hwnd, w);
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_TIMER));
    EXPECT_EQ(msg.wParam, 7u);
    // The next period counts from the retrieval; missed periods are not queued.
    clock.Advance(350);
    EXPECT_TRUE(PeekMessage(&msg, 0, WM_TIMER, WM_TIMER, PM_REMOVE));
    EXPECT_FALSE(PeekMessage(&msg, 0, WM_TIMER, WM_TIMER, PM_REMOVE));
    EXPECT_TRUE(KillTimer(w, 7));
    clock.Advance(1000);
    EXPECT_FALSE(PeekMessage(&msg, 0, 0, 0, PM_REMOVE));
    DestroyWindow(w);
}

double ThreadCpuMs() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// A thread idle in GetMessage sleeps: over 300 ms of real time it uses (almost)
// no processor time.
TEST_F(MessagesTest, AThreadIdleInGetMessageUsesNoProcessorTime) {
    DWORD tid = 0;
    Event ready(true, false);
    double used = -1;
    const HANDLE t = CreateThread(
        [&] {
            MSG msg;
            PeekMessage(&msg, 0, 0, 0, PM_NOREMOVE);
            ready.Set();
            const double before = ThreadCpuMs();
            GetMessage(&msg, 0, 0, 0);
            used = ThreadCpuMs() - before;
            return 0u;
        },
        false, &tid);
    ready.Wait();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    PostThreadMessage(tid, WM_USER, 0, 0);
    WaitForSingleObject(t, INFINITE);
    EXPECT_GE(used, 0.0);
    EXPECT_LT(used, 30.0);
    CloseHandle(t);
}

// ---- sent messages and the order of retrieval

// A posted message comes before WM_QUIT, WM_QUIT before a due timer; a quit
// posted twice is taken once, with the last exit code.
TEST_F(MessagesTest, QuitComesAfterPostedMessagesAndBeforeTimers) {
    platform::ManualClock clock(1000);
    platform::ScopedClock use(clock);
    const HWND w = CreateHiddenWindow(TestClass);
    ASSERT_EQ(SetTimer(w, 1, 100), 1u);
    clock.Advance(100);
    PostQuitMessage(2);
    ASSERT_TRUE(PostMessage(w, WM_USER, 1, 0));
    PostQuitMessage(3);
    ASSERT_TRUE(PostMessage(w, WM_USER, 2, 0));
    std::vector<std::pair<UINT, WPARAM>> order;
    MSG msg;
    while (PeekMessage(&msg, 0, 0, 0, PM_REMOVE) && order.size() < 5)
        order.emplace_back(msg.message, msg.wParam);
    const std::vector<std::pair<UINT, WPARAM>> expected{
        {WM_USER, 1}, {WM_USER, 2}, {WM_QUIT, 3}, {WM_TIMER, 1}};
    EXPECT_EQ(order, expected);
    // GetMessage answers 0 for the quit.
    PostQuitMessage(4);
    EXPECT_EQ(GetMessage(&msg, 0, 0, 0), 0);
    EXPECT_EQ(msg.wParam, 4u);
    DestroyWindow(w);
}

// An owner that is busy (blocked outside any message wait) until the sender
// has given up. The message withdrawn at the time-out never runs: its lParam
// may point at the sender's stack, which is gone by then.
TEST_F(MessagesTest, AMessageWhoseSenderGaveUpIsNeverRun) {
    HWND w = 0;
    Event ready(true, false), release(true, false);
    std::atomic<int> seen{-1};
    const HANDLE owner = CreateThread(
        [&] {
            w = CreateHiddenWindow(TestClass);
            ready.Set();
            release.Wait();
            MSG msg;
            while (PeekMessage(&msg, 0, 0, 0, PM_REMOVE))
                DispatchMessage(&msg);
            seen = log.calls.load();
            return 0u;
        },
        false);
    ready.Wait();
    int onStack = 7;
    LRESULT result = -1;
    EXPECT_FALSE(SendMessageTimeout(w, WM_USER, 1, reinterpret_cast<LPARAM>(&onStack), SMTO_NORMAL, 50, &result));
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
    release.Set();
    WaitForSingleObject(owner, INFINITE);
    CloseHandle(owner);
    EXPECT_EQ(seen.load(), 1) << "only WM_CREATE reached the window";
}

// A send to a window that goes away before it ran fails with an invalid
// window, whether the window was destroyed or its thread ended; the procedure
// never sees it. (Whether the send was queued before the window went or came
// after it, the sender's answer is the same.)
TEST_F(MessagesTest, PendingSendsFailWhenTheWindowOrItsThreadGoes) {
    for (const bool threadEnds : {false, true}) {
        SCOPED_TRACE(threadEnds ? "the owner thread ends" : "the owner destroys the window");
        HWND w = 0;
        Event ready(true, false), sending(true, false);
        const HANDLE owner = CreateThread(
            [&] {
                w = CreateHiddenWindow(TestClass);
                ready.Set();
                sending.Wait();
                if (!threadEnds)
                    DestroyWindow(w);
                return 0u;
            },
            false);
        ready.Wait();
        const int before = log.calls.load();
        std::atomic<bool> delivered{true};
        std::atomic<DWORD> error{0};
        const HANDLE sender = CreateThread(
            [&] {
                sending.Set();
                delivered = SendMessageTimeout(w, WM_USER, 1, 0, SMTO_NORMAL, INFINITE, nullptr);
                error = GetLastError();
                return 0u;
            },
            false);
        EXPECT_EQ(WaitForSingleObject(sender, 10000), WAIT_OBJECT_0);
        WaitForSingleObject(owner, INFINITE);
        EXPECT_FALSE(delivered.load());
        EXPECT_EQ(error.load(), ERROR_INVALID_WINDOW_HANDLE);
        EXPECT_FALSE(IsWindow(w));
        // The destroyed window had its WM_DESTROY; nothing else ran.
        EXPECT_EQ(log.calls.load() - before, threadEnds ? 0 : 1);
        CloseHandle(sender);
        CloseHandle(owner);
    }
}

} // namespace
