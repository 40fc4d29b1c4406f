#include "platform/Sync.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

namespace {

using namespace platform;

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

} // namespace
