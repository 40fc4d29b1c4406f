// The device worker of a data source: every exchange with the controller runs
// on this one thread, so the host's main thread never waits for a device. The
// main thread queues commands (connect, disconnect, reads); the worker runs
// them in queue order against its one processor and reports each outcome
// through OnResult.
#pragma once

#include "common/Thread_ProcessData.h"
#include "common/Thread_Queue.h"
#include "eip/EIP_IdentityItem.h"
#include "eip/EIP_Session.h"
#include "logix/Logix_Processor.h"
#include "logix/Logix_Read.h"
#include "platform/Types.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qor {

enum class TEipCommandCode : std::uint8_t {
    Connect = 0,
    Disconnect = 1,
    TagInfo = 2,
    ReadTag = 3,
    ReadArray = 4,
    ReadLogixTag = 5,
    ReadLogixArray = 6,
    ReadMicro800 = 7,
    ReadMicroLogix1400 = 8,
};

// Names used in log lines, indexed by code.
inline constexpr std::array<std::string_view, 9> EipSyncCommandNames = {
    "Connect",      "Disconnect",     "TagInfo",      "ReadTag",           "ReadArray",
    "ReadLogixTag", "ReadLogixArray", "ReadMicro800", "ReadMicroLogix1400"};

// One request item's part of a combined read: its key and address text.
struct TEipSyncPart {
    std::string Key;
    std::string Text;
};

// One queued command; the worker frees it after execution.
class TEipSyncCommand : public TQueueItem {
public:
    std::uint8_t Code = 0;
    std::string Key;       // the request item's key; empty for Connect and Disconnect
    std::string Text;      // address text, tag name or device path
    std::int32_t Arg1 = 0; // element count; connect options; 1 = silent disconnect
    std::int32_t Arg2 = 0; // data type of the reads; controller family of Connect; port opening of Disconnect
    std::string Host;      // Connect: the device's address as the main thread gave it
    std::int32_t Arg3 = 0; // session time-out of Connect; longest wait for each reply of a read (0: the session's)
    // Connect queued with a read: the longest wait for each reply while
    // connecting, the read's own (0: the session time-out).
    std::uint32_t ConnectReplyTimeout = 0;
    // A read of several request items at once (their addresses in shared
    // Multiple Service Packets); each part gets a result of its own. Empty
    // for a read of one item (Key and Text).
    std::vector<TEipSyncPart> Parts;
};

// What a command produced. A handler that keeps an object moves it out.
struct TEipResultObject {
    // A read: one outcome per address, in the order written, and the raw text
    // of every reply it took.
    std::vector<logix::TLogixReadOutcome> Outcomes;
    std::string RawData;
    bool CombinedRefused = false;
    double ReadAt = 0; // local date and time the exchange ended (0: not taken)
    std::unique_ptr<logix::TLogixTagInfoList> Infos;
    std::unique_ptr<logix::TLogixTagInfo> Info;
    bool Empty() const { return Outcomes.empty() && !Infos && !Info; }
};

// Where the processor's bytes go: the host's channel to the device. Called on
// the worker.
class IDeviceChannel {
public:
    virtual ~IDeviceChannel() = default;
    // Bytes taken, negative when the host refused them.
    virtual int SendToDevice(std::span<const std::uint8_t> bytes) = 0;
};

class TEipSyncThread : public TProcessDataThread, private eip::ISessionOwner {
public:
    // Runs on the worker after every command that reached a result; returns
    // true when it took the object over.
    using TResultEvent = std::function<bool(TEipSyncThread& sender, const TEipSyncCommand& command, bool success,
                                            std::int32_t errorCode, const std::string& errorText,
                                            TEipResultObject* result)>;

    // The thread starts suspended; the most derived constructor calls Start().
    TEipSyncThread(IDeviceChannel* channel, std::string threadName);
    ~TEipSyncThread() override;

    TResultEvent OnResult;
    const TEipSyncCommand* CurrentCommand = nullptr; // worker only
    // What the last QueueConnect was given (main thread only; each Connect
    // command carries its own copy to the worker).
    std::string Host;
    std::string DevicePath;
    std::uint8_t Kind = 0;
    std::uint8_t ConnectOptions = 0;
    std::uint32_t ConnectTimeout = 0;
    std::atomic<std::uint32_t> PollHint{0};

