#include "common/ThreadObjectList.h"
#include "common/ThreadStringList.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

namespace {

struct Counted {
    explicit Counted(int& freed) : Freed(freed) {}
    ~Counted() { ++Freed; }
    int& Freed;
};

TEST(ThreadObjectListTest, TheListFreesWhatItHoldsButNotWhatWasExtracted) {
    int freed = 0;
    std::unique_ptr<Counted> taken;
    {
        qor::TThreadObjectList<Counted> list;
        Counted* a = list.Add(std::make_unique<Counted>(freed));
        Counted* b = list.Add(std::make_unique<Counted>(freed));
        list.Insert(0, std::make_unique<Counted>(freed));
        EXPECT_EQ(list.IndexOf(a), 1);
        taken = list.Extract(b);
        EXPECT_EQ(taken.get(), b);
        EXPECT_EQ(list.Extract(b), nullptr);
        list.Delete(0);
        EXPECT_EQ(freed, 1);
        EXPECT_THROW(list.Items(1), std::out_of_range);
        EXPECT_EQ(list.Count(), 1u);
    }
    EXPECT_EQ(freed, 2);
    taken.reset();
    EXPECT_EQ(freed, 3);
}

TEST(ThreadStringListTest, LinesCarryAValueAndJoinWithCrLf) {
    qor::TThreadStringList list;
    EXPECT_EQ(list.Add("first"), 0u);
    list.Add("second", 7);
    list.SetObjects(0, -3);
    EXPECT_EQ(list.Objects(0), -3);
    EXPECT_EQ(list.Objects(1), 7);
    list.Insert(1, "middle");
    EXPECT_EQ(list.IndexOf("second"), 2);
    EXPECT_EQ(list.IndexOf("Second"), -1);
    EXPECT_EQ(list.Text(), "first\r\nmiddle\r\nsecond\r\n");
    {
        // A writer may read and write again under its own write lock.
        qor::TThreadObject::WriteLock hold(list);
        list.SetStrings(0, list.Strings(0) + " x2");
    }
    EXPECT_EQ(list.Strings(0), "first x2");
    try {
        list.Delete(3);
        ADD_FAILURE() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "List index out of bounds (3)");
    }
    list.Clear();
    EXPECT_EQ(list.Count(), 0u);
}

} // namespace
