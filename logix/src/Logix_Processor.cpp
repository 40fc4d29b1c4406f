#include "logix/Logix_Processor.h"

#include "cip/CIP_IOI.h"
#include "cip/CIP_UnconnectedSend.h"
#include "common/Variant.h"
#include "common/qorStrUtils.h"
#include "logix/Logix_Address.h"
#include "logix/Logix_Factory.h"
#include "logix/Logix_Read.h"
#include "logix/Logix_Tag.h"

#include <algorithm>
#include <exception>

namespace logix {

using eip::TSessionInfo;
using eip::TSessionManager;

const std::array<TLogixErrorRec, 24> LogixErrors{{
    {-1, "Session could not be established with the communications link"},
    {-2, "Session could not be registered with the communications link"},
    {-3, "CIP is not supported on the target device"},
    {-4, "Processor could not be connected"},
    {-5, "Incorrect Argument Tag Type"},
    {-6, "Tag was not found on the processor"},
    {-7, "The data returned by the processor does not match the tag type"},
    {-8, "The group that you are trying to add to the processor already exists"},
    {-9, "The specified group was not found"},
    {-10, "The processor received an invalid response size"},
    {-11, "The specified value could not be converted to the required type"},
    {-12, "The specified User Defined Type member was not found in the structure"},
    {-13, "The IOI path could not be deciphered or the matching item was not found."},
    {-14, "The item referenced could not be found on the processor"},
    {-15, "An error occurred trying to process one of the attributes"},
    {-16, "Not enough data was sent to the processor to execute the command"},
    {-17, "An insufficient number of attributes were supplied compared to the attribute count."},
    {-18, "The IOI word length did not match the amount of IOI which was processed"},
    {-19, "An attempt was made to access data beyond the end of the object"},
    {-20, "The abbreviated type does not match the data type of the object"},
    {-21, "The beginning offset was beyond the end of the template"},
    {-22, "A socket exception has occurred"},
    {-23, "Invalid address"},
    {-100, "An unknown error has occurred"},
}};

std::string ErrorTextOf(std::int32_t code) {
    for (const TLogixErrorRec& e : LogixErrors)
        if (e.Code == code)
            return e.Text;
    return "Unknown";
}

namespace {

const eip::TSenderContext PluginSenderContext{'m', 'i', 'r', 'd', 'e', 'n', 'o', 0};
constexpr std::int32_t EncapsulationPort = 44818;
constexpr std::uint32_t ConnectionTimeoutMs = 1800000;
constexpr std::uint32_t OriginatorSerial = 0x000EFFEC;
constexpr std::uint16_t OriginatorVendor = 0xFACE;
// Template reads go out with their own fixed tick bytes.
constexpr std::array<std::uint8_t, 2> TemplateTicks{7, 155};
constexpr std::uint32_t TemplateChunk = 480;
// No real definition comes near this; a device claiming more is not believed.
constexpr std::uint32_t MaxDefinitionReadBytes = 1u << 20;
// A read larger than this is no tag a controller holds; fragments stop there.
constexpr std::uint64_t MaxConnectedTagBytes = 16u << 20;
// Browse pages of one symbol table; a device that pages beyond is looping.
constexpr std::uint32_t MaxBrowsePages = 1u << 16;

TPacketDataArray U16(std::uint16_t v) { return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)}; }

// A structure's value bytes come after its two-byte handle, which every
// fragment repeats; fragment offsets count value bytes only.
TPacketDataArray StructureHead(const cip::TReadDataServiceReply& reply) {
    if (reply.DataType != cipType::Structure || reply.Data.size() < 2)
        return {};
    return TPacketDataArray(reply.Data.begin(), reply.Data.begin() + 2);
}

std::string BytesAsText(std::span<const std::uint8_t> bytes) { return std::string(bytes.begin(), bytes.end()); }

// The reply data of a read as the tag takes it: the two type bytes, then the
// value bytes.
TPacketDataArray TypedData(std::uint16_t type, std::span<const std::uint8_t> data) {
    TPacketDataArray bytes;
    bytes.reserve(2 + data.size());
    eip::AppendUInt16(bytes, type);
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

} // namespace

// ---- TLogixTagInfo and the browse reply

void TLogixTagInfo::SetSymbolType(std::uint16_t type) {
    SymbolType = type;
    IsStructure = (type & 0x8000) != 0;
    DimCount = static_cast<std::uint8_t>((type >> 13) & 0x03);
    AtomicType = static_cast<std::uint16_t>((type & 0xFF) + (IsStructure ? 0x8000 : 0));
}

