// The options dialog's resources as the host receives them through
// GetOptionsDialog:
//   "FORM_NAME"   the name of the layout resource, "TFRMOPTION";
//   "TFRMOPTION"  the layout: the binary component stream of the form;
//   "FORM_DATA"   one gzip member (stored file name "1") holding three
//                 sections separated by a "<=======>" line with an empty line
//                 before and after it, CR LF line ends throughout: the
//                 script's parse tree as XML, the layout resource's name, and
//                 the settings map, every line ended by CR LF.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qor {

inline constexpr std::string_view kFormName = "TFRMOPTION";
// Between two sections of the FORM_DATA text.
inline constexpr std::string_view kFormDataSeparator = "\r\n\r\n<=======>\r\n\r\n";

// A gzip stream that is not one whole member, or a member too large to take.
class EGzipError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The FORM_DATA text: the XML (its line ends made CR LF), the form name and
// the map lines.
std::string FormDataText(std::string_view scriptXml, std::string_view formName,
                         std::span<const std::string_view> settingsMap);

// One gzip member with the stored file name and no time stamp, so the same
// text always gives the same bytes.
std::vector<std::uint8_t> GzipMember(std::string_view text, std::string_view storedName);
// The text of the first member; refuses a member whose text would exceed
// maxSize, a damaged member and bytes after the member.
std::string GunzipMember(std::span<const std::uint8_t> bytes, std::size_t maxSize = 16u * 1024 * 1024);

// The three sections of a FORM_DATA text; fewer when separators are missing.
std::vector<std::string> SplitFormData(std::string_view text);

} // namespace qor
