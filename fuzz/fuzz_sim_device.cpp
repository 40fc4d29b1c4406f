// The simulated controller's message router, fed any request: it must answer
// every one with a well-formed reply within the reply budget, as a device
// does, and never throw, crash or read outside its tags. The first input
// byte picks the family (bits 0..1) and whether the request came over a
// connection (bit 2); the rest is the request.
#include "sim/CipDevice.h"
#include "sim/TagFile.h"

#include <cstdlib>

namespace {

struct Device {
    sim::TagDatabase Tags;
    sim::DataTable Files;
    sim::FaultInjector Faults;
    sim::CipDevice Router;

    explicit Device(sim::Personality family)
        : Router(sim::DeviceConfig{sim::DefaultIdentity(family), family}, Tags, Files, Faults) {
        sim::LoadTagText(sim::SampleTagText(), Tags, Files);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Device logix(sim::Personality::Logix);
    static Device micro800(sim::Personality::Micro800);
    static Device micrologix(sim::Personality::MicroLogix);
    if (size == 0) {
        return 0;
    }
    Device& device = (data[0] & 3) == 1 ? micro800 : (data[0] & 3) == 2 ? micrologix : logix;
    sim::CipContext context;
    context.Connected = (data[0] & 4) != 0;
    context.MaxReply = context.Connected ? 508 : 500;
    const sim::ByteView request(data + 1, size - 1);
    const sim::Bytes reply = device.Router.Handle(request, context);
    // Service | 0x80, reserved, status, extended status size and words. A
    // routed request is answered by its target's own reply.
    const bool routed = !request.empty() && request[0] == 0x52;
    if (reply.size() < 4 || reply.size() > context.MaxReply || reply.size() < 4u + 2u * reply[3] ||
        (!request.empty() && !routed && reply[0] != (request[0] | 0x80))) {
        std::abort();
    }
    return 0;
}
