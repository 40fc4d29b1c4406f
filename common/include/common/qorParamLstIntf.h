// Parameter lists across the library boundary: the C-compatible variant
// record and the reference-counted list and item interfaces.
//
// This header is all a host needs to read and fill the plug-in's lists (and
// all the plug-in needs to read the host's); it names no internal class.
//
// Interfaces are laid out as COM interfaces: classes with only virtual
// functions (no virtual destructor, so slot 0 is QueryInterface), the slots in
// declaration order, the standard-call convention on 32-bit x86. On x86-64
// there is one calling convention and `this` is the first argument, so a C
// caller sees each slot as a function taking the interface pointer first.
//
// Safe-call methods (marked S) return an HRESULT: 0, or 0x8000FFFF when the
// call failed inside (nothing thrown ever leaves a method); their real result
// is the last, out parameter, written only on success.
//
// Text. 8-bit texts are UTF-8 ("ANSI" in the method names). Wide texts are
// UTF-16 in 16-bit units (char16_t, Windows' WCHAR), not wchar_t, which is 32
// bits on Linux.
//
// Values (TqorVarData) handed to the list:
// - type 0x0100 or 0x0102 with a non-nil pointer is a raw C string of the
//   caller's: the A methods read 0x0100 as null-terminated UTF-8 and 0x0102 as
//   null-terminated UTF-16; the W methods read both as UTF-16. The list stores
//   its own copy; the caller keeps its buffer.
// - type 8 (OleStr) is a null-terminated UTF-16 string in both;
// - numeric and boolean types (2 to 7, 11, 16 to 21) may be passed by
//   reference (0x4000 flag, VPointer to the value); the list stores the value;
// - arrays (0x2000 flag + element type): VArray points to a TqorVarArray whose
//   elements follow the same rules;
// - any other type fails the call (0x8000FFFF).
//
// Values handed out (out parameters of GetValue, GetValueDef, GetValueW):
// strings come as type 0x0100 (A methods) or 0x0102 (W methods and
// IqorParamsListItemA::GetValueW) whatever their stored type; numbers as their
// own type; booleans as VBoolean -1 or 0. Pointers in the record (strings,
// arrays) point into memory of the interface object that answered and stay
// valid until the next value-returning call on that same object or its final
// Release; copy what you need. The caller never frees anything in a record.
//
// Reference counts and ownership:
// - every interface pointer returned through an out parameter (GetItem,
//   FindItem, Add, Insert, SetValue, AddItem) carries a reference the caller
//   must Release; a nil result carries none;
// - a list interface reached through a boundary variable (the value slot
//   type 9 or Params of a call record: the address of a variable holding an
//   IqorParamsListA reference) is lent for the duration of the call; AddRef it
//   to keep it, but keep it no longer than the call: the side that made it
//   frees its list when the call returns. A list whose maker let go while
//   references remain shows an error message box and, from then on, answers
//   every call with a failure (S methods 0x8000FFFF, others 0, nil or false);
//   the object itself is freed by the last Release;
// - an item interface is valid while its list lives and the item is in it
//   (Delete and Clear free items; an item interface held beyond that must
//   not be used);
// - a C string returned by an item (GetName, GetNameW, GetLowerUTF8Name)
//   points into the item interface object and stays valid while that
//   interface is held and its name is not changed.
#pragma once

#include "platform/Types.h"

#include <cstdint>

