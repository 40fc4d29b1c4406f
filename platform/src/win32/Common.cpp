// Text conversions and the calling thread's last error on Win32.
#include "WinApi.h"

#include "platform/Errors.h"

namespace platform {

namespace win32 {

std::wstring Widen(std::string_view utf8) {
    if (utf8.empty())
        return {};
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string Narrow(std::wstring_view wide) {
    if (wide.empty())
        return {};
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                        nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr,
                              nullptr);
    return out;
}

std::string ErrorText(::DWORD error) {
    wchar_t* text = nullptr;
    const ::DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                           FORMAT_MESSAGE_IGNORE_INSERTS,
                                       nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out;
    if (n > 0 && text) {
        out = Narrow(std::wstring_view(text, n));
        while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.'))
            out.pop_back();
    }
    if (text)
        ::LocalFree(text);
    return out.empty() ? "Windows error " + std::to_string(error) : out;
}

namespace {

class WindowsErrorCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "windows"; }
    std::string message(int code) const override { return ErrorText(static_cast<::DWORD>(code)); }
    // Comparisons with std::errc are the standard library's.
    std::error_condition default_error_condition(int code) const noexcept override {
        return std::system_category().default_error_condition(code);
    }
};

} // namespace

const std::error_category& ErrorCategory() {
    static const WindowsErrorCategory category;
    return category;
}

} // namespace win32

// The platform's error numbers are the Windows ones: the system's own last
// error serves as it is.
DWORD GetLastError() { return ::GetLastError(); }
void SetLastError(DWORD error) { ::SetLastError(error); }

} // namespace platform
