// Unconnected CIP requests beyond what the stack's end-to-end tests send: names
// and subscripts, the controller's status for bad requests and routes, the
// identity attributes and values changed while running.
#include "SimFixture.h"

namespace {

using simtest::Bytes;
using simtest::Cat;
using simtest::Read;
using simtest::ReadCounter;
using simtest::Routed;
using simtest::Sym;

class ReadTagTest : public simtest::SimFixture {
protected:
    void SetUp() override {
        config_.Device.Slot = 2;
        Start("DINT Counter = 0x01020304\nDINT Counts[10] = 1..10\nINT Matrix[2,3] = 11 12 13 21 22 23\n"
              "DINT Program:Main.Steps[5] = 10 20 30 40 50\nSHORT_STRING Label = \"Pump 7\"\n");
    }
};

// Names without case, program scope and subscripts are the truth test's; the
// 16-bit element form is sent for subscripts from 256 on only.
TEST_F(ReadTagTest, TheSixteenBitElementForm) {
    EXPECT_EQ(Request(Read(Cat({Sym("Counts"), {0x29, 0x00, 0x08, 0x00}}), 2)),
              Bytes({0xCC, 0x00, 0x00, 0x00, 0xC4, 0x00, 0x09, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00}));
}

TEST_F(ReadTagTest, BadRequestsAndRoutesCarryTheControllersStatus) {
    const Bytes counter = Sym("Counter");
    struct Case {
        const char* What;
        Bytes Request;
        Bytes Reply;
    };
    const Case cases[] = {
        // A SHORT_STRING is one element: no second element, no subscript.
        {"two elements of a SHORT_STRING", Read(Sym("Label"), 2), {0xCC, 0x00, 0xFF, 0x01, 0x05, 0x21}},
        {"subscript on a SHORT_STRING", Read(Cat({Sym("Label"), {0x28, 0x00}})), {0xCC, 0x00, 0x04, 0x00}},
        {"unknown tag", Read(Sym("Nope")), {0xCC, 0x00, 0x05, 0x00}},
        {"too many elements", Read(counter, 2), {0xCC, 0x00, 0xFF, 0x01, 0x05, 0x21}},
        {"subscript out of range", Read(Cat({Sym("Counts"), {0x28, 0x0A}})), {0xCC, 0x00, 0x05, 0x00}},
        {"subscript on a scalar", Read(Cat({counter, {0x28, 0x00}})), {0xCC, 0x00, 0x04, 0x00}},
        {"member of an atomic tag", Read(Cat({counter, Sym("X")})), {0xCC, 0x00, 0x05, 0x00}},
        {"unknown segment type", {0x4C, 0x01, 0x60, 0x00, 0x01, 0x00}, {0xCC, 0x00, 0x04, 0x00}},
        {"path longer than the request",
         Cat({{0x4C, 0x09}, counter, {0x01, 0x00}}),
         {0xCC, 0x00, 0x26, 0x00}},
        {"no element count", Cat({{0x4C, 0x05}, counter}), {0xCC, 0x00, 0x13, 0x00}},
        {"extra bytes", Cat({{0x4C, 0x05}, counter, {0x01, 0x00, 0xFF}}), {0xCC, 0x00, 0x15, 0x00}},
        {"element count 0", Read(counter, 0), {0xCC, 0x00, 0x03, 0x00}},
        {"write service",
         Cat({{0x4D, 0x05}, counter, {0xC4, 0x00, 0x01, 0x00, 0, 0, 0, 0}}),
         {0xCD, 0x00, 0x08, 0x00}},
        {"unknown class", {0x0E, 0x03, 0x20, 0x99, 0x24, 0x01, 0x30, 0x01}, {0x8E, 0x00, 0x05, 0x00}},
        {"unknown identity attribute",
         {0x0E, 0x03, 0x20, 0x01, 0x24, 0x01, 0x30, 0x63},
         {0x8E, 0x00, 0x14, 0x00}},
        {"identity instance 2", {0x0E, 0x03, 0x20, 0x01, 0x24, 0x02, 0x30, 0x01}, {0x8E, 0x00, 0x05, 0x00}},
        {"just a service code", {0x4C}, {0xCC, 0x00, 0x13, 0x00}},
        // The extended status of a refused route, then the words of route left
        // and a reserved byte.
        {"another port", Routed(ReadCounter, {0x02, 0x02}), {0xD2, 0x00, 0x01, 0x01, 0x11, 0x03, 0x01, 0x00}},
        {"another slot", Routed(ReadCounter, {0x01, 0x03}), {0xD2, 0x00, 0x01, 0x01, 0x12, 0x03, 0x01, 0x00}},
        {"a hop behind the controller",
         Routed(ReadCounter, {0x01, 0x02, 0x01, 0x00}),
         {0xD2, 0x00, 0x01, 0x01, 0x11, 0x03, 0x02, 0x00}},
        {"a logical segment as a hop",
         Routed(ReadCounter, {0x01, 0x02, 0x20, 0x02}),
         {0xD2, 0x00, 0x01, 0x01, 0x15, 0x03, 0x02, 0x00}},
        {"a Multiple Service offset into its offset table",
         {0x0A, 0x02, 0x20, 0x02, 0x24, 0x01, 0x01, 0x00, 0x02, 0x00},
         {0x8A, 0x00, 0x03, 0x00}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Request(c.Request), c.Reply) << c.What;
    }
}

TEST_F(ReadTagTest, ValuesSetWhileRunningAreReadBack) {
    ASSERT_TRUE(plc_->Tags().WriteInteger("Counter", 0, -2));
    EXPECT_EQ(Request(ReadCounter), Bytes({0xCC, 0x00, 0x00, 0x00, 0xC4, 0x00, 0xFE, 0xFF, 0xFF, 0xFF}));
    ASSERT_TRUE(plc_->Tags().Remove("COUNTER"));
    EXPECT_EQ(Request(ReadCounter), Bytes({0xCC, 0x00, 0x05, 0x00}));
    EXPECT_FALSE(plc_->Tags().WriteInteger("Counts", 10, 1));
}

} // namespace
