// One controller reached over one EtherNet/IP session: connecting (session,
// identity, the optional class-3 connection), the symbol table, the template
// cache, connected tag reads, the Micro800 and MicroLogix reads, and the error
// table every failure of the Logix layer is named by.
//
// The processor is the session's owner: the transport hands it the bytes to
// send, which it passes to its channel (the host's device channel, or a
// TTcpChannel for tools and tests), and whoever receives the device's bytes
// gives them to DataReceived, which routes them to the session of the moment.
//
//     eip::TTcpChannel tcp;
//     tcp.Open(host, 44818);
//     logix::TLogixProcessor plc(nullptr, {0}, host);
//     plc.UseChannel(tcp);
//     if (!plc.Connect(logix::ProcessorKindLogix, logix::OptionReadIdentity, 1000, 5000)) ... plc.ErrorText ...
#pragma once

#include "cip/CIP_ForwardOpen.h"
#include "cip/CIP_MR_Request.h"
#include "cip/CIP_PCCC.h"
#include "cip/CIP_ReadTag.h"
#include "common/ThreadObjectList.h"
#include "common/qorTimeout.h"
#include "eip/EIP_Session.h"
#include "eip/EIP_TcpChannel.h"
#include "logix/Logix_Group.h"
#include "logix/Logix_Template.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <map>
#include <random>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace logix {

class TLogixTag;

using eip::TPacketDataArray;

// ProcessorKind: the controller family.
inline constexpr std::uint8_t ProcessorKindLogix = 0;
inline constexpr std::uint8_t ProcessorKindMicro800 = 1;
inline constexpr std::uint8_t ProcessorKindMicroLogix = 2;

// Options bits.
inline constexpr std::uint8_t OptionReadIdentity = 0x01;
inline constexpr std::uint8_t OptionConnected = 0x02; // class-3 connection, connected reads
inline constexpr std::uint8_t OptionWholeRoute = 0x04; // the configured path is the whole route

// State.
inline constexpr std::uint8_t StateDisconnecting = 1;
inline constexpr std::uint8_t StateDisconnected = 2;
inline constexpr std::uint8_t StateConnecting = 3;
inline constexpr std::uint8_t StateConnected = 4;

// The error table of the Logix layer.
struct TLogixErrorRec {
    std::int32_t Code;
    const char* Text;
};
inline constexpr std::int32_t ErrSessionNotEstablished = -1;
inline constexpr std::int32_t ErrSessionNotRegistered = -2;
inline constexpr std::int32_t ErrCIPNotSupported = -3;
inline constexpr std::int32_t ErrNotConnected = -4;
inline constexpr std::int32_t ErrIncorrectTagType = -5;
inline constexpr std::int32_t ErrTagNotFound = -6;
inline constexpr std::int32_t ErrTypeMismatch = -7;
inline constexpr std::int32_t ErrInvalidResponseSize = -10;
inline constexpr std::int32_t ErrIOIPath = -13;
inline constexpr std::int32_t ErrItemNotFound = -14;
// An address or device path the client refuses before sending anything.
inline constexpr std::int32_t ErrInvalidAddress = -23;
inline constexpr std::int32_t ErrUnknown = -100;
extern const std::array<TLogixErrorRec, 24> LogixErrors;
// The table's text of code; "Unknown" for a code without a row.
std::string ErrorTextOf(std::int32_t code);

// One symbol of the controller's symbol table.
class TLogixTagInfo {
public:
    std::uint32_t InstanceId = 0;
    std::uint16_t SymbolType = 0; // the type word as sent
    std::uint16_t AtomicType = 0; // its low byte, plus 0x8000 for a structure
    std::uint8_t DimCount = 0;    // bits 13..14
    bool IsStructure = false;     // bit 15
    std::string Name;
    std::uint32_t DimSize1 = 0, DimSize2 = 0, DimSize3 = 0;

    // Bit 12 marks what is no data (programs, tasks, routines, maps,
    // connections): listed by a browse, never read as a tag.
    bool IsSystem() const { return (SymbolType & 0x1000) != 0; }
    std::uint16_t TemplateInstance() const { return SymbolType & 0x0FFF; }
    // A single BOOL carries its bit position inside its host in bits 8..10.
    std::uint8_t BitNumber() const { return static_cast<std::uint8_t>((SymbolType >> 8) & 0x07); }

    // Fills the record from the type word.
    void SetSymbolType(std::uint16_t type);
};

class TLogixTagInfoList : public qor::TThreadObjectList<TLogixTagInfo> {
public:
    // The attributes a browse asks for, in reply order: type, element size
    // (not kept), dimensions, name.
    static constexpr std::array<std::uint16_t, 4> BrowseAttributes{2, 7, 8, 1};

