// The eight functions the plug-in library exports to its host. Each takes
// the host's call record (plugins/PluginBoundary.h); none lets an exception
// reach the host.
#pragma once

#include "plugins/PluginBoundary.h"

#define QOR_PLUGIN_EXPORT QOR_LIBRARY_EXPORT

extern "C" {

// 0 created (the handle written into Instance); -1 when Instance was not 0,
// the library is shutting down, or the instance could not be made.
QOR_PLUGIN_EXPORT std::int32_t QOR_STDCALL CreatePluginInstance(qor::TPluginCallRec* rec);
// 0 freed, or global shutdown done (Value1 Type Command, Data 65281); -1 otherwise.
QOR_PLUGIN_EXPORT std::int32_t QOR_STDCALL FreePluginInstance(qor::TPluginCallRec* rec);
// True when the buffer was filled completely; the needed size is always written
// for a known instance.
QOR_PLUGIN_EXPORT bool QOR_STDCALL GetModuleInfo(qor::TPluginCallRec* rec, qor::TPluginModuleInfo* info,
                                                 std::uint32_t* neededSize);
// The command's result; -1 when the record is invalid, the instance unknown or
// "COMMAND" missing.
QOR_PLUGIN_EXPORT std::int32_t QOR_STDCALL ExecutePluginCommand(qor::TPluginCallRec* rec);
// -1 when refused (invalid record, unknown instance, instance terminating).
QOR_PLUGIN_EXPORT std::int32_t QOR_STDCALL ProcessData(qor::TPluginCallRec* rec);
// Number of log bytes copied into Value1.Data; Value2.Data: the log's length.
QOR_PLUGIN_EXPORT std::int32_t QOR_STDCALL GetLogEx(qor::TPluginCallRec* rec);
// Results in Value2.
QOR_PLUGIN_EXPORT void QOR_STDCALL GetOptionsDialog(qor::TPluginCallRec* rec);
QOR_PLUGIN_EXPORT void QOR_STDCALL ShowOptionsDialog(qor::TPluginCallRec* rec);
}
