#include "common/qorComponentStream.h"

#include "common/qorStrUtils.h"

#include <bit>
#include <cmath>
#include <limits>

namespace qor {

TStreamValue TStreamValue::Of(TValueType type) {
    TStreamValue r;
    r.Type = type;
    return r;
}

bool TStreamValue::operator==(const TStreamValue& o) const {
    return Type == o.Type && Int == o.Int && UInt == o.UInt && Float == o.Float && Text == o.Text &&
           Bytes == o.Bytes && Elements == o.Elements && Items == o.Items && Collection == o.Collection;
}


namespace {

// Nesting beyond this (objects in objects, lists in lists) is not a form
// anyone wrote; it only guards the reader's stack against hostile input.
constexpr int kMaxDepth = 64;

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// UTF-16 code units to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16UnitsToUtf8(const std::vector<char16_t>& units) {
    std::string out;
    out.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(units[i + 1]) - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            AppendUtf8(out, 0xFFFD);
        } else {
            AppendUtf8(out, u);
        }
    }
    return out;
}

// UTF-8 to UTF-16 code units; an invalid sequence becomes U+FFFD.
std::vector<char16_t> Utf8ToUtf16Units(std::string_view s) {
    std::vector<char16_t> out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        char32_t cp = 0xFFFD;
        std::size_t len = 1;
        if (c < 0x80) {
            cp = c;
        } else {
            const std::size_t need = c >= 0xF0 && c <= 0xF4 ? 3 : c >= 0xE0 && c < 0xF0 ? 2 : c >= 0xC2 && c < 0xE0 ? 1 : 0;
            if (need > 0 && need < s.size() - i) {
                char32_t v = c & (0x3F >> need);
                bool ok = true;
                for (std::size_t k = 1; ok && k <= need; ++k) {
                    const auto n = static_cast<unsigned char>(s[i + k]);
                    ok = (n & 0xC0) == 0x80;
                    v = (v << 6) | (n & 0x3F);
                }
                const char32_t minimum = need == 1 ? 0x80 : need == 2 ? 0x800 : 0x10000;
                if (ok && v >= minimum && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF)) {
                    cp = v;
                    len = need + 1;
                }
            }
        }
        if (cp >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return out;
}

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::size_t Position() const { return pos_; }

    void Need(std::size_t n) const {
        if (n > bytes_.size() - pos_)
            throw EReadError("Stream read error");
    }
    std::uint8_t Peek() const {
        Need(1);
        return bytes_[pos_];
    }
    std::uint8_t Byte() {
        Need(1);
        return bytes_[pos_++];
    }
    std::uint64_t Unsigned(std::size_t size) {
        Need(size);
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < size; ++i)
            v |= std::uint64_t(bytes_[pos_ + i]) << (8 * i);
        pos_ += size;
        return v;
    }
    std::string Bytes(std::size_t n) {
        Need(n);
        std::string s(reinterpret_cast<const char*>(bytes_.data() + pos_), n);
        pos_ += n;
        return s;
    }
    std::string ShortString() { return Bytes(Byte()); }
    std::size_t Length32() {
        const auto n = static_cast<std::int32_t>(Unsigned(4));
        if (n < 0)
            throw EReadError("Invalid stream format");
        return static_cast<std::size_t>(n);
    }
    std::string Utf16(std::size_t count) {
        if (count > (bytes_.size() - pos_) / 2)
            throw EReadError("Stream read error");
        std::vector<char16_t> units(count);
        for (auto& u : units)
            u = static_cast<char16_t>(Unsigned(2));
        return Utf16UnitsToUtf8(units);
    }

    TStreamValue Value(int depth) {
        if (depth > kMaxDepth)
            throw EReadError("Invalid stream format");
        const std::uint8_t type = Byte();
        if (type > static_cast<std::uint8_t>(TValueType::QWord))
            throw EReadError("Invalid stream format");
        TStreamValue v;
        v.Type = static_cast<TValueType>(type);
        switch (v.Type) {
        case TValueType::Null:
        case TValueType::False:
        case TValueType::True:
        case TValueType::Nil:
            break;
        case TValueType::List:
            while (Peek() != 0)
                v.Items.push_back(Value(depth + 1));
            ++pos_;
            break;
        case TValueType::Int8:
            v.Int = static_cast<std::int8_t>(Unsigned(1));
            break;
        case TValueType::Int16:
            v.Int = static_cast<std::int16_t>(Unsigned(2));
            break;
        case TValueType::Int32:
            v.Int = static_cast<std::int32_t>(Unsigned(4));
            break;
        case TValueType::Int64:
        case TValueType::Currency:
            v.Int = static_cast<std::int64_t>(Unsigned(8));
            break;
        case TValueType::QWord:
            v.UInt = Unsigned(8);
            break;
        case TValueType::Extended: {
            Need(10);
            v.Float = ExtendedToDouble(std::span<const std::uint8_t, 10>(bytes_.data() + pos_, 10));
            pos_ += 10;
            break;
        }
        case TValueType::Single:
            v.Float = std::bit_cast<float>(static_cast<std::uint32_t>(Unsigned(4)));
            break;
        case TValueType::Date:
            v.Float = std::bit_cast<double>(Unsigned(8));
            break;
        case TValueType::String:
        case TValueType::Ident:
            v.Text = ShortString();
            break;
        case TValueType::LString:
        case TValueType::UTF8String:
            v.Text = Bytes(Length32());
            break;
        case TValueType::WString:
        case TValueType::UString:
            v.Text = Utf16(Length32());
            break;
        case TValueType::Binary: {
            const std::size_t n = Length32();
            Need(n);
            v.Bytes.assign(bytes_.begin() + static_cast<std::ptrdiff_t>(pos_),
                           bytes_.begin() + static_cast<std::ptrdiff_t>(pos_ + n));
            pos_ += n;
            break;
        }
        case TValueType::Set:
            for (;;) {
                std::string e = ShortString();
                if (e.empty())
                    break;
                v.Elements.push_back(std::move(e));
            }
            break;
        case TValueType::Collection:
            while (Peek() != 0) {
                TStreamCollectionItem item;
                const auto next = Peek();
                if (next == std::uint8_t(TValueType::Int8) || next == std::uint8_t(TValueType::Int16) ||
                    next == std::uint8_t(TValueType::Int32))
                    item.Order = Value(depth + 1);
                if (Byte() != std::uint8_t(TValueType::List))
                    throw EReadError("Invalid stream format");
                Properties(item.Properties, depth + 1);
                v.Collection.push_back(std::move(item));
            }
            ++pos_;
            break;
        }
        return v;
    }

    void Properties(std::vector<TStreamProperty>& out, int depth) {
        while (Peek() != 0) {
            TStreamProperty p;
            p.Name = ShortString();
            p.Value = Value(depth);
            out.push_back(std::move(p));
        }
        ++pos_;
    }

    TStreamObject Object(int depth) {
        if (depth > kMaxDepth)
            throw EReadError("Invalid stream format");
        TStreamObject o;
        if ((Peek() & 0xF0) == 0xF0) {
            o.Flags = Byte() & 0x0F;
            if (o.Flags & ffChildPos) {
                const TStreamValue pos = Value(depth);
                if (pos.Type != TValueType::Int8 && pos.Type != TValueType::Int16 &&
                    pos.Type != TValueType::Int32)
                    throw EReadError("Invalid stream format");
                o.ChildPos = static_cast<std::int32_t>(pos.Int);
            }
        }
        o.ClassName = ShortString();
        o.Name = ShortString();
        Properties(o.Properties, depth + 1);
        while (Peek() != 0)
            o.Children.push_back(Object(depth + 1));
        ++pos_;
        return o;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
};

