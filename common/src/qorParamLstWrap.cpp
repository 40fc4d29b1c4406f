#include "common/qorParamLstWrap.h"

#include "common/qorStrUtils.h"

#include "platform/Debug.h"
#include "platform/Text.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <type_traits>

namespace qor {

namespace {

constexpr int kMaxArrayDepth = 8;

// Runs f; anything thrown becomes 0x8000FFFF.
template <class F>
HRESULT SafeCall(F&& f) noexcept {
    try {
        f();
        return kHResultOk;
    } catch (...) {
        return kHResultUnexpected;
    }
}

// Runs f for a method without an HRESULT: anything thrown gives the fallback.
template <class T, class F>
T Guarded(T fallback, F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        return fallback;
    }
}

template <class F>
void Guarded(F&& f) noexcept {
    try {
        f();
    } catch (...) {
    }
}

template <class T>
void Require(T* p) {
    if (p == nullptr)
        throw std::invalid_argument("nil out parameter");
}

std::string Narrow(const char* s) { return s ? std::string(s) : std::string(); }

std::u16string WideText(const char16_t* s) {
    if (s == nullptr)
        return {};
    std::size_t n = 0;
    while (s[n] != 0)
        ++n;
    return std::u16string(s, n);
}

std::string FromWide(const char16_t* s) { return Utf16ToUtf8(WideText(s)); }

Variant ReadScalar(std::uint16_t type, const void* p, bool wideRule) {
    // p points at the value (by reference) or at the record's value field.
    auto get = [p](auto t) {
        decltype(t) v;
        std::memcpy(&v, p, sizeof v);
        return v;
    };
    switch (static_cast<VarType>(type)) {
    case VarType::Empty:
        return Variant();
    case VarType::Null:
        return Variant::MakeNull();
    case VarType::Smallint:
        return Variant(get(std::int16_t{}));
    case VarType::Integer:
        return Variant(get(std::int32_t{}));
    case VarType::Single:
        return Variant(get(float{}));
    case VarType::Double:
        return Variant(get(double{}));
    case VarType::Currency:
        return Variant::FromCurrency(get(std::int64_t{}));
    case VarType::Date:
        return Variant::FromDateTime(get(double{}));
    case VarType::Boolean:
        return Variant(get(std::int16_t{}) != 0);
    case VarType::ShortInt:
        return Variant(get(std::int8_t{}));
    case VarType::Byte:
        return Variant(get(std::uint8_t{}));
    case VarType::Word:
        return Variant(get(std::uint16_t{}));
    case VarType::LongWord:
        return Variant(get(std::uint32_t{}));
    case VarType::Int64:
        return Variant(static_cast<long long>(get(std::int64_t{})));
    case VarType::UInt64:
        return Variant(static_cast<unsigned long long>(get(std::uint64_t{})));
    case VarType::OleStr:
        return Variant::FromText(FromWide(get(static_cast<const char16_t*>(nullptr))), VarType::OleStr);
    case VarType::String: {
        const void* text = get(static_cast<const void*>(nullptr));
        if (wideRule)
            return Variant::FromText(FromWide(static_cast<const char16_t*>(text)), VarType::String);
        // The "A" interface's text is in the host's ANSI code page.
        return Variant::FromText(platform::AnsiToUtf8(Narrow(static_cast<const char*>(text))), VarType::String);
    }
    case VarType::UString:
        return Variant::FromText(FromWide(get(static_cast<const char16_t*>(nullptr))), VarType::UString);
    default:
        break;
    }
    throw EVariantError("Variant type " + std::to_string(type) + " cannot cross the boundary");
}

Variant ReadVarData(const TqorVarData& v, bool wideRule, int depth) {
    const std::uint16_t type = v.VType;
    if (type & VarTypeCode(VarType::Array)) {
        if (depth >= kMaxArrayDepth || (type & VarTypeCode(VarType::ByRef)))
            throw EVariantError("Unsupported array value");
        std::vector<Variant> elements;
        if (v.VArray != nullptr && v.VArray->Count > 0) {
            if (v.VArray->Items == nullptr)
                throw EVariantError("Array without elements");
            elements.reserve(v.VArray->Count);
            for (std::uint32_t i = 0; i < v.VArray->Count; ++i)
                elements.push_back(ReadVarData(v.VArray->Items[i], wideRule, depth + 1));
        }
        return Variant::MakeArray(std::move(elements), VarType(type & 0x0FFF));
    }
    if (type & VarTypeCode(VarType::ByRef)) {
        if (v.VPointer == nullptr)
            throw EVariantError("Nil by-reference value");
        return ReadScalar(type & 0x0FFF, v.VPointer, wideRule);
    }
    return ReadScalar(type, &v.VRaw, wideRule);
}

} // namespace

