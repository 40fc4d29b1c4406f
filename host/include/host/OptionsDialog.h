// The options dialog as the host handles it: fetched from the plug-in through
// GetOptionsDialog, decoded (layout, script tree, settings map), and confirmed
// with values that are stored under the settings map's names before the
// instance is told (ShowOptionsDialog) and reloads them.
#pragma once

#include "common/qorComponentStream.h"
#include "host/PluginInstance.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// The plug-in gave no dialog, or one the host cannot read.
class EOptionsDialog : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One line of the settings map: the form property and the setting it is
// stored under (both trimmed, as the settings component reads them).
struct TSettingsMapLine {
    std::string Property; // "lblParams.Caption"
    std::string Setting;  // "Parser config"
};

struct TOptionsDialog {
    qor::TStreamObject Form;                   // block 1: the layout
    std::string Extra;                         // block 2
    std::string ScriptXml;                     // section 1 of block 3
    std::string FormName;                      // section 2
    std::vector<std::string> MapText;          // section 3, line by line as delivered
    std::vector<TSettingsMapLine> SettingsMap; // its mapping lines
    // The parameter tree the script creates: its title and options text and
    // its item template, one line per field (empty when the script makes none).
    std::string TreeTitle;
    std::vector<std::string> ItemTemplate;
};

// Decodes the three blocks GetOptionsDialog delivers. Throws EOptionsDialog.
TOptionsDialog DecodeOptionsDialog(std::span<const std::uint8_t> answer);
// GetOptionsDialog (without a form name) and DecodeOptionsDialog.
TOptionsDialog FetchOptionsDialog(TPluginInstance& instance);

// The texts of the layout that the host translates (captions, hints, titles,
// filters), by component: "component.Property" -> text.
struct TFormText {
    std::string Path;
    std::string Text;
};
std::vector<TFormText> FormTexts(const qor::TStreamObject& form);

// A value for one setting of the map ("Min interval" = "100"); matched to the
// map's settings without regard to case and surrounding blanks.
struct TOptionsValue {
    std::string Setting;
    std::string Value;
};

// What the host does when the user confirms the dialog: stores the values
// under the map's settings in the instance's store (its INI file, else its
// registry key, as given at LOAD), then calls ShowOptionsDialog, after which
// every instance sharing the settings reloads them (this thread's at once,
// others through the host window, whose messages are handled before return).
// Returns ShowOptionsDialog's answer (1 confirmed). Throws EOptionsDialog for a
// setting the map does not have, a value its property does not take, or a
// store that cannot be written; nothing is stored then.
std::uint32_t ConfirmOptionsDialog(THost& host, TPluginInstance& instance, const TOptionsDialog& dialog,
                                   const std::vector<TOptionsValue>& values);

} // namespace host
