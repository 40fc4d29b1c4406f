// ListIdentity replies: the item count and the identity items.
#include "FuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Guarded([&] {
        eip::TEncapsReply reply = fuzz::ReplyWithData(fuzz::Bytes(data, size));
        reply.Command = 0x63;
        (void)eip::TListIdentityReply::FromReply(reply);
    });
    return 0;
}
