// Symbol browse replies (the data of a Get Instance Attribute List reply). The
// first byte picks the attribute list the records are read with: the one the
// processor asks for, or the one with the external-access byte that other
// clients ask for.
#include "FuzzCommon.h"

#include "logix/Logix_Processor.h"

#include <array>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto bytes = fuzz::Bytes(data, size);
    if (bytes.empty())
        return 0;
    static constexpr std::array<std::uint16_t, 5> withAccess{2, 7, 8, 10, 1};
    logix::TLogixTagInfoList list;
    const std::size_t used = (bytes[0] & 1) != 0
                                 ? list.ParseBrowseReply(bytes.subspan(1), withAccess)
                                 : list.ParseBrowseReply(bytes.subspan(1));
    if (used > bytes.size() - 1)
        __builtin_trap();
    for (const auto& info : list)
        (void)info->Name.size();
    (void)list.Find("Counter");
    return 0;
}
