#include "common/qorComponentStream.h"

#include "../ToolSupport.h"
#include "../platform/SettingsTestSupport.h"

#include <gtest/gtest.h>

namespace {

using qor::EReadError;
using qor::ReadObjectStream;
using qor::TStreamObject;
using qor::TStreamValue;
using qor::TValueType;
using qor::WriteObjectStream;
using Bytes = std::vector<std::uint8_t>;

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Name(std::string_view s) {
    Bytes b;
    b.reserve(s.size() + 1);
    b.push_back(static_cast<std::uint8_t>(s.size()));
    for (char c : s)
        b.push_back(static_cast<std::uint8_t>(c));
    return b;
}

// One object "Foo" of class TFoo with a property of every value type, and one
// unnamed child with a child position.
const Bytes& EveryType() {
    static const Bytes bytes = Concat({
        {'T', 'P', 'F', '0'}, Name("TFoo"), Name("Foo"),
        Name("I8"), {0x02, 0xFE},
        Name("I16"), {0x03, 0x02, 0x03},
        Name("I32"), {0x04, 0x01, 0x02, 0x03, 0x04},
        Name("I64"), {0x13, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08},
        Name("QW"), {0x16, 0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0, 0xF0},
        Name("X"), {0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0xFF, 0x3F},
        Name("Sg"), {0x0F, 0x00, 0x00, 0x00, 0x3F},
        Name("Cy"), {0x10, 0x39, 0x30, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
        Name("Dt"), {0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40},
        Name("S"), {0x06, 0x02, 'a', 'b'},
        Name("LS"), {0x0C, 0x01, 0x00, 0x00, 0x00, 'c'},
        Name("W"), {0x12, 0x01, 0x00, 0x00, 0x00, 0xE9, 0x00},
        Name("U8"), {0x14, 0x02, 0x00, 0x00, 0x00, 0xC3, 0xA9},
        Name("US"), {0x15, 0x02, 0x00, 0x00, 0x00, 0x3D, 0xD8, 0x00, 0xDE},
        Name("Id"), {0x07, 0x05, 'a', 'l', 'T', 'o', 'p'},
        Name("F"), {0x08},
        Name("T"), {0x09},
        Name("N"), {0x0D},
        Name("Bn"), {0x0A, 0x02, 0x00, 0x00, 0x00, 0x01, 0x02},
        Name("St"), {0x0B, 0x01, 'a', 0x02, 'b', 'c', 0x00},
        Name("L"), {0x01, 0x02, 0x01, 0x06, 0x01, 'x', 0x00},
        Name("C"), {0x0E, 0x02, 0x03, 0x01, 0x01, 'P', 0x02, 0x05, 0x00, 0x01, 0x01, 'Q', 0x09, 0x00, 0x00},
        {0x00},
        {0xF2, 0x02, 0x01}, Name("TBar"), Name(""), {0x00, 0x00},
        {0x00},
    });
    return bytes;
}

TEST(ComponentStreamTest, ReadsEveryValueType) {
    const TStreamObject o = ReadObjectStream(EveryType());
    EXPECT_EQ(o.ClassName, "TFoo");
    EXPECT_EQ(o.Name, "Foo");
    ASSERT_EQ(o.Properties.size(), 22u);
    auto v = [&](std::string_view name) -> const TStreamValue& {
        const auto* p = o.FindProperty(name);
        EXPECT_NE(p, nullptr) << name;
        return p->Value;
    };
    EXPECT_EQ(v("I8").Int, -2);
    EXPECT_EQ(v("i16").Int, 0x0302);
    EXPECT_EQ(v("I32").Int, 0x04030201);
    EXPECT_EQ(v("I64").Int, 0x0807060504030201);
    EXPECT_EQ(v("QW").UInt, 0xF0E0D0C0B0A09080u);
    EXPECT_EQ(v("X").Float, 1.5);
    EXPECT_EQ(v("Sg").Float, 0.5);
    EXPECT_EQ(v("Cy").Type, TValueType::Currency);
    EXPECT_DOUBLE_EQ(v("Cy").AsFloat(), 1.2345);
    EXPECT_EQ(v("Dt").Float, 2.0);
    EXPECT_EQ(v("S").Text, "ab");
    EXPECT_EQ(v("LS").Text, "c");
    EXPECT_EQ(v("W").Text, "\xC3\xA9");
    EXPECT_EQ(v("U8").Text, "\xC3\xA9");
    EXPECT_EQ(v("US").Text, "\xF0\x9F\x98\x80"); // a surrogate pair
    EXPECT_EQ(v("Id").Type, TValueType::Ident);
    EXPECT_EQ(v("Id").Text, "alTop");
    EXPECT_EQ(v("F").Type, TValueType::False);
    EXPECT_EQ(v("T").Type, TValueType::True);
    EXPECT_EQ(v("N").Type, TValueType::Nil);
    EXPECT_EQ(v("Bn").Bytes, (Bytes{0x01, 0x02}));
    EXPECT_EQ(v("St").Elements, (std::vector<std::string>{"a", "bc"}));
    ASSERT_EQ(v("L").Items.size(), 2u);
    EXPECT_EQ(v("L").Items[0].Int, 1);
    EXPECT_EQ(v("L").Items[1].Text, "x");
    const auto& c = v("C").Collection;
    ASSERT_EQ(c.size(), 2u);
    ASSERT_TRUE(c[0].Order.has_value());
    EXPECT_EQ(c[0].Order->Int, 3);
    EXPECT_EQ(c[0].Properties.at(0).Name, "P");
    EXPECT_FALSE(c[1].Order.has_value());
    EXPECT_EQ(c[1].Properties.at(0).Value.Type, TValueType::True);
    ASSERT_EQ(o.Children.size(), 1u);
    EXPECT_EQ(o.Children[0].Flags, qor::ffChildPos);
    EXPECT_EQ(o.Children[0].ChildPos, 1);
    EXPECT_EQ(o.Children[0].ClassName, "TBar");
}

TEST(ComponentStreamTest, WritesWhatItReadByteForByte) {
    std::size_t consumed = 0;
    Bytes padded = EveryType();
    padded.insert(padded.end(), {0xAA, 0xBB}); // resources may carry padding
    const TStreamObject o = ReadObjectStream(padded, &consumed);
    EXPECT_EQ(consumed, EveryType().size());
    EXPECT_EQ(WriteObjectStream(o), EveryType());
}

TEST(ComponentStreamTest, EveryTruncatedPrefixFailsCleanly) {
    const Bytes& all = EveryType();
    for (std::size_t n = 0; n < all.size(); ++n)
        EXPECT_THROW(ReadObjectStream(std::span(all.data(), n)), EReadError) << "prefix " << n;
}

TEST(ComponentStreamTest, RejectsMalformedStreams) {
    EXPECT_THROW(ReadObjectStream(Concat({{'T', 'P', 'F', '1'}, Name("T"), Name("A"), {0, 0}})), EReadError);
    // Value type 0x17 does not exist.
    EXPECT_THROW(ReadObjectStream(Concat({{'T', 'P', 'F', '0'}, Name("T"), Name("A"), Name("P"), {0x17, 0, 0}})),
                 EReadError);
    // A negative 32-bit length.
    EXPECT_THROW(ReadObjectStream(Concat({{'T', 'P', 'F', '0'}, Name("T"), Name("A"), Name("P"),
                                          {0x0C, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0}})),
                 EReadError);
    // A collection item that is not a list.
    EXPECT_THROW(ReadObjectStream(Concat({{'T', 'P', 'F', '0'}, Name("T"), Name("A"), Name("P"),
                                          {0x0E, 0x02, 0x01, 0x09, 0, 0, 0}})),
                 EReadError);
    // Lists nested far deeper than any form: refused, not a stack overflow.
    Bytes deep = Concat({{'T', 'P', 'F', '0'}, Name("T"), Name("A"), Name("P")});
    deep.insert(deep.end(), 100000, 0x01);
    EXPECT_THROW(ReadObjectStream(deep), EReadError);
}

std::string RunTool(const std::string& tool, const Bytes& stream) {
    settings_test::TempFolder dir;
    const std::string file = dir.Write("form.bin", std::string(stream.begin(), stream.end()));
    return tooltest::Run("'" + tool + "' '" + file + "' 2>&1");
}

Bytes ReadFile(const std::string& name) {
    const std::string text = settings_test::ReadText(std::filesystem::path(QOR_TEST_DATA_DIR) / name);
    return Bytes(text.begin(), text.end());
}

TEST(ComponentStreamToolTest, TheToolDecodesWhatWeWrite) {
    const std::string tool = tooltest::FindTool("QOR_TPF0_TO_TEXT", "tpf0-to-text");
    if (tool.empty())
        GTEST_SKIP() << "tpf0-to-text not found (set QOR_TPF0_TO_TEXT)";
    TStreamObject form;
    form.ClassName = "TfrmOption";
    form.Name = "frmOption";
    form.Properties = {
        {"Left", TStreamValue::Integer(326)},
        {"Big", TStreamValue::Integer(-5000000000)},
        {"Quote", TStreamValue::Str("it's\r\n")},
        {"Umlaut", TStreamValue::Str("Gr\xC3\xBC\xC3\x9F" "e")},
        {"Long", TStreamValue::Str(std::string(300, 'x'))},
        {"BorderIcons", TStreamValue::SetOf({"biSystemMenu", "biMaximize", "biHelp"})},
        {"Position", TStreamValue::Identifier("poDesigned")},
        {"KeyPreview", TStreamValue::Boolean(true)},
        {"Visible", TStreamValue::Boolean(false)},
        {"Scale", TStreamValue::Float80(-1.25)},
        {"Data", TStreamValue::Bin({0x00, 0x01, 0xFE})},
        {"Items.Strings", TStreamValue::ListOf({TStreamValue::Str("one"), TStreamValue::Integer(2)})},
    };
    TStreamValue columns;
    columns.Type = TValueType::Collection;
    columns.Collection = {{std::nullopt, {{"Width", TStreamValue::Integer(64)}}}, {std::nullopt, {}}};
    form.Properties.push_back({"Columns", columns});
    TStreamObject panel;
    panel.ClassName = "TPanel";
    panel.Name = "pan1";
    TStreamObject check;
    check.ClassName = "TCheckBox";
    check.Name = "chkExportAll";
    check.Properties = {{"Checked", TStreamValue::Boolean(true)}};
    panel.Children.push_back(check);
    form.Children.push_back(panel);
    TStreamObject old;
    old.Flags = qor::ffInherited | qor::ffChildPos;
    old.ChildPos = 2;
    old.ClassName = "TLabel";
    old.Name = "lblOld";
    form.Children.push_back(old);

    const std::string expected = "object frmOption: TfrmOption\n"
                                 "  Left = 326\n"
                                 "  Big = -5000000000\n"
                                 "  Quote = 'it''s'#13#10\n"
                                 "  Umlaut = 'Gr'#252#223'e'\n"
                                 "  Long = '" + std::string(300, 'x') + "'\n"
                                 "  BorderIcons = [biSystemMenu, biMaximize, biHelp]\n"
                                 "  Position = poDesigned\n"
                                 "  KeyPreview = True\n"
                                 "  Visible = False\n"
                                 "  Scale = -1.25000000000000000000E+0000\n"
                                 "  Data = {\n"
                                 "    0001FE\n"
                                 "  }\n"
                                 "  Items.Strings = (\n"
                                 "    'one'\n"
                                 "    2\n"
                                 "  )\n"
                                 "  Columns = <  \n"
                                 "    item\n"
                                 "      Width = 64\n"
                                 "    end  \n"
                                 "    item\n"
                                 "    end>\n"
                                 "  object pan1: TPanel\n"
                                 "    object chkExportAll: TCheckBox\n"
                                 "      Checked = True\n"
                                 "    end\n"
                                 "  end\n"
                                 "  inherited lblOld: TLabel[2]\n"
                                 "  end\n"
                                 "end\n";
    EXPECT_EQ(RunTool(tool, WriteObjectStream(form)), expected);
}

// form.bin was made from form.txt by the tool (tpf0-to-text -r form.txt).
TEST(ComponentStreamToolTest, ReadsAStreamTheToolMadeFromText) {
    const Bytes bytes = ReadFile("form.bin");
    ASSERT_FALSE(bytes.empty());
    const TStreamObject o = ReadObjectStream(bytes);
    EXPECT_EQ(o.ClassName, "TfrmTest");
    EXPECT_EQ(o.Name, "frmTest");
    EXPECT_EQ(o.FindProperty("Left")->Value.Int, 326);
    EXPECT_EQ(o.FindProperty("Top")->Value.Int, -144);
    EXPECT_EQ(o.FindProperty("Caption")->Value.Text, "EIP");
    EXPECT_EQ(o.FindProperty("BorderIcons")->Value.Elements,
              (std::vector<std::string>{"biSystemMenu", "biMaximize", "biHelp"}));
    EXPECT_EQ(o.FindProperty("Position")->Value.Type, TValueType::Ident);
    EXPECT_EQ(o.FindProperty("KeyPreview")->Value.Type, TValueType::True);
    EXPECT_EQ(o.FindProperty("Visible")->Value.Type, TValueType::False);
    EXPECT_EQ(o.FindProperty("Scale")->Value.Float, 1.25);
    EXPECT_EQ(o.FindProperty("Big")->Value.AsInteger(), 4000000000);
    EXPECT_EQ(o.FindProperty("Huge")->Value.AsInteger(), -5000000000);
    EXPECT_EQ(o.FindProperty("Data")->Value.Bytes, (Bytes{0x00, 0x01, 0x02, 0xFE}));
    EXPECT_EQ(o.FindProperty("Tail")->Value.Type, TValueType::Nil);
    EXPECT_EQ(o.FindProperty("OnCreate")->Value.Text, "FormCreate");
    const auto& items = o.FindProperty("Items.Strings")->Value.Items;
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[1].Text, "Gr\xC3\xBC\xC3\x9F" "e");
    const auto& columns = o.FindProperty("Columns")->Value.Collection;
    ASSERT_EQ(columns.size(), 2u);
    EXPECT_EQ(columns[0].Properties.at(0).Value.Int, 64);
    EXPECT_EQ(columns[1].Properties.at(0).Value.Text, "B");
    ASSERT_EQ(o.Children.size(), 2u);
    const TStreamObject* check = o.Children[0].FindChild("chkExportAll");
    ASSERT_NE(check, nullptr);
    EXPECT_EQ(check->FindProperty("Caption")->Value.Text, "Export data for all requests at once");
    EXPECT_EQ(o.Children[1].Flags, qor::ffInherited | qor::ffChildPos);
    EXPECT_EQ(o.Children[1].ChildPos, 2);
    EXPECT_EQ(WriteObjectStream(o), bytes);
}

} // namespace