class Writer {
public:
    std::vector<std::uint8_t> out;

    void Byte(std::uint8_t b) { out.push_back(b); }
    void Unsigned(std::uint64_t v, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i)
            out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void Raw(std::string_view s) { out.insert(out.end(), s.begin(), s.end()); }
    void ShortString(std::string_view s) {
        if (s.size() > 255)
            throw std::invalid_argument("component stream: name or short string longer than 255 bytes");
        Byte(static_cast<std::uint8_t>(s.size()));
        Raw(s);
    }
    void Length32(std::size_t n) {
        if (n > std::size_t(std::numeric_limits<std::int32_t>::max()))
            throw std::invalid_argument("component stream: value too long");
        Unsigned(n, 4);
    }

    void Value(const TStreamValue& v) {
        Byte(static_cast<std::uint8_t>(v.Type));
        switch (v.Type) {
        case TValueType::Null:
        case TValueType::False:
        case TValueType::True:
        case TValueType::Nil:
            break;
        case TValueType::List:
            for (const auto& item : v.Items)
                Value(item);
            Byte(0);
            break;
        case TValueType::Int8:
            Unsigned(static_cast<std::uint64_t>(v.Int), 1);
            break;
        case TValueType::Int16:
            Unsigned(static_cast<std::uint64_t>(v.Int), 2);
            break;
        case TValueType::Int32:
            Unsigned(static_cast<std::uint64_t>(v.Int), 4);
            break;
        case TValueType::Int64:
        case TValueType::Currency:
            Unsigned(static_cast<std::uint64_t>(v.Int), 8);
            break;
        case TValueType::QWord:
            Unsigned(v.UInt, 8);
            break;
        case TValueType::Extended: {
            const auto e = DoubleToExtended(v.Float);
            out.insert(out.end(), e.begin(), e.end());
            break;
        }
        case TValueType::Single:
            Unsigned(std::bit_cast<std::uint32_t>(static_cast<float>(v.Float)), 4);
            break;
        case TValueType::Date:
            Unsigned(std::bit_cast<std::uint64_t>(v.Float), 8);
            break;
        case TValueType::String:
        case TValueType::Ident:
            ShortString(v.Text);
            break;
        case TValueType::LString:
        case TValueType::UTF8String:
            Length32(v.Text.size());
            Raw(v.Text);
            break;
        case TValueType::WString:
        case TValueType::UString: {
            const auto units = Utf8ToUtf16Units(v.Text);
            Length32(units.size());
            for (char16_t u : units)
                Unsigned(u, 2);
            break;
        }
        case TValueType::Binary:
            Length32(v.Bytes.size());
            out.insert(out.end(), v.Bytes.begin(), v.Bytes.end());
            break;
        case TValueType::Set:
            for (const auto& e : v.Elements) {
                if (e.empty())
                    throw std::invalid_argument("component stream: empty set element name");
                ShortString(e);
            }
            Byte(0);
            break;
        case TValueType::Collection:
            for (const auto& item : v.Collection) {
                if (item.Order)
                    Value(*item.Order);
                Byte(static_cast<std::uint8_t>(TValueType::List));
                Properties(item.Properties);
            }
            Byte(0);
            break;
        }
    }

