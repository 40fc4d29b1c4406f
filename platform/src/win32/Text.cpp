// Code pages and calendar time on Win32: the system's conversions.
#include "WinApi.h"

#include "platform/Clock.h"
#include "platform/Text.h"

namespace platform {

std::optional<std::string> CodePageToUtf8(std::string_view bytes, std::uint32_t codePage) {
    if (!::IsValidCodePage(codePage))
        return std::nullopt;
    if (bytes.empty())
        return std::string();
    // Without MB_ERR_INVALID_CHARS the system puts its replacement for what
    // the code page does not define, as iconv's users get U+FFFD on Linux.
    const int n = ::MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (n <= 0)
        return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(), n);
    return win32::Narrow(wide);
}

bool LocalTime(std::int64_t seconds, std::tm* out) {
    const __time64_t t = seconds;
    return ::_localtime64_s(out, &t) == 0;
}

bool UtcTime(std::int64_t seconds, std::tm* out) {
    const __time64_t t = seconds;
    return ::_gmtime64_s(out, &t) == 0;
}

} // namespace platform
