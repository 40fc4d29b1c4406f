// The settings map of the plug-in module: which property of the options form
// is stored under which setting name. Each line is a form property path, a
// comma and the setting name; ";---short---" separates the dialog's geometry
// from the rest. The host saves the options dialog's values by these lines,
// the module loads them into TDataSourceCfg by the same lines, and the dialog
// resource carries them as its third section, so the order and the spelling
// (the trailing blank of "Export at once " included) are part of what is
// stored in users' settings.
//
// Kept free of other includes: the build's resource generator reads it too.
#pragma once

#include <array>
#include <string_view>

namespace qor {

inline constexpr std::array<std::string_view, 11> kSettingsMap = {
    "Left,Left",
    "Top,Top",
    "Height,Height",
    "Width,Width",
    ";---short---",
    "lblParams.Caption,Parser config",
    "OpenDialog.FileName,Open files dir",
    "SaveDialog.FileName,Save files dir",
    "spMinInt.Value,Min interval",
    "chkExportAll.Checked,Export at once ",
    "chkCombine.Checked,Combine requests",
};

} // namespace qor
