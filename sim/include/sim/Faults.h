// Fault injection: ways in which the simulated device misbehaves on purpose,
// so that tests can drive a client through time-outs, torn packets, garbage
// and refused connections. Every rule counts the replies it changed; tests
// assert on those counters to prove the fault was really hit.
//
// A rule applies to the next Count replies that match its filters (or to all
// of them with Count = FaultRule::Always). The filters are the encapsulation
// command of the request and the CIP service that was carried out: for a
// request routed through Unconnected Send that is the embedded service (Read
// Tag 0x4C, not 0x52), for a Multiple Service Packet it is 0x0A. When several
// rules match, the one added first applies.
//
// An observer (SetObserver) hears of every fault as it fires, so a program
// can log when each one struck and how long it lasted.
//
// Chaos mode (SetChaos) adds faults drawn at random: each reply that no rule
// claims gets, with a seeded probability, one fault kind picked at random
// (Forward Opens are refused, listeners restarted the same way). The draws
// come from one seeded generator, so a seed repeats the same sequence of
// decisions; which reply meets which decision depends on the order in which
// the connections' threads ask. With a Spacing, each random fault is followed
// by a quiet time in which nothing is drawn, so that a client's recovery from
// one fault can be told from the next.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string_view>
#include <vector>

namespace sim {

enum class FaultKind : std::uint8_t {
    Silent,            // no reply at all; the connection stays open
    Delay,             // the reply is sent after Pause
    Split,             // the reply is sent in Parts TCP segments with Pause between them
    Truncate,          // only the first KeepBytes bytes of the reply are sent
    Garbage,           // as many bytes of noise are sent instead of the reply
    WrongLength,       // the header's Length field is off by LengthDelta
    Close,             // the TCP connection is closed instead of replying
    RefuseForwardOpen, // a Forward Open is answered 0x01 with ExtendedStatus (filters do not apply)
    CloseAfterError,   // a reply with an error status is sent, then the connection is closed
    Restart,           // no reply: the listener and every connection close; it listens again after Pause
};
inline constexpr std::size_t FaultKindCount = 10;
std::string_view FaultKindName(FaultKind kind);

// Random faults: Rate is the chance that a reply (or a Forward Open) gets one.
struct ChaosConfig {
    std::uint64_t Seed = 1;
    double Rate = 0.05;
    // The kinds drawn from (CloseAfterError only strikes replies that carry
    // an error; RefuseForwardOpen only Forward Opens).
    std::vector<FaultKind> Kinds = {
        FaultKind::Silent,         FaultKind::Delay,   FaultKind::Split,
        FaultKind::Truncate,       FaultKind::Garbage, FaultKind::WrongLength,
        FaultKind::Close,          FaultKind::Restart, FaultKind::RefuseForwardOpen,
        FaultKind::CloseAfterError};
    // Delay: a pause up to this long; Restart: the listener is away this long.
    std::chrono::milliseconds MaxDelay{400};
    std::chrono::milliseconds RestartPause{300};
    // After a random fault (and what it lasts: a delay's or split's pauses, a
    // restart's time away), replies go unharmed this long. A Forward Open is
    // not held to it, since a client mostly opens connections right after a
    // fault, but one that follows a refused one is granted: a refusal always
    // ends with the next attempt.
    std::chrono::milliseconds Spacing{0};
};
// "SEED" or "SEED:RATE" (RATE a fraction 0..1, default 0.05); nothing when malformed.
std::optional<ChaosConfig> ParseChaos(std::string_view text);

struct FaultRule {
    static constexpr int Always = -1;

    explicit FaultRule(FaultKind kind = FaultKind::Silent, int count = 1) : Kind(kind), Count(count) {}
    // Fluent setters: FaultRule(FaultKind::Delay, 2).OnService(0x4C).WithPause(50ms).
    FaultRule& OnCommand(std::uint16_t command) {
        Command = command;
        return *this;
    }
    FaultRule& OnService(std::uint8_t service) {
        Service = service;
        return *this;
    }
    FaultRule& WithPause(std::chrono::milliseconds pause) {
        Pause = pause;
        return *this;
    }
    FaultRule& InParts(std::size_t parts) {
        Parts = parts;
        return *this;
    }
    FaultRule& Keeping(std::size_t bytes) {
        KeepBytes = bytes;
        return *this;
    }
    FaultRule& LengthOffBy(int delta) {
        LengthDelta = delta;
        return *this;
    }
    FaultRule& WithExtendedStatus(std::uint16_t status) {
        ExtendedStatus = status;
        return *this;
    }
    FaultRule& Calling(std::function<void(std::size_t)> hook) {
        BetweenParts = std::move(hook);
        return *this;
    }

