#include "engine/EipSyncThread.h"

#include "common/Variant.h"
#include "common/qorStrUtils.h"
#include "logix/Logix_Address.h"
#include "logix/Logix_Factory.h"
#include "logix/Logix_Group.h"
#include "platform/Messages.h"

#include <algorithm>
#include <iterator>
#include <utility>


namespace qor {

namespace {

// The translated text carries "%s" where each argument goes; it is not a
// format string to trust.
std::string FormatTwo(std::string text, std::string_view a, std::string_view b) {
    for (const std::string_view arg : {a, b}) {
        const std::size_t at = text.find("%s");
        if (at == std::string::npos)
            break;
        text.replace(at, 2, arg);
    }
    return text;
}

} // namespace

// ---- TEipSyncThread

TEipSyncThread::TEipSyncThread(IDeviceChannel* channel, std::string threadName)
    : TProcessDataThread(std::move(threadName), /*messageLoop=*/false, /*createSuspended=*/true), Channel(channel) {
    eip::TSessionManager::InstallTransport<eip::TDataLoggerSession>();
}

TEipSyncThread::~TEipSyncThread() {
    StopAndWait();
    std::scoped_lock hold(processorLock_);
    retired_.clear();
}

void TEipSyncThread::DoStart() {
    OnProcessItem = [this](TProcessDataThread&, std::unique_ptr<TQueueItem>& item) {
        if (auto* command = dynamic_cast<TEipSyncCommand*>(item.get()))
            ExecuteCommand(*command);
    };
}

void TEipSyncThread::DoFinish() {
    // The thread ends with its data source: the host closes the channel, so
    // the processor goes without another exchange with the device.
    std::unique_ptr<logix::TLogixProcessor> processor;
    {
        std::scoped_lock hold(processorLock_);
        processor = std::move(processor_);
    }
    if (processor) {
        try {
            processor->Disconnect(/*silent=*/true);
        } catch (...) {
        }
    }
}

void TEipSyncThread::Push(std::unique_ptr<TEipSyncCommand> command) {
    Queue.Push(std::move(command));
}

namespace {

std::unique_ptr<TEipSyncCommand> ConnectCommand(const std::string& host, const std::string& devicePath,
                                                const std::string& key, std::uint32_t sessionTimeout,
                                                std::uint8_t options, std::uint8_t family) {
    auto command = std::make_unique<TEipSyncCommand>();
    command->Code = static_cast<std::uint8_t>(TEipCommandCode::Connect);
    command->Key = key;
    command->Text = devicePath;
    command->Host = host;
    command->Arg1 = options & 0x07;
    command->Arg2 = family;
    command->Arg3 = static_cast<std::int32_t>(sessionTimeout);
    return command;
}

} // namespace

void TEipSyncThread::QueueConnect(const std::string& host, const std::string& devicePath, const std::string& key,
                                  std::uint32_t sessionTimeout, std::uint8_t options, std::uint8_t family) {
    Host = host;
    DevicePath = devicePath;
    Kind = family;
    ConnectOptions = options;
    ConnectTimeout = sessionTimeout;
    Push(ConnectCommand(host, devicePath, key, sessionTimeout, options, family));
}

void TEipSyncThread::QueueConnectAndRead(const std::string& host, const std::string& devicePath,
                                         std::uint32_t sessionTimeout, std::uint8_t options, std::uint8_t family,
                                         std::unique_ptr<TEipSyncCommand> read) {
    Host = host;
    DevicePath = devicePath;
    Kind = family;
    ConnectOptions = options;
    ConnectTimeout = sessionTimeout;
    std::vector<std::unique_ptr<TQueueItem>> both;
    auto connect = ConnectCommand(host, devicePath, {}, sessionTimeout, options, family);
    // The read gives up after its own time-out: a registration or Forward
    // Open whose reply is lost must not hold the data source longer.
    if (read && read->Arg3 > 0)
        connect->ConnectReplyTimeout = static_cast<std::uint32_t>(read->Arg3);
    both.push_back(std::move(connect));
    both.push_back(std::move(read));
    Queue.PushAll(std::move(both));
}

void TEipSyncThread::QueueDisconnect(bool silent) {
    auto command = std::make_unique<TEipSyncCommand>();
    command->Code = static_cast<std::uint8_t>(TEipCommandCode::Disconnect);
    command->Arg1 = silent ? 1 : 0;
    Push(std::move(command));
}

std::unique_ptr<TEipSyncCommand> TEipSyncThread::ReadCommand(TEipCommandCode code, const std::string& key,
                                                             std::uint16_t dataType, std::uint16_t elementCount,
                                                             const std::string& text, std::uint32_t replyTimeout) {
    if (text.empty())
        return nullptr;
    auto command = std::make_unique<TEipSyncCommand>();
    command->Code = static_cast<std::uint8_t>(code);
    command->Key = key;
    command->Text = text;
    command->Arg1 = elementCount;
    command->Arg2 = dataType;
    command->Arg3 = static_cast<std::int32_t>(replyTimeout);
    return command;
}

void TEipSyncThread::QueueCommand(TEipCommandCode code, const std::string& key, std::uint16_t dataType,
                                  std::uint16_t elementCount, const std::string& text, std::uint32_t replyTimeout) {
    if (auto command = ReadCommand(code, key, dataType, elementCount, text, replyTimeout))
        Push(std::move(command));
}

std::unique_ptr<TEipSyncCommand> TEipSyncThread::CombinedCommand(std::vector<TEipSyncPart> parts,
                                                                 std::uint32_t replyTimeout) {
    if (parts.empty())
        return nullptr;
    auto command = std::make_unique<TEipSyncCommand>();
    command->Code = static_cast<std::uint8_t>(TEipCommandCode::ReadTag);
    command->Key = parts.front().Key;
    command->Arg1 = 1;
    command->Arg3 = static_cast<std::int32_t>(replyTimeout);
    command->Parts = std::move(parts);
    return command;
}

void TEipSyncThread::QueueCombined(std::vector<TEipSyncPart> parts, std::uint32_t replyTimeout) {
    if (auto command = CombinedCommand(std::move(parts), replyTimeout))
        Push(std::move(command));
}

void TEipSyncThread::FeedData(std::span<const std::uint8_t> bytes) {
    std::scoped_lock hold(processorLock_);
    if (processor_)
        processor_->DataReceived(bytes);
}

void TEipSyncThread::FlushData() {
    std::scoped_lock hold(processorLock_);
    if (processor_)
        processor_->FlushReceived();
}

void TEipSyncThread::SetPortState(bool opened) {
    PortOpen = opened;
    ++PortChanges;
    std::scoped_lock hold(processorLock_);
    if (processor_)
        processor_->ChannelStateChanged(opened);
}

void TEipSyncThread::AbortWait() {
    std::scoped_lock hold(processorLock_);
    if (processor_)
        processor_->ChannelClosed();
}

void TEipSyncThread::Recycle(std::vector<std::unique_ptr<TQueueItem>> spent) {
    std::scoped_lock hold(spentLock_);
    spent_.insert(spent_.end(), std::make_move_iterator(spent.begin()), std::make_move_iterator(spent.end()));
}

void TEipSyncThread::FreeSpent() {
    std::vector<std::unique_ptr<TQueueItem>> spent;
    std::scoped_lock hold(spentLock_);
    spent.swap(spent_);
    // Freed here, on the worker, once the lock is let go.
}

std::vector<std::unique_ptr<logix::TLogixProcessor>> TEipSyncThread::TakeRetired() {
    std::vector<std::unique_ptr<logix::TLogixProcessor>> taken;
    std::scoped_lock hold(processorLock_);
    taken.swap(retired_);
    return taken;
}

void TEipSyncThread::ReleaseProcessor() {
    std::scoped_lock hold(processorLock_);
    if (processor_)
        retired_.push_back(std::move(processor_));
}

int TEipSyncThread::SendToHost(std::span<const std::uint8_t> bytes) {
    const std::uint32_t changes = PortChanges.load();
    // A command queued before the host reported the channel closed sends
    // nothing: whatever it would say (a registration for a new session) is
    // for a channel that is gone, and its failure must not count as one
    // that reached the device, which would make the host reopen a channel
    // that it has just closed.
    const int sent = Channel != nullptr && PortOpen.load() ? Channel->SendToDevice(bytes) : -1;
    LastSendResult = sent;
    if (sent >= 0)
        SentPortChanges = changes;
    return sent;
}

bool TEipSyncThread::Report(const TEipSyncCommand& command, bool success, TEipResultObject* result) {
    const logix::TLogixProcessor* p = processor_.get();
    return Report(command, success, p ? p->ErrorCode : 0, p ? p->ErrorText : std::string(), result);
}

bool TEipSyncThread::Report(const TEipSyncCommand& command, bool success, std::int32_t errorCode,
                            const std::string& errorText, TEipResultObject* result) {
    if (!OnResult)
        return false;
    try {
        return OnResult(*this, command, success, errorCode, errorText, result);
    } catch (...) {
        return false; // a handler's failure ends with the handler
    }
}

void TEipSyncThread::ExecuteCommand(TEipSyncCommand& command) {
    FreeSpent();
    CurrentCommand = &command;
    try {
        const auto code = static_cast<TEipCommandCode>(command.Code);
        if (code == TEipCommandCode::Connect) {
            ExecConnect(command);
        } else if (command.Code <= 8 && processor_ && processor_->State == logix::StateConnected) {
            // A read waits for each reply no longer than its request allows:
            // a reply that is lost or mangled must not hold the data source
            // for the whole session time-out.
            struct ReplyTimeout {
                logix::TLogixProcessor& processor;
                eip::TSessionInfo* session = nullptr;
                std::uint32_t saved = 0;
                ~ReplyTimeout() {
                    // A read that failed often enough ends its session.
                    if (session != nullptr && processor.Session.get() == session)
                        session->Timeout = saved;
                }
            } replyTimeout{*processor_};
            if (command.Code >= 2 && command.Arg3 > 0 && processor_->Session &&
                static_cast<std::uint32_t>(command.Arg3) < processor_->Session->Timeout) {
                replyTimeout.session = processor_->Session.get();
                replyTimeout.saved = replyTimeout.session->Timeout;
                replyTimeout.session->Timeout = static_cast<std::uint32_t>(command.Arg3);
            }
            switch (code) {
            case TEipCommandCode::Disconnect: ExecDisconnect(command); break;
            case TEipCommandCode::TagInfo: ExecTagInfo(command); break;
            case TEipCommandCode::ReadTag:
            case TEipCommandCode::ReadArray:
            case TEipCommandCode::ReadMicro800:
            case TEipCommandCode::ReadMicroLogix1400: ExecRead(command); break;
            case TEipCommandCode::ReadLogixTag: ExecReadLogixTag(command); break;
            case TEipCommandCode::ReadLogixArray: ExecReadLogixArray(command); break;
            default: break;
            }
        } else if (code == TEipCommandCode::Disconnect) {
            // A processor that never connected still goes. Without one there
            // is nothing to end, and the Disconnect is done all the same: a
            // data source that waits for its worker to catch up (the reset
            // after a port-open report) hears of it now, not at its next
            // look a second later.
            if (processor_)
                ExecDisconnect(command);
            else
                Report(command, true, nullptr);
        } else {
            // A read behind a connect that failed: answered as not done, so
            // that the data source does not wait for it.
            Report(command, false, nullptr);
        }
    } catch (...) {
        // A command's failure ends with the command; the next one runs.
    }
    CurrentCommand = nullptr;
}

void TEipSyncThread::ExecConnect(TEipSyncCommand& command) {
    const auto family = static_cast<std::uint8_t>(command.Arg2);
    if (!processor_) {
        // The data source checked the path before it queued the command.
        eip::TPacketDataArray userPath;
        if (family == logix::ProcessorKindLogix)
            userPath = logix::ParseRoute(command.Text).value_or(eip::TPacketDataArray{});
        auto created = std::make_unique<logix::TLogixProcessor>(this, std::move(userPath), command.Host,
                                                                static_cast<eip::ISessionOwner*>(this));
        std::scoped_lock hold(processorLock_);
        processor_ = std::move(created);
    }
    logix::TLogixProcessor& p = *processor_;
    bool success = true;
    // The host was asked to open the channel again after a connect failed on
    // it: until it has, a registration would go to the same device
    // connection and be refused there, so the connect waits for the new one
    // (the read queued with it is dropped; its item times out or the opening
    // sends it again).
    if (ReopenAskedAt) {
        if (*ReopenAskedAt == PortChanges.load())
            return;
        ReopenAskedAt.reset();
    }
    const bool dead = p.State == logix::StateDisconnected || p.State == 0 || (p.Session && !p.Session->Connected);
    if (dead) {
        p.State = logix::StateConnecting;
        std::uint8_t options = 0;
        for (int i = 0; i <= 2; ++i)
            if (command.Arg1 & (1 << i))
                options |= static_cast<std::uint8_t>(1u << i);
        const auto sessionTimeout = static_cast<std::uint32_t>(command.Arg3);
        const std::uint32_t replyTimeout = command.ConnectReplyTimeout > 0 && command.ConnectReplyTimeout < sessionTimeout
                                               ? command.ConnectReplyTimeout
                                               : sessionTimeout;
        success = p.Connect(family, options, PollHint.load(), replyTimeout);
        if (success) {
            sessionOpening_ = PortOpenings.load();
            if (p.Session)
                p.Session->Timeout = sessionTimeout;
        }
    }
    ConnectDidNothing = !dead;
    Report(command, success, nullptr);
}

void TEipSyncThread::ExecDisconnect(TEipSyncCommand& command) {
    bool success = true;
    logix::TLogixProcessor& p = *processor_;
    // The reset that follows a port-open report spares a session registered
    // after that report: it already lives on the new channel, and a device
    // takes one registration per connection.
    if (command.Arg2 != 0 && p.State == logix::StateConnected && p.Session && p.Session->Connected &&
        sessionOpening_ >= static_cast<std::uint32_t>(command.Arg2)) {
        Report(command, true, nullptr);
        return;
    }
    if (p.State == logix::StateConnecting || p.State == logix::StateConnected) {
        p.State = logix::StateDisconnecting;
        success = p.Disconnect(command.Arg1 == 1);
    }
    // What a failed connect left (a session that never came up) goes here, on
    // the worker and without a word to the device: the processor is freed on
    // the main thread, which must not wait for a reply only it could deliver.
    if (p.Session)
        p.Disconnect(/*silent=*/true);
    // Let go before the report: whoever the report wakes finds the processor
    // among the retired ones.
    const std::int32_t errorCode = p.ErrorCode;
    const std::string errorText = p.ErrorText;
    ReleaseProcessor();
    Report(command, success, errorCode, errorText);
}

void TEipSyncThread::ExecTagInfo(TEipSyncCommand& command) {
    logix::TLogixProcessor& p = *processor_;
    TEipResultObject result;
    if (command.Text == "*") {
        result.Infos = p.BrowseTags();
        if (!result.Infos)
            result.Infos = std::make_unique<logix::TLogixTagInfoList>();
        Report(command, true, &result);
        return;
    }
    result.Info = p.GetTagInfo(command.Text);
    const bool found = result.Info != nullptr;
    Report(command, found, found ? &result : nullptr);
}

void TEipSyncThread::ReportRead(const TEipSyncCommand& command, TEipResultObject& result) {
    const bool any = std::any_of(result.Outcomes.begin(), result.Outcomes.end(),
                                 [](const logix::TLogixReadOutcome& o) { return o.Ok(); });
    if (!any) {
        // The error of the read as a whole is its first address's.
        processor_->ErrorCode = result.Outcomes.front().ErrorCode;
        processor_->ErrorText = result.Outcomes.front().ErrorText;
    }
    Report(command, any, &result);
}

void TEipSyncThread::ExecRead(TEipSyncCommand& command) {
    if (!command.Parts.empty())
        return ExecCombined(command);
    // The Logix layer reads the text the way the processor's family needs:
    // one outcome per address, in the order written.
    TEipResultObject result;
    result.Outcomes = logix::ReadAddressText(*processor_, command.Text, static_cast<std::uint16_t>(command.Arg1),
                                             static_cast<std::uint16_t>(command.Arg2), &result.RawData);
    if (!result.Outcomes.empty())
        ReportRead(command, result);
    else
        Report(command, false, nullptr);
}

void TEipSyncThread::ExecCombined(TEipSyncCommand& command) {
    // Every part's addresses in one text: the Logix layer packs them into as
    // few Multiple Service Packets as they fit; the outcomes come back in the
    // order written and are dealt out to the parts again.
    std::string text;
    std::vector<std::size_t> counts;
    for (const TEipSyncPart& part : command.Parts) {
        counts.push_back(logix::CountAddresses(part.Text));
        text += (text.empty() ? "" : ";") + part.Text;
    }
    std::string raw;
    auto outcomes = logix::ReadAddressText(*processor_, text, 1, 0, &raw);
    // One time for all the parts: they were read in the same exchanges.
    const double readAt = LocalDateTimeNow();
    // A device without Multiple Service Packets answers them "service not
    // supported" as a whole.
    const bool refused = std::any_of(outcomes.begin(), outcomes.end(), [](const logix::TLogixReadOutcome& o) {
        return !o.Ok() && o.ErrorCode == 0x08;
    });
    std::size_t next = 0;
    bool reported = false;
    for (std::size_t i = 0; i < command.Parts.size(); ++i) {
        TEipSyncCommand part;
        part.Code = command.Code;
        part.Key = std::move(command.Parts[i].Key);
        part.Text = std::move(command.Parts[i].Text);
        TEipResultObject result;
        for (std::size_t k = 0; k < counts[i] && next < outcomes.size(); ++k)
            result.Outcomes.push_back(std::move(outcomes[next++]));
        if (result.Outcomes.empty())
            continue;
        // The exchange's bytes go with the first part: in a combined packet
        // they are told once, not once per item.
        result.RawData = std::move(raw);
        raw.clear();
        result.CombinedRefused = refused;
        result.ReadAt = readAt;
        ReportRead(part, result);
        reported = true;
    }
    if (!reported)
        Report(command, false, nullptr);
}

namespace {

logix::TLogixReadOutcome TagOutcome(const std::string& name, std::unique_ptr<logix::TLogixTag> tag, bool success,
                                    const logix::TLogixProcessor& p) {
    logix::TLogixReadOutcome outcome;
    outcome.Name = name;
    if (success && tag && tag->Status >= 0) {
        outcome.Tag = std::move(tag);
    } else {
        outcome.ErrorCode = p.ErrorCode != 0 ? p.ErrorCode : logix::ErrTagNotFound;
        outcome.ErrorText = p.ErrorCode != 0 ? p.ErrorText : logix::ErrorTextOf(logix::ErrTagNotFound);
    }
    return outcome;
}

} // namespace

void TEipSyncThread::ExecReadLogixTag(TEipSyncCommand& command) {
    logix::TLogixProcessor& p = *processor_;
    auto tag = logix::TLogixTagFactory::CreateTag(command.Text, p, 1);
    if (!tag)
        return;
    const bool success = p.ReadTag(tag.get());
    TEipResultObject result;
    result.Outcomes.push_back(TagOutcome(command.Text, std::move(tag), success, p));
    Report(command, result.Outcomes.front().Ok(), &result);
}

void TEipSyncThread::ExecReadLogixArray(TEipSyncCommand& command) {
    logix::TLogixProcessor& p = *processor_;
    logix::TLogixTagGroup* group = p.FindGroup("MyGroup");
    if (!group)
        group = &p.CreateGroup("MyGroup");
    auto& tag = group->AddTag(logix::TLogixDINT::Create(command.Text, static_cast<std::uint16_t>(command.Arg1), &p));
    p.ScanGroups();
    const bool success = p.ReadTag(&tag);
    TEipResultObject result;
    result.Outcomes.push_back(TagOutcome(command.Text, group->ExtractTag(&tag), success, p));
    Report(command, result.Outcomes.front().Ok(), &result);
}

// ---- TEipSyncThreadEx

TEipSyncThreadEx::TEipSyncThreadEx(IDeviceChannel* channel, platform::HWND notifyHandle, TLogEvent log,
                                   std::string operationFailedText)
    : TEipSyncThread(channel, "EIP"), NotifyHandle(notifyHandle), log_(std::move(log)),
      operationFailed_(std::move(operationFailedText)) {
    OnResult = [this](TEipSyncThread& sender, const TEipSyncCommand& command, bool success, std::int32_t code,
                      const std::string& text, TEipResultObject* result) {
        return HandleResult(sender, command, success, code, text, result);
    };
    Start();
}

TEipSyncThreadEx::~TEipSyncThreadEx() {
    StopAndWait();
    Results.Clear();
}

bool TEipSyncThreadEx::HandleResult(TEipSyncThread&, const TEipSyncCommand& command, bool success, std::int32_t,
                                    const std::string& errorText, TEipResultObject* result) {
    // News put off until this command's reply: the reply usually brought
    // the main thread, which posted it then; otherwise (the channel closed
    // under the exchange) it goes now.
    PostPutOffNews();
    bool taken = false;
    logix::TLogixProcessor* p = Processor();
    const bool read = command.Code >= 3 && command.Code <= 8;
    if (success) {
        ConnectFailures = 0;
        if (read)
            HadRead = true;
    }
    // Every read goes back to the data source, failed addresses included: the
    // request is answered (its item is free for the next one at once), and the
    // data source says which address failed and why.
    if (read && result != nullptr && !result->Outcomes.empty()) {
        auto item = std::make_unique<TEipResult>();
        if (success && p && p->Session) {
            if (!identity_ || *identity_ != p->Session->IdentityItem)
                identity_ = std::make_shared<const eip::TIdentityItem>(p->Session->IdentityItem);
            item->Identity = identity_;
        }
        item->Key = command.Key;
        item->Code = command.Code;
        item->Outcomes = std::move(result->Outcomes);
        item->RawData = std::move(result->RawData);
        item->CombinedRefused = result->CombinedRefused;
        item->ReadAt = result->ReadAt != 0 ? result->ReadAt : LocalDateTimeNow();
        Results.Push(std::move(item));
        taken = true;
    }
    // A connect that found the session up is no news; anything else (a
    // failed connect too: the scheduler may send again) is, and one message
    // stands for everything done since the scheduler last looked.
    const bool news = taken || !success || command.Code != 0 || !ConnectDidNothing;
    if (NotifyHandle != 0 && news && !ResultPosted.exchange(true)) {
        newsWaiting_ = true;
        if (Backlog() == 0)
            PostNews();
    }
    // The data source logs a read's failures address by address; a read
    // that could not run (its connect failed and said so) adds nothing.
    if (success || taken || (read && result == nullptr))
        return taken;
    const bool report = command.Code != 0 || HadRead || LastSendResult.load() >= 0;
    if (command.Code == 0) {
        // A device takes one registration per TCP connection, and a connect
        // that failed after its bytes reached the device (a lost or late
        // reply, a refused Forward Open) may have left one there: the next
        // connect goes on a new connection at once, rather than being refused
        // as a second registration until three failures in a row. A channel
        // that the host closed or opened since the bytes went out is new.
        const bool reachedDevice = LastSendResult.load() >= 0 && PortChanges.load() == SentPortChanges;
        if (++ConnectFailures >= 3 || reachedDevice) {
            ConnectFailures = std::min(ConnectFailures, 2);
            // The host reopens its channel to the device on this text. It goes
            // to the channel even when the failed connect left no session,
            // since a channel that cannot carry a session is what needs it.
            // The channel's count is read first: the host may reopen it before
            // the send returns.
            static constexpr std::string_view kClose = "<<CLOSE>>";
            const std::uint32_t changes = PortChanges.load();
            if (SendToChannel(std::span(reinterpret_cast<const std::uint8_t*>(kClose.data()), kClose.size())) >= 0)
                ReopenAskedAt = changes;
        }
    }
    if (report && log_)
        log_(1, FormatTwo(operationFailed_, EipSyncCommandNames[command.Code < 9 ? command.Code : 0], errorText));
    return taken;
}

void TEipSyncThreadEx::SetPortState(bool opened) {
    if (opened && !Host.empty()) {
        const std::uint32_t opening = ++PortOpenings;
        auto disconnect = std::make_unique<TEipSyncCommand>();
        disconnect->Code = static_cast<std::uint8_t>(TEipCommandCode::Disconnect);
        disconnect->Arg1 = 1; // silent
        disconnect->Arg2 = static_cast<std::int32_t>(opening);
        Queue.Push(std::move(disconnect));
        TEipSyncThread::SetPortState(false);
        if (Kind == logix::ProcessorKindMicroLogix)
            QueueConnect(Host, DevicePath, {}, ConnectTimeout, ConnectOptions, Kind);
    }
    TEipSyncThread::SetPortState(opened);
}

bool TEipResult::AnyValue() const {
    return std::any_of(Outcomes.begin(), Outcomes.end(), [](const logix::TLogixReadOutcome& o) { return o.Ok(); });
}

int TEipSyncThreadEx::SendToHost(std::span<const std::uint8_t> bytes) {
    // Put off before the bytes go: the reply may be in, and the main thread
    // past looking for the news, before the send returns here.
    if (std::exchange(newsWaiting_, false))
        newsPutOff_ = true;
    const int sent = TEipSyncThread::SendToHost(bytes);
    if (sent < 0)
        PostNews();
    return sent;
}

std::uint32_t TEipSyncThreadEx::PutOffMs() { return newsPutOff_.load() ? kNewsPutOffMs : 0; }

void TEipSyncThreadEx::ReplyLate() { PostNews(); }

void TEipSyncThreadEx::PostPutOffNews() {
    if (newsPutOff_.exchange(false))
        platform::PostMessage(NotifyHandle, WM_EIP_RESULT, 0, 0);
}

void TEipSyncThreadEx::QueueDrained() { PostNews(); }

void TEipSyncThreadEx::PostNews() {
    const bool waiting = std::exchange(newsWaiting_, false);
    if (newsPutOff_.exchange(false) || waiting)
        platform::PostMessage(NotifyHandle, WM_EIP_RESULT, 0, 0);
}

} // namespace qor