    // ---- main thread
    void QueueConnect(const std::string& host, const std::string& devicePath, const std::string& key,
                      std::uint32_t sessionTimeout, std::uint8_t options, std::uint8_t family);
    void QueueDisconnect(bool silent);
    // replyTimeout (ms, 0 for the session's own) bounds each wait for the
    // device during the command.
    void QueueCommand(TEipCommandCode code, const std::string& key, std::uint16_t dataType,
                      std::uint16_t elementCount, const std::string& text, std::uint32_t replyTimeout = 0);
    // One read of the addresses of several request items, one element each.
    void QueueCombined(std::vector<TEipSyncPart> parts, std::uint32_t replyTimeout);
    // Connect, then a read, queued together: the worker wakes once for both.
    void QueueConnectAndRead(const std::string& host, const std::string& devicePath, std::uint32_t sessionTimeout,
                             std::uint8_t options, std::uint8_t family, std::unique_ptr<TEipSyncCommand> read);
    // The read commands QueueCommand and QueueCombined queue, unqueued.
    static std::unique_ptr<TEipSyncCommand> ReadCommand(TEipCommandCode code, const std::string& key,
                                                        std::uint16_t dataType, std::uint16_t elementCount,
                                                        const std::string& text, std::uint32_t replyTimeout);
    static std::unique_ptr<TEipSyncCommand> CombinedCommand(std::vector<TEipSyncPart> parts,
                                                            std::uint32_t replyTimeout);
    // Received bytes and the flush reach the live session's transport, in the
    // order of the calls. Any thread other than the worker.
    void FeedData(std::span<const std::uint8_t> bytes);
    void FlushData();
    virtual void SetPortState(bool opened);
    // Commands queued and not yet taken by the worker.
    std::size_t Backlog() { return Queue.Count(); }
    // Wakes a command waiting for the device at once (the wait fails), so a
    // stop does not wait out the session's time-out.
    void AbortWait();
    // The processors the worker has let go of (see ReleaseProcessor). Every
    // result they produced was queued before they were let go: the thread
    // that reads results takes them before it reads, and frees them after.
    std::vector<std::unique_ptr<logix::TLogixProcessor>> TakeRetired();
    // Results the reading thread is done with, freed by the worker when it
    // takes its next command: what the worker allocated for them goes back
    // to its own heap, where its next read reuses it, instead of piling up
    // there from another thread's frees (which the worker's next large
    // allocation then has to sort out). Any thread other than the worker.
    void Recycle(std::vector<std::unique_ptr<TQueueItem>> spent);

    // ---- worker
    logix::TLogixProcessor* Processor() const { return processor_.get(); }

protected:
    void DoStart() override;
    void DoFinish() override;
    void ExecuteCommand(TEipSyncCommand& command);
    // The host's channel (may be null in tests).
    IDeviceChannel* Channel;
    // The last send's result through the channel: negative while the host
    // refuses the bytes.
    std::atomic<int> LastSendResult{0};
    // Port-open reports so far (main thread writes, worker reads), and the
    // count when the worker's session was registered: a session registered
    // after a report is on the channel that report opened.
    std::atomic<std::uint32_t> PortOpenings{0};
    // The last Connect found the processor connected and did nothing.
    bool ConnectDidNothing = false; // worker only
    // Port reports so far, opened or closed (main thread writes, worker
    // reads), and their count when the host last took bytes: those bytes
    // went out on the channel that is still there while the two are equal.
    std::atomic<std::uint32_t> PortChanges{0};
    std::uint32_t SentPortChanges = 0; // worker only
    // The host's last report on the channel: closed, until it reports it
    // open again, takes none of the processor's bytes. Open until the first
    // report (the channel may be open before the data source learns of it).
    std::atomic<bool> PortOpen{true};
    // PortChanges when the worker asked the host to open the channel again
    // ("<<CLOSE>>"); connects wait for the new channel (worker only).
    std::optional<std::uint32_t> ReopenAskedAt;
    // Bytes straight to the channel, outside any session.
    int SendToChannel(std::span<const std::uint8_t> bytes) {
        return Channel != nullptr ? Channel->SendToDevice(bytes) : -1;
    }

private:
    bool Report(const TEipSyncCommand& command, bool success, TEipResultObject* result);
    // As Report, with the error given (the processor may be gone already).
    bool Report(const TEipSyncCommand& command, bool success, std::int32_t errorCode, const std::string& errorText,
                TEipResultObject* result = nullptr);
    void ExecConnect(TEipSyncCommand& command);
    void ExecDisconnect(TEipSyncCommand& command);
    void ExecTagInfo(TEipSyncCommand& command);
    // ReadTag, ReadArray, ReadMicro800 and ReadMicroLogix1400: the address
    // text, one outcome per address.
    void ExecRead(TEipSyncCommand& command);
    // A read of several items' parts; one result per part.
    void ExecCombined(TEipSyncCommand& command);
    // Reports a read's outcomes: a success when some address gave a value.
    void ReportRead(const TEipSyncCommand& command, TEipResultObject& result);
    void ExecReadLogixTag(TEipSyncCommand& command);
    void ExecReadLogixArray(TEipSyncCommand& command);
    // Lets the processor go: it is kept until FreeRetired, because results
    // still queued for the main thread may point into it.
    void ReleaseProcessor();
    void Push(std::unique_ptr<TEipSyncCommand> command);
    // Frees what Recycle handed back (worker only).
    void FreeSpent();

