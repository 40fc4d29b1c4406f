// A simulated Logix controller on loopback with the sample tags, and a client
// connected to it through the Logix layer's short path.
#pragma once

#include "logix/Logix_Client.h"
#include "sim/SimController.h"
#include "sim/TagFile.h"

#include <gtest/gtest.h>

#include <memory>

namespace logixtest {

class LogixSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::LoadTagText(sim::SampleTagText(), plc.Tags(), plc.Files());
        plc.Start();
    }

    // A client of the simulator; connected when `classThree`, for groups and
    // the processor's own reads.
    std::unique_ptr<logix::TLogixClient> Connect(bool classThree = false, std::uint32_t timeoutMs = 2000) {
        auto client = std::make_unique<logix::TLogixClient>();
        logix::TLogixClientOptions options;
        options.Port = plc.Port();
        options.TimeoutMs = timeoutMs;
        options.Connected = classThree;
        EXPECT_TRUE(client->Connect("127.0.0.1", options)) << client->ErrorText();
        return client;
    }

    sim::SimController plc;
};

} // namespace logixtest