ESafeCallError::ESafeCallError(HRESULT code)
    : std::runtime_error([code] {
          char text[64];
          std::snprintf(text, sizeof text, "Safe call failed (0x%08X)", static_cast<unsigned>(code));
          return std::string(text);
      }()),
      Code(code) {}

Variant VarDataToVariant(const TqorVarData& value, bool wideRule) { return ReadVarData(value, wideRule, 0); }

void TqorVarDataBuffer::Put(const Variant& v, bool wide, TqorVarData& out) {
    narrow_.clear();
    wide_.clear();
    elements_.clear();
    arrays_.clear();
    Write(v, wide, out, 0);
}

void TqorVarDataBuffer::Write(const Variant& v, bool wide, TqorVarData& out, int depth) {
    TqorVarData r{};
    const VarType t = v.Type();
    r.VType = VarTypeCode(t);
    if (v.IsArray()) {
        if (depth >= kMaxArrayDepth)
            throw EVariantError("Array nested too deeply");
        const std::vector<Variant>& src = v.AsArray();
        std::vector<TqorVarData>& items = elements_.emplace_back(src.size());
        for (std::size_t i = 0; i < src.size(); ++i)
            Write(src[i], wide, items[i], depth + 1);
        TqorVarArray& head = arrays_.emplace_back();
        head.Count = static_cast<std::uint32_t>(items.size());
        head.Reserved = 0;
        head.Items = items.data();
        r.VArray = &head;
        out = r;
        return;
    }
    switch (t) {
    case VarType::Empty:
    case VarType::Null:
        break;
    case VarType::Smallint:
        r.VSmallInt = static_cast<std::int16_t>(v.AsInt64());
        break;
    case VarType::Integer:
        r.VInteger = static_cast<std::int32_t>(v.AsInt64());
        break;
    case VarType::Single:
        r.VSingle = static_cast<float>(v.AsDouble());
        break;
    case VarType::Double:
        r.VDouble = v.AsDouble();
        break;
    case VarType::Currency:
        r.VCurrency = v.AsCurrency();
        break;
    case VarType::Date:
        r.VDate = v.AsDouble();
        break;
    case VarType::Boolean:
        r.VBoolean = v.AsBoolean() ? -1 : 0;
        break;
    case VarType::ShortInt:
        r.VShortInt = static_cast<std::int8_t>(v.AsInt64());
        break;
    case VarType::Byte:
        r.VByte = static_cast<std::uint8_t>(v.AsInt64());
        break;
    case VarType::Word:
        r.VWord = static_cast<std::uint16_t>(v.AsInt64());
        break;
    case VarType::LongWord:
        r.VLongWord = static_cast<std::uint32_t>(v.AsInt64());
        break;
    case VarType::Int64:
        r.VInt64 = v.AsInt64();
        break;
    case VarType::UInt64:
        r.VUInt64 = v.AsUInt64();
        break;
    case VarType::OleStr:
    case VarType::String:
    case VarType::UString:
        if (wide) {
            r.VType = VarTypeCode(VarType::UString);
            r.VUString = wide_.emplace_back(v.AsWideString()).c_str();
        } else {
            r.VType = VarTypeCode(VarType::String);
            r.VString = narrow_.emplace_back(platform::Utf8ToAnsi(v.AsString())).c_str();
        }
        break;
    default:
        throw EVariantError("Variant type " + std::to_string(VarTypeCode(t)) + " cannot cross the boundary");
    }
    out = r;
}

