// A running simulated controller loaded from tag text, one registered
// session to it, and the request builders several test files share.
#pragma once

#include "SimTestClient.h"

#include "sim/SimController.h"
#include "sim/TagFile.h"

#include <gtest/gtest.h>

#include <memory>

namespace simtest {

// Read Tag "Counter", one element, and its value in the built-in sample (123456).
inline const Bytes ReadCounter = Cat({{0x4C, 0x05, 0x91, 0x07}, Text("Counter"), {0x00, 0x01, 0x00}});
inline const Bytes CounterValue = {0xCC, 0x00, 0x00, 0x00, 0xC4, 0x00, 0x40, 0xE2, 0x01, 0x00};

// A symbolic segment, padded to a whole word.
inline Bytes Sym(const std::string& name) {
    Bytes out = Cat({{0x91, static_cast<std::uint8_t>(name.size())}, Text(name)});
    if (name.size() % 2 != 0) {
        out.push_back(0x00);
    }
    return out;
}

// Read Tag of a path.
inline Bytes Read(const Bytes& path, std::uint16_t count = 1) {
    return Cat({{0x4C, static_cast<std::uint8_t>(path.size() / 2)},
                path,
                {static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(count >> 8)}});
}

// Unconnected Send to the Connection Manager (ticks 0A 05) carrying a request over a route.
inline Bytes Routed(const Bytes& request, const Bytes& route) {
    Bytes out =
        Cat({{0x52, 0x02, 0x20, 0x06, 0x24, 0x01, 0x0A, 0x05},
             {static_cast<std::uint8_t>(request.size()), static_cast<std::uint8_t>(request.size() >> 8)},
             request});
    if (request.size() % 2 != 0) {
        out.push_back(0x00);
    }
    return Cat({out, {static_cast<std::uint8_t>(route.size() / 2), 0x00}, route});
}

// Forward Open: ticks 0D DB, O->T id 0, T->O id 0x12345678, serial 0x1234,
// vendor 0xFACE, originator serial 0x000EFFEC, RPI 20 ms, parameters 0x47FC
// (point-to-point, 508 bytes), transport 0xA3, then the connection path.
inline Bytes ForwardOpen(const Bytes& path) {
    return Cat({{0x54, 0x02, 0x20, 0x06, 0x24, 0x01, 0x0D,
                 0xDB, 0x00, 0x00, 0x00, 0x00, 0x78, 0x56,
                 0x34, 0x12, 0x34, 0x12, 0xCE, 0xFA, 0xEC,
                 0xFF, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x00,
                 0x20, 0x4E, 0x00, 0x00, 0xFC, 0x47, 0x20,
                 0x4E, 0x00, 0x00, 0xFC, 0x47, 0xA3, static_cast<std::uint8_t>(path.size() / 2)},
                path});
}

class SimFixture : public ::testing::Test {
protected:
    void Start(const std::string& text = std::string(sim::SampleTagText())) {
        plc_ = std::make_unique<sim::SimController>(config_);
        sim::LoadTagText(text, plc_->Tags(), plc_->Files());
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

} // namespace simtest
