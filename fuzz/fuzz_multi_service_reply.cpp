// Multiple Service Packet replies, connected or through Unconnected Send.
#include "FuzzCommon.h"

#include "cip/CIP_MultiService.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Guarded([&] {
        const auto reply = cip::TMultiServiceReply::Create(fuzz::ReplyWithData(fuzz::Bytes(data, size)));
        if (reply.Replies.size() != (reply.Replies.empty() ? reply.Replies.size() : reply.ServiceCount))
            __builtin_trap();
    });
    return 0;
}
