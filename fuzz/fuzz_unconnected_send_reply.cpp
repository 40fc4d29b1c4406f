// Unconnected Send replies (the RR data of a SendRRData reply).
#include "FuzzCommon.h"

#include "cip/CIP_UnconnectedSend.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Guarded([&] {
        const auto reply = cip::TUnconnectedSendReply::FromReply(fuzz::ReplyWithData(fuzz::Bytes(data, size)));
        if (const auto* failure = dynamic_cast<const cip::TUnconnectedSendReply_Failure*>(reply.get()))
            if (failure->Message.empty())
                __builtin_trap();
    });
    return 0;
}
