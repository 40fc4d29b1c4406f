#include "common/ThreadObjectList.h"

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

} // namespace
