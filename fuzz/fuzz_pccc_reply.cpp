// Execute PCCC replies (the RR data of a SendUnitData reply).
#include "FuzzCommon.h"

#include "cip/CIP_PCCC.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Guarded([&] { (void)cip::TPCCCServiceReply::FromReply(fuzz::ReplyWithData(fuzz::Bytes(data, size))); });
    return 0;
}
