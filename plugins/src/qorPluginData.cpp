#include "plugins/qorPluginData.h"


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
                      std::string_view clientSourceName, std::string_view sourceName) {
    int added = 0;
    auto add = [&](std::string_view name, const Variant& value) {
        if (list.Add(name, value))
            ++added;
    };
    if (!fullPacket.empty())
        add("FULL_DATA_PACKET", fullPacket);
    if (!dataPacket.empty())
        add("DATA_PACKET", dataPacket);
    add("DATE_TIME_STAMP", Variant::FromDateTime(LocalDateTimeNow()));
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


} // namespace qor
