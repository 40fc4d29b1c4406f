// One TCP connection's worth of EtherNet/IP encapsulation: RegisterSession,
// ListIdentity, ListServices, ListInterfaces, NOP, UnRegisterSession,
// SendRRData and SendUnitData, each checked as a device checks them, with the
// CIP contents handed to the CipDevice.
#pragma once

#include "sim/CipDevice.h"
#include "sim/SimBytes.h"

#include <cstdint>
#include <optional>

namespace sim {

struct EncapsOutcome {
    // The reply; nothing for commands a device does not answer (NOP,
    // UnRegisterSession).
    std::optional<Bytes> Reply;
    // The device closes the TCP connection after this packet (UnRegisterSession).
    bool Close = false;
    std::uint16_t Command = 0;
    // The CIP service carried out, for fault filters.
    std::optional<std::uint8_t> Service;
    // The reply carries an error: an encapsulation status, or a CIP general
    // status other than 0 and 6 (partial transfer).
    bool ErrorStatus = false;
};

class EncapsSession {
public:
    // localAddress/localPort (host order) go into the identity item's socket address.
    EncapsSession(CipDevice& device, std::uint64_t sessionId, std::uint32_t localAddress,
                  std::uint16_t localPort);
    ~EncapsSession();
    EncapsSession(const EncapsSession&) = delete;
    EncapsSession& operator=(const EncapsSession&) = delete;

    // One whole packet: the 24-byte header and exactly Length data bytes.
    // Never throws for what it receives.
    EncapsOutcome Handle(ByteView packet);

    std::uint32_t SessionHandle() const { return handle_; }

    static constexpr std::size_t HeaderSize = 24;

private:
    Bytes ListIdentityData() const;
    Bytes SendRRData(ByteView data, std::uint32_t& status, EncapsOutcome& outcome);
    Bytes SendUnitData(ByteView data, std::uint32_t& status, EncapsOutcome& outcome);

    CipDevice& device_;
    std::uint64_t sessionId_;
    std::uint32_t localAddress_;
    std::uint16_t localPort_;
    std::uint32_t handle_ = 0; // 0 until registered
};

} // namespace sim