    FaultKind Kind;
    int Count;
    std::optional<std::uint16_t> Command;
    std::optional<std::uint8_t> Service;
    // Delay: wait before sending; Split: wait between the segments; Restart:
    // how long the listener stays away.
    std::chrono::milliseconds Pause{0};
    std::size_t Parts = 2;
    // Truncate: bytes kept (0 keeps half the reply).
    std::size_t KeepBytes = 0;
    int LengthDelta = 16;
    std::uint16_t ExtendedStatus = 0x0113;
    // Split: when set, called on the server thread after each segment but the
    // last (with the bytes sent so far) instead of waiting Pause; a test uses
    // it to look at the wire while the rest is held back.
    std::function<void(std::size_t)> BetweenParts;
};

// One fault as it fires: its kind, the request it struck and how long the
// device keeps misbehaving by itself (Delay: the pause; Split: the pauses
// between the segments; Restart: the time the listener is away; 0 for the
// faults that are over at once, whose consequences are the client's to
// recover from).
struct FaultEvent {
    FaultKind Kind = FaultKind::Silent;
    bool ForwardOpen = false;         // a Forward Open refused (no command or service)
    std::uint16_t Command = 0;        // encapsulation command of the request
    std::optional<std::uint8_t> Service;
    std::chrono::milliseconds Lasts{0};
    bool Random = false;              // drawn by chaos rather than a rule
};

class FaultInjector {
public:
    using Observer = std::function<void(const FaultEvent&)>;

    // Returns the rule's id for RuleHits.
    int Add(FaultRule rule);
    void Clear(); // removes all rules; counters stay
    void ResetCounters();

    std::uint64_t Hits(FaultKind kind) const;
    std::uint64_t RuleHits(int id) const;
    // Blocks until the kind has been hit n times or the time-out passed.
    bool WaitForHits(FaultKind kind, std::uint64_t n, std::chrono::milliseconds timeout) const;
    // Rules still armed (count not used up).
    std::size_t ArmedRules() const;

    // Random faults from now on (nothing: off). Rules still come first.
    void SetChaos(std::optional<ChaosConfig> chaos);
    // Faults of every kind together.
    std::uint64_t TotalHits() const;
    // Called on the server's thread that takes each fault, after the
    // injector's lock is released (so it may take its time; it delays that
    // one reply). Nothing: no observer.
    void SetObserver(Observer observer);

    // The server's side: the reply-level rule for a reply to this request, if
    // any (one use of it is consumed and counted). errorReply: the reply
    // carries an error status (encapsulation status, or a CIP general status
    // other than 0 and 6), which CloseAfterError rules wait for.
    std::optional<FaultRule> TakeReplyFault(std::uint16_t command, std::optional<std::uint8_t> service,
                                            bool errorReply = false);
    // The extended status with which to refuse this Forward Open, if a rule says so.
    std::optional<std::uint16_t> TakeForwardOpenRefusal();

    // How long a fault keeps the device misbehaving by itself (FaultEvent::Lasts).
    static std::chrono::milliseconds Lasts(const FaultRule& rule);
    // The clock of the chaos spacing (tests move it themselves); nothing: the
    // steady clock.
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    void SetClock(Clock clock);

private:
    struct Armed {
        int Id;
        FaultRule Rule;
    };
    std::optional<FaultRule> Take(bool forwardOpen, std::uint16_t command,
                                  std::optional<std::uint8_t> service, bool errorReply);
    std::optional<FaultRule> TakeLocked(bool forwardOpen, std::uint16_t command,
                                        std::optional<std::uint8_t> service, bool errorReply, bool& random);
    std::optional<FaultRule> DrawLocked(bool forwardOpen, bool errorReply, bool& random);

    mutable std::mutex mutex_;
    mutable std::condition_variable hit_;
    std::vector<Armed> rules_;
    std::map<int, std::uint64_t> ruleHits_;
    std::uint64_t hits_[FaultKindCount] = {};
    int nextId_ = 1;
    std::optional<ChaosConfig> chaos_;
    std::mt19937_64 random_;
    // Chaos with a spacing: no reply fault is drawn before this time, and the
    // Forward Open after a refused one is granted.
    std::chrono::steady_clock::time_point quietUntil_{};
    bool refusedLast_ = false;
    Clock clock_;
    std::shared_ptr<const Observer> observer_;
};

} // namespace sim
