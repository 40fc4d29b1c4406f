#include "sim/Faults.h"

#include <algorithm>

namespace sim {

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

std::optional<FaultRule> FaultInjector::TakeReplyFault(std::uint16_t command,
                                                       std::optional<std::uint8_t> service) {
    return Take(false, command, service);
}

std::optional<std::uint16_t> FaultInjector::TakeForwardOpenRefusal() {
    std::optional<FaultRule> rule = Take(true, 0, std::nullopt);
    if (!rule) {
        return std::nullopt;
    }
    return rule->ExtendedStatus;
}

std::optional<FaultRule> FaultInjector::Take(bool forwardOpen, std::uint16_t command,
                                             std::optional<std::uint8_t> service) {
    std::optional<FaultRule> taken = TakeLocked(forwardOpen, command, service);
    if (taken) {
        hit_.notify_all();
    }
    return taken;
}

std::optional<FaultRule> FaultInjector::TakeLocked(bool forwardOpen, std::uint16_t command,
                                                   std::optional<std::uint8_t> service) {
    std::scoped_lock lock(mutex_);
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
        }
        FaultRule taken = rule;
        ++hits_[static_cast<std::size_t>(rule.Kind)];
        ++ruleHits_[it->Id];
        if (it->Rule.Count != FaultRule::Always && --it->Rule.Count <= 0) {
            rules_.erase(it);
        }
        return taken;
    }
    return std::nullopt;
}

} // namespace sim
