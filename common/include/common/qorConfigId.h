// The identifier of a data source type name, as the host sends it in
// "CONFIG-ID" and the module looks it up: CRC-32 of the name's bytes (reflected
// polynomial 0xEDB88320, initial value 0xFFFFFFFF, no final inversion), so
// "abc" gives 0xCADBBE3D. Host and plug-in must compute it alike.
#pragma once

#include <cstdint>
#include <string_view>

namespace qor {

inline std::uint32_t ConfigIdentifier(std::string_view name) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const char c : name) {
        crc ^= static_cast<std::uint8_t>(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc;
}

} // namespace qor
