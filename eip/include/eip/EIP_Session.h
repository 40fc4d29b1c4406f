// The session with one device: the record (TSessionInfo), the transport that
// carries its bytes (TSessionSocket, TDataLoggerSession), the send-and-wait
// exchange every request rests on, and the session manager (RegisterSession,
// ListIdentity, closing).
//
// The TCP connection belongs to the host. TDataLoggerSession hands outgoing
// bytes to the session's owner (ISessionOwner), which passes them to the host's
// data channel of the device; the bytes the host receives come back through the
// owner into TSessionInfo::FeedData and wake the waiting exchange.
#pragma once

#include "eip/EIP_Conversion.h"
#include "eip/EIP_EncapsPacket.h"
#include "eip/EIP_FIFOStream.h"
#include "eip/EIP_IdentityItem.h"
#include "platform/Sync.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

namespace eip {

class TSessionInfo;

// What the session's owner (the Logix processor in the plug-in) offers the
// transport.
//
// Contract:
// - SendToHost hands the bytes to the host's data channel of the device and
//   returns the bytes taken, -1 when the host offers no send function, any
//   other negative value on failure (-2: the channel is gone). It is called on
//   the device worker thread; it may already deliver received bytes to
//   session.FeedData before it returns.
// - Before the first bytes of a session go out, the transport asks
//   AttachedSession(); when it is nullptr it calls AttachSession(session). From
//   then on the owner passes every block of bytes the host delivers for the
//   device, in arrival order, to session.FeedData (from any thread), so that
//   the reply to RegisterSession finds its session before RegisterSession has
//   returned the record. The owner stops doing so before the record is
//   destroyed (it owns the record once RegisterSession returns it).
class ISessionOwner {
public:
    virtual ~ISessionOwner() = default;
    virtual TSessionInfo* AttachedSession() = 0;
    virtual void AttachSession(TSessionInfo& session) = 0;
    virtual int SendToHost(std::span<const std::uint8_t> bytes) = 0;
    // Work the owner put off when it sent the request of the exchange now
    // waiting, because the reply wakes the thread that does that work anyway:
    // how long (milliseconds) it may wait for the reply, 0 when nothing waits.
    // A reply that takes longer has ReplyLate called once, on the waiting
    // thread, and the owner then has the work done without the reply.
    virtual std::uint32_t PutOffMs() { return 0; }
    virtual void ReplyLate() {}
};

// The connection identifiers and timing of the device connection (26 bytes on
// the wire, little-endian).
struct TConnectionParameters {
    std::uint8_t PriorityTimeTick = 0;
    std::uint8_t TimeoutTicks = 0;
    std::uint32_t OTConnectionId = 0;
    std::uint32_t TOConnectionId = 0;
    std::uint16_t ConnectionSerial = 0;
    std::uint16_t VendorId = 0;
    std::uint32_t OriginatorSerial = 0;
    std::uint32_t OTActualPacketInterval = 0; // microseconds
    std::uint32_t TOActualPacketInterval = 0;

    TPacketDataArray Pack() const;

    friend bool operator==(const TConnectionParameters&, const TConnectionParameters&) = default;
};

// Which received packet answers the request in flight. A reply is recognised
// by its encapsulation command; a SendRRData reply also by the sender context
// the device echoes (the session gives every SendRRData exchange a context of
// its own), and a connected reply by the sequence count its connected data
// item echoes. A complete packet that does not match is a late answer to an
// earlier exchange: it is dropped and the wait goes on.
struct TReplyMatch {
    std::optional<std::uint16_t> Command;
    std::optional<TSenderContext> SenderContext;
    std::optional<std::uint16_t> SequenceCount;

    // The match for a packed request (nothing to match when it is not one).
    static TReplyMatch ForRequest(std::span<const std::uint8_t> request);
    // packet: one whole encapsulation packet. A packet whose items do not parse
    // matches on its command and context alone, so its own error reaches the
    // caller.
    bool Matches(std::span<const std::uint8_t> packet) const;
};

// The abstract transport of a session.
class TSessionSocket {
public:
    explicit TSessionSocket(TSessionInfo& owner) : Owner(&owner) {}
    TSessionSocket(const TSessionSocket&) = delete;
    TSessionSocket& operator=(const TSessionSocket&) = delete;
    virtual ~TSessionSocket() = default;

    TSessionInfo* Owner;
    std::function<void(bool connected)> OnStateChange;
    std::uint32_t ReceiveTimeout = 10000;
    // The reply the exchange in flight waits for; set by SendReceive.
    TReplyMatch ExpectedReply;

    // Bytes received from the device (any thread).
    virtual void DataReceived(std::span<const std::uint8_t> bytes) { (void)bytes; }
    virtual void StateChanged(bool connected) { (void)connected; }
    virtual bool Connect(const std::string& host, std::int32_t port) = 0;
    virtual bool Disconnect() = 0;
    // The bytes of one reply: their count, 0 on time-out, -2 when the
    // connection is lost.
    virtual int Receive(TPacketDataArray& reply) = 0;
    // Bytes accepted, negative on failure, -2 when the connection is lost.
    virtual int Send(std::span<const std::uint8_t> bytes) = 0;
    // Drops any unread received bytes (any thread).
    virtual void Flush() = 0;
};

// The transport over the host's channel.
class TDataLoggerSession : public TSessionSocket {
public:
    explicit TDataLoggerSession(TSessionInfo& owner);

