// Code pages and calendar time on POSIX: iconv and the C library's
// re-entrant conversions.
#include "platform/Clock.h"
#include "platform/Text.h"

#include <array>
#include <cerrno>
#include <iconv.h>

namespace platform {
namespace {

// The iconv descriptor, closed with its owner.
class Iconv {
public:
    explicit Iconv(const char* from) : cd_(::iconv_open("UTF-8", from)) {}
    ~Iconv() {
        if (Ok())
            ::iconv_close(cd_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool Ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t Get() const { return cd_; }

private:
    iconv_t cd_;
};

} // namespace

std::optional<std::string> CodePageToUtf8(std::string_view bytes, std::uint32_t codePage) {
    const std::string name = "CP" + std::to_string(codePage);
    Iconv cd(name.c_str());
    if (!cd.Ok())
        return std::nullopt;
    std::string out;
    std::string input(bytes);
    char* in = input.data();
    std::size_t inLeft = input.size();
    std::array<char, 256> buf;
    while (inLeft > 0) {
        char* o = buf.data();
        std::size_t oLeft = buf.size();
        const std::size_t r = ::iconv(cd.Get(), &in, &inLeft, &o, &oLeft);
        out.append(buf.data(), buf.size() - oLeft);
        if (r == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG)
                continue;
            // An undefined or cut-off sequence: one replacement character for
            // its first byte, then go on after it.
            out += "\xEF\xBF\xBD";
            ++in;
            --inLeft;
            ::iconv(cd.Get(), nullptr, nullptr, nullptr, nullptr);
        }
    }
    return out;
}

bool LocalTime(std::int64_t seconds, std::tm* out) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    return ::localtime_r(&t, out) != nullptr;
}

bool UtcTime(std::int64_t seconds, std::tm* out) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    return ::gmtime_r(&t, out) != nullptr;
}

// The ANSI text of a Linux process is UTF-8 already.
std::string AnsiToUtf8(std::string_view ansi) { return std::string(ansi); }
std::string Utf8ToAnsi(std::string_view utf8) { return std::string(utf8); }

} // namespace platform