// ---------------------------------------------------------------- item wrap

IqorParamsListItemA* TqorParamsListItemWrap::Create(TqorParamsListItem* item) {
    if (item == nullptr)
        return nullptr;
    return new TqorParamsListItemWrap(item);
}

TqorParamsListItemWrap::TqorParamsListItemWrap(TqorParamsListItem* item) : item_(item) { RefreshNames(); }

void TqorParamsListItemWrap::RefreshNames() {
    name_ = item_->Name;
    nameW_.reset();
    lowerUtf8_.reset();
}

HRESULT TqorParamsListItemWrap::QueryInterface(const TGUID& iid, void** object) {
    if (object == nullptr)
        return kHResultNoInterface;
    if (iid == IID_IqorParamsListItemA || iid == IID_IqorParamsListItemA6 || iid == IID_IqorUnknown) {
        AddRef();
        *object = static_cast<IqorParamsListItemA*>(this);
        return kHResultOk;
    }
    *object = nullptr;
    return kHResultNoInterface;
}

std::uint32_t TqorParamsListItemWrap::AddRef() { return ++refCount_; }

std::uint32_t TqorParamsListItemWrap::Release() {
    const std::uint32_t n = --refCount_;
    if (n == 0)
        delete this;
    return n;
}

void TqorParamsListItemWrap::SetLowerUTF8Name(const char* name) {
    Guarded([&] { lowerUtf8_ = Narrow(name); });
}

void TqorParamsListItemWrap::SetTag(std::int32_t tag) { item_->Tag = static_cast<std::uint32_t>(tag); }

void TqorParamsListItemWrap::SetFlags(std::uint8_t flags) { item_->Flags = flags; }

const char* TqorParamsListItemWrap::GetLowerUTF8Name() {
    // ASCII only: the byte length never changes.
    if (!lowerUtf8_)
        lowerUtf8_ = LowerAscii(name_);
    return lowerUtf8_->c_str();
}

std::int32_t TqorParamsListItemWrap::GetTag() { return static_cast<std::int32_t>(item_->Tag); }

std::uint8_t TqorParamsListItemWrap::GetFlags() { return item_->Flags; }

HRESULT TqorParamsListItemWrap::SetValue(const TqorVarData* value) {
    return SafeCall([&] {
        Require(value);
        item_->Value = VarDataToVariant(*value, false);
    });
}

HRESULT TqorParamsListItemWrap::GetValue(TqorVarData* value) {
    return SafeCall([&] {
        Require(value);
        out_.Put(item_->Value, false, *value);
    });
}

void TqorParamsListItemWrap::SetName(const char* name) {
    Guarded([&] {
        item_->SetName(Narrow(name));
        RefreshNames();
    });
}

const char* TqorParamsListItemWrap::GetName() { return name_.empty() ? nullptr : name_.c_str(); }

bool TqorParamsListItemWrap::IsRowMarker() { return item_->IsRowMarker(); }

void TqorParamsListItemWrap::SetNameW(const char16_t* name) {
    Guarded([&] {
        item_->SetName(FromWide(name));
        RefreshNames();
    });
}

const char16_t* TqorParamsListItemWrap::GetNameW() {
    if (name_.empty())
        return nullptr;
    if (!nameW_)
        nameW_ = Utf8ToUtf16(name_);
    return nameW_->c_str();
}

HRESULT TqorParamsListItemWrap::SetValueW(const TqorVarData* value) {
    return SafeCall([&] {
        Require(value);
        item_->Value = VarDataToVariant(*value, true);
    });
}

HRESULT TqorParamsListItemWrap::GetValueW(TqorVarData* value) {
    return SafeCall([&] {
        Require(value);
        out_.Put(item_->Value, true, *value);
    });
}

// ---------------------------------------------------------------- list wrap

