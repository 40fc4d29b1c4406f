// The read-address text: how it is cut into symbolic and attribute reads, and
// the names a lookup strips it to.
#include "logix/Logix_Address.h"

#include <gtest/gtest.h>

#include <optional>
#include <tuple>
#include <vector>

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

TEST(LogixAddressTest, BitPartsFollowAHashABracketOrATrailingNumber) {
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {"Tag[3].5", "Tag[3]", "5"},
        {"Tag[3].2:5", "Tag[3]", "2:5"},
        {"Word#2:5", "Word", "2:5"},
        {"A[1]#3", "A[1]", "3"},
        {"Counter.5", "Counter", "5"},
        // A member of an element is read, never taken for bits.
        {"Motor[1].Speed", "Motor[1].Speed", ""},
        {"Motor.Speed", "Motor.Speed", ""},
        {"#5", "#5", ""},
        {"Counter", "Counter", ""},
        {"Arr[2]", "Arr[2]", ""},
        {"Program:Main.X", "Program:Main.X", ""},
        {"T4:1.PRE", "T4:1.PRE", ""},
    };
    for (const auto& [address, base, bits] : cases) {
        const auto [b, p] = logix::SplitBitSpec(address);
        EXPECT_EQ(b, base) << address;
        EXPECT_EQ(p, bits) << address;
    }
}

TEST(LogixAddressTest, BitRangesStayInsideTheWidth) {
    using R = std::pair<std::uint32_t, std::uint32_t>;
    EXPECT_EQ(logix::ParseBitRange("", 16), R(0, 15));
    EXPECT_EQ(logix::ParseBitRange("5", 32), R(5, 5));
    EXPECT_EQ(logix::ParseBitRange("2:5", 16), R(2, 5));
    EXPECT_EQ(logix::ParseBitRange("5:2", 16), R(5, 5));
    EXPECT_EQ(logix::ParseBitRange("4:99", 16), R(4, 15));
    // A bound equal to the width is past the last bit.
    EXPECT_EQ(logix::ParseBitRange("3:16", 16), R(3, 15));
    EXPECT_EQ(logix::ParseBitRange("15:15", 16), R(15, 15));
    EXPECT_EQ(logix::ParseBitRange("16", 16), R(0, 15));
    EXPECT_EQ(logix::ParseBitRange("x", 8), R(0, 7));
    EXPECT_EQ(logix::ParseBitRange("99", 8), R(0, 7));
    EXPECT_EQ(logix::ParseBitRange("", 0), R(0, 0));
}

TEST(LogixAddressTest, RoutesAreNumbersUpTo255OrRefused) {
    using Route = std::vector<std::uint8_t>;
    EXPECT_EQ(logix::ParseRoute("1, 0"), Route({1, 0}));
    EXPECT_EQ(logix::ParseRoute("1;0,"), Route({1, 0}));
    EXPECT_EQ(logix::ParseRoute(""), Route{});
    EXPECT_EQ(logix::ParseRoute("255"), Route{255});
    // Never a shortened or wrapped route: 300 is not slot 44.
    for (const char* bad : {"1,300", "1,x", "-2", "1,0x", "256"})
        EXPECT_FALSE(logix::ParseRoute(bad)) << bad;
}

TEST(LogixAddressTest, AddressesThatDoNotParseAreRefusedWithAReason) {
    for (const char* good : {"Counter", "Counts[2]", "Motors[1].Speed", "Program:Main.Steps[4]", "@1/1/7", "M[1,2]"})
        EXPECT_FALSE(logix::AddressError(good)) << good;
    for (const char* bad : {"Counts[", "@1/1/1/99", "@1/1", "Tag.", "Tag[]", "Motor..Speed", "@1/x/1"}) {
        const auto error = logix::AddressError(bad);
        ASSERT_TRUE(error) << bad;
        EXPECT_NE(error->find(bad), std::string::npos) << *error;
    }
    EXPECT_EQ(logix::SingleSubscript("Alarms[33]"), std::make_optional(std::pair<std::string, std::uint32_t>{"Alarms", 33}));
    EXPECT_FALSE(logix::SingleSubscript("Alarms[1,2]"));
    EXPECT_FALSE(logix::SingleSubscript("Motors[1].Speed"));
    EXPECT_FALSE(logix::SingleSubscript("Alarms"));
}

} // namespace
