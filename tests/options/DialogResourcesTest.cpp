// The options dialog's resources as the build makes them (library/dialog in
// the build tree), read back by readers we did not write: Free Pascal's
// component stream reader, the gzip program and pugixml.
#include "options/DialogResources.h"
#include "common/qorStrUtils.h"
#include "options/FormText.h"
#include "options/ScriptTree.h"

#include "../ToolSupport.h"
#include "../platform/SettingsTestSupport.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <filesystem>
#include <set>
#include <sstream>

namespace {

using namespace qor;
using Bytes = std::vector<std::uint8_t>;

std::string Resource(const std::string& name) {
    return settings_test::ReadText(std::filesystem::path(QOR_DIALOG_DIR) / name);
}
Bytes ResourceBytes(const std::string& name) {
    const std::string text = Resource(name);
    return Bytes(text.begin(), text.end());
}
std::string ScriptSource() {
    return settings_test::ReadText(std::filesystem::path(QOR_SOURCE_DIR) / "options/dialog/frmOption.pas");
}

// The layout's text form in the repository, from which the build makes the stream.
std::string ExpectedFormText() {
    return settings_test::ReadText(std::filesystem::path(QOR_SOURCE_DIR) / "options/dialog/frmOption.txt");
}

TEST(DialogFormTest, FreePascalsReaderPrintsTheLayoutComponentByComponent) {
    const std::string tool = tooltest::FindTool("QOR_TPF0_TO_TEXT", "tpf0-to-text");
    if (tool.empty())
        GTEST_SKIP() << "tpf0-to-text not found (set QOR_TPF0_TO_TEXT)";
    int status = -1;
    const std::string text =
        tooltest::Run("'" + tool + "' '" + std::string(QOR_DIALOG_DIR) + "/TFRMOPTION' 2>&1", &status);
    ASSERT_EQ(status, 0) << text;
    const std::string expected = ExpectedFormText();
    // Component by component first, so a difference names its component.
    const TStreamObject form = ReadObjectText(expected);
    std::vector<const TStreamObject*> all{&form};
    for (std::size_t i = 0; i < all.size(); ++i)
        for (const TStreamObject& c : all[i]->Children)
            all.push_back(&c);
    EXPECT_EQ(all.size(),
              36u); // the form, 4 panels, 3 labels and edits, 2 check boxes, the menu, 24 items, the dialog
    for (const TStreamObject* c : all) {
        const std::string header = "object " + c->Name + ": " + c->ClassName + "\n";
        EXPECT_EQ(tooltest::OwnLines(text, header), tooltest::OwnLines(expected, header)) << c->Name;
    }
    // Then the order and nesting, once every component is right.
    if (!HasFailure()) {
        EXPECT_EQ(text, expected);
    }
}

TEST(DialogFormTest, ResourceNamesTheLayoutAndOurReaderAgreesWithTheStream) {
    EXPECT_EQ(Resource("FORM_NAME"), "TFRMOPTION");
    const TStreamObject stream = ReadObjectStream(ResourceBytes("TFRMOPTION"));
    EXPECT_EQ(stream, ReadObjectText(ExpectedFormText()));
}

// FORM_DATA -------------------------------------------------------------------

TEST(DialogFormDataTest, GzipAndOurReaderGiveTheSameThreeSections) {
    const Bytes packed = ResourceBytes("FORM_DATA");
    ASSERT_GT(packed.size(), 18u);
    // One member, stored file name "1": magic, deflate, FNAME flag, "1" after the 10-byte header.
    EXPECT_EQ(Bytes(packed.begin(), packed.begin() + 4), (Bytes{0x1F, 0x8B, 8, 0x08}));
    EXPECT_EQ(Bytes(packed.begin() + 10, packed.begin() + 12), (Bytes{'1', 0}));

    const std::string ours = GunzipMember(packed);
    int status = -1;
    const std::string theirs =
        tooltest::Run("gzip -dc '" + std::string(QOR_DIALOG_DIR) + "/FORM_DATA'", &status);
    if (status == 127)
        GTEST_SKIP() << "gzip not found";
    ASSERT_EQ(status, 0);
    EXPECT_EQ(ours, theirs);

    // CR LF line ends throughout.
    for (std::size_t i = 0; i < ours.size(); ++i) {
        if (ours[i] == '\n') {
            ASSERT_TRUE(i > 0 && ours[i - 1] == '\r') << "bare LF at " << i;
        }
    }
    const std::vector<std::string> sections = SplitFormData(ours);
    ASSERT_EQ(sections.size(), 3u);
    EXPECT_TRUE(sections[0].starts_with("<?xml version=\"1.0\"?>\r\n<program>"));
    EXPECT_TRUE(sections[0].ends_with("</program>"));
    EXPECT_EQ(sections[1], "TFRMOPTION");
    EXPECT_EQ(sections[2], "Left,Left\r\nTop,Top\r\nHeight,Height\r\nWidth,Width\r\n;---short---\r\n"
                           "lblParams.Caption,Parser config\r\nOpenDialog.FileName,Open files dir\r\n"
                           "SaveDialog.FileName,Save files dir\r\nspMinInt.Value,Min interval\r\n"
                           "chkExportAll.Checked,Export at once \r\nchkCombine.Checked,Combine requests\r\n");
}

TEST(DialogFormDataTest, DamagedMembersAreRefusedWithoutReadingPastThem) {
    const Bytes packed = GzipMember("Left,Left\r\n", "1");
    EXPECT_EQ(GunzipMember(packed), "Left,Left\r\n");
    for (std::size_t n = 0; n < packed.size(); ++n)
        EXPECT_THROW(GunzipMember(std::span(packed).first(n)), EGzipError) << n;
    Bytes trailing = packed;
    trailing.push_back(0);
    EXPECT_THROW(GunzipMember(trailing), EGzipError);
    Bytes flipped = packed;
    flipped[packed.size() - 5] ^= 0x01; // the CRC
    EXPECT_THROW(GunzipMember(flipped), EGzipError);
    // A small member that expands beyond what the caller takes.
    EXPECT_THROW(GunzipMember(GzipMember(std::string(100000, 'x'), "1"), 4096), EGzipError);
}

// The script's parse tree --------------------------------------------------------

class DialogScriptTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::vector<std::string> sections = SplitFormData(GunzipMember(ResourceBytes("FORM_DATA")));
        ASSERT_EQ(sections.size(), 3u);
        xml = sections[0];
        const pugi::xml_parse_result r =
            doc.load_string(xml.c_str(), pugi::parse_default | pugi::parse_declaration);
        ASSERT_TRUE(r) << r.description();
    }
    pugi::xml_node Procedure(const char* name) const {
        return doc.child("program").find_child([name](pugi::xml_node n) {
            return std::string_view(n.name()) == "procedure" &&
                   std::string_view(n.child("name").attribute("text").as_string()) == name;
        });
    }
    // The string literals of a subtree, in document order.
    static std::vector<std::string> Strings(pugi::xml_node n) {
        std::vector<std::string> out;
        for (const pugi::xpath_node& s : n.select_nodes(".//string"))
            out.emplace_back(s.node().attribute("text").as_string());
        return out;
    }
    std::string xml;
    pugi::xml_document doc;
};

