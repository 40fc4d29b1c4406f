#include "cip/CIP_IOI.h"

#include <gtest/gtest.h>

namespace {

using namespace cip;

TEST(IOITest, ElementSegmentsTakeTheSmallestForm) {
    const TPacketDataArray tag{0x91, 0x03, 'T', 'a', 'g', 0x00};
    auto with = [&](TPacketDataArray tail) {
        TPacketDataArray all = tag;
        all.insert(all.end(), tail.begin(), tail.end());
        return all;
    };
    EXPECT_EQ(TIOI::BuildPath("Tag[5]"), with({0x28, 0x05}));
    EXPECT_EQ(TIOI::BuildPath("Tag[300]"), with({0x29, 0x00, 0x2C, 0x01}));
    EXPECT_EQ(TIOI::BuildPath("Tag[70000]"), with({0x2A, 0x00, 0x70, 0x11, 0x01, 0x00}));
    EXPECT_EQ(TIOI::BuildPath("Tag[1,2]"), with({0x28, 0x01, 0x28, 0x02}));
    // A member of an array element, written as controllers write it.
    EXPECT_EQ(TIOI::BuildPath("M[1]Speed"), TIOI::BuildPath("M[1].Speed"));
}

TEST(IOITest, LogicalPathsNeedAllThreeParts) {
    EXPECT_EQ(TIOI::BuildPath("@6/1/1"), (TPacketDataArray{0x20, 0x06, 0x24, 0x01, 0x30, 0x01}));
    EXPECT_EQ(TIOI::BuildPath("@ 300 / 70000 / 2 "),
              (TPacketDataArray{0x21, 0x00, 0x2C, 0x01, 0x26, 0x00, 0x70, 0x11, 0x01, 0x00, 0x30, 0x02}));
    EXPECT_TRUE(TIOI::BuildPath("@6/1").empty());
    EXPECT_TRUE(TIOI::BuildPath("@1/1/1/99").empty());
    EXPECT_TRUE(TIOI::BuildPath("@1//1").empty());
    EXPECT_TRUE(TIOI::BuildPath("@1/-1/1").empty());
    EXPECT_TRUE(TIOI::ClassSegment(std::uint32_t{70000}).empty());
    EXPECT_TRUE(TIOI::AttributeSegment("65536").empty());
}

TEST(IOITest, NamesLongerThanTheLengthByteCountsCannotBeEncoded) {
    const std::string longest(255, 'A');
    const TPacketDataArray path = TIOI::BuildPath(longest);
    ASSERT_EQ(path.size(), 258u);
    EXPECT_EQ(path[1], 0xFF);
    // 256 characters would go out as a name of 0 and read another tag.
    EXPECT_TRUE(TIOI::BuildPath(longest + "A").empty());
    EXPECT_TRUE(TIOI::BuildPath("Program:Main." + longest + "A").empty());
}

TEST(IOITest, InvalidAddressesGiveAnEmptyPath) {
    // Never the shorter address in front of the fault: "Counts[" is not "Counts".
    for (const char* address : {"[1]", "Tag[a]", "Tag[1 ]", "Tag[1]@6/1/1", "Tag[1,,2]", "Tag[99999999999]", "",
                                "Counts[", "Counts[2", "Tag[]", "Tag[1,]", "Tag.", "Motor..Speed", ".Tag", "Tag]",
                                "Tag[1][2]", "My Tag", "Tag\t", "Tag.[1]"})
        EXPECT_TRUE(TIOI::BuildPath(address).empty()) << address;
}

} // namespace