namespace {

// Calls visit(item, value, isRowMarker) for the items from..to of any list
// interface, in order; returns whether the last one was a row marker.
template <class Visit>
bool VisitThroughInterface(IqorParamsList_* source, int from, int to, Visit&& visit) {
    IqorParamsListA* a = nullptr;
    if (source->QueryInterface(IID_IqorParamsListA, reinterpret_cast<void**>(&a)) != kHResultOk || a == nullptr)
        throw std::invalid_argument("source is not a parameter list");
    struct Releaser {
        IqorUnknown* p;
        ~Releaser() { p->Release(); }
    } releaseSource{a};
    const int count = a->GetCount();
    const int last = to < 0 || to >= count ? count - 1 : to;
    bool lastWasMarker = false;
    for (int i = from < 0 ? 0 : from; i <= last; ++i) {
        IqorParamsListItemA* item = nullptr;
        if (a->GetItem(i, &item) != kHResultOk || item == nullptr)
            throw std::runtime_error("source item unavailable");
        Releaser releaseItem{item};
        TqorVarData v{};
        if (item->GetValue(&v) != kHResultOk)
            throw std::runtime_error("source value unavailable");
        lastWasMarker = item->IsRowMarker();
        visit(*item, VarDataToVariant(v, false), lastWasMarker);
    }
    return lastWasMarker;
}

// Appends copies of the items from..to of any list interface to list; returns
// whether the last copied item was a row marker.
bool CopyThroughInterface(IqorParamsList_* source, TqorParamsList& list, int from, int to) {
    return VisitThroughInterface(source, from, to, [&](IqorParamsListItemA& item, Variant&& value, bool) {
        list.AddCopy(Narrow(item.GetName()), Narrow(item.GetLowerUTF8Name()), std::move(value),
                     static_cast<std::uint32_t>(item.GetTag()), item.GetFlags());
    });
}

} // namespace

TqorParamsListWrap::Ptr TqorParamsListWrap::Create(TqorParamsList* borrowed) {
    if (borrowed == nullptr)
        throw std::invalid_argument("nil list");
    return Ptr(new TqorParamsListWrap(borrowed, nullptr));
}

TqorParamsListWrap::Ptr TqorParamsListWrap::Create() {
    auto list = std::make_unique<TqorParamsList>();
    TqorParamsList* p = list.get();
    return Ptr(new TqorParamsListWrap(p, std::move(list)));
}

TqorParamsListWrap::TqorParamsListWrap(TqorParamsList* list, std::unique_ptr<TqorParamsList> owned)
    : list_(list), owned_(std::move(owned)), borrowed_(owned_ == nullptr) {}

IqorParamsListA** TqorParamsListWrap::GetInterfacePtr() {
    if (!handedOut_) {
        AddRef();
        interfaceVar_ = static_cast<IqorParamsListA*>(this);
        handedOut_ = true;
    }
    return &interfaceVar_;
}

void TqorParamsListWrap::ReleaseOwner() {
    if (handedOut_) {
        interfaceVar_ = nullptr;
        --refCount_;
    }
    // What is left beyond the owner's own reference is held by others.
    if (refCount_.load() > 1) {
        if (handedOut_)
            platform::ErrorMessageBox("TqorParamsListWrap.Destroy. Reference counter should be zero!");
        if (borrowed_)
            list_ = nullptr;
    }
    Release();
}

TqorParamsList& TqorParamsListWrap::Checked() {
    if (list_ == nullptr)
        throw std::logic_error("parameter list is gone");
    return *list_;
}

HRESULT TqorParamsListWrap::QueryInterface(const TGUID& iid, void** object) {
    if (object == nullptr)
        return kHResultNoInterface;
    if (iid == IID_IqorParamsListA || iid == IID_IqorUnknown) {
        AddRef();
        *object = static_cast<IqorParamsListA*>(this);
        return kHResultOk;
    }
    if (iid == IID_IqorParamsListW) {
        AddRef();
        *object = static_cast<IqorParamsListW*>(this);
        return kHResultOk;
    }
    *object = nullptr;
    return kHResultNoInterface;
}

std::uint32_t TqorParamsListWrap::AddRef() { return ++refCount_; }

std::uint32_t TqorParamsListWrap::Release() {
    const std::uint32_t n = --refCount_;
    if (n == 0)
        delete this;
    return n;
}

std::int32_t TqorParamsListWrap::GetCount() { return list_ ? list_->Count() : 0; }

