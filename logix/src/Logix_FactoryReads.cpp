// The factory's operations that read from the controller: a tag made from the
// symbol table or from one read, and templates.
#include "logix/Logix_Factory.h"
#include "logix/Logix_Processor.h"

#include <string>

namespace logix {

namespace {

// Reads name once and returns the structure handle of a structure reply.
std::optional<std::uint16_t> StructureHandleOf(const cip::TReadDataServiceReply& reply) {
    if (reply.DataType != cipType::Structure || reply.Data.size() < 2)
        return std::nullopt;
    return static_cast<std::uint16_t>(reply.Data[0] | (reply.Data[1] << 8));
}

// The template of the structure an address names: the base tag's template,
// then each ".Member" step through the member's own template. 0xFFFF when a
// step is no structure.
std::uint16_t TemplateInstanceOfAddress(std::string_view name, TLogixProcessor& processor) {
    std::uint16_t instance = processor.GetTemplateInstance(name);
    std::size_t dot = name.find('.');
    // Six levels are as deep as a structure nests.
    for (int depth = 0; dot != std::string_view::npos && instance != 0xFFFF && depth < 6; ++depth) {
        std::string_view rest = name.substr(dot + 1);
        const std::size_t next = rest.find('.');
        std::string_view member = rest.substr(0, next);
        member = member.substr(0, member.find('['));
        TTemplateInfo* info = processor.GetCachedTemplate(instance);
        TMemberInfo* found = info != nullptr ? info->FindMember(member) : nullptr;
        if (found == nullptr || !found->IsStructure())
            return 0xFFFF;
        instance = found->TemplateInstance();
        dot = next == std::string_view::npos ? next : dot + 1 + next;
    }
    return dot == std::string_view::npos ? instance : 0xFFFF;
}

// The template of a structure read, copied for a tag of its own. A reply
// whose handle disagrees with the cached template means the program on the
// controller changed: the caches are dropped and read once more.
std::unique_ptr<TTemplateInfo> TemplateForReply(std::string_view name, TLogixProcessor& processor,
                                                std::uint16_t handle) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const std::uint16_t instance = TemplateInstanceOfAddress(name, processor);
        TTemplateInfo* cached = instance != 0xFFFF ? processor.GetCachedTemplate(instance) : nullptr;
        if (cached != nullptr && cached->Handle == handle)
            return cached->Clone();
        processor.ClearCaches();
    }
    return nullptr;
}

} // namespace

std::unique_ptr<TLogixTag> TLogixTagFactory::CreateTag(std::string_view name, TLogixProcessor& processor,
                                                       std::uint16_t elementCount) {
    if (name.find_first_of(".[") == std::string_view::npos) {
        TLogixTagInfo* info = processor.FindTagInfo(name);
        if (info == nullptr)
            return nullptr;
        std::unique_ptr<TLogixTag> tag;
        if (info->IsStructure) {
            TTemplateInfo* cached = processor.GetCachedTemplate(info->TemplateInstance());
            if (cached == nullptr)
                return nullptr;
            tag = CreateStructTag(std::string(name), &processor, cached->Clone(), elementCount);
        } else {
            tag = CreateByType(info->AtomicType, std::string(name), elementCount, &processor);
            if (tag && info->DimCount >= 2) {
                tag->Dim0 = static_cast<std::uint16_t>(info->DimSize1);
                tag->Dim1 = static_cast<std::uint16_t>(info->DimSize2);
                tag->Dim2 = static_cast<std::uint16_t>(info->DimSize3);
            }
        }
        if (tag)
            tag->TagInfo = info;
        return tag;
    }
    const auto reply = processor.ReadTagOnce(name, elementCount);
    if (!reply || reply->Data.size() == 9 ||
        (reply->GeneralStatus != 0 && reply->GeneralStatus != cip::StatusPartialTransfer))
        return nullptr;
    if (const auto handle = StructureHandleOf(*reply)) {
        auto layout = TemplateForReply(name, processor, *handle);
        if (!layout)
            return nullptr;
        return CreateStructTag(std::string(name), &processor, std::move(layout), elementCount);
    }
    return CreateByType(reply->DataType, std::string(name), elementCount, &processor);
}

std::unique_ptr<TTemplateInfo> TLogixTagFactory::ReadTemplateForTag(std::string_view name, TLogixProcessor& processor,
                                                                     std::uint16_t elementCount) {
    const auto reply = processor.ReadTagOnce(name, elementCount);
    if (!reply || (reply->GeneralStatus != 0 && reply->GeneralStatus != cip::StatusPartialTransfer))
        return nullptr;
    const auto handle = StructureHandleOf(*reply);
    return handle ? TemplateForReply(name, processor, *handle) : nullptr;
}

std::unique_ptr<TTemplateInfo> TLogixTagFactory::ReadTemplate(std::uint16_t instance, TLogixProcessor& processor) {
    return processor.ReadTemplate(instance);
}

} // namespace logix
