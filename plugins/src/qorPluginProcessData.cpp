// The ProcessData export at the module: one call at a time per instance, a
// busy instance waited for, and the option bits of the record.
#include "plugins/qorPluginModule.h"

#include "common/qorTimeout.h"
#include "platform/Messages.h"
#include "platform/Thread.h"
#include "plugins/qorPluginCallRec.h"
#include "plugins/qorPluginInstances.h"

#include <algorithm>
#include <optional>

namespace qor {

bool TqorPlugin::TryBeginProcessing() {
    bool idle = false;
    if (!Processing.compare_exchange_strong(idle, true))
        return false;
    processingThread_ = platform::GetCurrentThreadId();
    return true;
}

void TqorPlugin::EndProcessing() {
    processingThread_ = 0;
    Processing = false;
    processingDone_.Set();
}

std::int32_t TqorPlugin::ProcessData(TPluginCallRec& rec) {
    if (!TryBeginProcessing()) {
        const platform::DWORD self = platform::GetCurrentThreadId();
        TTimeout limit;
        limit.Start(kProcessingWaitLimit);
        bool quitSeen = false;
        for (;;) {
            if (TerminateNow)
                return -1;
            // The call holding the flag is further up this thread's stack (a
            // handler pumped messages or called the host): it cannot end while
            // this one waits, so waiting would only freeze the host.
            if (processingThread_ == self)
                return -1;
            platform::MSG msg;
            while (!quitSeen && platform::PeekMessage(&msg, 0, 0, 0, platform::PM_REMOVE)) {
                if (msg.message == platform::WM_QUIT) {
                    // Left for the thread's own loop; no more pumping here.
                    platform::PostQuitMessage(static_cast<int>(msg.wParam));
                    quitSeen = true;
                    break;
                }
                platform::TranslateMessage(&msg);
                platform::DispatchMessage(&msg);
            }
            const std::uint64_t remaining = limit.Remaining();
            if (remaining == 0)
                return -1;
            const auto step =
                static_cast<platform::DWORD>(std::min<std::uint64_t>(kProcessingWaitStep, remaining));
            const platform::HANDLE done = processingDone_.Handle();
            if (quitSeen)
                platform::WaitForSingleObject(done, step);
            else
                platform::MsgWaitForMultipleObjects(1, &done, false, step, platform::QS_ALLINPUT);
            if (TryBeginProcessing())
                break;
        }
    }
    struct Release {
        TqorPlugin& p;
        ~Release() { p.EndProcessing(); }
    } release{*this};

    if (TerminateNow || !PluginInstances())
        return -1;
    std::int32_t result = -1;
    try {
        std::optional<TPluginCallRecIntf> taken;
        try {
            taken.emplace(rec);
        } catch (...) {
            return -1; // a list slot that holds no list: an invalid record
        }
        result = ProcessSteps(*taken);
    } catch (const std::exception& e) {
        LogException("PROCESS", e.what());
    } catch (...) {
        LogException("PROCESS", "Unknown exception");
    }
    return result;
}

std::int32_t TqorPlugin::ProcessSteps(TPluginCallRecIntf& intf) {
    TPluginCallRec& rec = intf.Rec();
    const std::uintptr_t takenData = rec.Value1.Data;
    const std::uint8_t options = rec.Options;
    constexpr std::uint8_t kKeepEmptyList = 1, kNeedData = 4, kReportWrite = 8, kEchoInput = 32;
    std::int32_t result = 0;
    try {
        [&] {
            if (options == 0)
                return;
            const auto type = static_cast<TPluginValueType>(rec.Value1.Type);
            const bool listSlot = type == TPluginValueType::Pointer || type == TPluginValueType::RawList ||
                                  type == TPluginValueType::ListInterface;
            if (!(options & kKeepEmptyList) && listSlot && intf.Value1List() &&
                intf.Value1List().Count() == 0)
                rec.Value1.Data = 0;
            if (options & kNeedData) {
                if (rec.Value1.Data == 0) {
                    if (!MsgNoData.empty())
                        Log(1, MsgNoData);
                    return;
                }
                if (intf.Original().Value1.Type == static_cast<std::uint8_t>(TPluginValueType::Pointer) &&
                    intf.Value1List())
                    intf.Value1List().EndRow();
            }
            if (OnProcessData) {
                OnProcessData(intf, result);
                if (result > 0 && rec.Value1.Data == 0)
                    result = 0;
                if (options & (kNeedData | kReportWrite)) {
                    if (result < 0) {
                        if (!MsgWriteCompleteError.empty())
                            Log(1, MsgWriteCompleteError);
                    } else if (!MsgWriteComplete.empty()) {
                        Log(2, MsgWriteComplete);
                    }
                }
            } else if (options & kEchoInput) {
                rec.Value2 = rec.Value1;
            }
        }();
    } catch (const std::exception& e) {
        result = -3;
        if (!MsgWriteCompleteError.empty())
            Log(1, MsgWriteCompleteError + ": " + e.what());
    } catch (...) {
        result = -3;
        if (!MsgWriteCompleteError.empty())
            Log(1, MsgWriteCompleteError + ": Unknown exception");
    }
    if (rec.Value1.Data == takenData)
        rec.Value1.Data = 0;
    return result;
}

} // namespace qor