std::int32_t TqorParamsListWrap::GetSignature() { return static_cast<std::int32_t>(kParamsListSignature); }

std::int32_t TqorParamsListWrap::GetTag() { return list_ ? static_cast<std::int32_t>(list_->Tag) : 0; }

void TqorParamsListWrap::SetTag(std::int32_t tag) {
    if (list_)
        list_->Tag = static_cast<std::uint32_t>(tag);
}

void TqorParamsListWrap::Clear() {
    if (list_)
        list_->Clear();
}

void TqorParamsListWrap::Delete(std::int32_t index) {
    if (list_)
        list_->Delete(index);
}

bool TqorParamsListWrap::FindRowEnd(std::int32_t start, std::int32_t* index, bool* isMarker) {
    if (!list_)
        return false;
    int i = 0;
    bool marker = false;
    if (!list_->FindRowEnd(start, i, marker))
        return false;
    if (index)
        *index = i;
    if (isMarker)
        *isMarker = marker;
    return true;
}

void TqorParamsListWrap::EndRow() {
    Guarded([&] {
        if (list_)
            list_->EndRow();
    });
}

void TqorParamsListWrap::AppendRows(IqorParamsList_* source) {
    Guarded([&] {
        if (!list_ || !source)
            return;
        if (!CopyThroughInterface(source, *list_, 0, -1))
            list_->EndRow();
    });
}

HRESULT TqorParamsListWrap::GetItem(std::int32_t index, IqorParamsListItemA** item) {
    return SafeCall([&] {
        Require(item);
        *item = TqorParamsListItemWrap::Create(Checked().GetItem(index));
    });
}

HRESULT TqorParamsListWrap::AddItem(IqorParamsListItemA* source, IqorParamsListItemA** item) {
    return SafeCall([&] {
        Require(item);
        Require(source);
        TqorVarData v{};
        if (source->GetValue(&v) != kHResultOk)
            throw std::runtime_error("source value unavailable");
        const Variant value = VarDataToVariant(v, false);
        *item = TqorParamsListItemWrap::Create(Checked().AddCopy(Narrow(source->GetName()),
                                                                 Narrow(source->GetLowerUTF8Name()), value,
                                                                 static_cast<std::uint32_t>(source->GetTag()),
                                                                 source->GetFlags()));
    });
}

HRESULT TqorParamsListWrap::AddList(void* rawList, bool* result) {
    return AddListRange(rawList, 0, -1, result);
}

HRESULT TqorParamsListWrap::AddListRange(void* rawList, std::int32_t from, std::int32_t to, bool* result) {
    return SafeCall([&] {
        Require(result);
        TqorParamsList& list = Checked();
        *result = rawList ? list.AddListRange(TqorParamsList::FromRaw(rawList), from, to) : false;
    });
}

HRESULT TqorParamsListWrap::AddList(IqorParamsList_* source, bool* result) {
    return AddListRange(source, 0, -1, result);
}

HRESULT TqorParamsListWrap::AddListRange(IqorParamsList_* source, std::int32_t from, std::int32_t to,
                                         bool* result) {
    return SafeCall([&] {
        Require(result);
        TqorParamsList& list = Checked();
        if (source == nullptr || source->GetCount() == 0) {
            *result = false;
            return;
        }
        CopyThroughInterface(source, list, from, to);
        *result = true;
    });
}

namespace {

std::string NameText(const char* name) { return Narrow(name); }
std::string NameText(const char16_t* name) { return FromWide(name); }

} // namespace

template <class Char>
HRESULT TqorParamsListWrap::FindItemOf(const Char* name, std::int32_t from, std::int32_t to,
                                       IqorParamsListItemA** item) {
    return SafeCall([&] {
        Require(item);
        *item = TqorParamsListItemWrap::Create(Checked().FindItem(NameText(name), from, to));
    });
}

template <class Char>
HRESULT TqorParamsListWrap::IndexOfName(const Char* name, std::int32_t from, std::int32_t to,
                                        std::int32_t* index) {
    return SafeCall([&] {
        Require(index);
        *index = Checked().IndexOf(NameText(name), from, to);
    });
}