TEST_F(DialogScriptTest, UsesOnlyTheHostsVocabulary) {
    const pugi::xml_node decl = doc.first_child();
    ASSERT_EQ(decl.type(), pugi::node_declaration);
    EXPECT_STREQ(decl.attribute("version").as_string(), "1.0");
    EXPECT_STREQ(doc.document_element().name(), "program");
    static const std::set<std::string> kElements = {
        "program",      "var",      "ident",      "type",   "const",    "procedure", "name", "parameters",
        "compoundstmt", "callstmt", "assignstmt", "ifstmt", "thenstmt", "elsestmt",  "expr", "dsgn",
        "node",         "string",   "number",     "op",     "set",      "addr",      "types"};
    int elements = 0;
    for (const pugi::xpath_node& n : doc.select_nodes("//*")) {
        ++elements;
        EXPECT_TRUE(kElements.count(n.node().name())) << n.node().name();
        for (const pugi::xml_attribute& a : n.node().attributes())
            EXPECT_TRUE(std::string_view(a.name()) == "text" || std::string_view(a.name()) == "pos" ||
                        std::string_view(a.name()) == "pos1")
                << a.name();
    }
    EXPECT_GT(elements, 100);
}

// Every token's pos..pos1 points at its text in the script source kept in the
// repository, so the tree is the parse of that source.
TEST_F(DialogScriptTest, PositionsPointAtTheTokensInTheScriptSource) {
    std::vector<std::string> lines;
    std::istringstream in(ScriptSource());
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    int checked = 0;
    for (const pugi::xpath_node& hit : doc.select_nodes("//*[@text]")) {
        const pugi::xml_node n = hit.node();
        if (n.first_child())
            continue; // a designator with selectors spans more than its name
        int line = 0, col = 0, line1 = 0, col1 = 0;
        ASSERT_EQ(std::sscanf(n.attribute("pos").as_string(), "%d:%d", &line, &col), 2);
        ASSERT_EQ(std::sscanf(n.attribute("pos1").as_string(), "%d:%d", &line1, &col1), 2);
        ASSERT_EQ(line, line1) << n.attribute("text").as_string();
        ASSERT_GE(line, 1);
        ASSERT_LE(line, static_cast<int>(lines.size()));
        ASSERT_LE(col1 - 1, static_cast<int>(lines[line - 1].size()));
        const std::string token = lines[line - 1].substr(col - 1, col1 - col);
        const std::string text = n.attribute("text").as_string();
        EXPECT_TRUE(token == text || (std::string_view(n.name()) != "string" && LowerAscii(token) == text))
            << token << " vs " << text;
        ++checked;
    }
    EXPECT_GT(checked, 200);
    // And the generator, run again on the source, gives the same tree.
    std::string again = ScriptToXml(ScriptSource());
    std::string crlf;
    for (const char c : again)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(crlf, xml + "\r\n");
}

