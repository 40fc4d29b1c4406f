#include "logix/Logix_Tag.h"

#include <algorithm>
#include <limits>

namespace logix {

using namespace eip;

namespace {


std::string IndexText(std::initializer_list<std::ptrdiff_t> indexes) {
    std::string text = "List index out of bounds (";
    bool first = true;
    for (const auto i : indexes) {
        if (!first)
            text += ", ";
        text += std::to_string(i);
        first = false;
    }
    return text + ")";
}

// Low 12 bits of the type word: the code without flag bits.
std::uint16_t BaseCode(std::uint16_t dataType) {
    return dataType & 0x0FFF;
}

} // namespace

// ---------------------------------------------------------------- TLogixTag

TLogixTag::TLogixTag(std::string name, std::uint16_t elementCount, TLogixProcessor* processor)
    : Processor(processor), Name(std::move(name)), ElementCount(elementCount) {}

bool TLogixTag::SetData(std::span<const std::uint8_t> data, std::uint32_t byteOffset) {
    if (!Active)
        return false;
    RawData.clear();
    const std::uint16_t code = ToUInt16(data, 0);
    if (DataType == 0)
        DataType = code;
    else if (DataType != code) {
        SetTypeMismatch();
        return false;
    }
    TimeStamp = qor::LocalDateTimeNow();
    return Decode(data.subspan(2), byteOffset);
}

void TLogixTag::UpdateStatus(std::span<const std::uint8_t> statusBytes) {
    std::int16_t code = -100;
    std::int8_t status = -1;
    if (!statusBytes.empty()) {
        switch (statusBytes[0]) {
        case 0x00:
        case 0x06:
            code = 0;
            status = 1;
            break;
        case 0x04:
            code = -13;
            break;
        case 0x05:
            code = -14;
            break;
        case 0x0A:
            code = -15;
            break;
        case 0x13:
            code = -16;
            break;
        case 0x1C:
            code = -17;
            break;
        case 0x26:
            code = -18;
            break;
        case 0xFF:
            if (statusBytes.size() == 4) {
                switch (statusBytes[2]) {
                case 0x04:
                    code = -21;
                    break;
                case 0x05:
                    code = -19;
                    break;
                case 0x07:
                    code = -20;
                    break;
                default:
                    break;
                }
            }
            break;
        default:
            break;
        }
    }
    ErrorCode = code;
    SetStatus(status);
}

void TLogixTag::SetTypeMismatch() {
    ErrorCode = -7;
    SetStatus(-1);
}

void TLogixTag::SetStatus(std::int8_t status) {
    const bool changed = Status != status;
    Status = status;
    if (changed && OnStatusChanged)
        OnStatusChanged(*this);
}

void TLogixTag::NotifyDataChanged() {
    if (OnDataChanged)
        OnDataChanged(*this);
}

// -------------------------------------------------------------- TLogixTagEx

void TLogixTagEx::InitValuesWith(std::size_t count, const Variant& zero) {
    Values.assign(count, zero);
    // The write side is the caller's own, made by the first value set for
    // writing (a value set for writing must not show up as a value read from
    // the controller). A tag that is only read, as every polled one is, never
    // pays for it.
    WriteValues.clear();
    WriteFlags.clear();
}

void TLogixTagEx::Store(std::size_t index, Variant value) {
    if (index >= Values.size())
        return;
    Variant& stored = Values[index];
    if (stored.IsEmpty() || !(stored == value) || stored.Type() != value.Type())
        Changed = true;
    stored = std::move(value);
}

bool TLogixTagEx::Finish(bool complete) {
    if (!complete || !Changed)
        return false;
    Changed = false;
    NotifyDataChanged();
    return true;
}

template <class Read>
bool TLogixTagEx::DecodeFixed(std::span<const std::uint8_t> bytes, std::uint32_t byteOffset,
                              std::size_t elementSize, Read read) {
    if (Values.size() != ElementCount)
        Values.resize(ElementCount);
    bool complete = false;
    std::size_t position = 0;
    for (std::size_t i = byteOffset / elementSize; i < ElementCount; ++i) {
        // A partial element at the end of the bytes is no value.
        if (bytes.size() - position < elementSize)
            break;
        Store(i, read(bytes, position));
        position += elementSize;
        if (i + 1 == ElementCount)
            complete = true;
        if (position >= bytes.size())
            break;
    }
    return Finish(complete);
}

void TLogixTagEx::CheckIndex(std::ptrdiff_t i) const {
    // Values never hold more than ElementCount × 32 entries, except the 64
    // bits of an LWORD, which all stay readable.
    if (i < 0 || i >= static_cast<std::ptrdiff_t>(Values.size()))
        throw EListError(i);
}

std::size_t TLogixTagEx::FlatIndex2(std::ptrdiff_t i, std::ptrdiff_t j) const {
    if (Dim0 == 0 || Dim1 == 0)
        throw ELogixInvalidOperation("Invalid dimensions");
    // i × j ≤ ElementCount alone lets j run past its row and the flat index
    // past the values; each index must lie inside its dimension too.
    if (i < 0 || j < 0 || i * j > ElementCount || i >= Dim0 || j >= Dim1)
        throw ELogixIndexError(IndexText({i, j}));
    const std::ptrdiff_t flat = static_cast<std::ptrdiff_t>(Dim1) * i + j;
    if (flat >= static_cast<std::ptrdiff_t>(Values.size()))
        throw ELogixIndexError(IndexText({i, j}));
    return static_cast<std::size_t>(flat);
}

std::size_t TLogixTagEx::FlatIndex3(std::ptrdiff_t i, std::ptrdiff_t j, std::ptrdiff_t k) const {
    if (Dim0 == 0 || Dim1 == 0 || Dim2 == 0)
        throw ELogixInvalidOperation("Invalid dimensions");
    if (i < 0 || j < 0 || k < 0 || i * j * k > ElementCount || i >= Dim0 || j >= Dim1 || k >= Dim2)
        throw ELogixIndexError(IndexText({i, j, k}));
    const std::ptrdiff_t flat = (static_cast<std::ptrdiff_t>(Dim1) * i + j) * Dim2 + k;
    if (flat >= static_cast<std::ptrdiff_t>(Values.size()))
        throw ELogixIndexError(IndexText({i, j, k}));
    return static_cast<std::size_t>(flat);
}

Variant TLogixTagEx::GetValue() const {
    return GetValueAt(0);
}

void TLogixTagEx::SetValue(const Variant& v) {
    SetValueAt(0, v);
}

Variant TLogixTagEx::GetValueAt(std::ptrdiff_t i) const {
    CheckIndex(i);
    return Values[static_cast<std::size_t>(i)];
}

void TLogixTagEx::SetValueAt(std::ptrdiff_t i, const Variant& v) {
    CheckIndex(i);
    const auto index = static_cast<std::size_t>(i);
    if (WriteValues.size() < Values.size()) {
        WriteValues.resize(Values.size());
        WriteFlags.resize(Values.size(), false);
    }
    WriteValues[index] = v;
    WriteFlags[index] = true;
}

Variant TLogixTagEx::GetValue2(std::ptrdiff_t i, std::ptrdiff_t j) const {
    return Values[FlatIndex2(i, j)];
}

void TLogixTagEx::SetValue2(std::ptrdiff_t i, std::ptrdiff_t j, const Variant& v) {
    SetValueAt(static_cast<std::ptrdiff_t>(FlatIndex2(i, j)), v);
}

Variant TLogixTagEx::GetValue3(std::ptrdiff_t i, std::ptrdiff_t j, std::ptrdiff_t k) const {
    return Values[FlatIndex3(i, j, k)];
}

void TLogixTagEx::SetValue3(std::ptrdiff_t i, std::ptrdiff_t j, std::ptrdiff_t k, const Variant& v) {
    SetValueAt(static_cast<std::ptrdiff_t>(FlatIndex3(i, j, k)), v);
}

// --------------------------------------------------------------- TLogixBOOL

std::unique_ptr<TLogixBOOL> TLogixBOOL::Create(std::string name, std::uint16_t elementCount,
                                               TLogixProcessor* processor) {
    return Construct<TLogixBOOL>(std::move(name), elementCount, processor);
}

void TLogixBOOL::InitValues() {
    InitValuesWith(std::size_t{ElementCount} * 32, Variant(false));
}

bool TLogixBOOL::BooleanAt(std::ptrdiff_t i) const {
    return GetValueAt(i).AsBoolean();
}

bool TLogixBOOL::Decode(std::span<const std::uint8_t> bytes, std::uint32_t byteOffset) {
    if (bytes.empty())
        return false;
    const std::uint16_t code = BaseCode(DataType);
    if (code == cipType::BOOL) {
        if (Values.empty())
            Values.resize(1);
        Store(0, Variant(bytes[0] == 0xFF || bytes[0] == 0x01));
        return Finish(true);
    }
    std::size_t size = 0;
    switch (code) {
    case cipType::BYTE:
        size = 1;
        break;
    case cipType::WORD:
        size = 2;
        break;
    case cipType::DWORD:
        size = 4;
        break;
    case cipType::LWORD:
        size = 8;
        break;
    default:
        SetTypeMismatch();
        return false;
    }
    // Exactly the bits the elements hold: the 32 per element made before the
    // type was known are too few for an LWORD and too many for a BYTE (which
    // would never complete).
    const std::size_t bits = 8 * size;
    const std::size_t wanted = bits * std::max<std::size_t>(ElementCount, 1);
    if (Values.size() != wanted)
        Values.resize(wanted, Variant(false));
    const std::size_t present = bytes.size() / size;
    const std::size_t first = byteOffset / size;
    bool complete = false;
    for (std::size_t e = 0; e < present; ++e) {
        std::uint64_t word = 0;
        for (std::size_t b = 0; b < size; ++b)
            word |= static_cast<std::uint64_t>(bytes[e * size + b]) << (8 * b);
        const std::size_t base = (first + e) * bits;
        if (base >= Values.size())
            break;
        for (std::size_t k = 0; k < bits; ++k) {
            const std::size_t index = base + k;
            if (index >= Values.size())
                break;
            Store(index, Variant(((word >> k) & 1u) != 0));
            if (index + 1 == Values.size())
                complete = true;
        }
    }
    return Finish(complete);
}

// ------------------------------------------------------- the integer classes

std::unique_ptr<TLogixSINT> TLogixSINT::Create(std::string name, std::uint16_t elementCount,
                                               TLogixProcessor* processor) {
    return Construct<TLogixSINT>(std::move(name), elementCount, processor);
}

std::unique_ptr<TLogixUSINT> TLogixUSINT::Create(std::string name, std::uint16_t elementCount,
                                                 TLogixProcessor* processor) {
    return Construct<TLogixUSINT>(std::move(name), elementCount, processor);
}

void TLogixSINT::InitValues() {
    // Not one conditional expression of two Variants: GCC 12 reports the
    // temporary's std::variant as maybe uninitialized there (a false report).
    if (LogixType() == TLogixType::USINT)
        InitValuesWith(ElementCount, Variant(std::uint8_t{0}));
    else
        InitValuesWith(ElementCount, Variant(std::int8_t{0}));
}

std::int32_t TLogixSINT::IntegerAt(std::ptrdiff_t i) const {
    return GetValueAt(i).AsInteger();
}

bool TLogixSINT::Decode(std::span<const std::uint8_t> bytes, std::uint32_t byteOffset) {
    if (bytes.empty())
        return false;
    const std::uint16_t code = BaseCode(DataType);
    if (code == cipType::SINT)
        return DecodeFixed(bytes, byteOffset, 1,
                           [](auto b, std::size_t p) { return Variant(ToSByte(b, p)); });
    if (code == cipType::USINT)
        return DecodeFixed(bytes, byteOffset, 1, [](auto b, std::size_t p) { return Variant(ToByte(b, p)); });
    SetTypeMismatch();
    return false;
}

std::unique_ptr<TLogixINT> TLogixINT::Create(std::string name, std::uint16_t elementCount,
                                             TLogixProcessor* processor) {
    return Construct<TLogixINT>(std::move(name), elementCount, processor);
}

std::unique_ptr<TLogixUINT> TLogixUINT::Create(std::string name, std::uint16_t elementCount,
                                               TLogixProcessor* processor) {
    return Construct<TLogixUINT>(std::move(name), elementCount, processor);
}

void TLogixINT::InitValues() {
    // Not one conditional expression of two Variants: GCC 12 reports the
    // temporary's std::variant as maybe uninitialized there (a false report).
    if (LogixType() == TLogixType::UINT)
        InitValuesWith(ElementCount, Variant(std::uint16_t{0}));
    else
        InitValuesWith(ElementCount, Variant(std::int16_t{0}));
}

std::int32_t TLogixINT::IntegerAt(std::ptrdiff_t i) const {
    return GetValueAt(i).AsInteger();
}

bool TLogixINT::Decode(std::span<const std::uint8_t> bytes, std::uint32_t byteOffset) {
    if (bytes.empty())
        return false;
    const std::uint16_t code = BaseCode(DataType);
    if (code == cipType::INT)
        return DecodeFixed(bytes, byteOffset, 2,
                           [](auto b, std::size_t p) { return Variant(ToInt16(b, p)); });
    if (code == cipType::UINT)
        return DecodeFixed(bytes, byteOffset, 2,
                           [](auto b, std::size_t p) { return Variant(ToUInt16(b, p)); });
    SetTypeMismatch();
    return false;
}

std::unique_ptr<TLogixDINT> TLogixDINT::Create(std::string name, std::uint16_t elementCount,
                                               TLogixProcessor* processor) {
    return Construct<TLogixDINT>(std::move(name), elementCount, processor);
}

std::unique_ptr<TLogixUDINT> TLogixUDINT::Create(std::string name, std::uint16_t elementCount,
                                                 TLogixProcessor* processor) {
    return Construct<TLogixUDINT>(std::move(name), elementCount, processor);
}

void TLogixDINT::InitValues() {
    // Not one conditional expression of two Variants: GCC 12 reports the
    // temporary's std::variant as maybe uninitialized there (a false report).
    if (LogixType() == TLogixType::UDINT)
        InitValuesWith(ElementCount, Variant(std::uint32_t{0}));
    else
        InitValuesWith(ElementCount, Variant(std::int32_t{0}));
}

std::int32_t TLogixDINT::IntegerAt(std::ptrdiff_t i) const {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(GetValueAt(i).AsInt64()));
}