    // eip::ISessionOwner: the processor's channel.
    eip::TSessionInfo* AttachedSession() override { return nullptr; }
    void AttachSession(eip::TSessionInfo&) override {}

protected:
    int SendToHost(std::span<const std::uint8_t> bytes) override;

private:

    // The processor is replaced and freed by the worker only, under this
    // lock; the other threads hold it while they reach its session.
    mutable std::mutex processorLock_;
    std::unique_ptr<logix::TLogixProcessor> processor_;
    std::vector<std::unique_ptr<logix::TLogixProcessor>> retired_;
    std::mutex spentLock_;
    std::vector<std::unique_ptr<TQueueItem>> spent_;
    std::uint32_t sessionOpening_ = 0; // worker only
};

// One read travelling to the main thread: what each address gave (values or
// the reason it failed), so that the request is released as soon as the
// device has answered, and every value keeps its own address.
class TEipResult : public TQueueItem {
public:
    std::shared_ptr<const eip::TIdentityItem> Identity; // may be absent; shared by the results of one session
    std::vector<logix::TLogixReadOutcome> Outcomes;
    std::string RawData;
    std::string Key;
    std::uint8_t Code = 0; // the read command
    // The read shared Multiple Service Packets with other items, and the
    // device refused them (service not supported).
    bool CombinedRefused = false;
    double ReadAt = 0; // local date and time the reply was taken (0: unknown)

    bool AnyValue() const;
};

// WM_EIP_RESULT: posted to the data source's window after each command that
// has news for it (a read's outcome, a connection made or lost).
inline constexpr platform::UINT WM_EIP_RESULT = 1857;

class TSerialPortDM;

// The engine's worker: successful reads become results for the main thread,
// failures log lines, and repeated connect failures make the host reopen its
// channel.
class TEipSyncThreadEx : public TEipSyncThread {
public:
    using TLogEvent = std::function<void(int level, const std::string& text)>;

    TEipSyncThreadEx(IDeviceChannel* channel, platform::HWND notifyHandle, TLogEvent log,
                     std::string operationFailedText = "Operation failed (%s, %s)");
    ~TEipSyncThreadEx() override;

    std::int32_t ConnectFailures = 0; // worker only
    // A WM_EIP_RESULT is on its way and the main thread has not started
    // reading results since: no need to post another.
    std::atomic<bool> ResultPosted{false};
    std::atomic<bool> HadRead{false};
    TThreadSafeQueue Results;
    const platform::HWND NotifyHandle;

    void SetPortState(bool opened) override;
    // News the worker put off until the reply to its request is posted now:
    // on the main thread when bytes from the device arrive, on the worker
    // when the exchange ends without them.
    void PostPutOffNews();

private:
    bool HandleResult(TEipSyncThread& sender, const TEipSyncCommand& command, bool success, std::int32_t errorCode,
                      const std::string& errorText, TEipResultObject* result);
    // The news of a command that has another queued behind it is told once
    // that one's request is on the wire, or once the queue runs dry: the
    // main thread then wakes once for the news and the next reply together,
    // where telling it at once would have it preempt this thread before the
    // request goes out.
    //
    // A request that went out puts the news off further, until its reply is
    // in: the main thread, woken by the reply, posts it to itself (no wake of
    // its own), and the exchange posts it if the reply takes longer than
    // kNewsPutOffMs. The results carry the time they were read, so a packet
    // is stamped the same however long its news waited.
    int SendToHost(std::span<const std::uint8_t> bytes) override;
    std::uint32_t PutOffMs() override;
    void ReplyLate() override;
    void QueueDrained() override;
    void PostNews();
    static constexpr std::uint32_t kNewsPutOffMs = 10;
    bool newsWaiting_ = false;             // worker only
    std::atomic<bool> newsPutOff_{false}; // news waits for the reply in flight
    TLogEvent log_;
    std::string operationFailed_;
    std::shared_ptr<const eip::TIdentityItem> identity_; // worker only: the session's, as last reported
};

} // namespace qor