// An assignment "target := ..." whose designator starts with first and
// selects member; its enclosing statements, innermost first.
std::vector<std::string> Enclosing(pugi::xml_node assign) {
    std::vector<std::string> out;
    for (pugi::xml_node n = assign.parent(); n; n = n.parent())
        out.emplace_back(n.name());
    return out;
}

TEST_F(DialogScriptTest, OptionalAnswersOfTheHostAndThePlugInAreGuarded) {
    const pugi::xml_node create = Procedure("FormCreate");
    // An empty or failed "GetDataTypeList" answer: the list's caption is set
    // only when the event succeeds, and the template keeps T00 as the default.
    const pugi::xml_node event =
        create.select_node(".//ifstmt[expr//string[@text=\"'GetDataTypeList'\"]]").node();
    ASSERT_TRUE(event);
    EXPECT_STREQ(event.select_node("expr//dsgn/ident").node().attribute("text").as_string(), "CallEvent");
    const pugi::xml_node list = create.select_node(".//assignstmt[dsgn[@text='DataTypeList']]").node();
    ASSERT_TRUE(list);
    EXPECT_EQ(Enclosing(list)[0], "thenstmt");
    EXPECT_EQ(list.parent().parent(), event);

    // A host form without "panParamTreeview": pan1 is moved only when the
    // component was found.
    const auto moves = create.select_nodes(".//assignstmt[dsgn[@text='pan1']]");
    ASSERT_EQ(moves.size(), 3u);
    for (const pugi::xpath_node& m : moves) {
        const pugi::xml_node guard = m.node().parent().parent().parent();
        ASSERT_STREQ(guard.name(), "ifstmt");
        EXPECT_STREQ(guard.select_node("expr/node/op").node().attribute("text").as_string(), "<>");
        EXPECT_STREQ(guard.select_node("expr/node/dsgn").node().attribute("text").as_string(), "panButton");
    }
    const pugi::xml_node found = create.select_node(".//assignstmt[dsgn[@text='panButton']]").node();
    EXPECT_EQ(Strings(found), std::vector<std::string>{"'panParamTreeview'"});

    // Without a sender no tree exists: its text is set only when there is one.
    const pugi::xml_node text =
        create.select_node(".//assignstmt[dsgn[@text='propTree']/ident[@text='AsText']]").node();
    ASSERT_TRUE(text);
    EXPECT_STREQ(text.parent().parent().select_node("expr/node/dsgn").node().attribute("text").as_string(),
                 "propTree");

    // OK stores the tree's text where the settings map takes it from.
    const pugi::xml_node ok =
        Procedure("btnOKClick").select_node(".//assignstmt[dsgn[@text='lblParams']]").node();
    ASSERT_TRUE(ok);
    EXPECT_STREQ(ok.select_node("dsgn/ident").node().attribute("text").as_string(), "Caption");
    EXPECT_STREQ(ok.select_node("expr/dsgn").node().attribute("text").as_string(), "propTree");
}

