// Encapsulation header and data, and the RegisterSession reply built on it.
#include "FuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Guarded([&] {
        eip::TEncapsReply reply;
        const std::size_t next = reply.Expand(fuzz::Bytes(data, size), 0);
        if (next > size || reply.EncapsData.size() != reply.Length)
            __builtin_trap();
        (void)eip::TRegisterSession_Reply::FromReply(reply);
    });
    return 0;
}
