// Build step: makes the data module's stored form from its text form.
//
//   qormoduleres FORM_TEXT OUTFILE
//
// writes OUTFILE, the binary component stream the module reads at
// construction. The resource is found by the module's class name upper-cased,
// so OUTFILE must be named that way ("TAPLUGIN" for TaPlugin).
//
// The settings map is written twice in the sources: as the "Properties" string
// holder of the text form (what the module reads) and as kSettingsMap (what
// the dialog resource and the built-in fallback carry). The step fails when
// the two differ and prints the StrData block that would match.
#include "common/qorComponent.h"
#include "common/qorStrUtils.h"
#include "engine/SettingsMap.h"
#include "options/FormText.h"
#include "options/qorStringHolder.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

std::string Upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// The settings map as the form's string holder stores it, for pasting into the text form.
std::string ExpectedStrData() {
    std::string block = "    StrData = (\n      ''\n";
    for (const std::string_view line : qor::kSettingsMap)
        block += "      '" + qor::TqorStrHolder::EncodeString(line, "") + "'\n";
    return block + "    )\n";
}

// Reads the "Properties" child the way the module will and compares its lines
// with kSettingsMap.
void CheckSettingsMap(const qor::TStreamObject& form) {
    const qor::TStreamObject* child = form.FindChild("Properties");
    if (child == nullptr || !qor::SameText(child->ClassName, "TqorStrHolder"))
        throw std::runtime_error("the form has no Properties: TqorStrHolder");
    qor::TqorStrHolder holder;
    std::vector<qor::TStreamLoadIssue> issues;
    qor::LoadComponent(holder, *child, nullptr, &issues);
    if (!issues.empty())
        throw std::runtime_error(issues.front().Path + ": " + issues.front().Message);
    const std::vector<std::string>& lines = holder.Strings().Lines();
    const std::vector<std::string> expected(qor::kSettingsMap.begin(), qor::kSettingsMap.end());
    if (lines == expected)
        return;
    std::string what = "Properties holds " + std::to_string(lines.size()) + " lines, the settings map " +
                       std::to_string(expected.size());
    for (std::size_t i = 0; i < lines.size() && i < expected.size(); ++i) {
        if (lines[i] != expected[i]) {
            what = "line " + std::to_string(i + 1) + " of Properties is '" + lines[i] +
                   "', the settings map has '" + expected[i] + "'";
            break;
        }
    }
    throw std::runtime_error(what + " (engine/include/engine/SettingsMap.h); the matching StrData is\n" +
                             ExpectedStrData());
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: qormoduleres FORM_TEXT OUTFILE\n");
        return 2;
    }
    try {
        const std::filesystem::path out = argv[2];
        const qor::TStreamObject form = qor::ReadObjectText(ReadFile(argv[1]));
        if (Upper(form.ClassName) != out.filename().string())
            throw std::runtime_error("the module's class " + form.ClassName + " is found by the name " +
                                     Upper(form.ClassName) + ", not " + out.filename().string());
        CheckSettingsMap(form);
        std::filesystem::create_directories(out.parent_path());
        WriteFile(out, qor::WriteObjectStream(form));
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qormoduleres: %s: %s\n", argv[1], e.what());
        return 1;
    }
}
