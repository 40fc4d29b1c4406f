// The objects behind the boundary interfaces of common/qorParamLstIntf.h, the
// conversion of values to and from the boundary's variant record, and a
// counted reference for using a list interface that another side made.
#pragma once

#include "common/qorParamLst.h"
#include "common/qorParamLstIntf.h"

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qor {

// A safe call on a list interface answered with a failure.
class ESafeCallError : public std::runtime_error {
public:
    explicit ESafeCallError(HRESULT code);
    HRESULT Code;
};

// Reads a value handed to a list (the raw C-string rule: with wideRule type
// 0x0100 is read as UTF-16, else as UTF-8). Unknown types raise EVariantError.
Variant VarDataToVariant(const TqorVarData& value, bool wideRule);

// Storage for values handed out: Put writes v into out, with strings (UTF-8
// as 0x0100, or UTF-16 as 0x0102 when wide) and arrays pointing into this
// buffer until the next Put. The containers are lists: what they hold stays
// where it is while more is added, and an empty one allocates nothing (every
// item interface has a buffer, and most values are numbers).
class TqorVarDataBuffer {
public:
    void Put(const Variant& v, bool wide, TqorVarData& out);

private:
    void Write(const Variant& v, bool wide, TqorVarData& out, int depth);

    std::list<std::string> narrow_;
    std::list<std::u16string> wide_;
    std::list<std::vector<TqorVarData>> elements_;
    std::list<TqorVarArray> arrays_;
};

// The item interface: points to a list item it does not own and caches the
// item's name three ways (UTF-8, UTF-16, and ASCII-lower-cased UTF-8; the
// last two made when first asked for).
class TqorParamsListItemWrap final : public IqorParamsListItemA {
public:
    // A new item interface carrying one reference for the caller.
    static IqorParamsListItemA* Create(TqorParamsListItem* item);

    HRESULT QOR_STDCALL QueryInterface(const TGUID& iid, void** object) override;
    std::uint32_t QOR_STDCALL AddRef() override;
    std::uint32_t QOR_STDCALL Release() override;
    void QOR_STDCALL SetLowerUTF8Name(const char* name) override;
    void QOR_STDCALL SetTag(std::int32_t tag) override;
    void QOR_STDCALL SetFlags(std::uint8_t flags) override;
    const char* QOR_STDCALL GetLowerUTF8Name() override;
    std::int32_t QOR_STDCALL GetTag() override;
    std::uint8_t QOR_STDCALL GetFlags() override;
    HRESULT QOR_STDCALL SetValue(const TqorVarData* value) override;
    HRESULT QOR_STDCALL GetValue(TqorVarData* value) override;
    void QOR_STDCALL SetName(const char* name) override;
    const char* QOR_STDCALL GetName() override;
    bool QOR_STDCALL IsRowMarker() override;
    void QOR_STDCALL SetNameW(const char16_t* name) override;
    const char16_t* QOR_STDCALL GetNameW() override;
    HRESULT QOR_STDCALL SetValueW(const TqorVarData* value) override;
    HRESULT QOR_STDCALL GetValueW(TqorVarData* value) override;

private:
    explicit TqorParamsListItemWrap(TqorParamsListItem* item);
    void RefreshNames();

    std::atomic<std::uint32_t> refCount_{1};
    TqorParamsListItem* item_;
    std::string name_;
    std::optional<std::u16string> nameW_;
    std::optional<std::string> lowerUtf8_;
    TqorVarDataBuffer out_;
};

// The list interfaces over a TqorParamsList. Made by an owner (the code that
// hands the list across) whose handle counts as one reference; others hold
// interface references. When the owner lets go while others still hold
// references, a wrap whose interface variable was handed out shows the error
// message box, and a wrap of a borrowed list detaches from it (the list is
// about to go with its owner): calls through the remaining references then
// fail instead of touching freed memory, and the last Release frees the wrap.
class TqorParamsListWrap final : public IqorParamsListA, public IqorParamsListW {
public:
    struct OwnerRelease {
        void operator()(TqorParamsListWrap* w) const { w->ReleaseOwner(); }
    };
    using Ptr = std::unique_ptr<TqorParamsListWrap, OwnerRelease>;

    // A wrap around a list that outlives it (Borrowed).
    static Ptr Create(TqorParamsList* borrowed);
    // A wrap that creates and owns a new list.
    static Ptr Create();

    // The address of a variable inside the wrap that holds the wrap's
    // IqorParamsListA reference (taken on the first request). This, never the
    // interface itself, is what a call record's type 9 value slot carries.
    IqorParamsListA** GetInterfacePtr();

    IqorParamsListA* A() { return this; }
    IqorParamsListW* W() { return this; }
    TqorParamsList* List() const { return list_; } // nullptr once detached
    bool Borrowed() const { return borrowed_; }

    HRESULT QOR_STDCALL QueryInterface(const TGUID& iid, void** object) override;
    std::uint32_t QOR_STDCALL AddRef() override;
    std::uint32_t QOR_STDCALL Release() override;

    std::int32_t QOR_STDCALL GetCount() override;
    std::int32_t QOR_STDCALL GetSignature() override;
    std::int32_t QOR_STDCALL GetTag() override;
    void QOR_STDCALL SetTag(std::int32_t tag) override;
    void QOR_STDCALL Clear() override;
    void QOR_STDCALL Delete(std::int32_t index) override;
    bool QOR_STDCALL FindRowEnd(std::int32_t start, std::int32_t* index, bool* isMarker) override;
    void QOR_STDCALL EndRow() override;
    void QOR_STDCALL AppendRows(IqorParamsList_* source) override;

    HRESULT QOR_STDCALL GetItem(std::int32_t index, IqorParamsListItemA** item) override;
    HRESULT QOR_STDCALL AddItem(IqorParamsListItemA* source, IqorParamsListItemA** item) override;

    HRESULT QOR_STDCALL AddList(void* rawList, bool* result) override;
    HRESULT QOR_STDCALL AddListRange(void* rawList, std::int32_t from, std::int32_t to, bool* result) override;
    HRESULT QOR_STDCALL FindItem(const char* name, std::int32_t from, std::int32_t to,
                                 IqorParamsListItemA** item) override;
    HRESULT QOR_STDCALL IndexOf(const char* name, std::int32_t from, std::int32_t to, std::int32_t* index) override;
    HRESULT QOR_STDCALL GetValue(const char* name, std::int32_t from, std::int32_t to, TqorVarData* value) override;
    HRESULT QOR_STDCALL GetValueDef(const char* name, const TqorVarData* def, std::int32_t from, std::int32_t to,
                                    TqorVarData* value) override;
    HRESULT QOR_STDCALL Add(const char* name, const TqorVarData* value, IqorParamsListItemA** item) override;
    HRESULT QOR_STDCALL Insert(std::int32_t index, const char* name, const TqorVarData* value,
                               IqorParamsListItemA** item) override;
    HRESULT QOR_STDCALL SetValue(const char* name, const TqorVarData* value, bool addIfMissing,
                                 IqorParamsListItemA** item) override;

    HRESULT QOR_STDCALL AddList(IqorParamsList_* source, bool* result) override;
    HRESULT QOR_STDCALL AddListRange(IqorParamsList_* source, std::int32_t from, std::int32_t to,
                                     bool* result) override;
    HRESULT QOR_STDCALL FindItem(const char16_t* name, std::int32_t from, std::int32_t to,
                                 IqorParamsListItemA** item) override;
    HRESULT QOR_STDCALL IndexOf(const char16_t* name, std::int32_t from, std::int32_t to,
                                std::int32_t* index) override;
    HRESULT QOR_STDCALL GetValue(const char16_t* name, std::int32_t from, std::int32_t to,
                                 TqorVarData* value) override;
    HRESULT QOR_STDCALL GetValueDef(const char16_t* name, const TqorVarData* def, std::int32_t from,
                                    std::int32_t to, TqorVarData* value) override;
    HRESULT QOR_STDCALL Add(const char16_t* name, const TqorVarData* value, IqorParamsListItemA** item) override;
    HRESULT QOR_STDCALL Insert(std::int32_t index, const char16_t* name, const TqorVarData* value,
                               IqorParamsListItemA** item) override;
    HRESULT QOR_STDCALL SetValue(const char16_t* name, const TqorVarData* value, bool addIfMissing,
                                 IqorParamsListItemA** item) override;

private:
    TqorParamsListWrap(TqorParamsList* list, std::unique_ptr<TqorParamsList> owned);
    ~TqorParamsListWrap() = default;
    void ReleaseOwner();
    TqorParamsList& Checked(); // the list, or an exception when detached

    // The name-based methods of the A and W interfaces differ only in how the
    // name and string values are read (Char = char or char16_t).
    template <class Char>
    HRESULT FindItemOf(const Char* name, std::int32_t from, std::int32_t to, IqorParamsListItemA** item);
    template <class Char>
    HRESULT IndexOfName(const Char* name, std::int32_t from, std::int32_t to, std::int32_t* index);
    template <class Char>
    HRESULT GetValueOf(const Char* name, const TqorVarData* def, bool useDefault, std::int32_t from,
                       std::int32_t to, TqorVarData* value);
    template <class Char>
    HRESULT InsertValue(std::optional<std::int32_t> index, const Char* name, const TqorVarData* value,
                        IqorParamsListItemA** item); // no index: append
    template <class Char>
    HRESULT SetValueOf(const Char* name, const TqorVarData* value, bool addIfMissing, IqorParamsListItemA** item);

    std::atomic<std::uint32_t> refCount_{1};
    TqorParamsList* list_;
    std::unique_ptr<TqorParamsList> owned_;
    bool borrowed_;
    IqorParamsListA* interfaceVar_ = nullptr;
    bool handedOut_ = false;
    TqorVarDataBuffer out_;
};

// A counted reference to a list interface made by anyone (this module's wrap
// or the other side's), with the calls the plug-in and the host make on such
// lists. A failed safe call raises ESafeCallError.
class TqorParamsRef {
public:
    TqorParamsRef() = default;
    explicit TqorParamsRef(IqorParamsListA* list); // takes its own reference
    // The list whose reference is held in the variable at address (a call
    // record's Params or type 9 value slot); empty for a nil address or reference.
    static TqorParamsRef FromVariable(const void* address);
    ~TqorParamsRef();
    TqorParamsRef(const TqorParamsRef& o);
    TqorParamsRef& operator=(const TqorParamsRef& o);
    TqorParamsRef(TqorParamsRef&& o) noexcept;
    TqorParamsRef& operator=(TqorParamsRef&& o) noexcept;

    IqorParamsListA* Get() const { return list_; }
    explicit operator bool() const { return list_ != nullptr; }

    int Count() const;
    int IndexOf(std::string_view name, int from = 0, int to = -1) const;
    Variant GetValue(std::string_view name, int from = 0, int to = -1) const; // Empty when not found
    // True when an item was set (or added).
    bool SetValue(std::string_view name, const Variant& value, bool addIfMissing) const;
    bool Add(std::string_view name, const Variant& value) const;
    void EndRow() const;
    // Appends copies of every item (name, lower-case name, value, Tag, Flags) to list.
    void CopyTo(TqorParamsList& list) const;
    // Hands take the name and value of every item but the row markers, in
    // order, without a copy of the list.
    void ForEachValue(const std::function<void(std::string&& name, Variant&& value)>& take) const;

private:
    IqorParamsListA* list_ = nullptr;
};

} // namespace qor
