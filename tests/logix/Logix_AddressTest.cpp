// The read-address text: how it is cut into symbolic and attribute reads, and
// the names a lookup strips it to.
#include "logix/Logix_Address.h"

#include <gtest/gtest.h>

namespace {

using logix::TLogixAddress;
using logix::TLogixAddressKind;

TEST(LogixAddressTest, SplitTrimsDropsEmptiesAndKeepsOrder) {
    EXPECT_EQ(logix::SplitAddresses("  A ;; B[3] ;  ;Motor.Speed[4] "),
              (std::vector<TLogixAddress>{{TLogixAddressKind::Symbolic, "A"},
                                          {TLogixAddressKind::Symbolic, "B[3]"},
                                          {TLogixAddressKind::Symbolic, "Motor.Speed[4]"}}));
    EXPECT_TRUE(logix::SplitAddresses("").empty());
    EXPECT_TRUE(logix::SplitAddresses(" ; ;\t").empty());
}

TEST(LogixAddressTest, AttributeNeedsTwoSlashesAfterTheAt) {
    const auto split = logix::SplitAddressText("Tag;@1/1/7; @22/1/1 ;@1/1;@/;@1//");
    EXPECT_EQ(split.Symbolic, (std::vector<std::string>{"Tag", "@1/1", "@/"}));
    EXPECT_EQ(split.Attributes, (std::vector<std::string>{"@1/1/7", "@22/1/1", "@1//"}));
    // A slash in a symbolic name does not make it an attribute.
    EXPECT_FALSE(logix::IsAttributeAddress("a/b/c"));
    EXPECT_FALSE(logix::IsAttributeAddress(""));
}

TEST(LogixAddressTest, BaseNameAndFirstMember) {
    EXPECT_EQ(logix::BaseTagName("Motor.Speed[2]"), "Motor");
    EXPECT_EQ(logix::BaseTagName("Tag[1,2]"), "Tag");
    EXPECT_EQ(logix::BaseTagName("Tag[1]Member"), "Tag");
    EXPECT_EQ(logix::BaseTagName("Program:Main.Motor.Speed"), "Program:Main.Motor");
    EXPECT_EQ(logix::BaseTagName("program:Main.Motor[3]"), "program:Main.Motor");
    EXPECT_EQ(logix::BaseTagName("Program:Main"), "Program:Main");

    EXPECT_EQ(logix::FirstMemberName("Motor.Speed[2]"), "Speed");
    EXPECT_EQ(logix::FirstMemberName("Motor.Drive.Speed"), "Drive");
    EXPECT_EQ(logix::FirstMemberName("Program:Main.Motor.Speed"), "Speed");
    EXPECT_EQ(logix::FirstMemberName("Motor[1]"), "");
}

} // namespace
