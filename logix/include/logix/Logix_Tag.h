// Tag objects: one read's result. A tag holds its name, type, element count,
// decoded values, status and time stamp; replies reach it only through
// SetData, which checks the reply's type code and hands the value bytes to the
// class's decoder.
#pragma once

#include "logix/Logix_Types.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace logix {

class TLogixProcessor;
class TLogixTagInfo;
class TTemplateInfo;
class TLogixTagEx;

class TLogixTag {
public:
    using TTagEvent = std::function<void(TLogixTag&)>;

    virtual ~TLogixTag() = default;
    TLogixTag(const TLogixTag&) = delete;
    TLogixTag& operator=(const TLogixTag&) = delete;

    bool Active = true;                   // SetData does nothing while false
    TLogixProcessor* Processor = nullptr; // not owned
    std::uint16_t DataType = 0;           // CIP type code; 0 until the first reply sets it
    std::string Name;                     // the address as given
    std::int16_t ErrorCode = -100;
    std::int8_t Status = 0; // 0 not yet judged, 1 good, -1 error
    double TimeStamp = 0;   // of the last reply passed to SetData
    std::uint16_t ElementCount = 0;
    std::uint16_t StructHandle = 0;
    TLogixTagInfo* TagInfo = nullptr; // the symbol record it was made from, not owned
    std::uint16_t Dim0 = 0, Dim1 = 0, Dim2 = 0;
    TTagEvent OnDataChanged;
    TTagEvent OnStatusChanged;
    std::string RawData; // emptied by every SetData

    virtual TLogixType LogixType() const { return TLogixType::None; }
    // The tag as one that holds values (every tag but a structure's), or
    // null: a virtual call where a dynamic_cast would walk the hierarchy,
    // once for every value read.
    virtual const TLogixTagEx* ValueTag() const { return nullptr; }

    // The reply data of a read: the two-byte type code, then value bytes that
    // start at byteOffset of the tag's whole value data (non-zero for later
    // fragments). True when this call completed the tag and a value changed.
    // Fewer than two bytes raise eip::EListError.
    bool SetData(std::span<const std::uint8_t> data, std::uint32_t byteOffset = 0);
    // The general status as a little-endian word, then the extended status words.
    void UpdateStatus(std::span<const std::uint8_t> statusBytes);

protected:
    TLogixTag(std::string name, std::uint16_t elementCount, TLogixProcessor* processor);

    // Value bytes without the type code.
    virtual bool Decode(std::span<const std::uint8_t> bytes, std::uint32_t byteOffset) = 0;
    // Sizes the values (structures: the items) for ElementCount; run once,
    // right after construction.
    virtual void InitValues() = 0;
    // Sets a type mismatch on the tag: ErrorCode -7, Status -1.
    void SetTypeMismatch();
    void SetStatus(std::int8_t status);
    void NotifyDataChanged();

    template <class T, class... Args>
    static std::unique_ptr<T> Construct(Args&&... args) {
        std::unique_ptr<T> tag(new T(std::forward<Args>(args)...));
        tag->InitValues();
        return tag;
    }
    friend class TLogixTagFactory;
};

// Base of every non-structure tag: the decoded values and the access
// operations.
class TLogixTagEx : public TLogixTag {
public:
    std::vector<Variant> Values;
    // The values set for writing and which of them are set: empty until the
    // first value is set for writing, then as long as Values.
    std::vector<Variant> WriteValues;
    std::vector<bool> WriteFlags;
    bool Changed = false; // some value differed since the last notification

    std::size_t ValueCount() const { return Values.size(); }
    const TLogixTagEx* ValueTag() const override { return this; }

