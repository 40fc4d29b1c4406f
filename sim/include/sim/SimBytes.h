// Little-endian byte access for the simulated device.
//
// Every read of received bytes goes through ByteReader, which checks what is
// left before it reads and throws ETruncated otherwise; the request handlers
// catch that and answer with the status a device gives for a short request.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <vector>

namespace sim {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

class ETruncated : public std::runtime_error {
public:
    ETruncated() : std::runtime_error("request ends early") {}
};

class ByteReader {
public:
    explicit ByteReader(ByteView bytes) : bytes_(bytes) {}

    std::size_t Remaining() const { return bytes_.size() - pos_; }
    std::size_t Position() const { return pos_; }
    bool AtEnd() const { return pos_ == bytes_.size(); }

    std::uint8_t U8() {
        Need(1);
        return bytes_[pos_++];
    }
    std::uint16_t U16() {
        Need(2);
        std::uint16_t v = static_cast<std::uint16_t>(bytes_[pos_] | (bytes_[pos_ + 1] << 8));
        pos_ += 2;
        return v;
    }
    std::uint32_t U32() {
        Need(4);
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i) {
            v = (v << 8) | bytes_[pos_ + static_cast<std::size_t>(i)];
        }
        pos_ += 4;
        return v;
    }
    ByteView Take(std::size_t n) {
        Need(n);
        ByteView v = bytes_.subspan(pos_, n);
        pos_ += n;
        return v;
    }
    void Skip(std::size_t n) { Take(n); }
    ByteView Rest() {
        ByteView v = bytes_.subspan(pos_);
        pos_ = bytes_.size();
        return v;
    }

private:
    void Need(std::size_t n) const {
        if (n > Remaining()) {
            throw ETruncated();
        }
    }

    ByteView bytes_;
    std::size_t pos_ = 0;
};

inline void PutU8(Bytes& out, std::uint8_t v) {
    out.push_back(v);
}
inline void PutU16(Bytes& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void PutU32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}
inline void PutU64(Bytes& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}
inline void PutBytes(Bytes& out, ByteView v) {
    out.insert(out.end(), v.begin(), v.end());
}
inline void PutText(Bytes& out, std::string_view s) {
    out.insert(out.end(), s.begin(), s.end());
}
inline void SetU16At(Bytes& out, std::size_t pos, std::uint16_t v) {
    out.at(pos) = static_cast<std::uint8_t>(v);
    out.at(pos + 1) = static_cast<std::uint8_t>(v >> 8);
}

// The little-endian bytes of one arithmetic value (integers of any width,
// float, double), as a controller stores it.
template <class T>
void PutValue(Bytes& out, T value) {
    static_assert(std::is_arithmetic_v<T>);
    std::uint64_t bits = 0;
    if constexpr (std::is_same_v<T, float>) {
        bits = std::bit_cast<std::uint32_t>(value);
    } else if constexpr (std::is_same_v<T, double>) {
        bits = std::bit_cast<std::uint64_t>(value);
    } else if constexpr (std::is_same_v<T, bool>) {
        bits = value ? 1 : 0;
    } else {
        bits = static_cast<std::uint64_t>(static_cast<std::make_unsigned_t<T>>(value));
    }
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
    }
}

} // namespace sim
