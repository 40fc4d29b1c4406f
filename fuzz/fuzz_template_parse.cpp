// Template definitions: the first six bytes are the attribute reply's member
// count, structure size and handle, the rest the definition. The parsed
// template then decodes the definition bytes as structure elements, with
// itself in the cache of nested templates so members may name it.
#include "FuzzCommon.h"

#include "logix/Logix_Struct.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = fuzz::Bytes(data, size);
    if (input.size() < 6)
        return 0;
    logix::TGetStructAttribsReply attributes;
    attributes.MemberCount = eip::ToUInt16(input, 0);
    attributes.StructureSize = static_cast<std::uint16_t>(eip::ToUInt16(input, 2) % 2048);
    attributes.Handle = eip::ToUInt16(input, 4);
    const auto definition = input.subspan(6);
    auto parsed = logix::TTemplateInfo::Parse(definition, attributes);

    logix::TTemplateInfoList cache;
    for (std::uint16_t instance :
         {std::uint16_t(0x0000), std::uint16_t(0x0FCE), std::uint16_t(attributes.Handle & 0x0FFF)}) {
        auto copy = parsed->Clone();
        copy->InstanceId = instance;
        cache.Add(std::move(copy));
    }
    for (auto& t : cache)
        t->ResolveSizes(cache);

    auto tag = logix::TLogixUDT::Create("F", nullptr, parsed->Clone(), 2);
    tag->NestedTemplates = &cache;
    std::vector<std::uint8_t> reply{0xA0, 0x02, static_cast<std::uint8_t>(attributes.Handle),
                                    static_cast<std::uint8_t>(attributes.Handle >> 8)};
    reply.insert(reply.end(), definition.begin(), definition.end());
    fuzz::Guarded([&] {
        tag->SetData(reply, 0);
        for (const auto& name : tag->MemberNames()) {
            (void)tag->GetMember(name);
            (void)tag->MemberBytes(name);
            (void)tag->MemberKind(name);
        }
        (void)tag->AsString();
    });
    return 0;
}