    Variant GetValue() const;
    void SetValue(const Variant& v);
    // Flat index; "List index out of bounds (i)" outside the values.
    Variant GetValueAt(std::ptrdiff_t i) const;
    void SetValueAt(std::ptrdiff_t i, const Variant& v);
    // Row-major access through Dim0..Dim2: "Invalid dimensions" while they are
    // not set, "List index out of bounds (i, j[, k])" outside them or the values.
    Variant GetValue2(std::ptrdiff_t i, std::ptrdiff_t j) const;
    void SetValue2(std::ptrdiff_t i, std::ptrdiff_t j, const Variant& v);
    Variant GetValue3(std::ptrdiff_t i, std::ptrdiff_t j, std::ptrdiff_t k) const;
    void SetValue3(std::ptrdiff_t i, std::ptrdiff_t j, std::ptrdiff_t k, const Variant& v);

protected:
    using TLogixTag::TLogixTag;
    // Sizes Values to count entries of zero and resets the write side.
    void InitValuesWith(std::size_t count, const Variant& zero);
    // Stores one decoded value, noting a change.
    void Store(std::size_t index, Variant value);
    // Complete and changed: clears Changed, notifies, true.
    bool Finish(bool complete);
    // The common shape of the fixed-size decoders: elementSize bytes per
    // element, read by read(bytes, position).
    template <class Read>
    bool DecodeFixed(std::span<const std::uint8_t> bytes, std::uint32_t byteOffset, std::size_t elementSize,
                     Read read);

private:
    std::size_t FlatIndex2(std::ptrdiff_t i, std::ptrdiff_t j) const;
    std::size_t FlatIndex3(std::ptrdiff_t i, std::ptrdiff_t j, std::ptrdiff_t k) const;
    void CheckIndex(std::ptrdiff_t i) const;
    friend class TLogixTag;
};

// A single BOOL (0xC1) or a bit string (BYTE, WORD, DWORD, LWORD). A BOOL array
// on the controller is counted in 32-bit words: ElementCount × 32 values.
class TLogixBOOL : public TLogixTagEx {
public:
    static std::unique_ptr<TLogixBOOL> Create(std::string name, std::uint16_t elementCount,
                                              TLogixProcessor* processor = nullptr);
    TLogixType LogixType() const override { return TLogixType::BOOL; }
    bool AsBoolean() const { return BooleanAt(0); }
    bool BooleanAt(std::ptrdiff_t i) const;

protected:
    using TLogixTagEx::TLogixTagEx;
    bool Decode(std::span<const std::uint8_t> bytes, std::uint32_t byteOffset) override;
    void InitValues() override;
    friend class TLogixTag;
};

// SINT and (on 0xC6) USINT.
class TLogixSINT : public TLogixTagEx {
public:
    static std::unique_ptr<TLogixSINT> Create(std::string name, std::uint16_t elementCount,
                                              TLogixProcessor* processor = nullptr);
    TLogixType LogixType() const override { return TLogixType::SINT; }
    std::int32_t IntegerAt(std::ptrdiff_t i) const;

protected:
    using TLogixTagEx::TLogixTagEx;
    bool Decode(std::span<const std::uint8_t> bytes, std::uint32_t byteOffset) override;
    void InitValues() override;
    friend class TLogixTag;
};

class TLogixUSINT : public TLogixSINT {
public:
    static std::unique_ptr<TLogixUSINT> Create(std::string name, std::uint16_t elementCount,
                                               TLogixProcessor* processor = nullptr);
    TLogixType LogixType() const override { return TLogixType::USINT; }

protected:
    using TLogixSINT::TLogixSINT;
    friend class TLogixTag;
};

// INT and (on 0xC7) UINT.
class TLogixINT : public TLogixTagEx {
public:
    static std::unique_ptr<TLogixINT> Create(std::string name, std::uint16_t elementCount,
                                             TLogixProcessor* processor = nullptr);
    TLogixType LogixType() const override { return TLogixType::INT; }
    std::int32_t IntegerAt(std::ptrdiff_t i) const;

protected:
    using TLogixTagEx::TLogixTagEx;
    bool Decode(std::span<const std::uint8_t> bytes, std::uint32_t byteOffset) override;
    void InitValues() override;
    friend class TLogixTag;
};

class TLogixUINT : public TLogixINT {
public:
    static std::unique_ptr<TLogixUINT> Create(std::string name, std::uint16_t elementCount,
                                              TLogixProcessor* processor = nullptr);
    TLogixType LogixType() const override { return TLogixType::UINT; }

protected:
    using TLogixINT::TLogixINT;
    friend class TLogixTag;
};

// DINT and (on 0xC8) UDINT. IntegerAt of a UDINT above 2^31 - 1 wraps into
// the signed range, the engine's 32-bit integer; GetValueAt keeps the value.
class TLogixDINT : public TLogixTagEx {
public:
    static std::unique_ptr<TLogixDINT> Create(std::string name, std::uint16_t elementCount,
                                              TLogixProcessor* processor = nullptr);
    TLogixType LogixType() const override { return TLogixType::DINT; }
    std::int32_t IntegerAt(std::ptrdiff_t i) const;

protected:
    using TLogixTagEx::TLogixTagEx;
    bool Decode(std::span<const std::uint8_t> bytes, std::uint32_t byteOffset) override;
    void InitValues() override;
    friend class TLogixTag;
};