std::size_t TLogixTagInfoList::ParseBrowseReply(std::span<const std::uint8_t> data,
                                                std::span<const std::uint16_t> attributes) {
    std::size_t pos = 0;
    while (pos < data.size()) {
        std::size_t p = pos;
        auto take = [&](std::size_t n) {
            if (data.size() - p < n)
                return false;
            p += n;
            return true;
        };
        auto record = std::make_unique<TLogixTagInfo>();
        if (!take(4))
            break;
        record->InstanceId = eip::ToUInt32(data, p - 4);
        bool whole = true;
        for (const std::uint16_t attribute : attributes) {
            switch (attribute) {
            case 1: {
                if (!take(2)) {
                    whole = false;
                    break;
                }
                const std::uint16_t length = eip::ToUInt16(data, p - 2);
                if (!take(length)) {
                    whole = false;
                    break;
                }
                record->Name = eip::BytesToString(data, p - length, length);
                break;
            }
            case 2:
                if ((whole = take(2)))
                    record->SetSymbolType(eip::ToUInt16(data, p - 2));
                break;
            case 7:
                whole = take(2);
                break;
            case 8:
                if ((whole = take(12))) {
                    record->DimSize1 = eip::ToUInt32(data, p - 12);
                    record->DimSize2 = eip::ToUInt32(data, p - 8);
                    record->DimSize3 = eip::ToUInt32(data, p - 4);
                }
                break;
            case 10:
                whole = take(1);
                break;
            default:
                whole = false; // its size is unknown: nothing after it can be read
            }
            if (!whole)
                break;
        }
        if (!whole)
            break;
        Add(std::move(record));
        pos = p;
    }
    return pos;
}

TLogixTagInfo* TLogixTagInfoList::Find(std::string_view name) {
    SectionLock lock(*this);
    for (const auto& info : *this)
        if (!info->IsSystem() && qor::SameText(info->Name, name))
            return info.get();
    return nullptr;
}

// ---- TLogixProcessor: life and channel

TLogixProcessor::TLogixProcessor(void* owner, TPacketDataArray userPath, std::string host,
                                 eip::ISessionOwner* channel)
    : Owner(owner), UserPath(std::move(userPath)), Host(std::move(host)), Channel(channel),
      rng_(std::random_device{}()) {
    ConnectTime = qor::LocalDateTimeNow();
    RoutePath = BuildRoutePath();
    Random = [this](std::uint32_t bound) { return std::uniform_int_distribution<std::uint32_t>(0, bound)(rng_); };
}

TLogixProcessor::~TLogixProcessor() {
    try {
        Disconnect(false);
    } catch (...) {
        // A destructor ends the conversation whatever the device answers.
    }
    FreeSession();
    if (tcp_ != nullptr)
        tcp_->SetReceiver(nullptr, nullptr);
}

void TLogixProcessor::UseChannel(eip::TTcpChannel& tcp) {
    eip::TSessionManager::InstallTransport<eip::TDataLoggerSession>();
    Channel = &tcp;
    tcp_ = &tcp;
    tcp.SetReceiver([this](std::span<const std::uint8_t> bytes) { DataReceived(bytes); },
                    [this] { ChannelClosed(); });
}

eip::TSessionInfo* TLogixProcessor::AttachedSession() {
    std::scoped_lock hold(attachLock_);
    return attached_;
}

void TLogixProcessor::AttachSession(eip::TSessionInfo& session) {
    std::scoped_lock hold(attachLock_);
    attached_ = &session;
}

int TLogixProcessor::SendToHost(std::span<const std::uint8_t> bytes) {
    return Channel != nullptr ? Channel->SendToHost(bytes) : -1;
}

std::uint32_t TLogixProcessor::PutOffMs() { return Channel != nullptr ? Channel->PutOffMs() : 0; }

void TLogixProcessor::ReplyLate() {
    if (Channel != nullptr)
        Channel->ReplyLate();
}

template <class F>
void TLogixProcessor::WithAttached(F&& reach) {
    std::scoped_lock hold(attachLock_);
    if (attached_ != nullptr)
        reach(*attached_);
}

void TLogixProcessor::DataReceived(std::span<const std::uint8_t> bytes) {
    WithAttached([&](eip::TSessionInfo& s) { s.FeedData(bytes); });
}

void TLogixProcessor::ChannelClosed() { ChannelStateChanged(false); }

void TLogixProcessor::ChannelStateChanged(bool connected) {
    WithAttached([&](eip::TSessionInfo& s) { s.StateChanged(connected); });
}

void TLogixProcessor::FlushReceived() {
    WithAttached([](eip::TSessionInfo& s) { s.FlushData(); });
}

void TLogixProcessor::FreeSession() {
    {
        std::scoped_lock hold(attachLock_);
        attached_ = nullptr;
    }
    Session.reset();
}

void TLogixProcessor::SetError(std::int32_t code, std::string text) {
    ErrorCode = code;
    ErrorText = text.empty() ? ErrorTextOf(code) : std::move(text);
}

void TLogixProcessor::SetStatusError(std::uint16_t status, std::span<const std::uint8_t> statusBytes) {
    ErrorCode = status;
    const auto extended = cip::ExtendedStatusWords(statusBytes);
    ErrorText = extended.empty() || status > 0xFF
                    ? cip::StatusText(status)
                    : cip::StatusTextWithExtended(static_cast<std::uint8_t>(status), extended);
}

// ---- Connect and disconnect

TPacketDataArray TLogixProcessor::BuildRoutePath() const {
    // Micro800 and MicroLogix controllers sit behind no backplane: their route
    // is what was configured (normally nothing), so the connection path is
    // just the Message Router's.
    if ((Options & OptionWholeRoute) != 0 || ProcessorKind != ProcessorKindLogix)
        return UserPath;
    TPacketDataArray route{0x01};
    route.insert(route.end(), UserPath.begin(), UserPath.end());
    return route;
}

