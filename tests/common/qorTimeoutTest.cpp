#include "common/qorTimeout.h"

#include "platform/Clock.h"

#include <gtest/gtest.h>

namespace {

using qor::TTimeout;

class TimeoutTest : public ::testing::TestWithParam<bool> {};

// The 32-bit tick wraps every 49.7 days; a time-out started just before the
// wrap must still expire after its duration, whether the 64-bit counter is
// offered or the 32-bit one has to be extended.
TEST_P(TimeoutTest, ExpiresAcrossThe32BitWrap) {
    platform::ManualClock clock(0x1'0000'0000ull - 100, /*hasTickCount64=*/GetParam());
    platform::ScopedClock use(clock);
    TTimeout t;
    t.Start(100);
    clock.Advance(99);
    EXPECT_FALSE(t.Expired());
    clock.Advance(1);
    EXPECT_TRUE(t.Expired());
    clock.Advance(5000);
    EXPECT_TRUE(t.Expired());
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutTick64, TimeoutTest, ::testing::Bool());

TEST(TimeoutTest, ExpiredAfterTreatsNeverStartedAsExpiredAndArmsAnInactiveOne) {
    platform::ManualClock clock(1000);
    platform::ScopedClock use(clock);
    TTimeout t;
    EXPECT_TRUE(t.ExpiredAfter(15000));

    t.Reset(); // started, but no deadline
    EXPECT_FALSE(t.Active);
    EXPECT_FALSE(t.ExpiredAfter(15000));
    clock.Advance(15000);
    EXPECT_TRUE(t.ExpiredAfter(15000));

    t.Restart(); // inactive: restarts as Reset, from now
    EXPECT_FALSE(t.ExpiredAfter(15000));
}

} // namespace
