// The options proxy: the values of the options dialog as the engine reads
// them. The settings map addresses them by the form's component paths
// ("lblParams.Caption"); the proxy publishes them under the same paths with
// "." replaced by "_" ("lblParams_Caption") and resolves the dotted form too.
#pragma once

#include "common/qorComponent.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qor {

// Resolves "Component.Property" paths to its own published property
// "Component_Property": for every prefix before a "_" it publishes an
// object-valued property of that name whose items are the matching
// properties. Derived classes publish their properties, then call
// PublishComponentPaths once.
class TProxyCodeCustomObject : public TComponent {
public:
    std::string_view ClassName() const override { return "TProxyCodeCustomObject"; }

protected:
    void PublishComponentPaths();

private:
    std::vector<std::unique_ptr<TPersistent>> parts_;
};

class TProxyCodeObject : public TProxyCodeCustomObject {
public:
    std::string_view ClassName() const override { return "TProxyCodeObject"; }
};

class TDataSourceCfg : public TProxyCodeObject {
public:
    TDataSourceCfg();
    std::string_view ClassName() const override { return "TDataSourceCfg"; }

    std::int32_t Left = 326;
    std::int32_t Top = 144;
    std::int32_t Height = 435;
    std::int32_t Width = 481;
    std::string lblParams_Caption;    // the request list text ("Parser config")
    std::string OpenDialog_FileName;  // last folder of the file-open dialog
    std::string SaveDialog_FileName;  // last folder of the file-save dialog
    double spMinInt_Value = 0.0;      // minimal interval between data packets (ms)
    bool chkExportAll_Checked = true; // export data for all requests at once
    bool chkCombine_Checked = true;   // read the requests due together in shared packets
};

} // namespace qor