std::uint32_t TLogixProcessor::ConnectionRPI(std::uint32_t connectionTimeout) {
    // The device drops a class-3 connection that stays quiet for four RPIs;
    // the engine talks on it once per poll, so the RPI is twice the poll
    // interval for every interval (capped where the 32-bit microsecond field
    // ends), never the 20 ms default that would drop a slow poll's connection.
    constexpr std::uint32_t MaxInterval = 2000000; // ms: 4,000,000,000 µs
    return std::min(connectionTimeout, MaxInterval) * 2000u;
}

bool TLogixProcessor::Connect(std::uint8_t processorKind, std::uint8_t options, std::uint32_t connectionTimeout,
                              std::uint32_t sessionTimeout) {
    try {
        FreeSession();
        ProcessorKind = processorKind;
        Options = options;
        Session = TSessionManager::RegisterSession(this, Host, sessionTimeout, PluginSenderContext,
                                                   EncapsulationPort);
        ErrorCode = 0;
        ErrorText.clear();
        TSessionInfo& session = *Session;
        if (!session.Connected) {
            SetError(ErrSessionNotEstablished, session.LastError);
            State = StateDisconnected;
            return false;
        }
        if (!session.Registered) {
            SetError(ErrSessionNotRegistered, session.LastError);
            State = StateDisconnected;
            return false;
        }
        bool identified = false;
        try {
            identified = TSessionManager::ListIdentity(session);
        } catch (const std::exception&) {
            identified = false; // a reply that does not parse offers no CIP either
        }
        if (!identified) {
            SetError(ErrCIPNotSupported, session.LastError);
            TSessionManager::UnRegisterSession(session);
            State = StateDisconnected;
            return false;
        }
        session.SetConnectionParameters(static_cast<std::uint16_t>(Random(65534)), ConnectionTimeoutMs,
                                        OriginatorSerial, OriginatorVendor, Random(2147483646));
        RoutePath = BuildRoutePath();
        if ((Options & OptionConnected) != 0 &&
            !cip::ForwardOpenToRouter(session, RoutePath, 0, ConnectionRPI(connectionTimeout))) {
            SetError(ErrNotConnected);
            TSessionManager::UnRegisterSession(session);
            State = StateDisconnected;
            return false;
        }
        TakeListedIdentity(session.IdentityItem);
        // The controller's own identity behind the route, when it gives it;
        // one that refuses or answers in another layout keeps the listed one.
        if ((Options & OptionReadIdentity) != 0 && !ReadIdentity()) {
            ErrorCode = 0;
            ErrorText.clear();
        }
        FailureCount = 0;
        ConnectTime = qor::LocalDateTimeNow();
        State = StateConnected;
        return true;
    } catch (const std::exception& e) {
        SetError(ErrNotConnected, e.what());
        if (Session)
            TSessionManager::UnRegisterSession(*Session);
        State = StateDisconnected;
        return false;
    }
}

bool TLogixProcessor::Disconnect(bool silent) {
    if (Session && !silent) {
        try {
            if ((Options & OptionConnected) != 0 && Session->Connected)
                cip::ForwardClose(*Session, RoutePath);
        } catch (const std::exception&) {
            // Closing goes on whatever the device answered.
        }
        TSessionManager::UnRegisterSession(*Session);
    }
    FreeSession();
    State = StateDisconnected;
    return true;
}

void TLogixProcessor::SetFailureCount(std::int32_t n) {
    FailureCount = n;
    if (n >= 3) {
        if (State == StateConnected)
            Disconnect(false);
        FailureCount = 0;
    }
}

// ---- Unconnected requests

std::optional<TUnconnectedReply> TLogixProcessor::SendUnconnected(const cip::TMR_Request& request,
                                                                  std::optional<std::array<std::uint8_t, 2>> ticks) {
    if (!Session) {
        SetError(ErrNotConnected);
        return std::nullopt;
    }
    TSessionInfo& session = *Session;
    try {
        cip::TUnconnectedSend send;
        send.PriorityTimeTick = ticks ? (*ticks)[0] : session.ConnectionParameters.PriorityTimeTick;
        send.TimeoutTicks = ticks ? (*ticks)[1] : session.ConnectionParameters.TimeoutTicks;
        send.MessageRequest = request;
        std::optional<eip::TEncapsReply> reply;
        if (RoutePath.empty()) {
            // Nothing to route through: the request goes to the device itself.
            reply = cip::TMessageRouter::SendUnconnectedRequest(session, request);
        } else {
            send.RoutePath = RoutePath;
            reply = eip::SendRRData(session, eip::TCommonPacketItem::NullAddressItem(),
                                    eip::TCommonPacketItem::UnconnectedDataItem(send.Pack()));
        }
        if (!reply) {
            SetError(ErrTagNotFound, session.LastError);
            SetFailureCount(FailureCount + 1);
            return std::nullopt;
        }
        SetFailureCount(0);
        if (reply->Status != 0) {
            SetStatusError(static_cast<std::uint16_t>(reply->Status));
            return std::nullopt;
        }
        const auto parsed = cip::TUnconnectedSendReply::FromReply(*reply);
        if (const auto* ok = dynamic_cast<const cip::TUnconnectedSendReply_Success*>(parsed.get())) {
            TUnconnectedReply result;
            result.GeneralStatus = ok->GeneralStatus;
            result.Data = ok->ResponseData;
            return result;
        }
        if (const auto* failed = dynamic_cast<const cip::TUnconnectedSendReply_Failure*>(parsed.get())) {
            ErrorCode = failed->GeneralStatus;
            ErrorText = failed->Message;
            return std::nullopt;
        }
        SetError(ErrInvalidResponseSize);
    } catch (const std::exception&) {
        SetError(ErrInvalidResponseSize);
    }
    return std::nullopt;
}