    std::int32_t HeaderSize = 24;
    // The whole length of the packet last seen at the front of RxBuffer; -1
    // while unknown and again after every flush.
    std::atomic<std::int32_t> ExpectedLength{-1};
    TFIFOStream RxBuffer{65535, 64, true};
    std::atomic<int> LastSendResult{0};
    // Whole packets dropped because they did not answer the exchange in
    // flight (late replies).
    std::atomic<std::uint32_t> DroppedReplies{0};

    void DataReceived(std::span<const std::uint8_t> bytes) override;
    void StateChanged(bool connected) override;
    bool Connect(const std::string& host, std::int32_t port) override;
    bool Disconnect() override;
    // Waits until the front of RxBuffer holds a whole packet that matches
    // ExpectedReply (dropping whole packets that do not, each taken in one
    // locked step), until the channel is reported closed (-2), or until
    // ReceiveTimeout passes, checked on every pass; then returns that packet
    // with any bytes held after it. At the time-out the bytes held are returned
    // as they are unless they start with a whole packet that does not match (0
    // then). Woken by DataReceived and StateChanged: an exchange costs the
    // device's round trip.
    int Receive(TPacketDataArray& reply) override;
    int Send(std::span<const std::uint8_t> bytes) override;
    void Flush() override;

protected:
    // Blocks until DataReceived has delivered bytes since the last wait, or ms
    // milliseconds pass on the platform clock.
    virtual void WaitForData(std::uint32_t ms);

private:
    // Set by every delivery and by a change of the channel's state; an
    // auto-reset event keeps a delivery that lands between the check and the
    // wait.
    platform::Event dataArrived_{false, false};
    // The host reported the channel closed: a waiting exchange ends at once.
    std::atomic<bool> closed_{false};
};


class TSessionInfo {
public:
    explicit TSessionInfo(ISessionOwner* owner) : Owner(owner) {}
    TSessionInfo(const TSessionInfo&) = delete;
    TSessionInfo& operator=(const TSessionInfo&) = delete;
    ~TSessionInfo();

    ISessionOwner* Owner;
    std::function<void(const std::exception&)> OnError;
    std::function<void()> OnBeforeSend;
    std::function<void()> OnAfterReceive;
    // The transport, owned. Used by the device worker; other threads reach it
    // only through FeedData, FlushData and StateChanged.
    std::unique_ptr<TSessionSocket> Socket;
    // Sent as it is with ListIdentity and SendUnitData; every SendRRData
    // exchange carries a context of its own made from it (NextExchangeContext).
    TSenderContext SenderContext{};
    std::atomic<bool> Connected{false};
    std::uint32_t SessionHandle = 0;
    std::string Host;
    std::int32_t Port = 0;
    TConnectionParameters ConnectionParameters;
    TIdentityItem IdentityItem;
    bool Registered = false;
    std::uint32_t LastStatus = 0;
    std::string LastError;
    std::uint32_t Timeout = 5000;
    double ConnectedAt = 0;

    // One exchange: flush, send, wait for the reply. On failure the reply is
    // empty and LastError says why ("Unable to send data", "Response timeout");
    // an exception while receiving goes to OnError.
    void SendReceive(std::span<const std::uint8_t> request, TPacketDataArray& reply);
    // The sender context of the next SendRRData exchange: the first four bytes
    // of SenderContext, then a 32-bit exchange number (little-endian) counted
    // across all sessions of the process, so that a device's late answer to an
    // earlier exchange, or to an earlier session on the same channel, is never
    // taken for the reply to this one.
    TSenderContext NextExchangeContext();
    void SetConnectionParameters(std::uint16_t connectionSerial, std::uint32_t connectionTimeoutMs,
                                 std::uint32_t originatorSerial, std::uint16_t vendorId,
                                 std::uint32_t toConnectionId);

    // Entry points for the threads that are not the session's worker: they
    // reach the transport under a lock, so closing the session cannot free it
    // under them. Each does nothing when there is no transport.
    void FeedData(std::span<const std::uint8_t> bytes);
    void FlushData();
    void StateChanged(bool connected);
    // Frees the transport (under the same lock).
    void CloseTransport();

    // The transport's OnStateChange handler: a lost channel marks the session
    // not connected.
    void HandleStateChange(bool connected);

private:
    friend class TSessionManager;
    std::mutex socketLock_;
};

// The priority/time tick and the time-out ticks for a time-out of ms
// milliseconds: 2^tick x ticks ~ ms (clamped to 255 x 2^15).
std::array<std::uint8_t, 2> ComputeTimeTicks(std::uint32_t ms);

using TSessionSocketFactory = std::function<std::unique_ptr<TSessionSocket>(TSessionInfo&)>;

class TSessionManager {
public:
    // The transport class RegisterSession creates; an empty factory uninstalls.
    static void InstallTransport(TSessionSocketFactory factory);
    template <class T>
    static void InstallTransport() {
        InstallTransport([](TSessionInfo& s) -> std::unique_ptr<TSessionSocket> { return std::make_unique<T>(s); });
    }

    // Always returns a record; the caller inspects Connected, Registered and
    // LastError.
    static std::unique_ptr<TSessionInfo> RegisterSession(ISessionOwner* owner, const std::string& host,
                                                         std::uint32_t timeout,
                                                         const std::optional<TSenderContext>& senderContext,
                                                         std::int32_t port);
    // Reads the device's identity into session.IdentityItem. Parse errors of
    // the reply are raised.
    static bool ListIdentity(TSessionInfo& session);
    // Closes the transport; no UnRegisterSession command is sent.
    static void UnRegisterSession(TSessionInfo& session);
};

} // namespace eip
