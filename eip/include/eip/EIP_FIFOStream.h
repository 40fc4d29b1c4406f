// The ring buffer into which the session transport collects the device's bytes
// until a whole encapsulation packet is there. Filled by the thread that
// receives the host's data, drained by the device worker.
#pragma once

#include "common/ThreadObject.h"
#include "eip/EIP_Conversion.h"

#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <vector>

namespace eip {

class EFIFOStream : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TFIFOStream : public qor::TThreadObject {
public:
    // growStep: the minimum number of bytes dropped when a write must make room.
    TFIFOStream(std::int32_t capacity, std::int32_t growStep, bool discardOldest);

    std::int32_t Capacity() const { return capacity_; }
    std::int32_t GrowStep() const { return growStep_; }
    bool DiscardOldest() const { return discardOldest_; }

    // Appends the bytes. When they do not fit: raises "Buffer over-run." unless
    // DiscardOldest, else drops at least GrowStep of the oldest bytes. A block
    // larger than the whole ring keeps only its newest Capacity bytes.
    void Write(std::span<const std::uint8_t> source);
    // Removes destination.size() bytes from the front; "Buffer under-run." when
    // fewer are held.
    void Read(std::span<std::uint8_t> destination);
    // Copies bytes from the front without removing them; "Buffer under-run."
    // when fewer are held.
    void Peek(std::span<std::uint8_t> destination);
    // Removes count bytes from the front; "Buffer under-run." when fewer are held.
    void Skip(std::int32_t count);
    // Takes everything held in one step and leaves the ring empty.
    TPacketDataArray ReadAll();
    // Takes the packet at the front when all of it is held, in one locked step,
    // so that a Clear from another thread cannot come between looking at the
    // header and taking the bytes. wholeLength is given the first headerSize
    // bytes and answers the packet's whole length (at least headerSize). Empty
    // when the header or the rest of the packet has not arrived yet.
    TPacketDataArray ReadFramed(std::int32_t headerSize,
                                const std::function<std::int32_t(std::span<const std::uint8_t>)>& wholeLength);
    std::int32_t Count();
    std::int32_t Free();
    void Clear();

    // Peek at the front in place: the returned byte is the oldest one held; the
    // bytes run contiguously only up to the end of the ring (see Peek for a copy
    // that handles the wrap). Each must be paired with its unlock.
    const std::uint8_t* LockForRead();
    void UnlockForRead();
    std::uint8_t* LockForWrite();
    void UnlockForWrite();

    // The bytes most recently dropped to make room.
    TPacketDataArray Dropped();

private:
    std::int32_t FreeLocked() const { return capacity_ - count_; }
    void DropOldestLocked(std::int32_t count);
    void CopyOutLocked(std::span<std::uint8_t> destination) const;

    std::vector<std::uint8_t> buffer_;
    std::int32_t capacity_;
    std::int32_t growStep_;
    std::int32_t head_ = 0; // write position
    std::int32_t tail_ = 0; // read position
    // Bytes held, kept apart from head and tail so that a ring filled exactly
    // (head back at tail) reads as full, not empty.
    std::int32_t count_ = 0;
    bool discardOldest_;
    TPacketDataArray dropped_;
};

} // namespace eip
