// What every fuzz target shares: the exceptions a parser is designed to raise
// on malformed bytes. Anything else escaping a parser is a finding.
#pragma once

#include "eip/EIP_Conversion.h"
#include "eip/EIP_EncapsPacket.h"
#include "eip/EIP_FIFOStream.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace fuzz {

template <class F>
void Guarded(F&& parse) {
    try {
        parse();
    } catch (const eip::EListError&) {
    } catch (const eip::TAGCOM_IndexOutOfRangeException&) {
    } catch (const eip::TAGCOM_ArgumentOutOfRangeException&) {
    }
}

inline std::span<const std::uint8_t> Bytes(const std::uint8_t* data, std::size_t size) {
    return size == 0 ? std::span<const std::uint8_t>{} : std::span<const std::uint8_t>(data, size);
}

// A SendRRData/SendUnitData reply whose encapsulation data is the input.
inline eip::TEncapsReply ReplyWithData(std::span<const std::uint8_t> data) {
    eip::TEncapsReply reply;
    reply.Command = 0x6F;
    reply.EncapsData.assign(data.begin(), data.end());
    return reply;
}

} // namespace fuzz
