// The plug-in library's boundary with its host: the call record every export
// takes, the module information record, the value slot type codes, the
// exports' and the host callbacks' function types, and the window messages.
//
// A host includes this header and common/qorParamLstIntf.h (the parameter
// list interfaces) and nothing else of the plug-in.
//
// Records are packed, little-endian, with the fields in the order the host
// was built for. Fields holding a pointer or a handle (Instance, Params, a
// value slot's Data, the module information's text addresses) are
// pointer-width: on a 32-bit target the call record is byte for byte the
// 102-byte record of the 32-bit hosts; on x86-64 those fields are 8 bytes wide
// and the record is 118 bytes. RecSize always holds the size on the build's
// target (kPluginCallRecSize).
//
//   TPluginCallRec             32-bit        x86-64
//     RecSize      u32         0             0
//     Flags        u8          4             4
//     Instance     uintptr     5             5
//     ModuleIndex  u32         9             13
//     DataSourceId u32         13            17
//     Reserved1    u32         17            21
//     Options      u8          21            25
//     Params       uintptr     22            26
//     Value1       TPluginValue 26 (13)      34 (17)
//     Value2       TPluginValue 39 (13)      51 (17)
//     Reserved2    48 bytes    52            68
//     Reserved3    u16         100           116
//     size                     102           118
//
//   TPluginValue: Reserved u32 @0, Size u32 @4, Type u8 @8, Data uintptr @9;
//   13 bytes (32-bit), 17 bytes (x86-64).
//
//   TPluginModuleInfo (fixed part; the texts follow it in the same buffer):
//     Size u32 @0, TypeAndCapabilities u32 @4, InterfaceVersion u32 @8,
//     VersionNumber f32 @12, InfoFlag u8 @16, DescriptionLength u32 @17,
//     DescriptionText uintptr @21, CustomCommandsLength u32 @25|29,
//     CustomCommandsText uintptr @29|33; 33 bytes (32-bit), 41 (x86-64).
#pragma once

#include "platform/Types.h"

#include <cstddef>
#include <cstdint>

