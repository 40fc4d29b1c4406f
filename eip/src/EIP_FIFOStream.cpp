#include "eip/EIP_FIFOStream.h"

#include <algorithm>
#include <cstring>

namespace eip {

TFIFOStream::TFIFOStream(std::int32_t capacity, std::int32_t growStep, bool discardOldest)
    : buffer_(static_cast<std::size_t>(std::max(capacity, 0))), capacity_(std::max(capacity, 0)),
      growStep_(std::max(growStep, 0)), discardOldest_(discardOldest) {}

void TFIFOStream::CopyOutLocked(std::span<std::uint8_t> destination) const {
    const auto count = static_cast<std::int32_t>(destination.size());
    if (count == 0)
        return;
    const std::int32_t first = std::min(count, capacity_ - tail_);
    std::memcpy(destination.data(), buffer_.data() + tail_, static_cast<std::size_t>(first));
    if (count > first)
        std::memcpy(destination.data() + first, buffer_.data(), static_cast<std::size_t>(count - first));
}

void TFIFOStream::DropOldestLocked(std::int32_t count) {
    count = std::min(count, count_);
    dropped_.resize(static_cast<std::size_t>(count));
    CopyOutLocked(dropped_);
    // The bytes kept move to the start of the buffer, oldest first.
    const std::int32_t kept = count_ - count;
    std::vector<std::uint8_t> rest(static_cast<std::size_t>(kept));
    tail_ = (tail_ + count) % std::max(capacity_, 1);
    CopyOutLocked(rest);
    std::copy(rest.begin(), rest.end(), buffer_.begin());
    tail_ = 0;
    head_ = kept % std::max(capacity_, 1);
    count_ = kept;
}

void TFIFOStream::Write(std::span<const std::uint8_t> source) {
    WriteLock lock(*this);
    auto count = static_cast<std::int32_t>(std::min<std::size_t>(source.size(), INT32_MAX));
    if (count == 0)
        return;
    if (count > FreeLocked()) {
        if (!discardOldest_)
            throw EFIFOStream("Buffer over-run.");
        if (count > capacity_) {
            // Not even an empty ring holds it: the newest Capacity bytes win.
            DropOldestLocked(count_);
            source = source.subspan(source.size() - static_cast<std::size_t>(capacity_));
            count = capacity_;
            if (count == 0)
                return;
        } else {
            DropOldestLocked(std::max(count - FreeLocked(), growStep_));
        }
    }
    const std::int32_t first = std::min(count, capacity_ - head_);
    std::memcpy(buffer_.data() + head_, source.data(), static_cast<std::size_t>(first));
    if (count > first)
        std::memcpy(buffer_.data(), source.data() + first, static_cast<std::size_t>(count - first));
    head_ = (head_ + count) % capacity_;
    count_ += count;
}

void TFIFOStream::Peek(std::span<std::uint8_t> destination) {
    ReadLock lock(*this);
    if (destination.size() > static_cast<std::size_t>(count_))
        throw EFIFOStream("Buffer under-run.");
    CopyOutLocked(destination);
}

void TFIFOStream::Read(std::span<std::uint8_t> destination) {
    WriteLock lock(*this);
    if (destination.size() > static_cast<std::size_t>(count_))
        throw EFIFOStream("Buffer under-run.");
    CopyOutLocked(destination);
    const auto count = static_cast<std::int32_t>(destination.size());
    if (count > 0) {
        tail_ = (tail_ + count) % capacity_;
        count_ -= count;
    }
}

void TFIFOStream::Skip(std::int32_t count) {
    WriteLock lock(*this);
    if (count < 0 || count > count_)
        throw EFIFOStream("Buffer under-run.");
    if (count > 0) {
        tail_ = (tail_ + count) % capacity_;
        count_ -= count;
    }
}

TPacketDataArray TFIFOStream::ReadAll() {
    WriteLock lock(*this);
    TPacketDataArray bytes(static_cast<std::size_t>(count_));
    CopyOutLocked(bytes);
    head_ = tail_ = count_ = 0;
    return bytes;
}

TPacketDataArray TFIFOStream::ReadFramed(
    std::int32_t headerSize, const std::function<std::int32_t(std::span<const std::uint8_t>)>& wholeLength) {
    WriteLock lock(*this);
    if (headerSize <= 0 || count_ < headerSize)
        return {};
    TPacketDataArray header(static_cast<std::size_t>(headerSize));
    CopyOutLocked(header);
    const std::int32_t whole = std::max(wholeLength(header), headerSize);
    if (count_ < whole)
        return {};
    TPacketDataArray packet(static_cast<std::size_t>(whole));
    CopyOutLocked(packet);
    tail_ = (tail_ + whole) % capacity_;
    count_ -= whole;
    return packet;
}

std::int32_t TFIFOStream::Count() {
    ReadLock lock(*this);
    return count_;
}

std::int32_t TFIFOStream::Free() {
    ReadLock lock(*this);
    return FreeLocked();
}

void TFIFOStream::Clear() {
    WriteLock lock(*this);
    head_ = tail_ = count_ = 0;
}

const std::uint8_t* TFIFOStream::LockForRead() {
    BeginRead();
    return buffer_.data() + tail_;
}

void TFIFOStream::UnlockForRead() { EndRead(); }

std::uint8_t* TFIFOStream::LockForWrite() {
    BeginWrite();
    return buffer_.data() + tail_;
}

void TFIFOStream::UnlockForWrite() { EndWrite(); }

TPacketDataArray TFIFOStream::Dropped() {
    ReadLock lock(*this);
    return dropped_;
}

} // namespace eip