bool TLogixDINT::Decode(std::span<const std::uint8_t> bytes, std::uint32_t byteOffset) {
    if (bytes.empty())
        return false;
    const std::uint16_t code = BaseCode(DataType);
    if (code == cipType::DINT)
        return DecodeFixed(bytes, byteOffset, 4,
                           [](auto b, std::size_t p) { return Variant(ToInt32(b, p)); });
    if (code == cipType::UDINT)
        return DecodeFixed(bytes, byteOffset, 4,
                           [](auto b, std::size_t p) { return Variant(ToUInt32(b, p)); });
    SetTypeMismatch();
    return false;
}

std::unique_ptr<TLogixLINT> TLogixLINT::Create(std::string name, std::uint16_t elementCount,
                                               TLogixProcessor* processor) {
    return Construct<TLogixLINT>(std::move(name), elementCount, processor);
}

void TLogixLINT::InitValues() {
    InitValuesWith(ElementCount, Variant(0LL));
}

std::int64_t TLogixLINT::Int64At(std::ptrdiff_t i) const {
    // A ULINT above the signed range comes back wrapped; GetValueAt keeps it.
    const Variant v = GetValueAt(i);
    return v.Type() == qor::VarType::UInt64 ? static_cast<std::int64_t>(v.AsUInt64()) : v.AsInt64();
}

