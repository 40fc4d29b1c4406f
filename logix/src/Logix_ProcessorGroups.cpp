// The processor's tag groups.
#include "logix/Logix_Group.h"
#include "logix/Logix_Processor.h"

#include <stdexcept>

namespace logix {

TLogixTagGroup& TLogixProcessor::CreateGroup(const std::string& name) {
    if (FindGroup(name) != nullptr)
        throw ELogixInvalidOperation("Specified group already exists on the processor.");
    return *Groups.Add(std::make_unique<TLogixTagGroup>(*this, name));
}

TLogixTagGroup* TLogixProcessor::FindGroup(std::string_view name) {
    qor::TThreadObject::SectionLock hold(Groups);
    for (const auto& group : Groups)
        if (group->Name == name)
            return group.get();
    return nullptr;
}

void TLogixProcessor::ScanGroups() {
    // Groups are scanned on the worker thread that owns them; the list lock is
    // not held across the scans' exchanges.
    std::vector<TLogixTagGroup*> enabled;
    {
        qor::TThreadObject::SectionLock hold(Groups);
        for (const auto& group : Groups)
            if (group->Enabled)
                enabled.push_back(group.get());
    }
    for (TLogixTagGroup* group : enabled)
        group->Update();
}

} // namespace logix
