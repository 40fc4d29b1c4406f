#include "plugins/qorPluginData.h"

#include <chrono>
#include <ctime>

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

double LocalDateTimeNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    // The reentrant form: packets are stamped on several threads at once.
    if (localtime_r(&seconds, &local) == nullptr)
        return DateTimeFromUnixMilliseconds(
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count());
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    TDateTimeParts parts;
    parts.Year = local.tm_year + 1900;
    parts.Month = local.tm_mon + 1;
    parts.Day = local.tm_mday;
    parts.Hour = local.tm_hour;
    parts.Minute = local.tm_min;
    parts.Second = local.tm_sec > 59 ? 59 : local.tm_sec; // a leap second stays inside its minute
    parts.Millisecond = static_cast<int>(ms < 0 ? ms + 1000 : ms);
    return EncodeDateTime(parts);
}

} // namespace qor
