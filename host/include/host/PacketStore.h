// Where the substitute host puts the data packets a plug-in delivers: a copy of
// each, kept in arrival order for whoever reads them (tests, the program's
// output). Packets come from the plug-in's worker threads.
#pragma once

#include "host/Host.h"

#include "common/qorParamLst.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace host {

struct TStoredPacket {
    std::uint32_t ModuleIndex = 0;
    std::uint32_t SourceId = 0;
    std::shared_ptr<const qor::TqorParamsList> Items; // never null
    std::string RawText;
};

class TPacketStore : public IPacketSink {
public:
    void OnDataPacket(std::uint32_t moduleIndex, std::uint32_t dataSourceId,
                      const qor::TPluginCallRec& rec) override;

    std::size_t Count() const;
    std::vector<TStoredPacket> Packets() const;
    // Blocks until at least count packets arrived or the time is up (real
    // time: the plug-in delivers them from its own threads); whether they did.
    bool WaitForCount(std::size_t count, std::chrono::milliseconds limit) const;
    // Called with each packet as it arrives, on the delivering thread.
    std::function<void(const TStoredPacket&)> OnPacket;

private:
    mutable std::mutex lock_;
    mutable std::condition_variable arrived_;
    std::vector<TStoredPacket> packets_;
};

} // namespace host