bool TLogixLINT::Decode(std::span<const std::uint8_t> bytes, std::uint32_t byteOffset) {
    if (bytes.empty())
        return false;
    const std::uint16_t code = BaseCode(DataType);
    if (code == cipType::LINT)
        return DecodeFixed(bytes, byteOffset, 8, [](auto b, std::size_t p) {
            return Variant(static_cast<long long>(ToInt64(b, p)));
        });
    if (code == cipType::ULINT)
        return DecodeFixed(bytes, byteOffset, 8, [](auto b, std::size_t p) {
            return Variant(static_cast<unsigned long long>(ToUInt64(b, p)));
        });
    SetTypeMismatch();
    return false;
}

// ------------------------------------------------------------ REAL and LREAL

std::unique_ptr<TLogixREAL> TLogixREAL::Create(std::string name, std::uint16_t elementCount,
                                               TLogixProcessor* processor) {
    return Construct<TLogixREAL>(std::move(name), elementCount, processor);
}

std::unique_ptr<TLogixLREAL> TLogixLREAL::Create(std::string name, std::uint16_t elementCount,
                                                 TLogixProcessor* processor) {
    return Construct<TLogixLREAL>(std::move(name), elementCount, processor);
}

void TLogixREAL::InitValues() {
    InitValuesWith(ElementCount, Variant(0.0));
}

