#include "engine/DataSourceCfg.h"

#include <algorithm>

namespace qor {

namespace {

// The "Component" part of a "Component.Property" path.
class TProxyPathPart : public TPersistent {
public:
    TProxyPathPart(TPersistent& owner, std::string prefix) : owner_(owner), prefix_(std::move(prefix)) {}
    std::string_view ClassName() const override { return "TProxyPathPart"; }

    bool FindItemProperty(std::string_view name, TPropertyRef& out) override {
        const TPropInfo* p = owner_.FindProperty(prefix_ + "_" + std::string(name));
        if (p == nullptr)
            return false;
        out = TPropertyRef(&owner_, p);
        return true;
    }

private:
    TPersistent& owner_;
    std::string prefix_;
};

} // namespace

void TProxyCodeCustomObject::PublishComponentPaths() {
    std::vector<std::string> prefixes;
    for (const TPropInfo& p : Properties()) {
        const std::size_t bar = p.Name.find('_');
        if (bar == std::string::npos || bar == 0 || p.Kind == TTypeKind::Class)
            continue;
        std::string prefix = p.Name.substr(0, bar);
        if (FindProperty(prefix) == nullptr &&
            std::find(prefixes.begin(), prefixes.end(), prefix) == prefixes.end())
            prefixes.push_back(std::move(prefix));
    }
    for (std::string& prefix : prefixes) {
        parts_.push_back(std::make_unique<TProxyPathPart>(*this, prefix));
        // Only a way through a path: nothing of it is stored.
        PublishObject(prefix, *parts_.back()).NotStored();
    }
}

TDataSourceCfg::TDataSourceCfg() {
    Publish("Left", Left);
    Publish("Top", Top);
    Publish("Height", Height);
    Publish("Width", Width);
    Publish("lblParams_Caption", lblParams_Caption);
    Publish("OpenDialog_FileName", OpenDialog_FileName);
    Publish("SaveDialog_FileName", SaveDialog_FileName);
    Publish("spMinInt_Value", spMinInt_Value);
    Publish("chkExportAll_Checked", chkExportAll_Checked);
    Publish("chkCombine_Checked", chkCombine_Checked);
    PublishComponentPaths();
}

} // namespace qor