// ---- Identity

void TLogixProcessor::TakeListedIdentity(const eip::TIdentityItem& item) {
    if (item.ItemType != eip::IdentityItemType)
        return;
    VendorId = item.VendorId;
    DeviceType = item.DeviceType;
    ProductCode = item.ProductCode;
    MajorRevision = item.MajorRevision;
    MinorRevision = item.MinorRevision;
    SerialNumber = item.SerialNumber;
    ProductName = item.ProductName;
    HasIdentity = true;
}

bool TLogixProcessor::ReadIdentity() {
    TPacketDataArray data{0x07, 0x00};
    for (std::uint16_t a = 1; a <= 7; ++a)
        eip::AppendUInt16(data, a);
    const auto reply = SendUnconnected(
        cip::TMessageRouter::BuildRequest(cip::ServiceCode(cip::TCIPService::GetAttributeList),
                                          cip::ToArray(cip::IdentityObjectPath), data));
    if (!reply)
        return false;
    if (reply->GeneralStatus != 0) {
        SetStatusError(reply->GeneralStatus);
        return false;
    }
    try {
        ParseIdentity(reply->Data);
    } catch (const std::exception&) {
        SetError(ErrInvalidResponseSize);
        return false;
    }
    return true;
}

void TLogixProcessor::ParseIdentity(std::span<const std::uint8_t> data) {
    if (eip::ToUInt16(data, 0) != 7)
        throw eip::EListError(0);
    // Read into a copy first, so a reply cut short changes nothing.
    struct {
        std::uint16_t VendorId, DeviceType, ProductCode;
        std::uint8_t Major, Minor;
        std::optional<std::uint16_t> Status;
        std::uint32_t Serial;
        std::string Name;
    } id{VendorId, DeviceType, ProductCode, MajorRevision, MinorRevision, std::nullopt, SerialNumber, ProductName};
    std::size_t p = 2;
    unsigned seen = 0;
    while (p < data.size()) {
        const std::uint16_t attribute = eip::ToUInt16(data, p);
        const std::uint16_t status = eip::ToUInt16(data, p + 2);
        p += 4;
        // An attribute the device could not give carries no value, so nothing
        // after it can be placed.
        if (attribute < 1 || attribute > 7 || status != 0)
            break;
        std::size_t width = 2;
        seen |= 1u << attribute;
        switch (attribute) {
        case 1:
            id.VendorId = eip::ToUInt16(data, p);
            break;
        case 2:
            id.DeviceType = eip::ToUInt16(data, p);
            break;
        case 3:
            id.ProductCode = eip::ToUInt16(data, p);
            break;
        case 4:
            id.Major = eip::ToByte(data, p);
            id.Minor = eip::ToByte(data, p + 1);
            break;
        case 5:
            id.Status = eip::ToUInt16(data, p);
            break;
        case 6:
            id.Serial = eip::ToUInt32(data, p);
            width = 4;
            break;
        case 7: {
            const std::uint8_t length = eip::ToByte(data, p);
            id.Name = eip::BytesToString(eip::ToBytes(data, p + 1, length));
            width = 1u + length;
            break;
        }
        }
        p += width;
    }
    // Every attribute must have come: a reply that stopped early (a status
    // other than 0, or no count) is not an identity.
    if (seen != 0xFEu)
        throw eip::EListError(static_cast<std::int64_t>(p));
    HasIdentity = true;
    VendorId = id.VendorId;
    DeviceType = id.DeviceType;
    ProductCode = id.ProductCode;
    MajorRevision = id.Major;
    MinorRevision = id.Minor;
    SerialNumber = id.Serial;
    ProductName = id.Name;
    const auto ext = static_cast<std::uint8_t>((*id.Status >> 4) & 0x0F);
    const auto fault = static_cast<std::uint8_t>((*id.Status >> 8) & 0x0F);
    const auto vendor = static_cast<std::uint8_t>((*id.Status >> 12) & 0x0F);
    const bool extChanged = ext != ExtStatus, faultChanged = fault != FaultBits, vendorChanged = vendor != VendorBits;
    ExtStatus = ext;
    FaultBits = fault;
    VendorBits = vendor;
    if (!NotifyStatus)
        return;
    if (extChanged && OnExtStatusChanged)
        OnExtStatusChanged(*this, ext);
    if (faultChanged && OnFaultBitsChanged)
        OnFaultBitsChanged(*this, fault);
    if (vendorChanged && OnVendorBitsChanged)
        OnVendorBitsChanged(*this, vendor);
}

// ---- Symbols

