#include "common/qorWinHandle.h"

#include "platform/Messages.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

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

} // namespace
