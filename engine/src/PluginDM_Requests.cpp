// The data module's request lists: loading them for the data sources and for
// the parser items the host asks for.
#include "engine/PluginDM.h"

#include <cmath>
#include <limits>

namespace qor {

void TaPlugin::LoadRequestList(const TDataSourceCfg* cfg, TRequestList& list, TRequestSource* source) {
    if (source)
        source->StopTimer();
    list.Clear();
    if (source && (Unloading || !(StateFlags[0] || StateFlags[1])))
        return;
    if (!cfg)
        return;
    if (source) {
        source->TickInterval = 50;
        // A pause between packets is whole milliseconds; a negative or absurd
        // setting means none.
        const double pause = std::trunc(cfg->spMinInt_Value);
        source->MinInterval = pause >= 0 && pause <= std::numeric_limits<std::uint32_t>::max()
                                  ? static_cast<std::uint32_t>(pause)
                                  : 0;
        source->ExportAll = cfg->chkExportAll_Checked;
        source->CombineRequests = cfg->chkCombine_Checked;
    }
    const TRequestTiming timing =
        ReadRequestList(cfg->lblParams_Caption, list, [this](const std::string& line) { Log(1, line); });
    if (source) {
        source->ShortestInterval = timing.Shortest;
        source->TickInterval = timing.Tick;
        source->SetTimerInterval(timing.Tick);
        source->SchedulerTick();
    }
}

} // namespace qor
