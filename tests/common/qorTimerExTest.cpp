#include "common/qorTimerEx.h"

#include "common/Thread_ProcessMessages.h"

#include "platform/Clock.h"
#include "platform/Messages.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

namespace {

using qor::TqorTimerEx;
using namespace platform;

// The timer lives on a pumping thread; Enabled is changed from this one. A
// marker posted after the change and answered once it has been pumped (with
// the timer messages that were due) tells when the owner has caught up.
TEST(TimerExTest, EnabledChangedFromAnotherThreadTakesEffectOnTheOwner) {
    ManualClock clock(0);
    ScopedClock use(clock);
    constexpr UINT Marker = WM_APP + 1;
    std::unique_ptr<TqorTimerEx> timer;
    std::atomic<int> ticks{0};
    std::atomic<DWORD> firedOn{0};
    Event ready(true, false), caughtUp(false, false);
    DWORD owner = 0;
    const HANDLE t = CreateThread(
        [&] {
            timer = std::make_unique<TqorTimerEx>();
            timer->SetInterval(100);
            timer->SetOnTimer([&](TqorTimerEx&) {
                firedOn = GetCurrentThreadId();
                ++ticks;
            });
            ready.Set();
            MSG msg;
            while (GetMessage(&msg, 0, 0, 0) > 0) {
                DispatchMessage(&msg);
                if (msg.message == Marker) {
                    qor::PumpAll();
                    caughtUp.Set();
                }
            }
            return 0u;
        },
        false, &owner);
    ready.Wait();
    auto catchUp = [&] {
        ASSERT_TRUE(PostThreadMessage(owner, Marker, 0, 0));
        ASSERT_TRUE(caughtUp.Wait());
    };

    clock.Advance(100);
    catchUp();
    EXPECT_EQ(ticks.load(), 1);
    EXPECT_EQ(firedOn.load(), owner);

    timer->SetEnabled(false);
    EXPECT_FALSE(timer->Enabled());
    clock.Advance(500);
    catchUp();
    EXPECT_EQ(ticks.load(), 1);

    timer->SetEnabled(true);
    catchUp();
    clock.Advance(100);
    catchUp();
    EXPECT_EQ(ticks.load(), 2);

    const HWND h = timer->Handle();
    timer.reset(); // from this thread: the owner disables and destroys it
    EXPECT_FALSE(IsWindow(h));
    clock.Advance(1000);
    catchUp();
    EXPECT_EQ(ticks.load(), 2);
    PostThreadMessage(owner, WM_QUIT, 0, 0);
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
}

} // namespace