std::unique_ptr<TLogixTagInfoList> TLogixProcessor::BrowseTags(std::string_view program) {
    // A program's own symbols are listed after the program's name.
    const TPacketDataArray scope = program.empty() ? TPacketDataArray{} : cip::TIOI::SymbolicSegment(program);
    if (!program.empty() && scope.empty()) {
        SetError(ErrInvalidAddress, "Invalid address: " + std::string(program));
        return nullptr;
    }
    auto list = std::make_unique<TLogixTagInfoList>();
    TPacketDataArray data = U16(static_cast<std::uint16_t>(TLogixTagInfoList::BrowseAttributes.size()));
    for (const std::uint16_t a : TLogixTagInfoList::BrowseAttributes)
        eip::AppendUInt16(data, a);
    std::uint64_t start = 0;
    for (std::uint32_t page = 0; page < MaxBrowsePages; ++page) {
        TPacketDataArray path = scope;
        path.insert(path.end(), {0x20, 0x6B});
        if (start <= 0xFFFF) {
            path.insert(path.end(), {0x25, 0x00});
            eip::AppendUInt16(path, static_cast<std::uint16_t>(start));
        } else {
            path.insert(path.end(), {0x26, 0x00});
            eip::AppendUInt32(path, static_cast<std::uint32_t>(start));
        }
        const auto reply = SendUnconnected(cip::TMessageRouter::BuildRequest(
            cip::ServiceCode(cip::TCIPService::GetInstanceAttributeList), path, data));
        // A page that did not come leaves the table incomplete: a symbol
        // missing from it would be taken for one the controller lacks.
        if (!reply)
            return nullptr;
        const std::size_t before = list->Count();
        const std::size_t taken = list->ParseBrowseReply(reply->Data);
        if (reply->GeneralStatus != cip::StatusPartialTransfer) {
            if (reply->GeneralStatus != 0) {
                SetStatusError(reply->GeneralStatus);
                return nullptr;
            }
            if (taken != reply->Data.size()) {
                SetError(ErrInvalidResponseSize, "Symbol page cut short");
                return nullptr;
            }
            return list;
        }
        // More to come: from the instance after the last one received. A page
        // that brings nothing new, or goes back, would have the device page
        // forever.
        const std::uint64_t next =
            list->Count() == before ? 0 : static_cast<std::uint64_t>(list->Items(list->Count() - 1)->InstanceId) + 1;
        if (list->Count() == before || next <= start || next > 0xFFFFFFFFull) {
            SetError(ErrInvalidResponseSize, "Symbol pages do not advance");
            return nullptr;
        }
        start = next;
    }
    SetError(ErrInvalidResponseSize, "Symbol pages do not end");
    return nullptr;
}

void TLogixProcessor::LoadTagList() {
    auto fresh = BrowseTags();
    if (!fresh)
        return;
    // Tags made from the old records keep pointing at them.
    if (TagList)
        retiredTagLists_.push_back(std::move(TagList));
    TagList = std::move(fresh);
}

TLogixTagInfo* TLogixProcessor::FindTagInfo(std::string_view name) {
    // "Program:Main.Tag" is a symbol of the program's own table.
    std::string_view program;
    if (name.size() > 8 && qor::SameText(name.substr(0, 8), "Program:")) {
        const std::size_t dot = name.find('.');
        if (dot == std::string_view::npos)
            return nullptr;
        program = name.substr(0, dot);
        name = name.substr(dot + 1);
    }
    TSymbolScope& scope = program.empty() ? controllerScope_ : programScopes_[qor::LowerAscii(program)];
    // A table is read when first needed, and again when a name is missing
    // (a download may have added it) - once per name until the table is 30 s
    // old: a polled address that names no symbol, or a device without a
    // symbol table, must not cost a whole browse on every read.
    constexpr std::uint32_t ReloadAfterMs = 30000;
    if (scope.Loaded.StartTick != 0 && scope.Loaded.ExpiredAfter(ReloadAfterMs))
        scope.Missing.clear();
    std::unique_ptr<TLogixTagInfoList>& list = program.empty() ? TagList : scope.List;
    const std::string key = qor::LowerAscii(name);
    const auto load = [&] {
        if (program.empty()) {
            LoadTagList();
        } else if (auto fresh = BrowseTags(program)) {
            if (list)
                retiredTagLists_.push_back(std::move(list));
            list = std::move(fresh);
        }
        scope.Loaded.Restart();
        scope.Missing.clear();
    };
    bool loaded = false;
    if (!list && (scope.Loaded.StartTick == 0 || !scope.Missing.contains(key))) {
        load();
        loaded = true;
    }
    TLogixTagInfo* info = list ? list->Find(name) : nullptr;
    if (info == nullptr && list && !loaded && !scope.Missing.contains(key)) {
        load();
        info = list ? list->Find(name) : nullptr;
    }
    if (info == nullptr)
        scope.Missing.insert(key);
    return info;
}

std::unique_ptr<TLogixTagInfo> TLogixProcessor::GetTagInfo(std::string_view name) {
    auto list = BrowseTags();
    if (!list)
        return nullptr;
    TLogixTagInfo* info = list->Find(name);
    return info != nullptr ? list->Extract(info) : nullptr;
}

std::uint16_t TLogixProcessor::GetTemplateInstance(std::string_view name) {
    const TLogixTagInfo* info = FindTagInfo(BaseTagName(name));
    return info != nullptr && info->IsStructure ? info->TemplateInstance() : 0xFFFF;
}

