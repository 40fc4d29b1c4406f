#include "sim/Faults.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>

namespace sim {

std::string_view FaultKindName(FaultKind kind) {
    switch (kind) {
    case FaultKind::Silent:
        return "silent";
    case FaultKind::Delay:
        return "delay";
    case FaultKind::Split:
        return "split";
    case FaultKind::Truncate:
        return "truncate";
    case FaultKind::Garbage:
        return "garbage";
    case FaultKind::WrongLength:
        return "wrong-length";
    case FaultKind::Close:
        return "close";
    case FaultKind::RefuseForwardOpen:
        return "refuse-forward-open";
    case FaultKind::CloseAfterError:
        return "close-after-error";
    case FaultKind::Restart:
        return "restart";
    }
    return "?";
}

std::optional<ChaosConfig> ParseChaos(std::string_view text) {
    ChaosConfig chaos;
    const auto colon = text.find(':');
    const std::string_view seed = text.substr(0, colon);
    auto [end, ec] = std::from_chars(seed.data(), seed.data() + seed.size(), chaos.Seed);
    if (seed.empty() || ec != std::errc() || end != seed.data() + seed.size()) {
        return std::nullopt;
    }
    if (colon != std::string_view::npos) {
        const std::string_view rate = text.substr(colon + 1);
        auto [rateEnd, rateEc] = std::from_chars(rate.data(), rate.data() + rate.size(), chaos.Rate);
        if (rate.empty() || rateEc != std::errc() || rateEnd != rate.data() + rate.size() ||
            !std::isfinite(chaos.Rate) || chaos.Rate < 0 || chaos.Rate > 1) {
            return std::nullopt;
        }
    }
    return chaos;
}

int FaultInjector::Add(FaultRule rule) {
    std::scoped_lock lock(mutex_);
    const int id = nextId_++;
    if (rule.Parts < 2) {
        rule.Parts = 2;
    }
    ruleHits_[id] = 0;
    if (rule.Count > 0 || rule.Count == FaultRule::Always) {
        rules_.push_back(Armed{id, std::move(rule)});
    }
    return id;
}

void FaultInjector::Clear() {
    std::scoped_lock lock(mutex_);
    rules_.clear();
}

void FaultInjector::ResetCounters() {
    std::scoped_lock lock(mutex_);
    std::fill(std::begin(hits_), std::end(hits_), 0);
    for (auto& [id, hits] : ruleHits_) {
        hits = 0;
    }
}

std::uint64_t FaultInjector::Hits(FaultKind kind) const {
    std::scoped_lock lock(mutex_);
    return hits_[static_cast<std::size_t>(kind)];
}

std::uint64_t FaultInjector::RuleHits(int id) const {
    std::scoped_lock lock(mutex_);
    auto it = ruleHits_.find(id);
    return it == ruleHits_.end() ? 0 : it->second;
}

bool FaultInjector::WaitForHits(FaultKind kind, std::uint64_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return hit_.wait_for(lock, timeout, [&] { return hits_[static_cast<std::size_t>(kind)] >= n; });
}

std::size_t FaultInjector::ArmedRules() const {
    std::scoped_lock lock(mutex_);
    return rules_.size();
}

void FaultInjector::SetChaos(std::optional<ChaosConfig> chaos) {
    std::scoped_lock lock(mutex_);
    chaos_ = std::move(chaos);
    if (chaos_) {
        random_.seed(chaos_->Seed);
    }
    quietUntil_ = {};
    refusedLast_ = false;
}

std::uint64_t FaultInjector::TotalHits() const {
    std::scoped_lock lock(mutex_);
    std::uint64_t total = 0;
    for (std::uint64_t h : hits_) {
        total += h;
    }
    return total;
}

void FaultInjector::SetObserver(Observer observer) {
    std::scoped_lock lock(mutex_);
    observer_ = observer ? std::make_shared<const Observer>(std::move(observer)) : nullptr;
}

void FaultInjector::SetClock(Clock clock) {
    std::scoped_lock lock(mutex_);
    clock_ = std::move(clock);
}

std::optional<FaultRule> FaultInjector::TakeReplyFault(std::uint16_t command,
                                                       std::optional<std::uint8_t> service, bool errorReply) {
    return Take(false, command, service, errorReply);
}

std::optional<std::uint16_t> FaultInjector::TakeForwardOpenRefusal() {
    std::optional<FaultRule> rule = Take(true, 0, std::nullopt, false);
    if (!rule) {
        return std::nullopt;
    }
    return rule->ExtendedStatus;
}

std::optional<FaultRule> FaultInjector::Take(bool forwardOpen, std::uint16_t command,
                                             std::optional<std::uint8_t> service, bool errorReply) {
    std::optional<FaultRule> taken;
    std::shared_ptr<const Observer> observer;
    bool random = false;
    {
        std::scoped_lock lock(mutex_);
        taken = TakeLocked(forwardOpen, command, service, errorReply, random);
        if (taken) {
            observer = observer_;
        }
    }
    if (!taken) {
        return taken;
    }
    hit_.notify_all();
    if (observer) {
        FaultEvent event;
        event.Kind = taken->Kind;
        event.ForwardOpen = forwardOpen;
        event.Command = command;
        event.Service = service;
        event.Random = random;
        event.Lasts = Lasts(*taken);
        (*observer)(event);
    }
    return taken;
}

std::chrono::milliseconds FaultInjector::Lasts(const FaultRule& rule) {
    switch (rule.Kind) {
    case FaultKind::Delay:
    case FaultKind::Restart:
        return rule.Pause;
    case FaultKind::Split:
        // A hook between the segments replaces the pauses.
        if (!rule.BetweenParts) {
            return rule.Pause * static_cast<std::int64_t>(std::max<std::size_t>(rule.Parts, 2) - 1);
        }
        return std::chrono::milliseconds(0);
    default:
        return std::chrono::milliseconds(0);
    }
}

std::optional<FaultRule> FaultInjector::TakeLocked(bool forwardOpen, std::uint16_t command,
                                                   std::optional<std::uint8_t> service, bool errorReply,
                                                   bool& random) {
    for (auto it = rules_.begin(); it != rules_.end(); ++it) {
        const FaultRule& rule = it->Rule;
        if ((rule.Kind == FaultKind::RefuseForwardOpen) != forwardOpen) {
            continue;
        }
        if (!forwardOpen) {
            if (rule.Command && *rule.Command != command) {
                continue;
            }
            if (rule.Service && rule.Service != service) {
                continue;
            }
            if (rule.Kind == FaultKind::CloseAfterError && !errorReply) {
                continue;
            }
        }
        FaultRule taken = rule;
        ++hits_[static_cast<std::size_t>(rule.Kind)];
        ++ruleHits_[it->Id];
        if (it->Rule.Count != FaultRule::Always && --it->Rule.Count <= 0) {
            rules_.erase(it);
        }
        return taken;
    }
    return DrawLocked(forwardOpen, errorReply, random);
}

std::optional<FaultRule> FaultInjector::DrawLocked(bool forwardOpen, bool errorReply, bool& random) {
    if (!chaos_ || chaos_->Kinds.empty()) {
        return std::nullopt;
    }
    const bool spaced = chaos_->Spacing.count() > 0;
    const auto now = clock_ ? clock_() : std::chrono::steady_clock::now();
    if (spaced) {
        if (forwardOpen && std::exchange(refusedLast_, false)) {
            return std::nullopt;
        }
        if (!forwardOpen && now < quietUntil_) {
            return std::nullopt;
        }
    }
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    if (chance(random_) >= chaos_->Rate) {
        return std::nullopt;
    }
    std::vector<FaultKind> kinds;
    for (FaultKind k : chaos_->Kinds) {
        const bool fits = forwardOpen ? k == FaultKind::RefuseForwardOpen
                                      : k != FaultKind::RefuseForwardOpen &&
                                            (k != FaultKind::CloseAfterError || errorReply);
        if (fits) {
            kinds.push_back(k);
        }
    }
    if (kinds.empty()) {
        return std::nullopt;
    }
    FaultRule rule(kinds[std::uniform_int_distribution<std::size_t>(0, kinds.size() - 1)(random_)]);
    auto upTo = [&](std::int64_t most) {
        return std::uniform_int_distribution<std::int64_t>(0, std::max<std::int64_t>(most, 0))(random_);
    };
    switch (rule.Kind) {
    case FaultKind::Delay:
        rule.Pause = std::chrono::milliseconds(10 + upTo(chaos_->MaxDelay.count()));
        break;
    case FaultKind::Split:
        rule.Parts = static_cast<std::size_t>(2 + upTo(3));
        rule.Pause = std::chrono::milliseconds(upTo(20));
        break;
    case FaultKind::Truncate:
        // Half the reply, or only the start of its header.
        rule.KeepBytes = upTo(1) == 0 ? 0 : static_cast<std::size_t>(1 + upTo(22));
        break;
    case FaultKind::WrongLength:
        rule.LengthDelta = upTo(1) == 0 ? 16 : -2;
        break;
    case FaultKind::Restart:
        rule.Pause = chaos_->RestartPause;
        break;
    default:
        break;
    }
    ++hits_[static_cast<std::size_t>(rule.Kind)];
    random = true;
    if (spaced) {
        if (forwardOpen) {
            refusedLast_ = true;
        } else {
            quietUntil_ = now + Lasts(rule) + chaos_->Spacing;
        }
    }
    return rule;
}

} // namespace sim
