// Code pages and calendar time on Win32: the system's conversions.
#include "WinApi.h"

#include "platform/Clock.h"
#include "platform/Text.h"

namespace platform {

std::optional<std::string> CodePageToUtf8(std::string_view bytes, std::uint32_t codePage) {
    if (codePage != CP_ACP && !::IsValidCodePage(codePage))
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

std::string AnsiToUtf8(std::string_view ansi) {
    if (ansi.empty())
        return {};
    return CodePageToUtf8(ansi, CP_ACP).value_or(std::string(ansi));
}

std::string Utf8ToAnsi(std::string_view utf8) {
    const std::wstring wide = win32::Widen(utf8);
    if (wide.empty())
        return {};
    const int n = ::WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                        nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        ::WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
    return out;
}

} // namespace platform