double TLogixREAL::FloatAt(std::ptrdiff_t i) const {
    return GetValueAt(i).AsDouble();
}

bool TLogixREAL::Decode(std::span<const std::uint8_t> bytes, std::uint32_t byteOffset) {
    if (bytes.empty())
        return false;
    const std::uint16_t code = BaseCode(DataType);
    if (code == cipType::REAL)
        return DecodeFixed(bytes, byteOffset, 4,
                           [](auto b, std::size_t p) { return Variant(ToSingle(b, p)); });
    if (code == cipType::LREAL)
        return DecodeFixed(bytes, byteOffset, 8,
                           [](auto b, std::size_t p) { return Variant(ToDouble(b, p)); });
    SetTypeMismatch();
    return false;
}

// ------------------------------------------------------- dates and times

std::unique_ptr<TLogixDATETIME> TLogixDATETIME::Create(std::string name, std::uint16_t elementCount,
                                                       TLogixProcessor* processor) {
    return Construct<TLogixDATETIME>(std::move(name), elementCount, processor);
}

std::unique_ptr<TLogixDATE> TLogixDATE::Create(std::string name, std::uint16_t elementCount,
                                               TLogixProcessor* processor) {
    return Construct<TLogixDATE>(std::move(name), elementCount, processor);
}

