// The plug-in's working copy of a call record for the duration of an export.
#pragma once

#include "common/qorParamLstWrap.h"
#include "plugins/PluginBoundary.h"

#include <string>
#include <string_view>

namespace qor {

// Takes over the caller's record for one export call and gives the command
// code one way to reach the lists it carries, whatever form the host chose:
// - Params: a raw list is wrapped (borrowed) and the record's Params points
//   at the wrap's interface variable until the call returns, when the pointer
//   it had on entry is put back; an interface variable is used as it is.
//   Either way the Flags bit kCallRecParamsInterface is set meanwhile.
// - Value1 and Value2 (with takeValues): a slot of Type RawList, or of Type
//   Pointer holding a raw list or nil, is rewritten in the caller's record to
//   Type ListInterface pointing at the wrap's interface variable (a nil one
//   gets a fresh empty list). When the call returns, a slot that points at
//   either of these variables (a slot may have been copied into the other)
//   gets Data nil, so the caller is never left holding the address of a
//   freed wrap; its own list is untouched and still its own.
// The record bytes as they came are kept in Original().
class TPluginCallRecIntf {
public:
    explicit TPluginCallRecIntf(TPluginCallRec& rec, bool takeValues = true);
    ~TPluginCallRecIntf();
    TPluginCallRecIntf(const TPluginCallRecIntf&) = delete;
    TPluginCallRecIntf& operator=(const TPluginCallRecIntf&) = delete;

    TPluginCallRec& Rec() { return rec_; }
    const TPluginCallRec& Original() const { return saved_; }

    const TqorParamsRef& Params() const { return params_; }
    const TqorParamsRef& Value1List() const { return value1_; }
    const TqorParamsRef& Value2List() const { return value2_; }

    // A parameter's value; Empty without Params or when absent.
    Variant Param(std::string_view name) const;
    // Present with a value that is neither Unassigned nor Null.
    bool HasParam(std::string_view name) const;
    bool HasItem(std::string_view name) const; // present, whatever its value
    std::string ParamText(std::string_view name) const; // "" when missing
    // Sets an item the host provided (never adds one); false when it is missing.
    bool SetParam(std::string_view name, const Variant& value) const;

private:
    void TakeOver(bool takeValues);
    void Restore();
    void TakeValue(TPluginValue& slot, TqorParamsListWrap::Ptr& wrap, TqorParamsRef& ref, std::uintptr_t& variable);

    TPluginCallRec& rec_;
    TPluginCallRec saved_;
    // Wraps before references: the references must go first when this ends.
    TqorParamsListWrap::Ptr paramsWrap_;
    TqorParamsListWrap::Ptr value1Wrap_;
    TqorParamsListWrap::Ptr value2Wrap_;
    TqorParamsRef params_;
    TqorParamsRef value1_;
    TqorParamsRef value2_;
    std::uintptr_t value1Variable_ = 0;
    std::uintptr_t value2Variable_ = 0;
};

} // namespace qor
