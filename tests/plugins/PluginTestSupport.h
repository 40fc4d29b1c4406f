// A call record with its own parameter list, and a module class whose
// handlers the tests assign.
#pragma once

#include "common/qorParamLst.h"
#include "plugins/qorPluginCallRec.h"
#include "plugins/qorPluginModule.h"

#include <memory>
#include <string>

namespace plugintest {

struct TestRecord {
    qor::TqorParamsList Params;
    qor::TPluginCallRec Rec{};

    explicit TestRecord(std::uint32_t moduleIndex = 7) {
        Rec.RecSize = qor::kPluginCallRecSize;
        Rec.ModuleIndex = moduleIndex;
        Rec.Params = reinterpret_cast<std::uintptr_t>(&Params);
    }
};

class TTestModule : public qor::TqorPlugin {
public:
    using TqorPlugin::TqorPlugin;
    using TqorPlugin::SetUpTranslator;
};

inline std::shared_ptr<TTestModule> MakeModule(TestRecord& r) {
    qor::TPluginCallRecIntf intf(r.Rec);
    auto module = std::make_shared<TTestModule>(intf, 0);
    module->AfterConstruction();
    return module;
}

inline std::int32_t RunCommand(qor::TqorPlugin& module, TestRecord& r, const std::string& command) {
    qor::TPluginCallRecIntf intf(r.Rec);
    return module.ExecuteCommand(command, intf);
}

} // namespace plugintest
