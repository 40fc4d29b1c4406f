#include "eip/EIP_Conversion.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace eip {

namespace {

std::string ListIndexMessage(std::int64_t index) {
    return "List index out of bounds (" + std::to_string(index) + ")";
}

std::uint64_t ReadLE(std::span<const std::uint8_t> array, std::size_t offset, std::size_t size) {
    CheckRange(static_cast<std::int64_t>(array.size()), static_cast<std::int64_t>(offset),
               static_cast<std::int64_t>(size));
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i)
        value |= static_cast<std::uint64_t>(array[offset + i]) << (8 * i);
    return value;
}

} // namespace

EListError::EListError(std::int64_t index) : std::out_of_range(ListIndexMessage(index)), index_(index) {}

void CheckRange(std::int64_t length, std::int64_t offset, std::int64_t size, bool check) {
    if (!check)
        return;
    if (offset < 0 || size < 0 || offset > length || size > length - offset)
        throw EListError(offset);
}

void NewZeroedArray(std::size_t length, TPacketDataArray& array) { array.assign(length, 0); }

void CopyFromMemory(const void* source, std::int64_t sourceLength, std::int64_t sourceIndex, std::int64_t count,
                    std::int64_t destinationIndex, TPacketDataArray& destination) {
    const auto destinationLength = static_cast<std::int64_t>(destination.size());
    if (count <= 0 || destinationIndex < 0 || destinationLength - destinationIndex <= 0)
        return;
    const std::int64_t window = std::min(count, destinationLength - destinationIndex);
    std::fill_n(destination.begin() + destinationIndex, window, std::uint8_t{0});
    if (source == nullptr || sourceIndex < 0 || sourceLength - sourceIndex <= 0)
        return;
    const std::int64_t n = std::min(window, sourceLength - sourceIndex);
    std::memcpy(destination.data() + destinationIndex, static_cast<const std::uint8_t*>(source) + sourceIndex,
                static_cast<std::size_t>(n));
}

void ArrayCopy(std::span<const std::uint8_t> source, std::int64_t sourceIndex, TPacketDataArray& destination,
               std::int64_t count, std::int64_t destinationIndex) {
    if (source.empty() || destination.empty())
        return;
    CopyFromMemory(source.data(), static_cast<std::int64_t>(source.size()), sourceIndex, count, destinationIndex,
                   destination);
}

TPacketDataArray GetBytes(std::uint64_t value, std::size_t count) {
    count = std::min<std::size_t>(count, 8);
    TPacketDataArray bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
    return bytes;
}

TPacketDataArray StringToBytes(std::string_view text) { return TPacketDataArray(text.begin(), text.end()); }

std::string BytesToString(std::span<const std::uint8_t> bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string BytesToString(std::span<const std::uint8_t> bytes, std::size_t start, std::size_t count) {
    if (start >= bytes.size())
        return {};
    count = std::min(count, bytes.size() - start);
    return std::string(bytes.begin() + static_cast<std::ptrdiff_t>(start),
                       bytes.begin() + static_cast<std::ptrdiff_t>(start + count));
}

void AppendArray(TPacketDataArray& array, std::span<const std::uint8_t> other) {
    array.insert(array.end(), other.begin(), other.end());
}

void AppendMemory(TPacketDataArray& array, const void* source, std::size_t count) {
    if (count == 0 || source == nullptr)
        return;
    const auto* p = static_cast<const std::uint8_t*>(source);
    array.insert(array.end(), p, p + count);
}

void AppendByte(TPacketDataArray& array, std::uint8_t value) { array.push_back(value); }

void AppendUInt16(TPacketDataArray& array, std::uint16_t value) {
    array.push_back(static_cast<std::uint8_t>(value));
    array.push_back(static_cast<std::uint8_t>(value >> 8));
}

void AppendUInt32(TPacketDataArray& array, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        array.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void PutUInt16(TPacketDataArray& array, std::size_t offset, std::uint16_t value) {
    CheckRange(static_cast<std::int64_t>(array.size()), static_cast<std::int64_t>(offset), 2);
    array[offset] = static_cast<std::uint8_t>(value);
    array[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void PutUInt32(TPacketDataArray& array, std::size_t offset, std::uint32_t value) {
    CheckRange(static_cast<std::int64_t>(array.size()), static_cast<std::int64_t>(offset), 4);
    for (std::size_t i = 0; i < 4; ++i)
        array[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint8_t ToByte(std::span<const std::uint8_t> array, std::size_t offset) {
    return static_cast<std::uint8_t>(ReadLE(array, offset, 1));
}
std::int8_t ToSByte(std::span<const std::uint8_t> array, std::size_t offset) {
    return static_cast<std::int8_t>(ReadLE(array, offset, 1));
}
std::uint16_t ToUInt16(std::span<const std::uint8_t> array, std::size_t offset) {
    return static_cast<std::uint16_t>(ReadLE(array, offset, 2));
}
std::int16_t ToInt16(std::span<const std::uint8_t> array, std::size_t offset) {
    return static_cast<std::int16_t>(ReadLE(array, offset, 2));
}
std::uint32_t ToUInt32(std::span<const std::uint8_t> array, std::size_t offset) {
    return static_cast<std::uint32_t>(ReadLE(array, offset, 4));
}
std::int32_t ToInt32(std::span<const std::uint8_t> array, std::size_t offset) {
    return static_cast<std::int32_t>(ReadLE(array, offset, 4));
}
std::int64_t ToInt64(std::span<const std::uint8_t> array, std::size_t offset) {
    return static_cast<std::int64_t>(ReadLE(array, offset, 8));
}
std::uint64_t ToUInt64(std::span<const std::uint8_t> array, std::size_t offset) {
    return ReadLE(array, offset, 8);
}
double ToSingle(std::span<const std::uint8_t> array, std::size_t offset) {
    return std::bit_cast<float>(static_cast<std::uint32_t>(ReadLE(array, offset, 4)));
}
double ToDouble(std::span<const std::uint8_t> array, std::size_t offset) {
    return std::bit_cast<double>(ReadLE(array, offset, 8));
}

TPacketDataArray ToBytes(std::span<const std::uint8_t> array, std::size_t offset, std::size_t count) {
    CheckRange(static_cast<std::int64_t>(array.size()), static_cast<std::int64_t>(offset),
               static_cast<std::int64_t>(count));
    return TPacketDataArray(array.begin() + static_cast<std::ptrdiff_t>(offset),
                            array.begin() + static_cast<std::ptrdiff_t>(offset + count));
}

} // namespace eip
