// The demonstration's moving values: each second's values follow from the
// start, through the database's own writes; arrays and other types stay.
#include "sim/Animator.h"
#include "sim/TagFile.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::int64_t Integer(const sim::TagDatabase& tags, const char* name) {
    std::int64_t v = 0;
    tags.With(name, [&](const sim::SimTag& t) {
        for (std::size_t i = t.Data.size(); i-- > 0;)
            v = (v << 8) | t.Data[i];
    });
    return v;
}

float Real(const sim::TagDatabase& tags, const char* name) {
    float v = 0;
    tags.With(name, [&](const sim::SimTag& t) { std::memcpy(&v, t.Data.data(), sizeof v); });
    return v;
}

TEST(AnimatorTest, CountersCountRealsSwingBoolsToggleFromTheirStart) {
    sim::TagDatabase tags;
    sim::DataTable files;
    sim::LoadTagText(sim::SampleTagText(), tags, files);
    const auto trendBefore = tags.Find("Trend")->Data;
    sim::SimAnimator animator(tags, files);

    animator.Step(3);
    EXPECT_EQ(Integer(tags, "Counter"), 123456 + 3);
    EXPECT_EQ(Integer(tags, "Speed"), 1500 + 3);
    EXPECT_EQ(Integer(tags, "Run"), 0); // started at 1, odd second
    animator.Step(4);
    EXPECT_EQ(Integer(tags, "Run"), 1);
    animator.Step(15); // a quarter turn: the top of the sine, 10 % above the start
    EXPECT_NEAR(Real(tags, "Temperature"), 21.5f * 1.1f, 1e-3);
    animator.Step(45);
    EXPECT_NEAR(Real(tags, "Temperature"), 21.5f * 0.9f, 1e-3);
    EXPECT_EQ(files.Find(7)->Data[0], 1 + 45); // N7:0 counts from 1

    animator.Step(0);
    EXPECT_EQ(Integer(tags, "Counter"), 123456);
    EXPECT_FLOAT_EQ(Real(tags, "Temperature"), 21.5f);
    EXPECT_EQ(tags.Find("Trend")->Data, trendBefore);
    const std::vector<std::string> moving = animator.Animated();
    EXPECT_NE(std::find(moving.begin(), moving.end(), "F8:0"), moving.end());
    EXPECT_EQ(std::find(moving.begin(), moving.end(), "Message"), moving.end());
}

} // namespace
