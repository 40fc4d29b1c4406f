// Structure templates and replies built by hand for the tests, with values
// that expose byte order and offsets.
#pragma once

#include "logix/Logix_Template.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace logixtest {

using Bytes = std::vector<std::uint8_t>;

struct TM {
    const char* Name;
    std::uint16_t Type;
    std::uint32_t Offset;
    std::uint16_t Info = 0;
};

inline std::unique_ptr<logix::TTemplateInfo> Template(std::string name, std::uint16_t size, std::uint16_t handle,
                                        std::initializer_list<TM> members, std::uint16_t instance = 0) {
    auto t = std::make_unique<logix::TTemplateInfo>();
    t->Name = std::move(name);
    t->StructureSize = size;
    t->Handle = handle;
    t->InstanceId = instance;
    for (const TM& m : members) {
        auto* info = t->Members.Add(std::make_unique<logix::TMemberInfo>());
        *info = logix::TMemberInfo{m.Type, m.Info, m.Offset, m.Name};
        info->Kind = info->IsStructure() ? logix::TLogixType::USER : logix::MemberKindOf(info->AtomicType());
        info->Size =
            info->AtomicType() == logix::cipType::BOOL ? 1 : logix::TypeSize(info->AtomicType()) * info->ElementCount();
        info->Hidden = info->Name.starts_with("ZZZZZZZZZZ");
    }
    t->MemberCount = static_cast<std::uint16_t>(t->Members.Count());
    return t;
}

inline Bytes Reply(std::uint16_t handle, std::span<const std::uint8_t> element) {
    Bytes data(4 + element.size());
    data[0] = 0xA0;
    data[1] = 0x02;
    data[2] = static_cast<std::uint8_t>(handle);
    data[3] = static_cast<std::uint8_t>(handle >> 8);
    std::copy(element.begin(), element.end(), data.begin() + 4);
    return data;
}

} // namespace logixtest