// The generators on small sources --------------------------------------------

TEST(ScriptTreeTest, OperatorsNestByPrecedenceAndToTheLeft) {
    const std::string xml = ScriptToXml("const X = 'a' + B * 2 + 'it''s';");
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(xml.c_str()));
    // ((a + (B * 2)) + 'it''s')
    const pugi::xml_node top = doc.select_node("/program/const/expr/node").node();
    ASSERT_TRUE(top);
    EXPECT_STREQ(top.child("op").attribute("text").as_string(), "+");
    EXPECT_STREQ(top.last_child().attribute("text").as_string(), "'it''s'");
    const pugi::xml_node left = top.first_child();
    EXPECT_STREQ(left.name(), "node");
    EXPECT_STREQ(left.first_child().attribute("text").as_string(), "'a'");
    EXPECT_STREQ(left.last_child().child("op").attribute("text").as_string(), "*");
}

TEST(ScriptTreeTest, SyntaxErrorsNameLineAndColumn) {
    try {
        ScriptToXml("procedure P;\nbegin\n  X := ;\nend;");
        FAIL() << "no error";
    } catch (const EScriptSyntax& e) {
        EXPECT_NE(std::string(e.what()).find("3:8"), std::string::npos) << e.what();
    }
    EXPECT_THROW(ScriptToXml("const S = 'open"), EScriptSyntax);
    EXPECT_THROW(ScriptToXml("{ never closed"), EScriptSyntax);
    EXPECT_THROW(ScriptToXml("procedure P; begin X := 1"), EScriptSyntax);
}

TEST(FormTextTest, ReadsStringPiecesAndRejectsBrokenText) {
    const TStreamObject o =
        ReadObjectText("object F: TF\n  Caption = 'it''s'#13#10 +\n    'x'#252\n"
                       "  Items = (\n    'a'\n    2\n  )\n  Data = {\n    0A0b\n  }\nend\n");
    ASSERT_EQ(o.Properties.size(), 3u);
    EXPECT_EQ(o.Properties[0].Value.Text, "it's\r\nx\xC3\xBC");
    EXPECT_EQ(o.Properties[1].Value.Items.size(), 2u);
    EXPECT_EQ(o.Properties[2].Value.Bytes, (Bytes{0x0A, 0x0B}));
    EXPECT_THROW(ReadObjectText("object F: TF\n  Left = 1\n"), EFormTextError);
    EXPECT_THROW(ReadObjectText("object F: TF\n  Caption = 'open\nend\n"), EFormTextError);
    EXPECT_THROW(ReadObjectText("object F: TF\nend\nend\n"), EFormTextError);
    EXPECT_THROW(ReadObjectText("object F: TF\n  Left = 99999999999999999999\nend\n"), EFormTextError);
}

TEST(FormTextTest, ListItemsOnTheirOwnLinesStaySeparateWhilePiecesJoin) {
    const TStreamObject o = ReadObjectText("object h: TqorStrHolder\n"
                                           "  StrData = (\n"
                                           "    ''\n"
                                           "    '6162'\n"
                                           "    'it''s'#13#10'x' +\n"
                                           "      'y' + #65\n"
                                           "    '' + 'z')\n"
                                           "end\n");
    ASSERT_EQ(o.Properties.size(), 1u);
    const std::vector<TStreamValue>& items = o.Properties[0].Value.Items;
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0].Text, "");
    EXPECT_EQ(items[1].Text, "6162");
    EXPECT_EQ(items[2].Text, "it's\r\nxyA");
    EXPECT_EQ(items[3].Text, "z");
    // Two pieces apart on one line are two values, and a property takes one.
    EXPECT_THROW(ReadObjectText("object f: TForm\n  Caption = 'a' 'b'\nend\n"), EFormTextError);
}

} // namespace
