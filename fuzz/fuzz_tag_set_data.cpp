// Replies fed to every tag class: the first byte picks the class (an atomic
// type code or a structure), the second the element count, the next four a
// fragment offset; the rest is handed to SetData as reply data, whole and in
// two fragments.
#include "FuzzCommon.h"

#include "logix/Logix_Factory.h"

#include <array>

namespace {

constexpr std::array<std::uint16_t, 25> Codes{0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7,  0xC8, 0xC9,
                                              0xCA, 0xCB, 0xCC, 0xCD, 0xCF, 0xD0, 0xD1,  0xD2, 0xD3,
                                              0xD4, 0xD6, 0xD7, 0xD8, 0xDA, 0xDB, 0x02A0};

std::unique_ptr<logix::TTemplateInfo> SmallTemplate(std::uint8_t pick) {
    switch (pick % 4) {
    case 0:
        return std::make_unique<logix::TPCCCTemplate_TIMER>();
    case 1:
        return std::make_unique<logix::TPCCCTemplate_COUNTER>();
    case 2:
        return std::make_unique<logix::TPCCCTemplate_CONTROL>();
    default:
        return nullptr; // raw elements
    }
}

void Exercise(logix::TLogixTag& tag) {
    if (auto* ex = dynamic_cast<logix::TLogixTagEx*>(&tag)) {
        for (std::size_t i = 0; i < ex->ValueCount(); ++i)
            (void)ex->GetValueAt(static_cast<std::ptrdiff_t>(i)).AsString();
    } else if (auto* udt = dynamic_cast<logix::TLogixUDT*>(&tag)) {
        for (const auto& name : udt->MemberNames())
            for (std::size_t i = 0; i < udt->ItemCount(); ++i)
                (void)udt->ItemAt(static_cast<std::ptrdiff_t>(i)).GetMember(name);
        (void)udt->AsString();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = fuzz::Bytes(data, size);
    if (input.size() < 6)
        return 0;
    const std::uint16_t code = Codes[input[0] % Codes.size()];
    const std::uint16_t count = static_cast<std::uint16_t>(input[1] % 40);
    const std::uint32_t offset = eip::ToUInt32(input, 2) % 4096;
    const auto reply = input.subspan(6);
    auto make = [&]() -> std::unique_ptr<logix::TLogixTag> {
        if (code == logix::cipType::Structure)
            return logix::TLogixTagFactory::CreateStructTag("F", nullptr, SmallTemplate(input[1]), count);
        return logix::TLogixTagFactory::CreateByType(code, "F", count);
    };
    fuzz::Guarded([&] {
        auto tag = make();
        tag->SetData(reply, 0);
        Exercise(*tag);
    });
    fuzz::Guarded([&] {
        auto tag = make();
        const std::size_t half = reply.size() / 2;
        if (half >= 2) {
            tag->SetData(reply.first(half), 0);
            std::vector<std::uint8_t> second(reply.begin(), reply.begin() + 2);
            second.insert(second.end(), reply.begin() + static_cast<std::ptrdiff_t>(half), reply.end());
            tag->SetData(second, offset);
        }
        Exercise(*tag);
    });
    return 0;
}
