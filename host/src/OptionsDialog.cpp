#include "host/OptionsDialog.h"

#include "common/TWregistry.h"
#include "common/qorComponent.h"
#include "common/qorStrUtils.h"
#include "options/DialogResources.h"

#include <pugixml.hpp>

#include <charconv>
#include <cstdlib>
#include <deque>
#include <functional>

namespace host {

namespace {

std::uint32_t U32At(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
           static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// Block n (0..2) of a GetOptionsDialog answer: offset and length from the
// 24-byte header, checked against the answer.
std::span<const std::uint8_t> Block(std::span<const std::uint8_t> answer, int n) {
    const std::uint32_t offset = U32At(answer, static_cast<std::size_t>(n) * 8);
    const std::uint32_t length = U32At(answer, static_cast<std::size_t>(n) * 8 + 4);
    if (offset > answer.size() || length > answer.size() - offset)
        throw EOptionsDialog("Block " + std::to_string(n + 1) + " lies outside the answer");
    return answer.subspan(offset, length);
}

// The value of a string expression of the script: literals, "+" and
// LineEnding. Anything else is not a text the host can know in advance.
std::string TextOf(const pugi::xml_node& n) {
    const std::string_view name = n.name();
    if (name == "expr") {
        if (!n.first_child() || n.first_child() != n.last_child())
            throw EOptionsDialog("Script: an expression of one operand expected");
        return TextOf(n.first_child());
    }
    if (name == "string") {
        const std::string_view literal = n.attribute("text").as_string();
        if (literal.size() < 2 || literal.front() != '\'' || literal.back() != '\'')
            throw EOptionsDialog("Script: a malformed string literal");
        std::string text;
        const std::string_view inner = literal.substr(1, literal.size() - 2);
        for (std::size_t i = 0; i < inner.size(); ++i) {
            text += inner[i];
            if (inner[i] == '\'' && i + 1 < inner.size() && inner[i + 1] == '\'')
                ++i;
        }
        return text;
    }
    if (name == "dsgn" && !n.first_child() && qor::SameText(n.attribute("text").as_string(), "LineEnding"))
        return "\r\n";
    if (name == "node") {
        const pugi::xml_node left = n.first_child();
        const pugi::xml_node op = left.next_sibling();
        const pugi::xml_node right = op.next_sibling();
        if (std::string_view(op.name()) == "op" &&
            std::string_view(op.attribute("text").as_string()) == "+" && right && !right.next_sibling())
            return TextOf(left) + TextOf(right);
    }
    throw EOptionsDialog("Script: a text made of something other than literals, + and LineEnding");
}

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        const std::size_t end = text.find("\r\n");
        lines.emplace_back(text.substr(0, end));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 2);
    }
    return lines;
}

// The tree the script creates in FormCreate: CreateVirtualParamTreeview(owner,
// parent, title, template).
void FindTree(const pugi::xml_document& doc, TOptionsDialog& dialog) {
    for (const pugi::xpath_node& hit : doc.select_nodes("//dsgn[@text='CreateVirtualParamTreeview']")) {
        const pugi::xml_node args = hit.node().child("parameters");
        std::vector<pugi::xml_node> exprs;
        for (const pugi::xml_node& e : args.children("expr"))
            exprs.push_back(e);
        if (exprs.size() != 4)
            throw EOptionsDialog("Script: CreateVirtualParamTreeview takes four arguments");
        dialog.TreeTitle = TextOf(exprs[2]);
        dialog.ItemTemplate = SplitLines(TextOf(exprs[3]));
        return;
    }
}

// The form values the host stores: one typed property per map line, on a
// tree of components named after the path's parts, as the settings component
// resolves "pan.Component.Property".
class TFormValues : public qor::TComponent {
public:
    std::string_view ClassName() const override { return "TFormValues"; }

    // Publishes the last part of path on the component the parts before it
    // name (made when missing), with the value converted to the kind the
    // host's form gives such a property.
    void Add(std::string_view path, const std::string& value) {
        TFormValues* obj = this;
        std::size_t dot;
        while ((dot = path.find('.')) != std::string_view::npos) {
            const std::string part(path.substr(0, dot));
            TFormValues* next = obj->FindComponent<TFormValues>(part);
            obj = next ? next : &obj->AddComponent<TFormValues>(part);
            path.remove_prefix(dot + 1);
        }
        obj->Put(std::string(path), value);
    }

private:
    void Put(const std::string& name, const std::string& value) {
        if (qor::SameText(name, "Checked")) {
            if (value != "0" && value != "1" && !qor::SameText(value, "true") &&
                !qor::SameText(value, "false"))
                throw EOptionsDialog("'" + value + "' is not a check box state (0 or 1)");
            bools_.push_back(value == "1" || qor::SameText(value, "true"));
            Publish(name, bools_.back());
        } else if (qor::SameText(name, "Value")) {
            char* end = nullptr;
            const double v = std::strtod(value.c_str(), &end);
            if (value.empty() || end != value.c_str() + value.size())
                throw EOptionsDialog("'" + value + "' is not a number");
            doubles_.push_back(v);
            Publish(name, doubles_.back());
        } else if (qor::SameText(name, "Caption") || qor::SameText(name, "FileName") ||
                   qor::SameText(name, "Text")) {
            strings_.push_back(value);
            Publish(name, strings_.back());
        } else {
            std::int32_t v = 0;
            const auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), v);
            if (value.empty() || ec != std::errc() || ptr != value.data() + value.size())
                throw EOptionsDialog("'" + value + "' is not an integer");
            ints_.push_back(v);
            Publish(name, ints_.back());
        }
    }

    std::deque<bool> bools_;
    std::deque<double> doubles_;
    std::deque<std::string> strings_;
    std::deque<std::int32_t> ints_;
};

} // namespace

