#include "plugins/qorPluginData.h"

#include "plugins/qorPluginModule.h"

#include <algorithm>
#include <limits>

namespace qor {

void AppendRawText(TParsedDataList& list, std::string_view text) {
    if (list.RawText.empty()) {
        list.RawText = text;
        return;
    }
    list.RawText += kRawTextSeparator;
    list.RawText += text;
}

int AddStandardValues(TqorParamsList& list, std::string_view fullPacket, std::string_view dataPacket,
                      std::int32_t sourceId, std::string_view sourceFullName, std::int32_t clientId,
                      std::string_view clientSourceName, std::string_view sourceName, double dateTime) {
    int added = 0;
    auto add = [&](std::string_view name, const Variant& value) {
        if (list.Add(name, value))
            ++added;
    };
    if (!fullPacket.empty())
        add("FULL_DATA_PACKET", fullPacket);
    if (!dataPacket.empty())
        add("DATA_PACKET", dataPacket);
    add("DATE_TIME_STAMP", Variant::FromDateTime(dateTime != 0 ? dateTime : LocalDateTimeNow()));
    add("DATA_SOURCE_ID", sourceId);
    add("DATA_SOURCE_FULL_NAME", sourceFullName);
    if (clientId != 0) {
        add("CLIENTID", clientId);
        add("DATA_SOURCE_NAME", clientSourceName);
    } else {
        add("DATA_SOURCE_NAME", sourceName);
    }
    return added;
}

void TqorPlugin::SendParsedData(std::uint32_t sourceId, TParsedDataList& list) {
    const TDataLoggerCallback send = DataLogger_SendDataEx.load();
    if (send == nullptr)
        return;
    TPluginCallRec rec{};
    rec.RecSize = kPluginCallRecSize;
    rec.Flags = kCallRecBuiltByPlugin;
    if (!list.RawText.empty()) {
        rec.Value1.Type = static_cast<std::uint8_t>(TPluginValueType::Text);
        rec.Value1.Size = static_cast<std::uint32_t>(
            std::min<std::size_t>(list.RawText.size(), std::numeric_limits<std::uint32_t>::max()));
        rec.Value1.Data = reinterpret_cast<std::uintptr_t>(list.RawText.data());
    }
    TqorParamsListWrap::Ptr wrap = TqorParamsListWrap::Create(&list);
    rec.Value2.Type = static_cast<std::uint8_t>(TPluginValueType::ListInterface);
    rec.Value2.Data = reinterpret_cast<std::uintptr_t>(wrap->GetInterfacePtr());
    send(ModuleIndex, sourceId, 0, 0, kSendDataPacket, &rec, 0);
}

} // namespace qor
