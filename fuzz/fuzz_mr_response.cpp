// Message router responses and the Read Tag reply read from them.
#include "FuzzCommon.h"

#include "cip/CIP_MR_Request.h"
#include "cip/CIP_ReadTag.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto bytes = fuzz::Bytes(data, size);
    fuzz::Guarded([&] {
        cip::TMR_Response response;
        response.Expand(bytes, 0);
        if (response.AdditionalStatus.size() != response.AdditionalStatusSize)
            __builtin_trap();
    });
    fuzz::Guarded([&] {
        cip::TReadDataServiceReply reply;
        reply.Expand(bytes, 0);
    });
    fuzz::Guarded([&] { (void)cip::TReadDataServiceReply::FromReply(fuzz::ReplyWithData(bytes)); });
    return 0;
}
