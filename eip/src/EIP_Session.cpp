#include "eip/EIP_Session.h"

#include "common/qorTimeout.h"
#include "eip/EIP_CommonPacket.h"

#include <algorithm>
#include <cassert>
#include <chrono>

namespace eip {

namespace {

constexpr std::int32_t MaxHeldBytes = 65535;

struct TransportRegistry {
    std::mutex lock;
    TSessionSocketFactory factory;
};

TransportRegistry& Registry() {
    static TransportRegistry registry;
    return registry;
}

TSessionSocketFactory InstalledTransport() {
    auto& r = Registry();
    std::scoped_lock hold(r.lock);
    return r.factory;
}

} // namespace

// ---- TConnectionParameters

TPacketDataArray TConnectionParameters::Pack() const {
    TPacketDataArray bytes;
    bytes.reserve(26);
    AppendByte(bytes, PriorityTimeTick);
    AppendByte(bytes, TimeoutTicks);
    AppendUInt32(bytes, OTConnectionId);
    AppendUInt32(bytes, TOConnectionId);
    AppendUInt16(bytes, ConnectionSerial);
    AppendUInt16(bytes, VendorId);
    AppendUInt32(bytes, OriginatorSerial);
    AppendUInt32(bytes, OTActualPacketInterval);
    AppendUInt32(bytes, TOActualPacketInterval);
    assert(bytes.size() == 26);
    return bytes;
}

// ---- TReplyMatch

namespace {

// The sender context of a packed encapsulation packet (its bytes 12 to 19).
std::optional<TSenderContext> ContextOf(std::span<const std::uint8_t> packet) {
    if (packet.size() < 20)
        return std::nullopt;
    TSenderContext context{};
    std::copy_n(packet.begin() + 12, context.size(), context.begin());
    return context;
}

} // namespace

TReplyMatch TReplyMatch::ForRequest(std::span<const std::uint8_t> request) {
    TReplyMatch match;
    if (request.size() < 2)
        return match;
    match.Command = ToUInt16(request, 0);
    if (*match.Command == CommandCode(TEncapsCommand::SendRRData))
        match.SenderContext = ContextOf(request);
    if (*match.Command != CommandCode(TEncapsCommand::SendUnitData))
        return match;
    try {
        TEncapsPacket packet;
        packet.Expand(request, 0);
        TEncapsRRData rr;
        rr.Expand(packet.EncapsData, 0);
        const auto& item = rr.CommonPacket.DataItem;
        if (item.TypeId == ItemTypeCode(TItemType::ConnectedData) && item.Data.size() >= 2)
            match.SequenceCount = ToUInt16(item.Data, 0);
    } catch (const std::exception&) {
        // A request that is no connected packet has no sequence count to match.
    }
    return match;
}

bool TReplyMatch::Matches(std::span<const std::uint8_t> packet) const {
    if (Command && (packet.size() < 2 || ToUInt16(packet, 0) != *Command))
        return false;
    if (SenderContext && ContextOf(packet) != SenderContext)
        return false;
    if (!SequenceCount)
        return true;
    try {
        TEncapsPacket p;
        p.Expand(packet, 0);
        TEncapsRRData rr;
        rr.Expand(p.EncapsData, 0);
        const auto& item = rr.CommonPacket.DataItem;
        if (item.TypeId == ItemTypeCode(TItemType::ConnectedData) && item.Data.size() >= 2)
            return ToUInt16(item.Data, 0) == *SequenceCount;
    } catch (const std::exception&) {
        // Not parseable as a connected reply: the caller's parser reports it.
    }
    return true;
}

// ---- TDataLoggerSession

TDataLoggerSession::TDataLoggerSession(TSessionInfo& owner) : TSessionSocket(owner) {}

void TDataLoggerSession::DataReceived(std::span<const std::uint8_t> bytes) {
    if (bytes.empty())
        return;
    RxBuffer.Write(bytes);
    dataArrived_.Set();
}

void TDataLoggerSession::StateChanged(bool connected) {
    closed_ = !connected;
    if (OnStateChange)
        OnStateChange(connected);
    // A closed channel brings no reply: the waiting exchange ends now.
    dataArrived_.Set();
}

bool TDataLoggerSession::Connect(const std::string&, std::int32_t) { return true; }

bool TDataLoggerSession::Disconnect() { return true; }

void TDataLoggerSession::WaitForData(std::uint32_t ms) {
    // INFINITE is one above the longest finite wait.
    dataArrived_.Wait(std::min<std::uint32_t>(ms, platform::INFINITE - 1));
}

int TDataLoggerSession::Receive(TPacketDataArray& reply) {
    ExpectedLength = -1;
    reply.clear();
    qor::TTimeout timeout;
    timeout.Start(ReceiveTimeout);
    const std::int32_t headerSize = HeaderSize;
    const auto wholeLength = [this, headerSize](std::span<const std::uint8_t> header) {
        const std::int32_t whole = headerSize + ToUInt16(header, 2);
        ExpectedLength = whole;
        return whole;
    };
    for (;;) {
        TPacketDataArray packet = RxBuffer.ReadFramed(headerSize, wholeLength);
        if (!packet.empty()) {
            ExpectedLength = -1;
            if (ExpectedReply.Matches(packet)) {
                // Whatever followed the reply goes with it, as it always has;
                // the next exchange starts with a flush anyway.
                AppendArray(packet, RxBuffer.ReadAll());
                reply = std::move(packet);
                return static_cast<int>(reply.size());
            }
            ++DroppedReplies;
        } else if (closed_) {
            return -2;
        }
        // The deadline is checked on every pass, so a peer that keeps sending
        // packets that answer nothing cannot hold the exchange past it.
        const std::uint64_t remaining = timeout.Remaining();
        if (remaining == 0)
            break;
        if (packet.empty()) {
            // A full ring whose front never completes (a Length beyond what the
            // ring holds) will not change by waiting.
            if (RxBuffer.Count() >= MaxHeldBytes)
                break;
            const auto wait = static_cast<std::uint32_t>(std::min<std::uint64_t>(remaining, UINT32_MAX - 1));
            ISessionOwner* owner = Owner != nullptr ? Owner->Owner : nullptr;
            const std::uint32_t putOff = owner != nullptr ? owner->PutOffMs() : 0;
            if (putOff > 0 && putOff < wait) {
                // Whatever ended this wait (the reply, or the owner's limit),
                // the owner's deferred work is due now; it runs once.
                WaitForData(putOff);
                owner->ReplyLate();
                continue;
            }
            WaitForData(wait);
        }
    }
    // Time-out: a reply that came only in part is returned as it is, for the
    // parser to report; a whole packet that answers another exchange is not.
    TPacketDataArray rest = RxBuffer.ReadAll();
    if (rest.size() >= static_cast<std::size_t>(headerSize)) {
        const std::size_t whole = static_cast<std::size_t>(headerSize) + ToUInt16(rest, 2);
        if (rest.size() >= whole && !ExpectedReply.Matches(std::span<const std::uint8_t>(rest).first(whole))) {
            ++DroppedReplies;
            rest.clear();
        }
    }
    reply = std::move(rest);
    return static_cast<int>(reply.size());
}

int TDataLoggerSession::Send(std::span<const std::uint8_t> bytes) {
    if (bytes.empty())
        return 0;
    int result = -1;
    ISessionOwner* owner = Owner != nullptr ? Owner->Owner : nullptr;
    if (owner != nullptr) {
        if (owner->AttachedSession() == nullptr)
            owner->AttachSession(*Owner);
        result = owner->SendToHost(bytes);
    }
    LastSendResult = result;
    return result;
}

void TDataLoggerSession::Flush() {
    RxBuffer.Clear();
    ExpectedLength = -1;
}

// ---- TSessionInfo


TSessionInfo::~TSessionInfo() { CloseTransport(); }

void TSessionInfo::SendReceive(std::span<const std::uint8_t> request, TPacketDataArray& reply) {
    reply.clear();
    if (Socket)
        Socket->Flush();
    int sent = -1;
    if (Connected && Socket) {
        sent = Socket->Send(request);
        if (sent == -2)
            Connected = false;
    }
    if (sent < 0) {
        LastError = "Unable to send data";
        return;
    }
    try {
        Socket->ExpectedReply = TReplyMatch::ForRequest(request);
        Socket->ReceiveTimeout = Timeout;
        const int received = Socket->Receive(reply);
        if (received == -2) {
            Connected = false;
            LastError = "Connection lost";
            reply.clear();
        } else if (received == 0) {
            LastError = "Response timeout";
            reply.clear();
        }
    } catch (const std::exception& e) {
        reply.clear();
        if (OnError)
            OnError(e);
    }
}

TSenderContext TSessionInfo::NextExchangeContext() {
    // Process-wide, so that a new session on a channel that an earlier one used
    // does not repeat the numbers that session's late replies carry.
    static std::atomic<std::uint32_t> exchanges{0};
    const std::uint32_t n = ++exchanges;
    TSenderContext context = SenderContext;
    for (std::size_t i = 0; i < 4; ++i)
        context[4 + i] = static_cast<std::uint8_t>(n >> (8 * i));
    return context;
}

void TSessionInfo::SetConnectionParameters(std::uint16_t connectionSerial, std::uint32_t connectionTimeoutMs,
                                           std::uint32_t originatorSerial, std::uint16_t vendorId,
                                           std::uint32_t toConnectionId) {
    const auto ticks = ComputeTimeTicks(connectionTimeoutMs);
    TConnectionParameters p;
    p.PriorityTimeTick = ticks[0];
    p.TimeoutTicks = ticks[1];
    p.OTConnectionId = 0;
    p.TOConnectionId = toConnectionId;
    p.ConnectionSerial = connectionSerial;
    p.VendorId = vendorId;
    p.OriginatorSerial = originatorSerial;
    ConnectionParameters = p;
}

void TSessionInfo::FeedData(std::span<const std::uint8_t> bytes) {
    std::scoped_lock hold(socketLock_);
    if (Socket)
        Socket->DataReceived(bytes);
}

void TSessionInfo::FlushData() {
    std::scoped_lock hold(socketLock_);
    if (Socket)
        Socket->Flush();
}

void TSessionInfo::StateChanged(bool connected) {
    std::scoped_lock hold(socketLock_);
    if (Socket)
        Socket->StateChanged(connected);
}

void TSessionInfo::CloseTransport() {
    std::unique_ptr<TSessionSocket> socket;
    {
        std::scoped_lock hold(socketLock_);
        socket = std::move(Socket);
    }
    if (socket)
        socket->Disconnect();
}

void TSessionInfo::HandleStateChange(bool connected) {
    if (!connected)
        Connected = false;
}

// ---- ComputeTimeTicks

std::array<std::uint8_t, 2> ComputeTimeTicks(std::uint32_t ms) {
    std::uint32_t t = std::min<std::uint32_t>(ms, 255u * 32768u);
    std::uint8_t tick = 0;
    while (t > 255) {
        ++tick;
        t /= 2;
    }
    return {tick, static_cast<std::uint8_t>(t)};
}

// ---- TSessionManager

void TSessionManager::InstallTransport(TSessionSocketFactory factory) {
    auto& r = Registry();
    std::scoped_lock hold(r.lock);
    r.factory = std::move(factory);
}

std::unique_ptr<TSessionInfo> TSessionManager::RegisterSession(ISessionOwner* owner, const std::string& host,
                                                               std::uint32_t timeout,
                                                               const std::optional<TSenderContext>& senderContext,
                                                               std::int32_t port) {
    auto session = std::make_unique<TSessionInfo>(owner);
    session->Timeout = timeout;
    session->Host = host;
    session->Port = port;
    const TSessionSocketFactory factory = InstalledTransport();
    if (!factory)
        return session;
    if (senderContext)
        session->SenderContext = *senderContext;
    try {
        auto socket = factory(*session);
        TSessionInfo* record = session.get();
        socket->OnStateChange = [record](bool connected) { record->HandleStateChange(connected); };
        {
            std::scoped_lock hold(session->socketLock_);
            session->Socket = std::move(socket);
        }
        if (!session->Socket->Connect(host, port))
            return session;
        session->Connected = true;
        TPacketDataArray replyBytes;
        session->SendReceive(TEncapsPacketFactory::CreateRegisterSession().Pack(), replyBytes);
        if (!replyBytes.empty()) {
            TEncapsReply reply;
            reply.Expand(replyBytes, 0);
            const auto registered = TRegisterSession_Reply::FromReply(reply);
            if (dynamic_cast<const TRegisterSession_Success*>(registered.get()) != nullptr) {
                session->SessionHandle = reply.SessionHandle;
                session->Registered = true;
            }
        }
    } catch (const std::exception& e) {
        session->LastError = e.what();
    }
    return session;
}

bool TSessionManager::ListIdentity(TSessionInfo& session) {
    session.LastError.clear();
    if (!session.Connected)
        return false;
    TEncapsPacket request = TEncapsPacketFactory::CreateListIdentity();
    request.SessionHandle = session.SessionHandle;
    request.SenderContext = session.SenderContext;
    TPacketDataArray replyBytes;
    session.SendReceive(request.Pack(), replyBytes);
    if (replyBytes.empty())
        return false;
    TEncapsReply reply;
    reply.Expand(replyBytes, 0);
    if (reply.Status != 0)
        return false;
    const auto identity = TListIdentityReply::FromReply(reply);
    const auto* success = dynamic_cast<const TListIdentityReply_Success*>(identity.get());
    if (success == nullptr)
        return false;
    for (const auto& item : success->Items) {
        if (item.ItemType == IdentityItemType) {
            session.IdentityItem = item;
            return true;
        }
    }
    return false;
}

void TSessionManager::UnRegisterSession(TSessionInfo& session) {
    session.LastError.clear();
    session.CloseTransport();
    session.Connected = false;
    session.Registered = false;
}

} // namespace eip