    // Appends the records of one Get Instance Attribute List reply whose
    // records carry `attributes` in that order (ids 1 name, 2 type, 7 element
    // size, 8 dimensions, 10 external access are understood); a record cut
    // short, or an attribute the parser does not know, ends the parse.
    // Returns the bytes taken by whole records. Never raises.
    std::size_t ParseBrowseReply(std::span<const std::uint8_t> data,
                                 std::span<const std::uint16_t> attributes = BrowseAttributes);
    // The first data symbol (not a system one) of that name, ASCII case
    // ignored; null when absent.
    TLogixTagInfo* Find(std::string_view name);
};

// The reply of one unconnected request: the embedded service's general status
// and its data (the reply data after the message router header).
struct TUnconnectedReply {
    std::uint8_t GeneralStatus = 0;
    TPacketDataArray Data;
};

class TLogixProcessor : public eip::ISessionOwner {
public:
    using TStatusEvent = std::function<void(TLogixProcessor& processor, std::uint8_t value)>;
    using TRandom = std::function<std::uint32_t(std::uint32_t bound)>; // 0..bound

    // Create: the configured user path (route pieces such as {0} for
    // backplane slot 0), the device's address, and the channel its bytes go to
    // (may be given later by UseChannel, or be set as Channel).
    TLogixProcessor(void* owner, TPacketDataArray userPath, std::string host,
                    eip::ISessionOwner* channel = nullptr);
    ~TLogixProcessor() override;
    TLogixProcessor(const TLogixProcessor&) = delete;
    TLogixProcessor& operator=(const TLogixProcessor&) = delete;

    void* Owner = nullptr; // not owned
    std::int32_t ErrorCode = 0;
    std::string ErrorText;
    TPacketDataArray RoutePath;
    TPacketDataArray UserPath;
    std::string Host;
    std::unique_ptr<eip::TSessionInfo> Session;
    std::uint8_t ProcessorKind = ProcessorKindLogix;
    std::uint8_t Options = 0;
    std::uint16_t VendorId = 0, DeviceType = 0, ProductCode = 0;
    std::uint8_t MajorRevision = 0, MinorRevision = 0;
    std::uint32_t SerialNumber = 0;
    std::string ProductName;
    // The fields above hold what the device said of itself: its ListIdentity
    // item, or the controller's identity object behind the route.
    bool HasIdentity = false;
    cip::TSequenceNumberGenerator Sequencer;
    std::uint8_t ExtStatus = 0, VendorBits = 0, FaultBits = 0;
    TStatusEvent OnExtStatusChanged, OnFaultBitsChanged, OnVendorBitsChanged;
    bool NotifyStatus = false;
    // Templates read from this controller, by instance.
    TTemplateInfoList Templates;
    // What reading one element of an address in a Multiple Service Packet
    // takes and brings, by the address as written: its Read Tag request
    // (made once, not at every poll) and the bytes of its last reply data
    // (type word and values; 0 until read), by which later packets are sized.
    // A read holds pointers to its plans: only the start of a read removes
    // plans (when there are very many).
    struct TReadPlan {
        TPacketDataArray Request;
        std::uint32_t ReplySize = 0;
    };
    std::unordered_map<std::string, TReadPlan> ReadPlans;
    double ConnectTime = 0;
    std::int32_t FailureCount = 0;
    std::unique_ptr<TLogixTagInfoList> TagList;
    std::uint8_t State = StateDisconnected;
    // Where the session's bytes go (not owned; it must outlive the processor).
    eip::ISessionOwner* Channel = nullptr;
    // The random numbers of the connection identifiers; tests may fix them.
    TRandom Random;

    // The route for the current ProcessorKind and Options.
    TPacketDataArray BuildRoutePath() const;
    // The requested packet interval (µs) for the class-3 connection when the
    // engine polls every connectionTimeout ms.
    static std::uint32_t ConnectionRPI(std::uint32_t connectionTimeout);

    bool Connect(std::uint8_t processorKind, std::uint8_t options, std::uint32_t connectionTimeout,
                 std::uint32_t sessionTimeout);
    // Closes the connection and the session (no traffic when silent); true.
    bool Disconnect(bool silent = false);
    // Reads the identity now (it is read on connect with OptionReadIdentity).
    bool ReadIdentity();

    // Reads a tag over the class-3 connection, with fragments; failures are
    // reported on the tag.
    bool ReadTag(TLogixTag* tag);

    // The controller's symbols, or with a program name ("Program:Main") the
    // program's own.
    std::unique_ptr<TLogixTagInfoList> BrowseTags(std::string_view program = {});
    void LoadTagList();
    TLogixTagInfo* FindTagInfo(std::string_view name);
    std::unique_ptr<TLogixTagInfo> GetTagInfo(std::string_view name);
    std::uint16_t GetTemplateInstance(std::string_view name);