namespace qor {

using HRESULT = std::int32_t;
constexpr HRESULT kHResultOk = 0;
constexpr HRESULT kHResultNoInterface = static_cast<HRESULT>(0x80004002); // E_NOINTERFACE
constexpr HRESULT kHResultUnexpected = static_cast<HRESULT>(0x8000FFFF);  // E_UNEXPECTED: safe call failed

struct TGUID {
    std::uint32_t D1;
    std::uint16_t D2;
    std::uint16_t D3;
    std::uint8_t D4[8];
};
static_assert(sizeof(TGUID) == 16);

constexpr bool operator==(const TGUID& a, const TGUID& b) {
    if (a.D1 != b.D1 || a.D2 != b.D2 || a.D3 != b.D3)
        return false;
    for (int i = 0; i < 8; ++i)
        if (a.D4[i] != b.D4[i])
            return false;
    return true;
}

inline constexpr TGUID IID_IqorUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr TGUID IID_IqorParamsListA = {0x33316d29, 0x0f86, 0x41c4, {0x8d, 0xb4, 0x3f, 0xe9, 0x75, 0x61, 0x58, 0xb1}};
inline constexpr TGUID IID_IqorParamsListW = {0x33316d29, 0x0f86, 0x41c4, {0x8d, 0xb4, 0x3f, 0xe9, 0x75, 0x61, 0x58, 0xb2}};
inline constexpr TGUID IID_IqorParamsListItemA = {0x33316d29, 0x0f86, 0x41c4,
                                                  {0x8d, 0xb4, 0x3f, 0xe9, 0x75, 0x61, 0x58, 0xb4}};
// A second identifier answered by the same item method table.
inline constexpr TGUID IID_IqorParamsListItemA6 = {0x33316d29, 0x0f86, 0x41c4,
                                                   {0x8d, 0xb4, 0x3f, 0xe9, 0x75, 0x61, 0x58, 0xb6}};

struct TqorVarData;

// The elements of an array value.
struct TqorVarArray {
    std::uint32_t Count;
    std::uint32_t Reserved;
    const TqorVarData* Items;
};

// A value crossing the boundary; the layout of Windows' VARIANT (TVarData):
// the type, three reserved words, then 8 bytes of value that can also hold a
// pointer. 16 bytes on 32- and 64-bit targets.
struct TqorVarData {
    std::uint16_t VType; // the variant type number (common/Variant.h)
    std::uint16_t Reserved1;
    std::uint16_t Reserved2;
    std::uint16_t Reserved3;
    union {
        std::int16_t VSmallInt;   // 2
        std::int32_t VInteger;    // 3
        float VSingle;            // 4
        double VDouble;           // 5
        std::int64_t VCurrency;   // 6: scaled by 10000
        double VDate;             // 7: days since 1899-12-30
        const char16_t* VOleStr;  // 8
        std::int16_t VBoolean;    // 11: -1 true, 0 false (any non-zero reads as true)
        std::int8_t VShortInt;    // 16
        std::uint8_t VByte;       // 17
        std::uint16_t VWord;      // 18
        std::uint32_t VLongWord;  // 19
        std::int64_t VInt64;      // 20
        std::uint64_t VUInt64;    // 21
        const char* VString;      // 0x0100
        const char16_t* VUString; // 0x0102
        const void* VPointer;     // by reference (0x4000)
        const TqorVarArray* VArray; // 0x2000
        std::uint64_t VRaw;
    };
};
static_assert(sizeof(TqorVarData) == 16);

class IqorUnknown {
public:
    // Slot 0; answers kHResultNoInterface (and a nil object) for an unknown identifier.
    virtual HRESULT QOR_STDCALL QueryInterface(const TGUID& iid, void** object) = 0;
    virtual std::uint32_t QOR_STDCALL AddRef() = 0;  // slot 1
    virtual std::uint32_t QOR_STDCALL Release() = 0; // slot 2

protected:
    ~IqorUnknown() = default;
};

class IqorParamsListItemA : public IqorUnknown {
public:
    virtual void QOR_STDCALL SetLowerUTF8Name(const char* name) = 0; // 3: replaces the cached lower-case text only
    virtual void QOR_STDCALL SetTag(std::int32_t tag) = 0;           // 4
    virtual void QOR_STDCALL SetFlags(std::uint8_t flags) = 0;       // 5
    virtual const char* QOR_STDCALL GetLowerUTF8Name() = 0;          // 6: the name, ASCII letters lower-cased
    virtual std::int32_t QOR_STDCALL GetTag() = 0;                   // 7
    virtual std::uint8_t QOR_STDCALL GetFlags() = 0;                 // 8
    virtual HRESULT QOR_STDCALL SetValue(const TqorVarData* value) = 0; // 9 S, A rule
    virtual HRESULT QOR_STDCALL GetValue(TqorVarData* value) = 0;       // 10 S
    virtual void QOR_STDCALL SetName(const char* name) = 0;             // 11
    virtual const char* QOR_STDCALL GetName() = 0;                      // 12: nil when the name is empty
    virtual bool QOR_STDCALL IsRowMarker() = 0;                         // 13: Tag = 65281
    virtual void QOR_STDCALL SetNameW(const char16_t* name) = 0;        // 14
    virtual const char16_t* QOR_STDCALL GetNameW() = 0;                 // 15: nil when the name is empty
    virtual HRESULT QOR_STDCALL SetValueW(const TqorVarData* value) = 0; // 16 S, W rule
    virtual HRESULT QOR_STDCALL GetValueW(TqorVarData* value) = 0;       // 17 S

protected:
    ~IqorParamsListItemA() = default;
};

// Slots 3 to 11, common to the A and W lists.
class IqorParamsList_ : public IqorUnknown {
public:
    virtual std::int32_t QOR_STDCALL GetCount() = 0;     // 3: items, markers included
    virtual std::int32_t QOR_STDCALL GetSignature() = 0; // 4: 0x0FDE2E4B
    virtual std::int32_t QOR_STDCALL GetTag() = 0;       // 5
    virtual void QOR_STDCALL SetTag(std::int32_t tag) = 0; // 6
    virtual void QOR_STDCALL Clear() = 0;                  // 7
    virtual void QOR_STDCALL Delete(std::int32_t index) = 0; // 8: an index outside the list does nothing
    // 9: from max(start, 0), the first row marker; when there is none, the
    // last item with isMarker false; false when start is beyond the last item.
    virtual bool QOR_STDCALL FindRowEnd(std::int32_t start, std::int32_t* index, bool* isMarker) = 0;
    virtual void QOR_STDCALL EndRow() = 0; // 10: appends a row marker unless the last item is one
    // 11: appends copies of all items of the source list (any list interface),
    // then ends the row unless the last copied item was a marker.
    virtual void QOR_STDCALL AppendRows(IqorParamsList_* source) = 0;

protected:
    ~IqorParamsList_() = default;
};

// Lookup ranges (from, to): from max(from, 0) to `to` when 0 <= to < count,
// else to the last item; to = -2 searches only up to the next row marker.
// Names compare through the ANSI lower-case mapping.
class IqorParamsListA : public IqorParamsList_ {
public:
    virtual HRESULT QOR_STDCALL GetItem(std::int32_t index, IqorParamsListItemA** item) = 0; // 12: nil out of range
    // 13, 14: source is the address of a raw list object (its first four bytes
    // are the signature; a wrong signature fails the call); false when nil or empty.
    virtual HRESULT QOR_STDCALL AddList(void* rawList, bool* result) = 0;
    virtual HRESULT QOR_STDCALL AddListRange(void* rawList, std::int32_t from, std::int32_t to, bool* result) = 0;
    virtual HRESULT QOR_STDCALL FindItem(const char* name, std::int32_t from, std::int32_t to,
                                         IqorParamsListItemA** item) = 0; // 15
    virtual HRESULT QOR_STDCALL IndexOf(const char* name, std::int32_t from, std::int32_t to,
                                        std::int32_t* index) = 0; // 16: -1 when not found
    virtual HRESULT QOR_STDCALL GetValue(const char* name, std::int32_t from, std::int32_t to,
                                         TqorVarData* value) = 0; // 17: Empty when not found
    virtual HRESULT QOR_STDCALL GetValueDef(const char* name, const TqorVarData* def, std::int32_t from,
                                            std::int32_t to, TqorVarData* value) = 0; // 18
    // 19: always appends; nil item (nothing added) when the name is empty
    // after trimming characters below 33.
    virtual HRESULT QOR_STDCALL Add(const char* name, const TqorVarData* value, IqorParamsListItemA** item) = 0;
    virtual HRESULT QOR_STDCALL Insert(std::int32_t index, const char* name, const TqorVarData* value,
                                       IqorParamsListItemA** item) = 0; // 20: index 0..count
    // 21: sets the first item of that name; when missing, appends only with addIfMissing.
    virtual HRESULT QOR_STDCALL SetValue(const char* name, const TqorVarData* value, bool addIfMissing,
                                         IqorParamsListItemA** item) = 0;
    // 22: appends a copy of name, value, Tag and Flags of any item interface.
    virtual HRESULT QOR_STDCALL AddItem(IqorParamsListItemA* source, IqorParamsListItemA** item) = 0;

protected:
    ~IqorParamsListA() = default;
};

// As IqorParamsListA with UTF-16 names; AddList and AddListRange take a list
// interface as their source.
class IqorParamsListW : public IqorParamsList_ {
public:
    virtual HRESULT QOR_STDCALL GetItem(std::int32_t index, IqorParamsListItemA** item) = 0;
    virtual HRESULT QOR_STDCALL AddList(IqorParamsList_* source, bool* result) = 0;
    virtual HRESULT QOR_STDCALL AddListRange(IqorParamsList_* source, std::int32_t from, std::int32_t to,
                                             bool* result) = 0;
    virtual HRESULT QOR_STDCALL FindItem(const char16_t* name, std::int32_t from, std::int32_t to,
                                         IqorParamsListItemA** item) = 0;
    virtual HRESULT QOR_STDCALL IndexOf(const char16_t* name, std::int32_t from, std::int32_t to,
                                        std::int32_t* index) = 0;
    virtual HRESULT QOR_STDCALL GetValue(const char16_t* name, std::int32_t from, std::int32_t to,
                                         TqorVarData* value) = 0;
    virtual HRESULT QOR_STDCALL GetValueDef(const char16_t* name, const TqorVarData* def, std::int32_t from,
                                            std::int32_t to, TqorVarData* value) = 0;
    virtual HRESULT QOR_STDCALL Add(const char16_t* name, const TqorVarData* value, IqorParamsListItemA** item) = 0;
    virtual HRESULT QOR_STDCALL Insert(std::int32_t index, const char16_t* name, const TqorVarData* value,
                                       IqorParamsListItemA** item) = 0;
    virtual HRESULT QOR_STDCALL SetValue(const char16_t* name, const TqorVarData* value, bool addIfMissing,
                                         IqorParamsListItemA** item) = 0;
    virtual HRESULT QOR_STDCALL AddItem(IqorParamsListItemA* source, IqorParamsListItemA** item) = 0;

protected:
    ~IqorParamsListW() = default;
};

} // namespace qor
