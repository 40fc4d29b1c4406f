// The transport's framing of received bytes: the input arrives in blocks (the
// first byte picks the block size, and by its lowest bit an unconnected or a
// connected exchange), a request's reply match decides which complete packets
// are taken, and what comes back must parse or fail cleanly.
#include "FuzzCommon.h"

#include "eip/EIP_CommonPacket.h"
#include "eip/EIP_Session.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto bytes = fuzz::Bytes(data, size);
    if (bytes.empty())
        return 0;
    const std::size_t block = std::max<std::size_t>(1, bytes[0]);
    eip::TSessionInfo session(nullptr);
    eip::TDataLoggerSession transport(session);
    transport.ReceiveTimeout = 0;
    if (bytes[0] % 2 != 0) {
        // An unconnected exchange: matched by its command and sender context.
        transport.ExpectedReply.Command = 0x6F;
        transport.ExpectedReply.SenderContext = eip::TSenderContext{'m', 'i', 'r', 'd', 'e', 'n', 'o', 0};
    } else {
        transport.ExpectedReply.Command = 0x70;
        transport.ExpectedReply.SequenceCount = 7;
    }
    for (std::size_t p = 1; p < bytes.size(); p += block)
        transport.DataReceived(bytes.subspan(p, std::min(block, bytes.size() - p)));
    eip::TPacketDataArray reply;
    const int n = transport.Receive(reply);
    if (n < 0 || static_cast<std::size_t>(n) != reply.size() || reply.size() > bytes.size() - 1)
        __builtin_trap();
    fuzz::Guarded([&] {
        eip::TEncapsReply parsed;
        parsed.Expand(reply, 0);
        (void)eip::ReplyDataItem(parsed);
    });
    return 0;
}
