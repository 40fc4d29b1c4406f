// The MicroLogix read path from the reply bytes to a tag: a SendUnitData reply
// parsed as an Execute PCCC reply, then turned into the tag of the file it
// read. The first byte picks the data file, the second the element count.
#include "FuzzCommon.h"

#include "cip/CIP_PCCC.h"
#include "logix/Logix_Processor.h"
#include "logix/Logix_Struct.h"
#include "logix/Logix_Tag.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto bytes = fuzz::Bytes(data, size);
    if (bytes.size() < 2)
        return 0;
    const cip::TPLC5DataType& file = cip::PLC5DataTypes[bytes[0] % cip::PLC5DataTypes.size()];
    const std::uint16_t count = static_cast<std::uint16_t>(1 + bytes[1] % 64);
    fuzz::Guarded([&] {
        cip::TPCCCServiceReply reply = cip::TPCCCServiceReply::FromReply(fuzz::ReplyWithData(bytes.subspan(2)));
        reply.DataType = file.DataType;
        reply.ValueKind = file.ValueKind;
        reply.ElementSize = file.ElementSize;
        auto tag = logix::TLogixProcessor::PCCCReplyToTag(reply, std::string(1, file.Letter) + "7:0", count, nullptr);
        if (auto* udt = dynamic_cast<logix::TLogixUDT*>(tag.get()))
            for (const std::string& name : udt->MemberNames())
                (void)udt->GetMember(name);
        else if (auto* values = dynamic_cast<logix::TLogixTagEx*>(tag.get()))
            for (std::size_t i = 0; i < values->ValueCount(); ++i)
                (void)values->GetValueAt(static_cast<std::ptrdiff_t>(i));
    });
    return 0;
}