    void Properties(const std::vector<TStreamProperty>& props) {
        for (const auto& p : props) {
            if (p.Name.empty())
                throw std::invalid_argument("component stream: property without a name");
            ShortString(p.Name);
            Value(p.Value);
        }
        Byte(0);
    }

    void Object(const TStreamObject& o) {
        if (o.Flags != 0) {
            Byte(static_cast<std::uint8_t>(0xF0 | (o.Flags & 0x0F)));
            if (o.Flags & ffChildPos)
                Value(TStreamValue::Integer(o.ChildPos));
        }
        ShortString(o.ClassName);
        ShortString(o.Name);
        Properties(o.Properties);
        for (const auto& c : o.Children)
            Object(c);
        Byte(0);
    }
};

bool IsAscii(std::string_view s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

} // namespace

TStreamValue TStreamValue::Integer(std::int64_t v) {
    TStreamValue r;
    r.Int = v;
    if (v >= INT8_MIN && v <= INT8_MAX)
        r.Type = TValueType::Int8;
    else if (v >= INT16_MIN && v <= INT16_MAX)
        r.Type = TValueType::Int16;
    else if (v >= INT32_MIN && v <= INT32_MAX)
        r.Type = TValueType::Int32;
    else
        r.Type = TValueType::Int64;
    return r;
}

TStreamValue TStreamValue::Str(std::string_view text) {
    TStreamValue r;
    r.Text = std::string(text);
    if (!IsAscii(text))
        r.Type = TValueType::UTF8String;
    else if (text.size() <= 255)
        r.Type = TValueType::String;
    else
        r.Type = TValueType::LString;
    return r;
}

TStreamValue TStreamValue::Identifier(std::string_view name) {
    TStreamValue r;
    r.Type = TValueType::Ident;
    r.Text = std::string(name);
    return r;
}

TStreamValue TStreamValue::Boolean(bool v) {
    TStreamValue r;
    r.Type = v ? TValueType::True : TValueType::False;
    return r;
}

TStreamValue TStreamValue::Float80(double v) {
    TStreamValue r;
    r.Type = TValueType::Extended;
    r.Float = v;
    return r;
}

TStreamValue TStreamValue::Bin(std::vector<std::uint8_t> bytes) {
    TStreamValue r;
    r.Type = TValueType::Binary;
    r.Bytes = std::move(bytes);
    return r;
}

TStreamValue TStreamValue::SetOf(std::vector<std::string> elements) {
    TStreamValue r;
    r.Type = TValueType::Set;
    r.Elements = std::move(elements);
    return r;
}

TStreamValue TStreamValue::ListOf(std::vector<TStreamValue> items) {
    TStreamValue r;
    r.Type = TValueType::List;
    r.Items = std::move(items);
    return r;
}

