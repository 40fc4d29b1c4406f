// The RR data and common packet item list of SendRRData/SendUnitData replies.
#include "FuzzCommon.h"

#include "eip/EIP_CommonPacket.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Guarded([&] {
        eip::TEncapsRRData rr;
        const std::size_t next = rr.Expand(fuzz::Bytes(data, size), 0);
        if (next > size)
            __builtin_trap();
        // What parses packs back to the same bytes.
        const eip::TPacketDataArray packed = rr.Pack();
        if (packed.size() != next || !std::equal(packed.begin(), packed.end(), data))
            __builtin_trap();
    });
    return 0;
}
