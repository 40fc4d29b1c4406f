// Unconnected CIP requests beyond what the stack's end-to-end tests send: names
// and subscripts, the controller's status for bad requests and routes, the
// identity attributes and values changed while running.
#include "SimTestClient.h"

#include "sim/SimController.h"

#include <gtest/gtest.h>

namespace {

using simtest::Bytes;
using simtest::Cat;
using simtest::TestConnection;
using simtest::Text;

// Read Tag "Counter", one element.
const Bytes ReadCounter = Cat({{0x4C, 0x05, 0x91, 0x07}, Text("Counter"), {0x00, 0x01, 0x00}});

// Unconnected Send to 20 06 24 01 with ticks 0A 05, the embedded request and
// the given route.
Bytes Routed(const Bytes& request, const Bytes& route) {
    Bytes out =
        Cat({{0x52, 0x02, 0x20, 0x06, 0x24, 0x01, 0x0A, 0x05},
             {static_cast<std::uint8_t>(request.size()), static_cast<std::uint8_t>(request.size() >> 8)},
             request});
    if (request.size() % 2 != 0) {
        out.push_back(0x00);
    }
    return Cat({out, {static_cast<std::uint8_t>(route.size() / 2), 0x00}, route});
}

class ReadTagTest : public ::testing::Test {
protected:
    void SetUp() override {
        config_.Device.Identity.ProductName = "Sim";
        config_.Device.Slot = 2;
        plc_ = std::make_unique<sim::SimController>(config_);
        sim::TagDatabase& tags = plc_->Tags();
        tags.Set(sim::MakeTag<std::int32_t>("Counter", sim::CipType::Dint, {}, {0x01020304}));
        tags.Set(
            sim::MakeTag<std::int32_t>("Counts", sim::CipType::Dint, {10}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
        tags.Set(sim::MakeTag<std::int32_t>("Matrix", sim::CipType::Int, {2, 3}, {11, 12, 13, 21, 22, 23}));
        tags.Set(
            sim::MakeTag<std::int32_t>("Program:Main.Steps", sim::CipType::Dint, {5}, {10, 20, 30, 40, 50}));
        plc_->Start();
        connection_ = std::make_unique<TestConnection>(plc_->Port());
        handle_ = connection_->Register();
    }

    Bytes Request(const Bytes& request) { return connection_->Request(handle_, request); }

    sim::SimConfig config_;
    std::unique_ptr<sim::SimController> plc_;
    std::unique_ptr<TestConnection> connection_;
    std::uint32_t handle_ = 0;
};

TEST_F(ReadTagTest, NamesAreFoundWithoutCaseAndWithProgramScopeAndSubscripts) {
    EXPECT_EQ(Request(Cat({{0x4C, 0x05, 0x91, 0x07}, Text("cOUNTER"), {0x00, 0x01, 0x00}})),
              Bytes({0xCC, 0x00, 0x00, 0x00, 0xC4, 0x00, 0x04, 0x03, 0x02, 0x01}));
    // Program:Main.Steps[2], two elements.
    EXPECT_EQ(Request(Cat({{0x4C, 0x0C, 0x91, 0x0C},
                           Text("Program:Main"),
                           {0x91, 0x05},
                           Text("Steps"),
                           {0x00, 0x28, 0x02, 0x02, 0x00}})),
              Bytes({0xCC, 0x00, 0x00, 0x00, 0xC4, 0x00, 0x1E, 0x00, 0x00, 0x00, 0x28, 0x00, 0x00, 0x00}));
    // Matrix[1,2] of INT[2,3]: the last element.
    EXPECT_EQ(Request(Cat({{0x4C, 0x06, 0x91, 0x06}, Text("Matrix"), {0x28, 0x01, 0x28, 0x02, 0x01, 0x00}})),
              Bytes({0xCC, 0x00, 0x00, 0x00, 0xC3, 0x00, 0x17, 0x00}));
    // Counts[8] in the 16-bit element form, two elements.
    EXPECT_EQ(Request(Cat({{0x4C, 0x06, 0x91, 0x06}, Text("Counts"), {0x29, 0x00, 0x08, 0x00, 0x02, 0x00}})),
              Bytes({0xCC, 0x00, 0x00, 0x00, 0xC4, 0x00, 0x09, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00}));
}

TEST_F(ReadTagTest, BadRequestsAndRoutesCarryTheControllersStatus) {
    const Bytes counter = Cat({{0x91, 0x07}, Text("Counter"), {0x00}});
    struct Case {
        const char* What;
        Bytes Request;
        Bytes Reply;
    };
    const Case cases[] = {
        {"unknown tag",
         Cat({{0x4C, 0x03, 0x91, 0x04}, Text("Nope"), {0x01, 0x00}}),
         {0xCC, 0x00, 0x05, 0x00}},
        {"too many elements",
         Cat({{0x4C, 0x05}, counter, {0x02, 0x00}}),
         {0xCC, 0x00, 0xFF, 0x01, 0x05, 0x21}},
        {"subscript out of range",
         Cat({{0x4C, 0x05, 0x91, 0x06}, Text("Counts"), {0x28, 0x0A, 0x01, 0x00}}),
         {0xCC, 0x00, 0x05, 0x00}},
        {"subscript on a scalar",
         Cat({{0x4C, 0x06}, counter, {0x28, 0x00, 0x01, 0x00}}),
         {0xCC, 0x00, 0x04, 0x00}},
        {"member of an atomic tag",
         Cat({{0x4C, 0x07}, counter, {0x91, 0x01, 'X', 0x00, 0x01, 0x00}}),
         {0xCC, 0x00, 0x05, 0x00}},
        {"unknown segment type", {0x4C, 0x01, 0x60, 0x00, 0x01, 0x00}, {0xCC, 0x00, 0x04, 0x00}},
        {"path longer than the request",
         Cat({{0x4C, 0x09}, counter, {0x01, 0x00}}),
         {0xCC, 0x00, 0x26, 0x00}},
        {"no element count", Cat({{0x4C, 0x05}, counter}), {0xCC, 0x00, 0x13, 0x00}},
        {"extra bytes", Cat({{0x4C, 0x05}, counter, {0x01, 0x00, 0xFF}}), {0xCC, 0x00, 0x15, 0x00}},
        {"element count 0", Cat({{0x4C, 0x05}, counter, {0x00, 0x00}}), {0xCC, 0x00, 0x03, 0x00}},
        {"write service",
         Cat({{0x4D, 0x05}, counter, {0xC4, 0x00, 0x01, 0x00, 0, 0, 0, 0}}),
         {0xCD, 0x00, 0x08, 0x00}},
        {"unknown class", {0x0E, 0x03, 0x20, 0x99, 0x24, 0x01, 0x30, 0x01}, {0x8E, 0x00, 0x05, 0x00}},
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

TEST_F(ReadTagTest, IdentityAttributesAnswerSingly) {
    EXPECT_EQ(Request({0x0E, 0x03, 0x20, 0x01, 0x24, 0x01, 0x30, 0x07}),
              Bytes({0x8E, 0x00, 0x00, 0x00, 0x03, 'S', 'i', 'm'}));
    EXPECT_EQ(Request({0x0E, 0x03, 0x20, 0x01, 0x24, 0x01, 0x30, 0x63}), Bytes({0x8E, 0x00, 0x14, 0x00}));
    EXPECT_EQ(Request({0x0E, 0x03, 0x20, 0x01, 0x24, 0x02, 0x30, 0x01}), Bytes({0x8E, 0x00, 0x05, 0x00}));
}

TEST_F(ReadTagTest, ValuesSetWhileRunningAreReadBack) {
    ASSERT_TRUE(plc_->Tags().WriteInteger("Counter", 0, -2));
    EXPECT_EQ(Request(ReadCounter), Bytes({0xCC, 0x00, 0x00, 0x00, 0xC4, 0x00, 0xFE, 0xFF, 0xFF, 0xFF}));
    ASSERT_TRUE(plc_->Tags().Remove("COUNTER"));
    EXPECT_EQ(Request(ReadCounter), Bytes({0xCC, 0x00, 0x05, 0x00}));
    EXPECT_FALSE(plc_->Tags().WriteInteger("Counts", 10, 1));
}

} // namespace