void TLogixProcessor::ClearCaches() {
    if (TagList)
        retiredTagLists_.push_back(std::move(TagList));
    for (auto& [name, scope] : programScopes_)
        if (scope.List)
            retiredTagLists_.push_back(std::move(scope.List));
    programScopes_.clear();
    controllerScope_ = {};
    // A read in progress holds its addresses' plans: the plans stay, their
    // reply sizes (which a download may have changed) are forgotten.
    for (auto& [address, plan] : ReadPlans)
        plan.ReplySize = 0;
    Templates.Clear();
}

// ---- Templates

std::unique_ptr<TTemplateInfo> TLogixProcessor::ReadTemplate(std::uint16_t instance) {
    TPacketDataArray path{0x20, 0x6C, 0x25, 0x00};
    eip::AppendUInt16(path, instance);
    const TPacketDataArray attributes{0x04, 0x00, 0x04, 0x00, 0x03, 0x00, 0x02, 0x00, 0x01, 0x00};
    const auto reply = SendUnconnected(
        cip::TMessageRouter::BuildRequest(cip::ServiceCode(cip::TCIPService::GetAttributeList), path, attributes),
        TemplateTicks);
    if (!reply)
        return nullptr;
    if (reply->GeneralStatus != 0) {
        SetStatusError(reply->GeneralStatus);
        return nullptr;
    }
    TGetStructAttribsReply sizes;
    try {
        sizes.Expand(reply->Data, 0);
    } catch (const std::exception&) {
        SetError(ErrInvalidResponseSize);
        return nullptr;
    }
    // A size below the 5-word header reads nothing.
    const std::uint32_t total = std::min(sizes.DefinitionBytes(), MaxDefinitionReadBytes);
    TPacketDataArray definition;
    std::uint32_t offset = 0;
    while (offset < total) {
        const std::uint32_t chunk = std::min(total - offset, TemplateChunk);
        TPacketDataArray data;
        eip::AppendUInt32(data, offset);
        eip::AppendUInt16(data, static_cast<std::uint16_t>(chunk));
        const auto part = SendUnconnected(
            cip::TMessageRouter::BuildRequest(cip::ServiceCode(cip::TCIPService::ReadTag), path, data),
            TemplateTicks);
        if (!part)
            return nullptr;
        if (part->GeneralStatus != 0 && part->GeneralStatus != cip::StatusPartialTransfer) {
            SetStatusError(part->GeneralStatus);
            return nullptr;
        }
        // The device may answer more or less than asked: continue where its
        // bytes end. A chunk without bytes would ask the same forever.
        if (part->Data.empty())
            return nullptr;
        const std::size_t take = std::min<std::size_t>(part->Data.size(), total - offset);
        definition.insert(definition.end(), part->Data.begin(), part->Data.begin() + static_cast<std::ptrdiff_t>(take));
        offset += static_cast<std::uint32_t>(take);
    }
    auto info = TTemplateInfo::Parse(definition, sizes);
    if (info)
        info->InstanceId = instance;
    return info;
}

TTemplateInfo* TLogixProcessor::GetCachedTemplate(std::uint16_t instance) {
    if (TTemplateInfo* cached = Templates.FindByInstance(instance))
        return cached;
    auto read = ReadTemplate(instance);
    if (!read)
        return nullptr;
    TTemplateInfo* added = Templates.Add(std::move(read));
    added->ResolveSizes(Templates);
    return added;
}

// ---- Connected reads

std::optional<cip::TReadDataServiceReply> TLogixProcessor::ReadConnected(std::string_view name, std::uint16_t count,
                                                                        std::optional<std::uint32_t> offset) {
    if (!Session)
        return std::nullopt;
    std::optional<cip::TReadDataServiceReply> reply;
    try {
        reply = offset ? cip::ReadTagFragmentedConnected(*Session, name, count, *offset, Sequencer)
                       : cip::ReadTagConnected(*Session, name, count, Sequencer);
    } catch (const std::exception&) {
        // A reply that does not parse is a reply: the device is there.
        SetFailureCount(0);
        SetError(ErrInvalidResponseSize);
        return std::nullopt;
    }
    SetFailureCount(reply ? 0 : FailureCount + 1);
    return reply;
}

std::optional<cip::TReadDataServiceReply> TLogixProcessor::ReadTagOnce(std::string_view name,
                                                                      std::uint16_t elementCount) {
    if ((Options & OptionConnected) != 0)
        return ReadConnected(name, elementCount, std::nullopt);
    const TPacketDataArray path = cip::TIOI::BuildPath(name);
    if (path.empty()) {
        SetError(ErrIOIPath);
        return std::nullopt;
    }
    const auto reply = SendUnconnected(
        cip::TMessageRouter::BuildRequest(cip::ServiceCode(cip::TCIPService::ReadTag), path, U16(elementCount)));
    if (!reply)
        return std::nullopt;
    cip::TReadDataServiceReply read;
    read.Service = cip::ServiceCode(cip::TCIPService::ReadTag) | cip::ReplyServiceBit;
    read.GeneralStatus = reply->GeneralStatus;
    read.StatusBytes = U16(reply->GeneralStatus);
    if ((reply->GeneralStatus == 0 || reply->GeneralStatus == cip::StatusPartialTransfer) && reply->Data.size() >= 2) {
        read.DataType = eip::ToUInt16(reply->Data, 0);
        read.Data.assign(reply->Data.begin() + 2, reply->Data.end());
    } else {
        read.Data = reply->Data;
    }
    return read;
}