std::unique_ptr<TLogixTIME> TLogixTIME::Create(std::string name, std::uint16_t elementCount,
                                               TLogixProcessor* processor) {
    return Construct<TLogixTIME>(std::move(name), elementCount, processor);
}

void TLogixDATETIME::InitValues() {
    InitValuesWith(ElementCount,
                   LogixType() == TLogixType::TIME ? Variant(std::int32_t{0}) : Variant::FromDateTime(0));
}

double TLogixDATETIME::DateTimeAt(std::ptrdiff_t i) const {
    return GetValueAt(i).AsDateTime();
}

bool TLogixDATETIME::Decode(std::span<const std::uint8_t> bytes, std::uint32_t byteOffset) {
    if (bytes.empty())
        return false;
    switch (BaseCode(DataType)) {
    case cipType::DATE:
        return DecodeFixed(bytes, byteOffset, 2,
                           [](auto b, std::size_t p) { return ConvertDate(b, p, cipType::DATE); });
    case cipType::TIME:
        // A duration in milliseconds: as a date it would read as a day in
        // 1899.
        return DecodeFixed(bytes, byteOffset, 4, [](auto b, std::size_t p) { return Variant(ToInt32(b, p)); });
    case cipType::DATE_AND_TIME:
        return DecodeFixed(bytes, byteOffset, 6,
                           [](auto b, std::size_t p) { return ConvertDate(b, p, cipType::DATE_AND_TIME); });
    default:
        SetTypeMismatch();
        return false;
    }
}

// ------------------------------------------------------------ TLogixSSTRING

std::optional<std::string> ParseCipString(std::span<const std::uint8_t> bytes, std::size_t offset,
                                          std::uint16_t typeCode, std::size_t* next) {
    std::size_t length = 0;
    std::size_t start = 0;
    if (typeCode == cipType::SHORT_STRING) {
        if (offset >= bytes.size())
            return std::nullopt;
        length = bytes[offset];
        start = offset + 1;
    } else {
        if (offset > bytes.size() || bytes.size() - offset < 2)
            return std::nullopt;
        length = ToUInt16(bytes, offset);
        start = offset + 2;
    }
    if (bytes.size() - start < length)
        return std::nullopt;
    std::string text(reinterpret_cast<const char*>(bytes.data()) + start, length);
    std::size_t after = start + length;
    if (typeCode != cipType::SHORT_STRING && (length % 2) != 0)
        after = std::min(after + 1, bytes.size());
    if (next)
        *next = after;
    return text;
}

std::unique_ptr<TLogixSSTRING> TLogixSSTRING::Create(std::string name, std::uint16_t elementCount,
                                                     TLogixProcessor* processor) {
    return Construct<TLogixSSTRING>(std::move(name), elementCount, processor);
}

void TLogixSSTRING::InitValues() {
    InitValuesWith(ElementCount, Variant(std::string()));
}

std::string TLogixSSTRING::StringAt(std::ptrdiff_t i) const {
    return GetValueAt(i).AsString();
}

bool TLogixSSTRING::Decode(std::span<const std::uint8_t> bytes, std::uint32_t) {
    if (bytes.empty())
        return false;
    const std::uint16_t code = BaseCode(DataType);
    if (code != cipType::STRING && code != cipType::SHORT_STRING) {
        SetTypeMismatch();
        return false;
    }
    std::vector<std::string> strings;
    std::size_t at = 0;
    while (at < bytes.size() && strings.size() < std::numeric_limits<std::uint16_t>::max()) {
        std::size_t next = at;
        auto text = ParseCipString(bytes, at, code, &next);
        if (!text || next <= at)
            break;
        strings.push_back(std::move(*text));
        at = next;
    }
    if (strings.size() != Values.size()) {
        Changed = true;
        Values.resize(strings.size());
    }
    ElementCount = static_cast<std::uint16_t>(strings.size());
    for (std::size_t i = 0; i < strings.size(); ++i)
        Store(i, Variant(std::move(strings[i])));
    if (WriteValues.size() < Values.size()) {
        WriteValues.resize(Values.size());
        WriteFlags.resize(Values.size(), false);
    }
    return Finish(true);
}

} // namespace logix