namespace qor {

// Type codes of a value slot (TPluginValue::Type).
enum class TPluginValueType : std::uint8_t {
    None = 0,
    Pointer = 1,       // a pointer; nil or a raw parameter list is taken as a parameter list
    ByteCount = 2,     // Data: a byte count written into the caller's buffer
    Text = 4,          // Data: address of bytes; Size: their count (also received device bytes)
    Result = 5,        // Data: an integer result code
    Command = 6,       // Data: an integer command code
    Event = 7,         // Data: an integer event code (257 device channel opened, 258 closed)
    RawList = 8,       // Data: address of a raw parameter list object
    ListInterface = 9, // Data: address of a variable holding an IqorParamsListA reference
};

#pragma pack(push, 1)

struct TPluginValue {
    std::uint32_t Reserved;
    std::uint32_t Size;
    std::uint8_t Type; // a TPluginValueType
    std::uintptr_t Data;
};

struct TPluginCallRec {
    std::uint32_t RecSize; // kPluginCallRecSize; others are refused by ExecutePluginCommand and ProcessData
    std::uint8_t Flags;    // kCallRecBuiltByPlugin, kCallRecParamsInterface
    std::uintptr_t Instance; // instance handle: 0 on entry to CreatePluginInstance, then the value it returned
    std::uint32_t ModuleIndex;  // the host's number for the instance (taken at LOAD)
    std::uint32_t DataSourceId; // data source of the data handed to ProcessData
    std::uint32_t Reserved1;
    std::uint8_t Options;    // flags, meaning per export
    std::uintptr_t Params;   // nil, a raw parameter list, or the address of a variable holding an IqorParamsListA
    TPluginValue Value1;     // input
    TPluginValue Value2;     // output
    std::uint8_t Reserved2[48];
    std::uint16_t Reserved3;
};

// Filled by GetModuleInfo. Size is set by the caller to the buffer size; the
// two texts (UTF-8, not terminated) follow the fixed part inside the buffer
// and the Text fields hold their addresses.
struct TPluginModuleInfo {
    std::uint32_t Size;
    std::uint32_t TypeAndCapabilities; // bits 0..7 ModuleType, bits 16..18 ModuleCapabilities 0..2
    std::uint32_t InterfaceVersion;    // low word 4, high word 0
    float VersionNumber;
    std::uint8_t InfoFlag;
    std::uint32_t DescriptionLength;
    std::uintptr_t DescriptionText;
    std::uint32_t CustomCommandsLength;
    std::uintptr_t CustomCommandsText;
};

#pragma pack(pop)

constexpr std::uint32_t kPluginCallRecSize = sizeof(TPluginCallRec);
constexpr std::uint32_t kPluginModuleInfoFixedSize = sizeof(TPluginModuleInfo);
static_assert(sizeof(TPluginValue) == 9 + sizeof(void*));
static_assert(sizeof(TPluginCallRec) == 86 + 4 * sizeof(void*)); // 102 on 32-bit targets
static_assert(sizeof(TPluginModuleInfo) == 25 + 2 * sizeof(void*));

// Flags of the call record.
constexpr std::uint8_t kCallRecBuiltByPlugin = 0x01;   // records the plug-in builds itself
constexpr std::uint8_t kCallRecParamsInterface = 0x40; // set by the plug-in while Params is an interface reference

constexpr std::uint32_t kModuleInterfaceVersion = 4;

// FreePluginInstance with Value1 Type Command and this Data: global shutdown.
constexpr std::uint32_t kGlobalShutdownCode = 0xFF01; // 65281

// Window messages posted to the host window ("MSG-PROC-HANDLE"), wParam = the
// instance's ModuleIndex, lParam = 0.
constexpr platform::UINT PLUGIN_MSG_LOG_CHANGED = 1809;     // lines were logged: fetch them with GetLogEx
constexpr platform::UINT PLUGIN_MSG_RELOAD_SETTINGS = 1812; // the options dialog was confirmed: reload the settings

// GetOptionsDialog's results in Value2.Data (Type Result).
constexpr std::uint32_t kOptionsDialogUnknownInstance = 1;
constexpr std::uint32_t kOptionsDialogNone = 2;           // no form to show
constexpr std::uint32_t kOptionsDialogBufferTooSmall = 3; // Value2.Size tells the size needed
// ShowOptionsDialog's results in Value2.Data (Type Result); after the dialog
// ran, Data is the handler's confirmation (0 = cancelled).
constexpr std::uint32_t kShowDialogUnknownInstance = 2;
constexpr std::uint32_t kShowDialogNoHandler = 3;
constexpr std::uint32_t kShowDialogShown = 4;

// The exports (extern "C", standard call on 32-bit x86).
using TCreatePluginInstanceFn = std::int32_t(QOR_STDCALL*)(TPluginCallRec* rec);
using TFreePluginInstanceFn = std::int32_t(QOR_STDCALL*)(TPluginCallRec* rec);
using TGetModuleInfoFn = bool(QOR_STDCALL*)(TPluginCallRec* rec, TPluginModuleInfo* info, std::uint32_t* neededSize);
using TExecutePluginCommandFn = std::int32_t(QOR_STDCALL*)(TPluginCallRec* rec);
using TProcessDataFn = std::int32_t(QOR_STDCALL*)(TPluginCallRec* rec);
using TGetLogExFn = std::int32_t(QOR_STDCALL*)(TPluginCallRec* rec);
using TGetOptionsDialogFn = void(QOR_STDCALL*)(TPluginCallRec* rec);
using TShowOptionsDialogFn = void(QOR_STDCALL*)(TPluginCallRec* rec);

inline constexpr const char* kExportCreatePluginInstance = "CreatePluginInstance";
inline constexpr const char* kExportFreePluginInstance = "FreePluginInstance";
inline constexpr const char* kExportGetModuleInfo = "GetModuleInfo";
inline constexpr const char* kExportExecutePluginCommand = "ExecutePluginCommand";
inline constexpr const char* kExportProcessData = "ProcessData";
inline constexpr const char* kExportGetLogEx = "GetLogEx";
inline constexpr const char* kExportGetOptionsDialog = "GetOptionsDialog";
inline constexpr const char* kExportShowOptionsDialog = "ShowOptionsDialog";

// The host's callbacks, exported by the host's executable and resolved by the
// plug-in at LOAD. All five share one form: seven arguments, the sixth
// pointer-width (32-bit hosts: seven 32-bit arguments), a signed 32-bit result.
// Only DataLogger_SendDataEx is called:
//   data packet: (ModuleIndex, data source id, 0, 0, kSendDataPacket,
//                 address of a fresh TPluginCallRec, 0); result ignored.
//                 The record has Flags kCallRecBuiltByPlugin, Value2 Type
//                 ListInterface with the packet's list and, when the packet
//                 has raw text, Value1 Type Text. Everything it points to is
//                 valid during the call only: copy what you need.
//   raw bytes:   (ModuleIndex, data source id, byte count, 0, kSendRawBytes,
//                 address of the bytes, 0); result: bytes taken (negative on
//                 failure). May come from a plug-in worker thread.
using TDataLoggerCallback = std::int32_t(QOR_STDCALL*)(std::uint32_t moduleIndex, std::uint32_t dataSourceId,
                                                       std::uint32_t count, std::uint32_t reserved4,
                                                       std::uint32_t code, void* data, std::uint32_t reserved7);

constexpr std::uint32_t kSendDataPacket = 9;
constexpr std::uint32_t kSendRawBytes = 129;

inline constexpr const char* kCallbackSendNotify = "DataLogger_SendNotify";
inline constexpr const char* kCallbackSendDataEx = "DataLogger_SendDataEx";
inline constexpr const char* kCallbackDataSourceData = "DataLogger_DataSourceData";
inline constexpr const char* kCallbackDataSourceState = "DataLogger_DataSourceState";
inline constexpr const char* kCallbackManageDynForm = "DataLogger_ManageDynForm";

} // namespace qor