TOptionsDialog DecodeOptionsDialog(std::span<const std::uint8_t> answer) {
    if (answer.size() < 24)
        throw EOptionsDialog("The answer is shorter than its header");
    TOptionsDialog dialog;
    try {
        dialog.Form = qor::ReadObjectStream(Block(answer, 0));
    } catch (const qor::EReadError& e) {
        throw EOptionsDialog(std::string("Layout: ") + e.what());
    }
    const auto extra = Block(answer, 1);
    dialog.Extra.assign(extra.begin(), extra.end());

    std::string text;
    try {
        text = qor::GunzipMember(Block(answer, 2));
    } catch (const qor::EGzipError& e) {
        throw EOptionsDialog(std::string("FORM_DATA: ") + e.what());
    }
    std::vector<std::string> sections = qor::SplitFormData(text);
    if (sections.size() != 3)
        throw EOptionsDialog("FORM_DATA: three sections expected, found " + std::to_string(sections.size()));
    dialog.ScriptXml = std::move(sections[0]);
    dialog.FormName = std::move(sections[1]);
    dialog.MapText = SplitLines(sections[2]);
    for (const std::string& line : dialog.MapText) {
        const std::string_view l = qor::Trim(line);
        if (l.empty() || l.front() == ';')
            continue;
        std::size_t cut = l.find(',');
        if (cut == std::string_view::npos)
            cut = l.find(';');
        if (cut == std::string_view::npos)
            continue;
        // As the settings component reads a line: a ";" in the setting starts a comment.
        std::string_view setting = l.substr(cut + 1);
        setting = setting.substr(0, setting.find(';'));
        if (qor::Trim(setting).empty())
            continue;
        dialog.SettingsMap.push_back(
            {std::string(qor::Trim(l.substr(0, cut))), std::string(qor::Trim(setting))});
    }

    pugi::xml_document doc;
    const pugi::xml_parse_result parsed = doc.load_buffer(dialog.ScriptXml.data(), dialog.ScriptXml.size());
    if (!parsed)
        throw EOptionsDialog(std::string("Script: ") + parsed.description());
    FindTree(doc, dialog);
    return dialog;
}

TOptionsDialog FetchOptionsDialog(TPluginInstance& instance) {
    std::uint32_t code = 0;
    const std::vector<std::uint8_t> answer = instance.GetOptionsDialog({}, &code);
    if (answer.empty())
        throw EOptionsDialog(code == 1 ? "Unknown instance" : "The plug-in offers no options dialog");
    return DecodeOptionsDialog(answer);
}

std::vector<TFormText> FormTexts(const qor::TStreamObject& form) {
    std::vector<TFormText> out;
    const std::function<void(const qor::TStreamObject&)> walk = [&](const qor::TStreamObject& obj) {
        for (const qor::TStreamProperty& p : obj.Properties)
            for (const char* name : {"Caption", "Hint", "Title", "Text", "Filter"})
                if (qor::SameText(p.Name, name) && p.Value.IsString())
                    out.push_back({obj.Name + "." + p.Name, p.Value.Text});
        for (const qor::TStreamObject& child : obj.Children)
            walk(child);
    };
    walk(form);
    return out;
}

std::uint32_t ConfirmOptionsDialog(THost& host, TPluginInstance& instance, const TOptionsDialog& dialog,
                                   const std::vector<TOptionsValue>& values) {
    TFormValues form;
    qor::TWreg store;
    for (const TOptionsValue& v : values) {
        const TSettingsMapLine* line = nullptr;
        for (const TSettingsMapLine& l : dialog.SettingsMap)
            if (qor::SameText(l.Setting, qor::Trim(v.Setting)))
                line = &l;
        if (line == nullptr)
            throw EOptionsDialog("The settings map has no setting '" + v.Setting + "'");
        form.Add(line->Property, v.Value);
        store.Components.Add(line->Property + "," + line->Setting);
    }
    // Confirming without changes stores nothing but still has the instance reload.
    if (!values.empty()) {
        const TLoadSettings& where = instance.Settings();
        store.RegistryPath = where.RegistryPath;
        store.INIFile = where.IniFile;
        store.INIFileSectionPrefix = where.IniSectionPrefix;
        if (!store.Save(form))
            throw EOptionsDialog("The settings could not be stored");
    }
    const std::uint32_t confirmed = instance.ShowOptionsDialog();
    host.PumpPending();
    return confirmed;
}

} // namespace host