class TLogixUDINT : public TLogixDINT {
public:
    static std::unique_ptr<TLogixUDINT> Create(std::string name, std::uint16_t elementCount,
                                               TLogixProcessor* processor = nullptr);
    TLogixType LogixType() const override { return TLogixType::UDINT; }

protected:
    using TLogixDINT::TLogixDINT;
    friend class TLogixTag;
};

// LINT and ULINT, both as signed 64-bit values.
class TLogixLINT : public TLogixTagEx {
public:
    static std::unique_ptr<TLogixLINT> Create(std::string name, std::uint16_t elementCount,
                                              TLogixProcessor* processor = nullptr);
    TLogixType LogixType() const override { return TLogixType::LINT; }
    std::int64_t Int64At(std::ptrdiff_t i) const;

protected:
    using TLogixTagEx::TLogixTagEx;
    bool Decode(std::span<const std::uint8_t> bytes, std::uint32_t byteOffset) override;
    void InitValues() override;
    friend class TLogixTag;
};

// REAL (widened to double) and LREAL; the element size follows the code.
class TLogixREAL : public TLogixTagEx {
public:
    static std::unique_ptr<TLogixREAL> Create(std::string name, std::uint16_t elementCount,
                                              TLogixProcessor* processor = nullptr);
    TLogixType LogixType() const override { return TLogixType::REAL; }
    double FloatAt(std::ptrdiff_t i) const;

protected:
    using TLogixTagEx::TLogixTagEx;
    bool Decode(std::span<const std::uint8_t> bytes, std::uint32_t byteOffset) override;
    void InitValues() override;
    friend class TLogixTag;
};

class TLogixLREAL : public TLogixREAL {
public:
    static std::unique_ptr<TLogixLREAL> Create(std::string name, std::uint16_t elementCount,
                                               TLogixProcessor* processor = nullptr);
    TLogixType LogixType() const override { return TLogixType::LREAL; }

protected:
    using TLogixREAL::TLogixREAL;
    friend class TLogixTag;
};

// DATE_AND_TIME, DATE and TIME as date-times (days since 1899-12-30).
class TLogixDATETIME : public TLogixTagEx {
public:
    static std::unique_ptr<TLogixDATETIME> Create(std::string name, std::uint16_t elementCount,
                                                  TLogixProcessor* processor = nullptr);
    TLogixType LogixType() const override { return TLogixType::DATETIME; }
    double DateTimeAt(std::ptrdiff_t i) const;

protected:
    using TLogixTagEx::TLogixTagEx;
    bool Decode(std::span<const std::uint8_t> bytes, std::uint32_t byteOffset) override;
    void InitValues() override;
    friend class TLogixTag;
};

class TLogixDATE : public TLogixDATETIME {
public:
    static std::unique_ptr<TLogixDATE> Create(std::string name, std::uint16_t elementCount,
                                              TLogixProcessor* processor = nullptr);
    TLogixType LogixType() const override { return TLogixType::DATE; }

protected:
    using TLogixDATETIME::TLogixDATETIME;
    friend class TLogixTag;
};

class TLogixTIME : public TLogixDATETIME {
public:
    static std::unique_ptr<TLogixTIME> Create(std::string name, std::uint16_t elementCount,
                                              TLogixProcessor* processor = nullptr);
    TLogixType LogixType() const override { return TLogixType::TIME; }

protected:
    using TLogixDATETIME::TLogixDATETIME;
    friend class TLogixTag;
};

// STRING (0xD0: 2-byte length, characters, a pad byte after an odd length)
// and SHORT_STRING (0xDA: 1-byte length, characters). ElementCount follows the
// number of strings the last reply held.
class TLogixSSTRING : public TLogixTagEx {
public:
    static std::unique_ptr<TLogixSSTRING> Create(std::string name, std::uint16_t elementCount,
                                                 TLogixProcessor* processor = nullptr);
    TLogixType LogixType() const override { return TLogixType::SSTRING; }
    std::string StringAt(std::ptrdiff_t i) const;

protected:
    using TLogixTagEx::TLogixTagEx;
    bool Decode(std::span<const std::uint8_t> bytes, std::uint32_t byteOffset) override;
    void InitValues() override;
    friend class TLogixTag;
};

// One string at offset of a 0xD0 or 0xDA value (as the tag and structure
// members read it); nothing when its characters run past the end. next gets
// the offset after it.
std::optional<std::string> ParseCipString(std::span<const std::uint8_t> bytes, std::size_t offset,
                                          std::uint16_t typeCode, std::size_t* next = nullptr);

} // namespace logix
