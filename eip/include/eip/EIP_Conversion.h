// Byte arrays and little-endian conversion: the currency every packet class of
// the stack builds and parses.
//
// Every reader checks the range before it reads and raises EListError
// ("List index out of bounds (%d)") when the read would leave the array; the
// copy routines are tolerant instead: they clip to both arrays and zero the part
// of the destination window that the source cannot fill.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace eip {

using TPacketDataArray = std::vector<std::uint8_t>;
using TStringArray = std::vector<std::string>;
using TIntegerArray = std::vector<std::int32_t>;
using TUshortArray = std::vector<std::uint16_t>;

// The run-time list error raised by the range-checked readers.
class EListError : public std::out_of_range {
public:
    explicit EListError(std::int64_t index);
    std::int64_t Index() const { return index_; }

private:
    std::int64_t index_;
};

// Raises EListError with the offset when check is set and [offset, offset+size)
// is not inside an array of the given length.
void CheckRange(std::int64_t length, std::int64_t offset, std::int64_t size, bool check = true);

void NewZeroedArray(std::size_t length, TPacketDataArray& array);

// Tolerant copies: never write past the destination's end, never read past the
// source's end; the part of the window the source cannot fill is zeroed. A
// negative index or count copies nothing.
void ArrayCopy(std::span<const std::uint8_t> source, std::int64_t sourceIndex, TPacketDataArray& destination,
               std::int64_t count, std::int64_t destinationIndex);
void CopyFromMemory(const void* source, std::int64_t sourceLength, std::int64_t sourceIndex, std::int64_t count,
                    std::int64_t destinationIndex, TPacketDataArray& destination);

// The little-endian image of count bytes of a value (count is clipped to 8).
TPacketDataArray GetBytes(std::uint64_t value, std::size_t count);
TPacketDataArray StringToBytes(std::string_view text);
std::string BytesToString(std::span<const std::uint8_t> bytes);
// Start and count are clipped to the array.
std::string BytesToString(std::span<const std::uint8_t> bytes, std::size_t start, std::size_t count);

void AppendArray(TPacketDataArray& array, std::span<const std::uint8_t> other);
void AppendMemory(TPacketDataArray& array, const void* source, std::size_t count);
void AppendByte(TPacketDataArray& array, std::uint8_t value);
void AppendUInt16(TPacketDataArray& array, std::uint16_t value);
void AppendUInt32(TPacketDataArray& array, std::uint32_t value);

// Range-checked little-endian writers into an array already sized.
void PutUInt16(TPacketDataArray& array, std::size_t offset, std::uint16_t value);
void PutUInt32(TPacketDataArray& array, std::size_t offset, std::uint32_t value);

// Range-checked little-endian readers.
std::uint8_t ToByte(std::span<const std::uint8_t> array, std::size_t offset);
std::int8_t ToSByte(std::span<const std::uint8_t> array, std::size_t offset);
std::uint16_t ToUInt16(std::span<const std::uint8_t> array, std::size_t offset);
std::int16_t ToInt16(std::span<const std::uint8_t> array, std::size_t offset);
std::uint32_t ToUInt32(std::span<const std::uint8_t> array, std::size_t offset);
std::int32_t ToInt32(std::span<const std::uint8_t> array, std::size_t offset);
std::int64_t ToInt64(std::span<const std::uint8_t> array, std::size_t offset);
std::uint64_t ToUInt64(std::span<const std::uint8_t> array, std::size_t offset);
double ToSingle(std::span<const std::uint8_t> array, std::size_t offset);
double ToDouble(std::span<const std::uint8_t> array, std::size_t offset);

// A range-checked copy of count bytes at offset (the sub-range whose length
// came from the data).
TPacketDataArray ToBytes(std::span<const std::uint8_t> array, std::size_t offset, std::size_t count);

} // namespace eip
