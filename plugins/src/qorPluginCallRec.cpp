#include "plugins/qorPluginCallRec.h"

#include "common/qorAssert.h"

namespace qor {

namespace {

void* AsPointer(std::uintptr_t v) { return reinterpret_cast<void*>(v); }

} // namespace

TPluginCallRecIntf::TPluginCallRecIntf(TPluginCallRec& rec, bool takeValues) : rec_(rec), saved_(rec) {
    try {
        TakeOver(takeValues);
    } catch (...) {
        rec_ = saved_; // refused: the caller gets its record back as it was
        throw;
    }
}

void TPluginCallRecIntf::TakeOver(bool takeValues) {
    if (void* params = AsPointer(rec_.Params)) {
        if (TqorParamsList::LooksLikeRawList(params)) {
            paramsWrap_ = TqorParamsListWrap::Create(static_cast<TqorParamsList*>(params));
            params_ = TqorParamsRef(paramsWrap_->A());
            rec_.Params = reinterpret_cast<std::uintptr_t>(paramsWrap_->GetInterfacePtr());
        } else {
            params_ = TqorParamsRef::FromVariable(params);
        }
        rec_.Flags |= kCallRecParamsInterface;
    }
    if (takeValues) {
        TakeValue(rec_.Value1, value1Wrap_, value1_, value1Variable_);
        TakeValue(rec_.Value2, value2Wrap_, value2_, value2Variable_);
    }
}

void TPluginCallRecIntf::TakeValue(TPluginValue& slot, TqorParamsListWrap::Ptr& wrap, TqorParamsRef& ref,
                                   std::uintptr_t& variable) {
    void* data = AsPointer(slot.Data);
    switch (static_cast<TPluginValueType>(slot.Type)) {
    case TPluginValueType::ListInterface:
        ref = TqorParamsRef::FromVariable(data);
        return;
    case TPluginValueType::RawList:
        if (data != nullptr && !TqorParamsList::LooksLikeRawList(data))
            throw EAssertionFailed("Invalid parameter list", kParamLstSource);
        break;
    case TPluginValueType::Pointer:
        if (data != nullptr && !TqorParamsList::LooksLikeRawList(data))
            return; // a plain pointer
        break;
    default:
        return;
    }
    wrap = data ? TqorParamsListWrap::Create(static_cast<TqorParamsList*>(data)) : TqorParamsListWrap::Create();
    ref = TqorParamsRef(wrap->A());
    variable = reinterpret_cast<std::uintptr_t>(wrap->GetInterfacePtr());
    slot.Type = static_cast<std::uint8_t>(TPluginValueType::ListInterface);
    slot.Data = variable;
}

TPluginCallRecIntf::~TPluginCallRecIntf() { Restore(); }

void TPluginCallRecIntf::Restore() {
    rec_.Params = saved_.Params;
    rec_.Flags = static_cast<std::uint8_t>((rec_.Flags & ~kCallRecParamsInterface) |
                                           (saved_.Flags & kCallRecParamsInterface));
    // A slot may have been copied to the other one (ProcessData's echo), so
    // each slot is checked against both variables.
    auto ours = [this](std::uintptr_t data) {
        return data != 0 && (data == value1Variable_ || data == value2Variable_);
    };
    if (ours(rec_.Value1.Data))
        rec_.Value1.Data = 0;
    if (ours(rec_.Value2.Data))
        rec_.Value2.Data = 0;
}

Variant TPluginCallRecIntf::Param(std::string_view name) const { return params_.GetValue(name); }

bool TPluginCallRecIntf::HasParam(std::string_view name) const { return !Param(name).IsEmptyOrNull(); }

bool TPluginCallRecIntf::HasItem(std::string_view name) const { return params_.IndexOf(name) >= 0; }

std::string TPluginCallRecIntf::ParamText(std::string_view name) const { return Param(name).AsString(); }

bool TPluginCallRecIntf::SetParam(std::string_view name, const Variant& value) const {
    return params_.SetValue(name, value, false);
}

} // namespace qor