template <class Char>
HRESULT TqorParamsListWrap::GetValueOf(const Char* name, const TqorVarData* def, bool useDefault,
                                       std::int32_t from, std::int32_t to, TqorVarData* value) {
    constexpr bool wide = std::is_same_v<Char, char16_t>;
    return SafeCall([&] {
        Require(value);
        TqorParamsList& list = Checked();
        const int i = list.IndexOf(NameText(name), from, to);
        const Variant v = i >= 0 ? list.GetItem(i)->Value
                                 : (useDefault && def ? VarDataToVariant(*def, wide) : Variant());
        out_.Put(v, wide, *value);
    });
}

template <class Char>
HRESULT TqorParamsListWrap::InsertValue(std::optional<std::int32_t> index, const Char* name,
                                        const TqorVarData* value, IqorParamsListItemA** item) {
    return SafeCall([&] {
        Require(item);
        Require(value);
        const Variant v = VarDataToVariant(*value, std::is_same_v<Char, char16_t>);
        TqorParamsList& list = Checked();
        *item = TqorParamsListItemWrap::Create(index ? list.Insert(*index, NameText(name), v)
                                                      : list.Add(NameText(name), v));
    });
}

template <class Char>
HRESULT TqorParamsListWrap::SetValueOf(const Char* name, const TqorVarData* value, bool addIfMissing,
                                       IqorParamsListItemA** item) {
    return SafeCall([&] {
        Require(item);
        Require(value);
        const Variant v = VarDataToVariant(*value, std::is_same_v<Char, char16_t>);
        *item = TqorParamsListItemWrap::Create(Checked().SetValue(NameText(name), v, addIfMissing));
    });
}

HRESULT TqorParamsListWrap::FindItem(const char* name, std::int32_t from, std::int32_t to,
                                     IqorParamsListItemA** item) {
    return FindItemOf(name, from, to, item);
}
HRESULT TqorParamsListWrap::IndexOf(const char* name, std::int32_t from, std::int32_t to, std::int32_t* index) {
    return IndexOfName(name, from, to, index);
}
HRESULT TqorParamsListWrap::GetValue(const char* name, std::int32_t from, std::int32_t to, TqorVarData* value) {
    return GetValueOf(name, nullptr, false, from, to, value);
}
HRESULT TqorParamsListWrap::GetValueDef(const char* name, const TqorVarData* def, std::int32_t from,
                                        std::int32_t to, TqorVarData* value) {
    return GetValueOf(name, def, true, from, to, value);
}
HRESULT TqorParamsListWrap::Add(const char* name, const TqorVarData* value, IqorParamsListItemA** item) {
    return InsertValue(std::nullopt, name, value, item);
}
HRESULT TqorParamsListWrap::Insert(std::int32_t index, const char* name, const TqorVarData* value,
                                   IqorParamsListItemA** item) {
    return InsertValue(index, name, value, item);
}
HRESULT TqorParamsListWrap::SetValue(const char* name, const TqorVarData* value, bool addIfMissing,
                                     IqorParamsListItemA** item) {
    return SetValueOf(name, value, addIfMissing, item);
}

HRESULT TqorParamsListWrap::FindItem(const char16_t* name, std::int32_t from, std::int32_t to,
                                     IqorParamsListItemA** item) {
    return FindItemOf(name, from, to, item);
}
HRESULT TqorParamsListWrap::IndexOf(const char16_t* name, std::int32_t from, std::int32_t to, std::int32_t* index) {
    return IndexOfName(name, from, to, index);
}
HRESULT TqorParamsListWrap::GetValue(const char16_t* name, std::int32_t from, std::int32_t to, TqorVarData* value) {
    return GetValueOf(name, nullptr, false, from, to, value);
}
HRESULT TqorParamsListWrap::GetValueDef(const char16_t* name, const TqorVarData* def, std::int32_t from,
                                        std::int32_t to, TqorVarData* value) {
    return GetValueOf(name, def, true, from, to, value);
}
HRESULT TqorParamsListWrap::Add(const char16_t* name, const TqorVarData* value, IqorParamsListItemA** item) {
    return InsertValue(std::nullopt, name, value, item);
}
HRESULT TqorParamsListWrap::Insert(std::int32_t index, const char16_t* name, const TqorVarData* value,
                                   IqorParamsListItemA** item) {
    return InsertValue(index, name, value, item);
}
HRESULT TqorParamsListWrap::SetValue(const char16_t* name, const TqorVarData* value, bool addIfMissing,
                                     IqorParamsListItemA** item) {
    return SetValueOf(name, value, addIfMissing, item);
}