    // The template of a structure, read from the controller (not cached).
    std::unique_ptr<TTemplateInfo> ReadTemplate(std::uint16_t instance);
    // The cached template of an instance, read and cached when missing.
    TTemplateInfo* GetCachedTemplate(std::uint16_t instance);
    // Forgets the symbol table and the templates: the program on the
    // controller changed (a structure reply disagrees with its template, or a
    // symbol is gone). Records already handed to tags stay valid.
    void ClearCaches();

    std::unique_ptr<TLogixTag> ReadMicro800(std::string_view tagName, std::uint16_t elementCount,
                                            std::string* rawText = nullptr);
    std::unique_ptr<TLogixTag> ReadMicroLogix(std::string_view address, std::uint16_t elementCount,
                                              std::string* rawText = nullptr);
    // The tag of a PCCC typed-read reply (its data type, value kind and data);
    // null when the reply's type has no tag class.
    static std::unique_ptr<TLogixTag> PCCCReplyToTag(const cip::TPCCCServiceReply& reply, std::string address,
                                                     std::uint16_t elementCount, TLogixProcessor* processor);

    // Tag groups (Logix_ProcessorGroups.cpp). CreateGroup raises
    // ELogixInvalidOperation "Specified group already exists on the
    // processor." for a name in use (compared exactly).
    qor::TThreadObjectList<TLogixTagGroup> Groups;
    TLogixTagGroup& CreateGroup(const std::string& name);
    TLogixTagGroup* FindGroup(std::string_view name);
    // Updates every enabled group.
    void ScanGroups();

    void SetFailureCount(std::int32_t n);
    static std::string ErrorTextOf(std::int32_t code) { return logix::ErrorTextOf(code); }

    // One request through the Unconnected Send of the route, with the
    // session's tick bytes or the ones given. No reply, an encapsulation error
    // or a routing error: nothing, with ErrorCode and ErrorText set. Counts
    // failures.
    std::optional<TUnconnectedReply> SendUnconnected(const cip::TMR_Request& request,
                                                     std::optional<std::array<std::uint8_t, 2>> ticks = {});
    // A Read Tag of the name: over the connection when there is one, else
    // unconnected. Nothing when no reply came.
    std::optional<cip::TReadDataServiceReply> ReadTagOnce(std::string_view name, std::uint16_t elementCount);

    // The host side of the channel: bytes the device sent, and the end of the
    // channel (any thread).
    void DataReceived(std::span<const std::uint8_t> bytes);
    void ChannelClosed();
    // The channel reported open or closed, and a flush of what was received
    // so far: both reach the session of the moment (any thread).
    void ChannelStateChanged(bool connected);
    void FlushReceived();
    // Sends through tcp and takes what it receives (and installs the session
    // transport that talks through the owner). The channel must outlive the
    // processor, whose destruction still closes the connection through it.
    void UseChannel(eip::TTcpChannel& tcp);

    // ISessionOwner
    eip::TSessionInfo* AttachedSession() override;
    void AttachSession(eip::TSessionInfo& session) override;
    int SendToHost(std::span<const std::uint8_t> bytes) override;
    std::uint32_t PutOffMs() override;
    void ReplyLate() override;

protected:
    void SetError(std::int32_t code, std::string text = {});
    // A device status as the error, with its extended words when given (the
    // general status as a little-endian word, then the words).
    void SetStatusError(std::uint16_t status, std::span<const std::uint8_t> statusBytes = {});
    // Frees the session after the channel has stopped delivering to it.
    void FreeSession();
    bool HasSession() const { return Session != nullptr; }

private:
    std::optional<cip::TReadDataServiceReply> ReadConnected(std::string_view name, std::uint16_t count,
                                                            std::optional<std::uint32_t> offset);
    // Opens a connection for one Micro800/MicroLogix read when the processor
    // keeps none; true when there is one to use.
    bool OpenTemporaryConnection(bool& opened);
    void ParseIdentity(std::span<const std::uint8_t> data);
    void TakeListedIdentity(const eip::TIdentityItem& item);

    // Runs reach on the session the channel's bytes go to, if any, under
    // the lock that keeps it from being freed meanwhile.
    template <class F>
    void WithAttached(F&& reach);
    std::mutex attachLock_;
    eip::TSessionInfo* attached_ = nullptr;
    eip::TTcpChannel* tcp_ = nullptr;
    std::mt19937 rng_;
    // A symbol table's state: when it was last read (cleared: never), and
    // the names (lower case) found missing since.
    struct TSymbolScope {
        std::unique_ptr<TLogixTagInfoList> List; // a program's table (the controller's is TagList)
        qor::TTimeout Loaded;
        std::set<std::string> Missing;
    };
    TSymbolScope controllerScope_;
    std::map<std::string, TSymbolScope> programScopes_; // by program name, lower case
    // Symbol tables replaced while tags may still point into them.
    std::vector<std::unique_ptr<TLogixTagInfoList>> retiredTagLists_;
};

} // namespace logix
