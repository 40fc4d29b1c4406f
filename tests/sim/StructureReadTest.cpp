// Read Tag of structures (predefined, strings, user types, arrays of them in
// fragments), bad member paths, packed BOOLs and BOOL arrays, against the
// values of the built-in sample. (Members of every type, nested members,
// members of elements, dates, times and wide integers are read value by value
// through the real programs by the truth test.)
#include "SimFixture.h"

namespace {

using simtest::Bytes;
using simtest::Cat;
using simtest::Read;
using simtest::Sym;
using simtest::Text;

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

TEST_F(StructureReadTest, StructuresAnswerTheirHandleAndElementBytes) {
    // TIMER: handle 0x0F83, CTL with EN and TT (bits 31, 30), PRE 5000, ACC 1234.
    EXPECT_EQ(Request(Read(Sym("Delay"))), Good({0xA0, 0x02, 0x83, 0x0F, 0x00, 0x00, 0x00, 0xC0, 0x88, 0x13,
                                                 0x00, 0x00, 0xD2, 0x04, 0x00, 0x00}));
    // COUNTER with CU (bit 31); CONTROL with EN (bit 31), LEN 16, POS 4.
    EXPECT_EQ(Request(Read(Sym("Parts"))), Good({0xA0, 0x02, 0x82, 0x0F, 0x00, 0x00, 0x00, 0x80, 0x64, 0x00,
                                                 0x00, 0x00, 0x2A, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Request(Read(Sym("Fifo"))), Good({0xA0, 0x02, 0x84, 0x0F, 0x00, 0x00, 0x00, 0x80, 0x10, 0x00,
                                                0x00, 0x00, 0x04, 0x00, 0x00, 0x00}));
    // STRING: LEN then 82 characters of DATA.
    Bytes message = Cat({{0xA0, 0x02, 0xCE, 0x0F, 0x0D, 0x00, 0x00, 0x00}, Text("Hello, line 4")});
    message.resize(2 + 2 + 88, 0);
    EXPECT_EQ(Request(Read(Sym("Message"))), Good(message));
    // A custom LEN + DATA string and a nested member of that type.
    const Bytes labelReply = Request(Read(Sym("Label")));
    ASSERT_EQ(labelReply.size(), 4u + 4 + 24);
    EXPECT_EQ(Bytes(labelReply.begin() + 8, labelReply.begin() + 18),
              Cat({{0x06, 0x00, 0x00, 0x00}, Text("Pump A")}));
    const Bytes nested = Request(Read(Cat({Sym("Motors"), Elem(0), Sym("Label")})));
    ASSERT_EQ(nested.size(), labelReply.size());
    EXPECT_EQ(Bytes(nested.begin() + 6, nested.begin() + 8),
              Bytes(labelReply.begin() + 6, labelReply.begin() + 8));
    EXPECT_EQ(Bytes(nested.begin() + 8, nested.begin() + 17), Cat({{0x05, 0x00, 0x00, 0x00}, Text("Fan 1")}));

    // A whole user structure: 160 bytes with the handle its template reports.
    const Bytes motor = Request(Read(Sym("Motor")));
    ASSERT_EQ(motor.size(), 4u + 4 + 160);
    const Bytes alarmText = Cat({{0x08, 0x00, 0x00, 0x00}, Text("Overload")});
    EXPECT_EQ(Bytes(motor.begin() + 8 + 40, motor.begin() + 8 + 52), alarmText); // Alarm.Text at 32 + 8
    EXPECT_EQ(motor[8 + 8], 0x01);                                               // Running in the host byte
}

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
