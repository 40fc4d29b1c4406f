// Data packets: the parameter lists a plug-in hands to its host, one per
// delivery, with the standard items every data source puts in.
#pragma once

#include "common/qorParamLst.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace qor {

// A data packet: a parameter list plus the raw text it was made from. The host
// gets the text beside the list (Value1 of the packet's call record). Clear
// empties the items and the raw text, also when called through the base list
// or the list's interface.
class TParsedDataList : public TqorParamsList {
public:
    TParsedDataList() {
        ClearExtra = [](TqorParamsList& list) { static_cast<TParsedDataList&>(list).RawText.clear(); };
    }

    std::string RawText;
};

// The separator between raw texts appended to one packet.
inline constexpr std::string_view kRawTextSeparator = "<{[::]}>";

// RawText := text when it is empty, else RawText + "<{[::]}>" + text.
void AppendRawText(TParsedDataList& list, std::string_view text);

// Appends the standard items of a packet, in this order: "FULL_DATA_PACKET"
// and "DATA_PACKET" (each only when not empty), "DATE_TIME_STAMP" (dateTime,
// a local date and time, or now when 0), "DATA_SOURCE_ID",
// "DATA_SOURCE_FULL_NAME", then with a client id "CLIENTID" and
// "DATA_SOURCE_NAME" = clientSourceName, otherwise "DATA_SOURCE_NAME" =
// sourceName. Returns the number of items appended.
int AddStandardValues(TqorParamsList& list, std::string_view fullPacket, std::string_view dataPacket,
                      std::int32_t sourceId, std::string_view sourceFullName, std::int32_t clientId,
                      std::string_view clientSourceName, std::string_view sourceName, double dateTime = 0);

} // namespace qor