bool TLogixProcessor::ReadTag(TLogixTag* tag) {
    if (tag == nullptr)
        return false;
    try {
        auto reply = ReadConnected(tag->Name, tag->ElementCount, std::nullopt);
        if (!reply || reply->Data.empty()) {
            if (reply)
                tag->UpdateStatus(reply->StatusBytes);
            tag->ErrorCode = ErrTagNotFound;
            return false;
        }
        const std::uint16_t type = reply->DataType;
        const TPacketDataArray head = StructureHead(*reply);
        tag->UpdateStatus(reply->StatusBytes);
        tag->SetData(TypedData(type, reply->Data), 0);
        std::uint64_t offset = reply->Data.size() - head.size();
        while (reply->GeneralStatus == cip::StatusPartialTransfer) {
            reply = offset < MaxConnectedTagBytes
                        ? ReadConnected(tag->Name, tag->ElementCount, static_cast<std::uint32_t>(offset))
                        : std::nullopt;
            // No reply, or a fragment that brings nothing, another type or
            // another structure: the tag is not whole, and a tag with zeros
            // where the lost elements belong is no value.
            if (!reply || reply->DataType != type || StructureHead(*reply) != head ||
                reply->Data.size() <= head.size()) {
                tag->ErrorCode = static_cast<std::int16_t>(reply ? ErrInvalidResponseSize : ErrTagNotFound);
                tag->Status = -1;
                SetError(ErrInvalidResponseSize, "A fragment of the reply was lost");
                return false;
            }
            tag->UpdateStatus(reply->StatusBytes);
            tag->SetData(TypedData(type, reply->Data), static_cast<std::uint32_t>(offset));
            offset += reply->Data.size() - head.size();
        }
        return tag->Status >= 0;
    } catch (const std::exception&) {
        tag->ErrorCode = ErrInvalidResponseSize;
        return false;
    }
}

// ---- Micro800 and MicroLogix

bool TLogixProcessor::OpenTemporaryConnection(bool& opened) {
    opened = false;
    if (!Session)
        return false;
    if ((Options & OptionConnected) != 0)
        return true;
    // A fresh serial for every temporary connection, so one whose close went
    // unanswered cannot make the next open a duplicate.
    Session->ConnectionParameters.ConnectionSerial = static_cast<std::uint16_t>(Random(65534));
    if (!cip::ForwardOpenToRouter(*Session, RoutePath, 0, 0)) {
        SetError(ErrNotConnected);
        return false;
    }
    opened = true;
    return true;
}

std::unique_ptr<TLogixTag> TLogixProcessor::ReadMicro800(std::string_view tagName, std::uint16_t elementCount,
                                                         std::string* rawText) {
    ErrorCode = 0;
    ErrorText.clear();
    bool opened = false;
    if (!OpenTemporaryConnection(opened))
        return nullptr;
    std::unique_ptr<TLogixTag> tag;
    try {
        auto reply = ReadConnected(tagName, elementCount, 0u);
        if (!reply) {
            if (ErrorCode != ErrInvalidResponseSize)
                SetError(ErrTagNotFound);
        } else if (reply->GeneralStatus != 0 && reply->GeneralStatus != cip::StatusPartialTransfer) {
            SetStatusError(reply->GeneralStatus);
        } else if (reply->Data.empty()) {
            SetError(ErrInvalidResponseSize);
        } else if (reply->DataType == cipType::Structure) {
            // Structures are not read from these controllers.
            SetError(ErrIncorrectTagType);
        } else if (!(tag = TLogixTagFactory::CreateByType(reply->DataType, std::string(tagName), elementCount,
                                                           this))) {
            SetError(ErrIncorrectTagType);
        } else {
            const std::uint16_t type = reply->DataType;
            TPacketDataArray data = TypedData(type, reply->Data);
            tag->SetData(data, 0);
            std::uint64_t offset = reply->Data.size();
            while (tag && reply->GeneralStatus == cip::StatusPartialTransfer) {
                reply = offset < MaxConnectedTagBytes
                            ? ReadConnected(tagName, elementCount, static_cast<std::uint32_t>(offset))
                            : std::nullopt;
                // A lost or foreign fragment leaves elements unread: no tag
                // rather than one with zeros in their place.
                if (!reply || reply->Data.empty() || reply->DataType != type ||
                    (reply->GeneralStatus != 0 && reply->GeneralStatus != cip::StatusPartialTransfer)) {
                    if (reply && reply->GeneralStatus != 0 && reply->GeneralStatus != cip::StatusPartialTransfer)
                        SetStatusError(reply->GeneralStatus);
                    else
                        SetError(ErrInvalidResponseSize, "A fragment of the reply was lost");
                    tag.reset();
                    break;
                }
                data = TypedData(type, reply->Data);
                tag->UpdateStatus(reply->StatusBytes);
                tag->SetData(data, static_cast<std::uint32_t>(offset));
                offset += reply->Data.size();
            }
            if (tag && rawText != nullptr)
                *rawText = BytesAsText(data);
        }
    } catch (const std::exception&) {
        SetError(ErrInvalidResponseSize);
        tag.reset();
    }
    if (opened && Session)
        cip::ForwardClose(*Session, RoutePath);
    return tag;
}

