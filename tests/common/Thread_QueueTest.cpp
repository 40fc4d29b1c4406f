#include "common/Thread_Queue.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using qor::TQueueItem;
using qor::TThreadSafeQueue;

struct Numbered : TQueueItem {
    explicit Numbered(int n) : N(n) {}
    int N;
};

int PopNumber(TThreadSafeQueue& q) {
    auto item = qor::QueueItemCast<Numbered>(q.Pop());
    return item ? item->N : -1;
}

bool Signalled(const TThreadSafeQueue& q) {
    return platform::WaitForSingleObject(q.ItemEvent(), 0) == platform::WAIT_OBJECT_0;
}

TEST(ThreadQueueTest, PushingNullDoesNothingAndDoesNotSignal) {
    TThreadSafeQueue q;
    q.Push(nullptr);
    EXPECT_EQ(q.SlotCount(), 0u);
    EXPECT_FALSE(Signalled(q));
    EXPECT_EQ(q.Pop(), nullptr);
}

TEST(ThreadQueueTest, TheEventStaysSetUntilTheLastItemIsTaken) {
    TThreadSafeQueue q;
    q.Push(std::make_unique<Numbered>(1));
    q.Push(std::make_unique<Numbered>(2));
    EXPECT_TRUE(Signalled(q));
    EXPECT_EQ(PopNumber(q), 1);
    EXPECT_TRUE(Signalled(q));
    EXPECT_EQ(PopNumber(q), 2);
    EXPECT_FALSE(Signalled(q));
    EXPECT_EQ(q.Pop(), nullptr);
}

// Taken slots pile up at the front until more than 16383 of them are there;
// the 16384th pop then removes them in one move.
TEST(ThreadQueueTest, TakenSlotsAreCompactedAfter16384Pops) {
    TThreadSafeQueue q;
    for (int i = 0; i < 20000; ++i)
        q.Push(std::make_unique<Numbered>(i));
    for (int i = 0; i < 16383; ++i)
        ASSERT_EQ(PopNumber(q), i);
    EXPECT_EQ(q.Head(), 16383u);
    EXPECT_EQ(q.SlotCount(), 20000u);
    EXPECT_EQ(PopNumber(q), 16383);
    EXPECT_EQ(q.Head(), 0u);
    EXPECT_EQ(q.SlotCount(), 3616u);
    EXPECT_EQ(q.Count(), 3616u);
    EXPECT_EQ(PopNumber(q), 16384);
}

// A queue that a consumer keeps emptying (a worker's commands, its results)
// reuses its slots: in a logger that runs for months, slots taken one at a
// time must not pile up until thousands of pops have passed.
TEST(ThreadQueueTest, ADrainedQueueReusesItsSlots) {
    TThreadSafeQueue q;
    for (int i = 0; i < 10000; ++i) {
        q.Push(std::make_unique<Numbered>(i));
        q.Push(std::make_unique<Numbered>(-i));
        ASSERT_EQ(PopNumber(q), i);
        ASSERT_EQ(PopNumber(q), -i);
        ASSERT_EQ(q.SlotCount(), 0u) << "after " << i + 1 << " rounds";
    }
    // Not drained: the slots stay until the queue is empty.
    q.Push(std::make_unique<Numbered>(1));
    q.Push(std::make_unique<Numbered>(2));
    EXPECT_EQ(PopNumber(q), 1);
    EXPECT_EQ(q.Head(), 1u);
    EXPECT_EQ(q.SlotCount(), 2u);
    EXPECT_EQ(PopNumber(q), 2);
    EXPECT_EQ(q.Head(), 0u);
    EXPECT_EQ(q.SlotCount(), 0u);
    EXPECT_EQ(q.Pop(), nullptr);
}

} // namespace
