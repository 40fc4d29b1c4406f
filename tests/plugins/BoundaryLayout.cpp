// The boundary records' layout, checked at compile time. This file is built
// twice: into test_plugins for the build's target, and with g++ -m32 alone
// (CTest plugins.BoundaryLayout32) for the 32-bit hosts' layout.
#include "common/qorParamLstIntf.h"
#include "plugins/PluginBoundary.h"

#include <cstddef>

namespace {

using namespace qor;

// Offset on a 32-bit target, offset on x86-64.
constexpr bool k32 = sizeof(void*) == 4;
constexpr std::size_t At(std::size_t on32, std::size_t on64) { return k32 ? on32 : on64; }

static_assert(sizeof(void*) == 4 || sizeof(void*) == 8);

static_assert(sizeof(TPluginValue) == At(13, 17));
static_assert(offsetof(TPluginValue, Reserved) == 0);
static_assert(offsetof(TPluginValue, Size) == 4);
static_assert(offsetof(TPluginValue, Type) == 8);
static_assert(offsetof(TPluginValue, Data) == 9);

static_assert(sizeof(TPluginCallRec) == At(102, 118));
static_assert(kPluginCallRecSize == At(102, 118));
static_assert(offsetof(TPluginCallRec, RecSize) == 0);
static_assert(offsetof(TPluginCallRec, Flags) == 4);
static_assert(offsetof(TPluginCallRec, Instance) == 5);
static_assert(offsetof(TPluginCallRec, ModuleIndex) == At(9, 13));
static_assert(offsetof(TPluginCallRec, DataSourceId) == At(13, 17));
static_assert(offsetof(TPluginCallRec, Reserved1) == At(17, 21));
static_assert(offsetof(TPluginCallRec, Options) == At(21, 25));
static_assert(offsetof(TPluginCallRec, Params) == At(22, 26));
static_assert(offsetof(TPluginCallRec, Value1) == At(26, 34));
static_assert(offsetof(TPluginCallRec, Value2) == At(39, 51));
static_assert(offsetof(TPluginCallRec, Reserved2) == At(52, 68));
static_assert(sizeof(TPluginCallRec::Reserved2) == 48);
static_assert(offsetof(TPluginCallRec, Reserved3) == At(100, 116));

static_assert(sizeof(TPluginModuleInfo) == At(33, 41));
static_assert(kPluginModuleInfoFixedSize == At(33, 41));
static_assert(offsetof(TPluginModuleInfo, Size) == 0);
static_assert(offsetof(TPluginModuleInfo, TypeAndCapabilities) == 4);
static_assert(offsetof(TPluginModuleInfo, InterfaceVersion) == 8);
static_assert(offsetof(TPluginModuleInfo, VersionNumber) == 12);
static_assert(offsetof(TPluginModuleInfo, InfoFlag) == 16);
static_assert(offsetof(TPluginModuleInfo, DescriptionLength) == 17);
static_assert(offsetof(TPluginModuleInfo, DescriptionText) == 21);
static_assert(offsetof(TPluginModuleInfo, CustomCommandsLength) == At(25, 29));
static_assert(offsetof(TPluginModuleInfo, CustomCommandsText) == At(29, 33));

// The variant record is 16 bytes with the value at 8 on both.
static_assert(sizeof(TqorVarData) == 16);
static_assert(offsetof(TqorVarData, VType) == 0);
static_assert(offsetof(TqorVarData, VRaw) == 8);
static_assert(offsetof(TqorVarData, VString) == 8);
static_assert(sizeof(TGUID) == 16);

} // namespace