std::unique_ptr<TLogixTag> TLogixProcessor::PCCCReplyToTag(const cip::TPCCCServiceReply& reply, std::string address,
                                                           std::uint16_t elementCount, TLogixProcessor* processor) {
    if (reply.DataType != cipType::Structure) {
        auto tag = TLogixTagFactory::CreateByType(reply.DataType, std::move(address), elementCount, processor);
        if (tag)
            tag->SetData(TypedData(reply.DataType, reply.Data), 0);
        return tag;
    }
    std::unique_ptr<TTemplateInfo> layout;
    switch (reply.ValueKind) {
    case 3:
        layout = std::make_unique<TPCCCTemplate_CONTROL>();
        break;
    case 4:
        layout = std::make_unique<TPCCCTemplate_COUNTER>();
        break;
    case 10:
        layout = std::make_unique<TPCCCTemplate_TIMER>();
        break;
    default:
        return nullptr;
    }
    auto tag = TLogixTagFactory::CreateStructTag(std::move(address), processor, std::move(layout), elementCount);
    // The file's 6-byte elements come without the type word and handle of a
    // Logix structure reply.
    if (tag)
        tag->SetElementData(reply.Data, 0);
    return tag;
}

std::unique_ptr<TLogixTag> TLogixProcessor::ReadMicroLogix(std::string_view address, std::uint16_t elementCount,
                                                           std::string* rawText) {
    ErrorCode = 0;
    ErrorText.clear();
    const auto parsed = cip::TPCCCServiceRequest::ParseAddress(address);
    if (!parsed) {
        SetError(ErrInvalidAddress, "Invalid address: \"" + std::string(address) +
                                        "\" does not read as a data-table address (e.g. N7:0, T4:1.ACC, B3:0/2)");
        return nullptr;
    }
    // A bit is read with the words that hold it (count bits from it on); a
    // word of a timer, counter or control element is one value.
    const unsigned bitWidth = parsed->SubElement ? 16u : 8u * parsed->ElementSize;
    std::uint32_t wanted = elementCount;
    if (parsed->Bit)
        wanted = (*parsed->Bit + std::max<std::uint32_t>(elementCount, 1) + bitWidth - 1) / bitWidth;
    else if (parsed->SubElement)
        wanted = 1;
    bool opened = false;
    if (!OpenTemporaryConnection(opened))
        return nullptr;
    std::unique_ptr<TLogixTag> tag;
    try {
        std::optional<cip::TPCCCServiceReply> reply;
        if (Session)
            reply = cip::ReadPCCC(*Session, address, static_cast<std::uint16_t>(std::min<std::uint32_t>(wanted, 0xFFFF)),
                                  Sequencer);
        SetFailureCount(reply ? 0 : FailureCount + 1);
        // One request reads what fits in its byte size; the tag holds that many.
        const std::uint16_t size = std::max<std::uint16_t>(parsed->UnitSize(), 1);
        const auto count = static_cast<std::uint16_t>(
            std::clamp<std::uint32_t>(std::min<std::uint32_t>(255u / size, wanted), 1u, 255u));
        if (!reply) {
            SetError(ErrTagNotFound);
        } else if (reply->Status != 0 && reply->Status != cip::StatusPartialTransfer) {
            SetStatusError(reply->Status);
        } else if (reply->PCCCStatus != 0) {
            // The device answered, but with a PCCC error (no such file or
            // element): nothing was read.
            SetError(ErrItemNotFound);
        } else if (reply->Data.empty()) {
            SetError(ErrInvalidResponseSize);
        } else if (parsed->Bit) {
            const std::uint32_t bits = std::max<std::uint32_t>(elementCount, 1);
            const std::size_t wordBytes = bitWidth / 8;
            if (reply->Data.size() * 8 < *parsed->Bit + std::size_t{bits}) {
                SetError(ErrInvalidResponseSize);
            } else {
                std::vector<bool> values(bits);
                for (std::uint32_t i = 0; i < bits; ++i) {
                    const std::uint32_t at = *parsed->Bit + i;
                    const std::size_t word = at / bitWidth;
                    const std::uint64_t value =
                        wordBytes == 4 ? eip::ToUInt32(reply->Data, 4 * word) : eip::ToUInt16(reply->Data, 2 * word);
                    values[i] = ((value >> (at % bitWidth)) & 1u) != 0;
                }
                tag = MakeBitTag(std::string(address), values, this);
                if (rawText != nullptr)
                    *rawText = BytesAsText(TypedData(reply->DataType, reply->Data));
            }
        } else {
            tag = PCCCReplyToTag(*reply, std::string(address), count, this);
            if (!tag)
                SetError(ErrIncorrectTagType);
            else if (rawText != nullptr)
                *rawText = BytesAsText(TypedData(reply->DataType, reply->Data));
        }
    } catch (const std::exception&) {
        SetError(ErrInvalidResponseSize);
        tag.reset();
    }
    if (opened && Session)
        cip::ForwardClose(*Session, RoutePath);
    return tag;
}

} // namespace logix
