// Build step: makes the options dialog's resources from their sources.
//
//   qordialogres FORM_TEXT SCRIPT OUTDIR
//
// writes OUTDIR/FORM_NAME, OUTDIR/TFRMOPTION (the form's binary component
// stream), OUTDIR/FORM_DATA (the packed script tree, form name and settings
// map) and OUTDIR/frmOption.xml (the script tree alone, for reading).
#include "common/qorComponentStream.h"
#include "common/qorStrUtils.h"
#include "engine/SettingsMap.h"
#include "options/DialogResources.h"
#include "options/FormText.h"
#include "options/ScriptTree.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>

namespace {

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::filesystem::path& path, const void* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: qordialogres FORM_TEXT SCRIPT OUTDIR\n");
        return 2;
    }
    try {
        const std::filesystem::path outDir = argv[3];
        std::filesystem::create_directories(outDir);

        const qor::TStreamObject form = qor::ReadObjectText(ReadFile(argv[1]));
        // The host finds the layout by the name FORM_NAME gives.
        if (!qor::SameText("T" + form.Name, qor::kFormName))
            throw std::runtime_error("the form must be named after " + std::string(qor::kFormName));
        const std::vector<std::uint8_t> stream = qor::WriteObjectStream(form);
        WriteFile(outDir / "TFRMOPTION", stream.data(), stream.size());
        WriteFile(outDir / "FORM_NAME", qor::kFormName.data(), qor::kFormName.size());

        const std::string xml = qor::ScriptToXml(ReadFile(argv[2]));
        WriteFile(outDir / "frmOption.xml", xml.data(), xml.size());
        const std::string text = qor::FormDataText(xml, qor::kFormName, qor::kSettingsMap);
        const std::vector<std::uint8_t> packed = qor::GzipMember(text, "1");
        WriteFile(outDir / "FORM_DATA", packed.data(), packed.size());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qordialogres: %s\n", e.what());
        return 1;
    }
}
