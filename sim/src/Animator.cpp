#include "sim/Animator.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>

namespace sim {

namespace {

// A little-endian signed integer of the bytes' width.
std::int64_t SignedValue(const Bytes& data, std::size_t size) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < size && i < data.size(); ++i)
        v |= static_cast<std::uint64_t>(data[i]) << (8 * i);
    if (size < 8 && (v >> (8 * size - 1)) != 0)
        v |= ~std::uint64_t{0} << (8 * size);
    return static_cast<std::int64_t>(v);
}

double RealValue(const Bytes& data, CipType type) {
    if (type == CipType::Real && data.size() >= 4)
        return std::bit_cast<float>(static_cast<std::uint32_t>(SignedValue(data, 4)));
    if (data.size() >= 8)
        return std::bit_cast<double>(SignedValue(data, 8));
    return 0;
}

double Sine(double start, std::uint64_t second) {
    const double amplitude = std::max(1.0, std::abs(start) * 0.1);
    return start + amplitude * std::sin(2 * std::numbers::pi * static_cast<double>(second % 60) / 60.0);
}

} // namespace

SimAnimator::SimAnimator(TagDatabase& tags, DataTable& files) : tags_(tags), files_(files) {
    for (const SimTag& tag : tags_.All()) {
        if (!tag.Dims.empty() || tag.IsStructure())
            continue;
        switch (static_cast<CipType>(tag.TypeCode)) {
        case CipType::Sint:
        case CipType::Int:
        case CipType::Dint:
        case CipType::Lint:
            values_.push_back(
                {Kind::Integer, tag.Name, 0, static_cast<double>(SignedValue(tag.Data, tag.ElementSize()))});
            break;
        case CipType::Real:
        case CipType::Lreal:
            values_.push_back(
                {Kind::Real, tag.Name, 0, RealValue(tag.Data, static_cast<CipType>(tag.TypeCode))});
            break;
        case CipType::Bool:
            values_.push_back({Kind::Bool, tag.Name, 0, tag.Data.empty() || tag.Data[0] == 0 ? 0.0 : 1.0});
            break;
        default:
            break;
        }
    }
    for (const DataFile& file : files_.All()) {
        if (file.Data.size() < 2 || (file.Letter != 'N' && file.Letter != 'F'))
            continue;
        const std::string name = file.Name() + ":0";
        if (file.Letter == 'N')
            values_.push_back(
                {Kind::FileWord, name, file.Number, static_cast<double>(SignedValue(file.Data, 2))});
        else if (file.Data.size() >= 4)
            values_.push_back({Kind::FileFloat, name, file.Number, RealValue(file.Data, CipType::Real)});
    }
}

SimAnimator::~SimAnimator() {
    Stop();
}

void SimAnimator::Step(std::uint64_t second) {
    for (const Value& v : values_) {
        switch (v.What) {
        case Kind::Integer:
            tags_.WriteInteger(v.Name, 0,
                               static_cast<std::int64_t>(v.Start) + static_cast<std::int64_t>(second));
            break;
        case Kind::Real:
            tags_.WriteValue(v.Name, 0, Sine(v.Start, second));
            break;
        case Kind::Bool:
            tags_.WriteInteger(v.Name, 0, (v.Start != 0) != (second % 2 == 1) ? 1 : 0);
            break;
        case Kind::FileWord: {
            const auto word = static_cast<std::uint16_t>(static_cast<std::int64_t>(v.Start) +
                                                         static_cast<std::int64_t>(second));
            files_.WriteWord(v.File, 0, word);
            break;
        }
        case Kind::FileFloat: {
            const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(Sine(v.Start, second)));
            const Bytes bytes{static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
                              static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24)};
            files_.Write(v.File, 0, bytes);
            break;
        }
        }
    }
}

void SimAnimator::Start(std::chrono::milliseconds period) {
    Stop();
    thread_ = std::jthread([this, period](std::stop_token stop) {
        std::uint64_t second = 0;
        std::unique_lock hold(lock_);
        // Wakes at the period or at once when stopped; no other condition.
        while (!wake_.wait_for(hold, stop, period, [] { return false; }) && !stop.stop_requested())
            Step(++second);
    });
}

void SimAnimator::Stop() {
    if (thread_.joinable()) {
        thread_.request_stop();
        thread_.join();
    }
}

std::vector<std::string> SimAnimator::Animated() const {
    std::vector<std::string> names;
    for (const Value& v : values_)
        names.push_back(v.Name);
    return names;
}

} // namespace sim
