// Test doubles at the host boundary: a session owner that plays a device by
// answering each packet sent with the next scripted reply, and a transport
// whose waits move a manual clock instead of blocking.
#pragma once

#include "eip/EIP_Session.h"
#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <vector>

namespace eiptest {

using eip::TPacketDataArray;

class ScriptedDevice : public eip::ISessionOwner {
public:
    std::deque<TPacketDataArray> Replies; // fed back, one per packet sent
    std::vector<TPacketDataArray> Sent;
    int SendResult = 0; // 0: bytes taken, else returned as is
    int Attaches = 0;
    // As devices do, the first packet of each reply gets the sender context of
    // the packet it answers; off, the scripted bytes go back as they are.
    bool EchoContext = true;

    eip::TSessionInfo* AttachedSession() override { return session_; }
    void AttachSession(eip::TSessionInfo& session) override {
        session_ = &session;
        ++Attaches;
    }
    int SendToHost(std::span<const std::uint8_t> bytes) override {
        if (SendResult != 0)
            return SendResult;
        Sent.emplace_back(bytes.begin(), bytes.end());
        if (!Replies.empty() && session_ != nullptr) {
            TPacketDataArray reply = std::move(Replies.front());
            Replies.pop_front();
            if (EchoContext && reply.size() >= 20 && bytes.size() >= 20)
                std::copy(bytes.begin() + 12, bytes.begin() + 20, reply.begin() + 12);
            session_->FeedData(reply);
        }
        return static_cast<int>(bytes.size());
    }
    void Detach() { session_ = nullptr; }

private:
    eip::TSessionInfo* session_ = nullptr;
};

// A connected session over the real transport whose owner is a scripted
// device; with time-out 0 an exchange without a scripted reply fails at once.
struct ScriptedSession {
    ScriptedDevice Device;
    eip::TSessionInfo Session{&Device};
    ScriptedSession() {
        Session.Socket = std::make_unique<eip::TDataLoggerSession>(Session);
        Session.Connected = true;
        Session.Timeout = 0;
        Device.AttachSession(Session);
    }
};

// Waiting moves the manual clock by the time asked for, so a time-out passes
// at once and the waits can be counted.
class ClockedSession : public eip::TDataLoggerSession {
public:
    ClockedSession(eip::TSessionInfo& owner, platform::ManualClock& clock)
        : TDataLoggerSession(owner), clock_(clock) {}
    std::vector<std::uint32_t> Waits;
    // Run inside each wait: what the host's thread does while the exchange
    // waits. When it answers true (it delivered bytes) the wait ends at once
    // instead of moving the clock.
    std::function<bool()> DuringWait;

protected:
    void WaitForData(std::uint32_t ms) override {
        Waits.push_back(ms);
        if (DuringWait && DuringWait())
            return;
        clock_.Advance(ms);
    }

private:
    platform::ManualClock& clock_;
};

// Parses every proper prefix of a valid message, from `from` bytes on, with
// parse(prefix) and expects the given exception from each.
template <class E>
void ExpectEveryPrefixThrows(const TPacketDataArray& whole, const std::function<void(const TPacketDataArray&)>& parse,
                             std::size_t from = 0) {
    for (std::size_t n = from; n < whole.size(); ++n) {
        const TPacketDataArray prefix(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_THROW(parse(prefix), E) << "prefix of " << n << " bytes";
    }
    EXPECT_NO_THROW(parse(whole));
}

inline TPacketDataArray Concat(std::initializer_list<TPacketDataArray> parts) {
    TPacketDataArray all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

} // namespace eiptest