bool TStreamValue::IsInteger() const {
    switch (Type) {
    case TValueType::Int8:
    case TValueType::Int16:
    case TValueType::Int32:
    case TValueType::Int64:
    case TValueType::QWord:
        return true;
    default:
        return false;
    }
}

bool TStreamValue::IsString() const {
    switch (Type) {
    case TValueType::String:
    case TValueType::LString:
    case TValueType::WString:
    case TValueType::UString:
    case TValueType::UTF8String:
        return true;
    default:
        return false;
    }
}

bool TStreamValue::IsFloat() const {
    return Type == TValueType::Extended || Type == TValueType::Single || Type == TValueType::Date ||
           Type == TValueType::Currency;
}

std::int64_t TStreamValue::AsInteger() const {
    if (Type == TValueType::QWord)
        return static_cast<std::int64_t>(UInt);
    if (!IsInteger())
        throw EReadError("Invalid property value");
    return Int;
}

double TStreamValue::AsFloat() const {
    if (Type == TValueType::Currency)
        return static_cast<double>(Int) / 10000.0;
    if (Type == TValueType::QWord)
        return static_cast<double>(UInt);
    if (IsInteger())
        return static_cast<double>(Int);
    if (IsFloat())
        return Float;
    throw EReadError("Invalid property value");
}

const TStreamProperty* TStreamObject::FindProperty(std::string_view name) const {
    for (const auto& p : Properties)
        if (SameText(p.Name, name))
            return &p;
    return nullptr;
}

const TStreamObject* TStreamObject::FindChild(std::string_view name) const {
    for (const auto& c : Children)
        if (SameText(c.Name, name))
            return &c;
    return nullptr;
}

TStreamObject ReadObjectStream(std::span<const std::uint8_t> bytes, std::size_t* consumed) {
    Reader r(bytes);
    if (r.Bytes(4) != kStreamSignature)
        throw EReadError("Invalid stream format");
    TStreamObject o = r.Object(0);
    if (consumed)
        *consumed = r.Position();
    return o;
}

std::vector<std::uint8_t> WriteObjectStream(const TStreamObject& object) {
    Writer w;
    w.Raw(kStreamSignature);
    w.Object(object);
    return std::move(w.out);
}

std::array<std::uint8_t, 10> DoubleToExtended(double v) {
    const auto bits = std::bit_cast<std::uint64_t>(v);
    const auto sign = static_cast<std::uint16_t>((bits >> 63) << 15);
    const auto exp = static_cast<int>((bits >> 52) & 0x7FF);
    std::uint64_t frac = bits & ((std::uint64_t(1) << 52) - 1);
    std::uint64_t mantissa = 0;
    std::uint16_t e = 0;
    if (exp == 0x7FF) {
        e = 0x7FFF;
        mantissa = (std::uint64_t(1) << 63) | (frac << 11);
    } else if (exp == 0 && frac == 0) {
        e = 0;
    } else if (exp == 0) {
        // A subnormal double is a normal extended: shift its fraction up to the integer bit.
        int unbiased = -1022;
        while ((frac & (std::uint64_t(1) << 52)) == 0) {
            frac <<= 1;
            --unbiased;
        }
        e = static_cast<std::uint16_t>(unbiased + 16383);
        mantissa = frac << 11;
    } else {
        e = static_cast<std::uint16_t>(exp - 1023 + 16383);
        mantissa = (std::uint64_t(1) << 63) | (frac << 11);
    }
    e |= sign;
    std::array<std::uint8_t, 10> out{};
    for (int i = 0; i < 8; ++i)
        out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(mantissa >> (8 * i));
    out[8] = static_cast<std::uint8_t>(e);
    out[9] = static_cast<std::uint8_t>(e >> 8);
    return out;
}

double ExtendedToDouble(std::span<const std::uint8_t, 10> bytes) {
    std::uint64_t mantissa = 0;
    for (int i = 0; i < 8; ++i)
        mantissa |= std::uint64_t(bytes[static_cast<std::size_t>(i)]) << (8 * i);
    const auto se = static_cast<std::uint16_t>(bytes[8] | (bytes[9] << 8));
    const bool negative = (se & 0x8000) != 0;
    const int e = se & 0x7FFF;
    double v;
    if (e == 0x7FFF) {
        v = (mantissa << 1) == 0 ? std::numeric_limits<double>::infinity()
                                 : std::numeric_limits<double>::quiet_NaN();
    } else if (mantissa == 0) {
        v = 0.0;
    } else {
        v = std::ldexp(static_cast<double>(mantissa), e - 16383 - 63);
    }
    return negative ? -v : v;
}

} // namespace qor
