#include "common/qorWinHandle.h"

#include "platform/Messages.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

namespace {

using qor::TWindowHandle;
using namespace platform;

// Without OnMessage every message reaches the default procedure, which
// destroys the window on WM_CLOSE.
TEST(WindowHandleTest, APostedMessageWithoutHandlerReachesTheDefaultProcedure) {
    TWindowHandle window;
    EXPECT_EQ(window.Handle(), 0u);
    const HWND h = window.GetHandle();
    ASSERT_NE(h, 0u);
    EXPECT_EQ(window.ThreadId(), GetCurrentThreadId());
    WNDCLASS wc{};
    ASSERT_TRUE(GetClassInfo("DataLoggerWindowClass", &wc));
    EXPECT_EQ(GetWindowLongPtr(h, 0), reinterpret_cast<std::intptr_t>(&window));
    ASSERT_TRUE(PostMessage(h, WM_CLOSE, 0, 0));
    EXPECT_TRUE(window.ProcessMessage(true));
    EXPECT_FALSE(IsWindow(h));
    EXPECT_EQ(window.Handle(), 0u);
}

TEST(WindowHandleTest, AHandledMessageSkipsTheDefaultProcedure) {
    TWindowHandle window;
    int seen = 0;
    window.OnMessage = [&](UINT msg, WPARAM wParam, bool& handled, LPARAM) -> LRESULT {
        ++seen;
        handled = msg == WM_CLOSE || msg == WM_USER;
        return msg == WM_USER ? static_cast<LRESULT>(wParam + 1) : 0;
    };
    const HWND h = window.GetHandle();
    EXPECT_EQ(SendMessage(h, WM_USER, 41, 0), 42);
    PostMessage(h, WM_CLOSE, 0, 0);
    window.ProcessMessages(true);
    EXPECT_TRUE(IsWindow(h));
    EXPECT_EQ(seen, 2);
    window.DestroyHandle();
    EXPECT_FALSE(IsWindow(h));
}

// A thread other than the owner destroys the window while the owner's handler
// sends a message to a window of the destroying thread. The destroying thread
// must run that message while it waits for the handler to end, or each waits
// for the other (the handler's send would only end at its time-out).
TEST(WindowHandleTest, ADestroyFromAnotherThreadRunsTheMessagesTheOwnersHandlerSends) {
    TWindowHandle mine;
    std::atomic<int> reached{0};
    mine.OnMessage = [&](UINT msg, WPARAM, bool& handled, LPARAM) -> LRESULT {
        handled = msg == WM_USER + 1;
        if (handled)
            ++reached;
        return handled ? 5 : 0;
    };
    const HWND myWindow = mine.GetHandle();

    Event created(true, false), inside(true, false);
    std::unique_ptr<TWindowHandle> theirs;
    std::atomic<bool> sent{false};
    LRESULT answer = 0;
    DWORD ownerTid = 0;
    const HANDLE owner = CreateThread(
        [&] {
            theirs = std::make_unique<TWindowHandle>();
            theirs->OnMessage = [&](UINT msg, WPARAM, bool& handled, LPARAM) -> LRESULT {
                if (msg == WM_USER) {
                    handled = true;
                    inside.Set();
                    sent = SendMessageTimeout(myWindow, WM_USER + 1, 0, 0, SMTO_NORMAL, 2000, &answer);
                }
                return 0;
            };
            theirs->GetHandle();
            created.Set();
            MSG msg;
            while (GetMessage(&msg, 0, 0, 0) > 0)
                DispatchMessage(&msg);
            return 0u;
        },
        false, &ownerTid);
    created.Wait();
    const HWND theirWindow = theirs->Handle();
    ASSERT_TRUE(PostMessage(theirWindow, WM_USER, 0, 0));
    inside.Wait();
    theirs->DestroyHandle();

    EXPECT_TRUE(sent.load());
    EXPECT_EQ(answer, 5);
    EXPECT_EQ(reached.load(), 1);
    EXPECT_FALSE(IsWindow(theirWindow));
    ASSERT_TRUE(PostThreadMessage(ownerTid, WM_QUIT, 0, 0));
    EXPECT_EQ(WaitForSingleObject(owner, INFINITE), WAIT_OBJECT_0);
    CloseHandle(owner);
}

} // namespace