// ---------------------------------------------------------------- reference

namespace {

void Check(HRESULT hr) {
    if (hr != kHResultOk)
        throw ESafeCallError(hr);
}

struct ItemRef {
    IqorParamsListItemA* p = nullptr;
    ~ItemRef() {
        if (p)
            p->Release();
    }
};

} // namespace

TqorParamsRef::TqorParamsRef(IqorParamsListA* list) : list_(list) {
    if (list_)
        list_->AddRef();
}

TqorParamsRef TqorParamsRef::FromVariable(const void* address) {
    if (address == nullptr)
        return {};
    IqorParamsListA* list = nullptr;
    std::memcpy(&list, address, sizeof list);
    return TqorParamsRef(list);
}

TqorParamsRef::~TqorParamsRef() {
    if (list_)
        list_->Release();
}

TqorParamsRef::TqorParamsRef(const TqorParamsRef& o) : TqorParamsRef(o.list_) {}

TqorParamsRef& TqorParamsRef::operator=(const TqorParamsRef& o) {
    if (this != &o) {
        TqorParamsRef copy(o);
        std::swap(list_, copy.list_);
    }
    return *this;
}

TqorParamsRef::TqorParamsRef(TqorParamsRef&& o) noexcept : list_(o.list_) { o.list_ = nullptr; }

TqorParamsRef& TqorParamsRef::operator=(TqorParamsRef&& o) noexcept {
    if (this != &o) {
        if (list_)
            list_->Release();
        list_ = o.list_;
        o.list_ = nullptr;
    }
    return *this;
}

int TqorParamsRef::Count() const { return list_ ? list_->GetCount() : 0; }

int TqorParamsRef::IndexOf(std::string_view name, int from, int to) const {
    if (!list_)
        return -1;
    std::int32_t index = -1;
    Check(list_->IndexOf(std::string(name).c_str(), from, to, &index));
    return index;
}

Variant TqorParamsRef::GetValue(std::string_view name, int from, int to) const {
    if (!list_)
        return {};
    TqorVarData v{};
    Check(list_->GetValue(std::string(name).c_str(), from, to, &v));
    return VarDataToVariant(v, false);
}

bool TqorParamsRef::SetValue(std::string_view name, const Variant& value, bool addIfMissing) const {
    if (!list_)
        return false;
    TqorVarDataBuffer buffer;
    TqorVarData v{};
    buffer.Put(value, false, v);
    ItemRef item;
    Check(list_->SetValue(std::string(name).c_str(), &v, addIfMissing, &item.p));
    return item.p != nullptr;
}

bool TqorParamsRef::Add(std::string_view name, const Variant& value) const {
    if (!list_)
        return false;
    TqorVarDataBuffer buffer;
    TqorVarData v{};
    buffer.Put(value, false, v);
    ItemRef item;
    Check(list_->Add(std::string(name).c_str(), &v, &item.p));
    return item.p != nullptr;
}

void TqorParamsRef::EndRow() const {
    if (list_)
        list_->EndRow();
}

void TqorParamsRef::CopyTo(TqorParamsList& list) const {
    if (list_)
        CopyThroughInterface(list_, list, 0, -1);
}

void TqorParamsRef::ForEachValue(const std::function<void(std::string&& name, Variant&& value)>& take) const {
    if (!list_)
        return;
    VisitThroughInterface(list_, 0, -1, [&](IqorParamsListItemA& item, Variant&& value, bool rowMarker) {
        if (!rowMarker)
            take(Narrow(item.GetName()), std::move(value));
    });
}

} // namespace qor
