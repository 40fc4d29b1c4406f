#include "TestClock.h"

#include "platform/Sync.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

using namespace platform;

TEST(SyncTest, AutoResetEventReleasesOneWaitAndResets) {
    Event event(false, true);
    EXPECT_EQ(WaitForSingleObject(event.Handle(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.Handle(), 0), WAIT_TIMEOUT);
    Event manual(true, true);
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(0));
}

TEST(SyncTest, WaitAllTakesTheObjectsOnlyWhenAllAreSignalled) {
    Event a(false, true), b(false, false);
    const HANDLE both[2] = {a.Handle(), b.Handle()};
    EXPECT_EQ(WaitForMultipleObjects(2, both, true, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(a.Wait(0)) << "a failed wait-all must not consume the auto-reset event";
    a.Set();
    b.Set();
    EXPECT_EQ(WaitForMultipleObjects(2, both, true, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(a.Wait(0));
    EXPECT_FALSE(b.Wait(0));
    // Wait-any reports the lowest signalled index.
    b.Set();
    EXPECT_EQ(WaitForMultipleObjects(2, both, false, 0), WAIT_OBJECT_0 + 1);
}

TEST(SyncTest, BadHandlesFailTheWait) {
    EXPECT_EQ(WaitForSingleObject(0x7777, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    Event a(true, false);
    const HANDLE twice[2] = {a.Handle(), a.Handle()};
    EXPECT_EQ(WaitForMultipleObjects(2, twice, true, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(CloseHandle(0x7777));
}

// A finite time-out runs on the platform clock: 999 ms of manual time do not
// end it, the 1000th does.
TEST(SyncTest, FiniteWaitExpiresWhenTheManualClockPassesItsDeadline) {
    testing_support::WatchedClock clock(5000);
    ScopedClock use(clock);
    Event never(true, false), done(true, false);
    std::atomic<DWORD> result{0};
    DWORD tid = 0;
    const HANDLE waiter = CreateThread(
        [&] {
            result = WaitForSingleObject(never.Handle(), 1000);
            done.Set();
            return 0u;
        },
        true, &tid);
    ASSERT_NE(waiter, 0u);
    clock.Watch(tid);
    ResumeThread(waiter);
    unsigned reads = clock.WaitForReads(0); // it has its deadline
    clock.Advance(999);
    clock.WaitForReads(reads + 1); // it has looked at the new time
    EXPECT_FALSE(done.Wait(0));
    clock.Advance(1);
    ASSERT_TRUE(done.Wait(INFINITE));
    EXPECT_EQ(result.load(), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(waiter, INFINITE), WAIT_OBJECT_0);
    CloseHandle(waiter);
}

} // namespace
