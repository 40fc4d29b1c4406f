// Execute PCCC: typed logical reads of data-table files and their errors.
#include "SimTestClient.h"

#include "sim/SimController.h"

#include <gtest/gtest.h>

namespace {

using simtest::Bytes;
using simtest::Cat;
using simtest::TestConnection;

// Execute PCCC to 20 67 24 01 with requester id 07 1B 05 98 AA 91 02 and
// the PCCC command bytes.
Bytes Execute(const Bytes& command) {
    return Cat({{0x4B, 0x02, 0x20, 0x67, 0x24, 0x01, 0x07, 0x1B, 0x05, 0x98, 0xAA, 0x91, 0x02}, command});
}

// The reply: service 0xCB, status 0, the requester id, then the PCCC reply bytes.
Bytes Reply(const Bytes& pccc) {
    return Cat({{0xCB, 0x00, 0x00, 0x00, 0x07, 0x1B, 0x05, 0x98, 0xAA, 0x91, 0x02}, pccc});
}

class PcccTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::int32_t n7[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
        plc_.Files().Set(sim::MakeWordFile('N', 7, n7));
        const std::int32_t t4[] = {0xA000, 100, 100, 0x4000, 500, 42};
        plc_.Files().Set(sim::MakeWordFile('T', 4, t4));
        const float f8[] = {1.5f, -2.0f};
        plc_.Files().Set(sim::MakeFloatFile(8, f8));
        plc_.Start();
        connection_ = std::make_unique<TestConnection>(plc_.Port());
        handle_ = connection_->Register();
    }

    Bytes Request(const Bytes& request) { return connection_->Request(handle_, request); }

    sim::SimController plc_;
    std::unique_ptr<TestConnection> connection_;
    std::uint32_t handle_ = 0;
};

TEST_F(PcccTest, ErrorsComeInThePcccStatus) {
    struct Case {
        const char* What;
        Bytes Command;
        Bytes Pccc;
    };
    const Case cases[] = {
        {"missing file N9", {0x0F, 0x00, 0x06, 0x00, 0xA2, 0x02, 0x09, 0x89, 0x00, 0x00},
         {0x4F, 0xF0, 0x06, 0x00, 0x06}},
        {"element beyond the file", {0x0F, 0x00, 0x06, 0x00, 0xA2, 0x02, 0x07, 0x89, 0x0A, 0x00},
         {0x4F, 0xF0, 0x06, 0x00, 0x06}},
        {"read past the end", {0x0F, 0x00, 0x06, 0x00, 0xA2, 0x06, 0x07, 0x89, 0x08, 0x00},
         {0x4F, 0xF0, 0x06, 0x00, 0x0A}},
        {"file type of another letter", {0x0F, 0x00, 0x06, 0x00, 0xA2, 0x02, 0x07, 0x8A, 0x00, 0x00},
         {0x4F, 0xF0, 0x06, 0x00, 0x11}},
        {"unknown function", {0x0F, 0x00, 0x06, 0x00, 0xAA, 0x02, 0x07, 0x89, 0x00, 0x00},
         {0x4F, 0x10, 0x06, 0x00}},
        {"unknown command", {0x06, 0x00, 0x06, 0x00, 0x03}, {0x46, 0x10, 0x06, 0x00}},
        {"address cut short", {0x0F, 0x00, 0x06, 0x00, 0xA2, 0x02, 0x07}, {0x4F, 0x10, 0x06, 0x00}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Request(Execute(c.Command)), Reply(c.Pccc)) << c.What;
    }
    // A requester id shorter than its fixed part, and one longer than the request.
    EXPECT_EQ(Request({0x4B, 0x02, 0x20, 0x67, 0x24, 0x01, 0x03, 0x1B, 0x05}),
              Bytes({0xCB, 0x00, 0x03, 0x00}));
    EXPECT_EQ(Request({0x4B, 0x02, 0x20, 0x67, 0x24, 0x01, 0x09, 0x1B, 0x05}),
              Bytes({0xCB, 0x00, 0x13, 0x00}));
}

} // namespace
