// Read Tag of structures where a controller's answer is more than what the
// client needs: arrays of structures cut into whole elements, bad member
// paths, packed BOOLs and BOOL arrays, against the values of the built-in
// sample. (Structures of every kind, their handles and element bytes, nested
// members and members of elements are read value by value through the real
// programs by the truth test.)
#include "SimFixture.h"

namespace {

using simtest::Bytes;
using simtest::Cat;
using simtest::Read;
using simtest::Sym;

Bytes Elem(std::uint8_t index) {
    return {0x28, index};
}

Bytes ReadFragment(const Bytes& path, std::uint16_t count, std::uint32_t offset) {
    return Cat({{0x52, static_cast<std::uint8_t>(path.size() / 2)},
                path,
                {static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(count >> 8)},
                simtest::Le32(offset)});
}

// A good Read Tag reply: the type word and the value bytes.
Bytes Good(const Bytes& typeAndData) {
    return Cat({{0xCC, 0x00, 0x00, 0x00}, typeAndData});
}

class StructureReadTest : public simtest::SimFixture {
protected:
    void SetUp() override { Start(); }
};

TEST_F(StructureReadTest, ArraysOfStructuresAreReadInFragments) {
    config_.Device.MaxUnconnectedReply = 200;
    Start();
    const Bytes path = Sym("Motors");
    const Bytes first = Request(Read(path, 2));
    // 192 bytes of budget after the headers hold one 160-byte element.
    ASSERT_EQ(first.size(), 4u + 4 + 160);
    EXPECT_EQ(first[2], 0x06);
    const Bytes second = Request(ReadFragment(path, 2, 160));
    ASSERT_EQ(second.size(), 4u + 4 + 160);
    EXPECT_EQ(second[2], 0x00);
    EXPECT_EQ(Bytes(second.begin() + 4, second.begin() + 8), Bytes(first.begin() + 4, first.begin() + 8));
    EXPECT_EQ(Bytes(second.begin() + 8, second.begin() + 12), Bytes({0xC8, 0x00, 0x00, 0x00})); // Speed 200
    // Starting at element 1 there is one element left.
    EXPECT_EQ(Request(Read(Cat({path, Elem(1)}), 2)), Bytes({0xCC, 0x00, 0xFF, 0x01, 0x05, 0x21}));
}

TEST_F(StructureReadTest, BadMemberPathsGetTheControllersStatus) {
    // No such member; a member of an atomic tag; a member of a whole array;
    // a subscript past the end; a subscript on a structure that is no array.
    EXPECT_EQ(Request(Read(Cat({Sym("Motor"), Sym("Nope")}))), Bytes({0xCC, 0x00, 0x05, 0x00}));
    EXPECT_EQ(Request(Read(Cat({Sym("Counter"), Sym("X")}))), Bytes({0xCC, 0x00, 0x05, 0x00}));
    EXPECT_EQ(Request(Read(Cat({Sym("Motors"), Sym("Speed")}))), Bytes({0xCC, 0x00, 0x04, 0x00}));
    EXPECT_EQ(Request(Read(Cat({Sym("Motors"), Elem(2)}))), Bytes({0xCC, 0x00, 0x05, 0x00}));
    EXPECT_EQ(Request(Read(Cat({Sym("Motor"), Elem(0)}))), Bytes({0xCC, 0x00, 0x04, 0x00}));
    // A BOOL member is one value.
    EXPECT_EQ(Request(Read(Cat({Sym("Motor"), Sym("Running")}), 2)),
              Bytes({0xCC, 0x00, 0xFF, 0x01, 0x05, 0x21}));
}

TEST_F(StructureReadTest, PackedBoolsAreAllOnesAndBoolArraysAreCountedInWords) {
    // A packed BOOL member reads as a BOOL, all ones when set, as a Logix
    // controller answers.
    EXPECT_EQ(Request(Read(Cat({Sym("Motor"), Sym("Running")}))), Good({0xC1, 0x00, 0xFF}));
    EXPECT_EQ(Request(Read(Cat({Sym("Motor"), Sym("Faulted")}))), Good({0xC1, 0x00, 0x00}));
    // Bits 0, 2, 31 and 32 of Alarms[64].
    EXPECT_EQ(Request(Read(Sym("Alarms"), 2)),
              Good({0xD3, 0x00, 0x05, 0x00, 0x00, 0x80, 0x01, 0x00, 0x00, 0x00}));
    // As on a controller, the subscript names the 32-bit word: [1] holds bits
    // 32..63, and there is no word 2 (nor 33).
    EXPECT_EQ(Request(Read(Cat({Sym("Alarms"), Elem(1)}))), Good({0xD3, 0x00, 0x01, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Request(Read(Cat({Sym("Alarms"), Elem(2)}))), Bytes({0xCC, 0x00, 0x05, 0x00}));
    EXPECT_EQ(Request(Read(Cat({Sym("Alarms"), Elem(33)}))), Bytes({0xCC, 0x00, 0x05, 0x00}));
    EXPECT_EQ(Request(Read(Sym("Alarms"), 3)), Bytes({0xCC, 0x00, 0xFF, 0x01, 0x05, 0x21}));
}

} // namespace
