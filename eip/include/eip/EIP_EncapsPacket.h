// EtherNet/IP encapsulation: the 24-byte header and its data, the four commands
// the system sends, the typed replies to RegisterSession and ListIdentity, and
// the exception family the whole protocol stack raises.
#pragma once

#include "eip/EIP_Conversion.h"
#include "eip/EIP_IdentityItem.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace eip {

// The exception family. Each carries only its message; none derives from
// another, so a handler names exactly the kinds it expects.
class TAGCOM_Exception : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
class TAGCOM_NullReferenceException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
class TAGCOM_IndexOutOfRangeException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
class TAGCOM_ArgumentOutOfRangeException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The only encapsulation commands the system knows.
enum class TEncapsCommand : std::uint16_t {
    ListIdentity = 0x0063,
    RegisterSession = 0x0065,
    SendRRData = 0x006F,
    SendUnitData = 0x0070,
};

constexpr std::uint16_t CommandCode(TEncapsCommand c) { return static_cast<std::uint16_t>(c); }

using TSenderContext = std::array<std::uint8_t, 8>;

inline constexpr std::size_t EncapsHeaderSize = 24;
// 65,535 - 24: the Length field and the host's channel both stop at 16 bits.
inline constexpr std::size_t MaxEncapsDataLength = 65511;

// The text of an encapsulation status (the header's Status field), which has
// codes of its own, unrelated to the CIP general status; "Unknown EIP status"
// for a code without a row.
std::string EncapsStatusText(std::uint32_t status);

// A packet to send (and, through TEncapsReply, one received). Command, status
// and the other header fields stay plain integers: a received packet may carry
// any value there.
struct TEncapsPacket {
    std::uint16_t Command = 0;
    std::uint16_t Length = 0;
    std::uint32_t SessionHandle = 0;
    std::uint32_t Status = 0;
    TSenderContext SenderContext{};
    std::uint32_t Options = 0;
    TPacketDataArray EncapsData;

    // Header plus data; the Length written is the data's length, whatever the
    // field holds. More than 65,511 data bytes raise
    // TAGCOM_ArgumentOutOfRangeException.
    TPacketDataArray Pack() const;
    // Parses a packet at offset and returns the offset after it. A truncated
    // header raises EListError; a Length running past the bytes raises
    // TAGCOM_IndexOutOfRangeException. On failure the object is unchanged.
    std::size_t Expand(std::span<const std::uint8_t> bytes, std::size_t offset);

    friend bool operator==(const TEncapsPacket&, const TEncapsPacket&) = default;
};

// A parsed reply; keeps the whole received byte array beside the fields.
struct TEncapsReply : TEncapsPacket {
    std::shared_ptr<const TPacketDataArray> Raw;

    std::size_t Expand(std::span<const std::uint8_t> bytes, std::size_t offset);
};

// The canonical request packets; Status and Options are 0 in all of them.
class TEncapsPacketFactory {
public:
    static TEncapsPacket CreateListIdentity();
    static TEncapsPacket CreateRegisterSession();
    static TEncapsPacket CreateSendRRData(std::uint32_t sessionHandle, TPacketDataArray data,
                                          const TSenderContext& senderContext);
    static TEncapsPacket CreateSendUnitData(std::uint32_t sessionHandle, const TSenderContext& senderContext,
                                            TPacketDataArray data);
};

// Typed replies. The class functions return the Success or the Failure class
// by the encapsulation status; callers test the class with dynamic_cast.
class TEIPCommonReply {
public:
    virtual ~TEIPCommonReply() = default;

    std::uint16_t Command = 0;
    std::uint16_t Length = 0;
    std::uint32_t SessionHandle = 0;
    std::uint32_t Status = 0;
    std::uint32_t Options = 0;
    TSenderContext SenderContext{};

protected:
    void CopyHeader(const TEncapsPacket& reply);
};

class TRegisterSession_Reply : public TEIPCommonReply {
public:
    // Status 0 gives TRegisterSession_Success (its 4 data bytes are required,
    // EListError otherwise), any other status TRegisterSession_Failure.
    static std::unique_ptr<TRegisterSession_Reply> FromReply(const TEncapsReply& reply);
};
class TRegisterSession_Success : public TRegisterSession_Reply {
public:
    std::uint16_t ProtocolVersion = 0;
    std::uint16_t OptionFlags = 0;
};
class TRegisterSession_Failure : public TRegisterSession_Reply {};

class TListIdentityReply : public TEIPCommonReply {
public:
    // Status 0 gives TListIdentityReply_Success with its items parsed (EListError
    // when they run past the data), any other status TListIdentityReply_Failure.
    static std::unique_ptr<TListIdentityReply> FromReply(const TEncapsReply& reply);
};
class TListIdentityReply_Success : public TListIdentityReply {
public:
    std::uint16_t ItemCount = 0;
    std::vector<TIdentityItem> Items;
};
class TListIdentityReply_Failure : public TListIdentityReply {};

} // namespace eip
