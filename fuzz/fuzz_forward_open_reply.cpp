// Forward Open replies (the RR data of a SendRRData reply).
#include "FuzzCommon.h"

#include "cip/CIP_ForwardOpen.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Guarded([&] { (void)cip::TForwardOpenReply::FromReply(fuzz::ReplyWithData(fuzz::Bytes(data, size))); });
    return 0;
}
