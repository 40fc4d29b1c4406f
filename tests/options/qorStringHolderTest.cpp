#include "options/qorStringHolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

using namespace qor;
using Bytes = std::vector<std::uint8_t>;

Bytes Ascii(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::unique_ptr<TqorStrHolder> Holder(std::vector<std::string> lines, std::string key = {}) {
    auto h = std::make_unique<TqorStrHolder>();
    h->Name = "Properties";
    h->Tag = 9999;
    h->Strings().SetCapacity(12);
    h->Strings().Assign(lines);
    h->KeyString = std::move(key);
    return h;
}

std::unique_ptr<TqorStrHolder> ReadBack(const TStreamObject& o) {
    auto h = std::make_unique<TqorStrHolder>();
    std::vector<TStreamLoadIssue> issues;
    LoadComponent(*h, o, nullptr, &issues);
    EXPECT_TRUE(issues.empty()) << issues.front().Message;
    return h;
}

TEST(StrHolderTest, EmptyKeyWritesLowerCaseHexOfUtf8) {
    const auto h = Holder({"Left", "Top"});
    const Bytes expected = Concat({
        Ascii("TPF0"), {0x0D}, Ascii("TqorStrHolder"), {0x0A}, Ascii("Properties"),
        {0x03}, Ascii("Tag"), {0x03, 0x0F, 0x27},
        {0x08}, Ascii("Capacity"), {0x02, 0x0C},
        {0x0B}, Ascii("InternalVer"), {0x02, 0x02},
        {0x07}, Ascii("StrData"), {0x01, 0x06, 0x00, 0x06, 0x08}, Ascii("4c656674"), {0x06, 0x06}, Ascii("546f70"),
        {0x00},
        {0x00},
        {0x00},
    });
    EXPECT_EQ(WriteComponentStream(*h), expected);
    EXPECT_EQ(TqorStrHolder::EncodeString("Gr\xC3\xB6\xC3\x9F" "e", ""), "4772c3b6c39f65");

    const auto back = ReadBack(ReadObjectStream(expected));
    EXPECT_EQ(back->Strings().Lines(), (std::vector<std::string>{"Left", "Top"}));
    EXPECT_EQ(back->Strings().Capacity(), 12);
    EXPECT_EQ(back->Tag, 9999);
    EXPECT_EQ(back->StreamVersion(), 2);
}

TEST(StrHolderTest, KeyedStringsRoundTrip) {
    EXPECT_EQ(TqorStrHolder::EncodeString("AB", "k3y"), "2a71");
    const auto h = Holder({"Left,Left", "", "Export at once ", "\xC3\xA4\xE2\x82\xAC"}, "k3y");
    const TStreamObject o = SaveComponent(*h);
    const auto& data = o.FindProperty("StrData")->Value.Items;
    ASSERT_EQ(data.size(), 5u);
    EXPECT_EQ(data[0].Text, "k3y");
    EXPECT_EQ(data[2].Text, "");
    const auto back = ReadBack(ReadObjectStream(WriteObjectStream(o)));
    EXPECT_EQ(back->KeyString, "k3y");
    EXPECT_EQ(back->Strings().Lines(), h->Strings().Lines());
}

TStreamObject StoredForm(std::optional<int> version, std::vector<std::string> data) {
    TStreamObject o;
    o.ClassName = "TqorStrHolder";
    o.Name = "Properties";
    if (version)
        o.Properties.push_back({"InternalVer", TStreamValue::Integer(*version)});
    std::vector<TStreamValue> items;
    for (const auto& d : data)
        items.push_back(TStreamValue::Str(d));
    o.Properties.push_back({"StrData", TStreamValue::ListOf(std::move(items))});
    return o;
}

TEST(StrHolderTest, ReadsOlderVersionsOfTheStoredForm) {
    // Version 2 accepts upper-case digits.
    EXPECT_EQ(ReadBack(StoredForm(2, {"", "4C656674"}))->Strings().Lines(), std::vector<std::string>{"Left"});
    // Version 1: a pair that is not a number is a blank; single-byte text.
    EXPECT_EQ(ReadBack(StoredForm(1, {"k", "2azz"}))->Strings().Lines(), std::vector<std::string>{"AK"});
    EXPECT_EQ(ReadBack(StoredForm(1, {"", "e4"}))->Strings().Lines(), std::vector<std::string>{"\xC3\xA4"});
    // Version 0 (no version given): the bytes XOR-ed with the key.
    EXPECT_EQ(ReadBack(StoredForm(std::nullopt, {"k3y", "\x2a\x71"}))->Strings().Lines(),
              std::vector<std::string>{"AB"});
    // Reading replaces what the holder had.
    auto h = Holder({"old"});
    LoadComponent(*h, StoredForm(2, {"", "6e6577"}), nullptr);
    EXPECT_EQ(h->Strings().Lines(), std::vector<std::string>{"new"});
}

// Stands in for the data module: what its stored form sets.
class TaPlugin : public TComponent {
public:
    std::string OnCreate = "qorPluginCreate";
    bool OldCreateOrder = false;
    std::int32_t Height = 0, Width = 0;
    TaPlugin() {
        PublishMethod("OnCreate", OnCreate);
        Publish("OldCreateOrder", OldCreateOrder).WithDefault(Variant(false));
        Publish("Height", Height).NotStored();
        Publish("Width", Width).NotStored();
    }
    std::string_view ClassName() const override { return "TaPlugin"; }
};

// TaPlugin.bin was made from TaPlugin.txt by the tool (tpf0-to-text -r).
TEST(StrHolderTest, ReadsTheDataModuleFormTheToolMade) {
    std::ifstream f(std::filesystem::path(QOR_TEST_DATA_DIR) / "TaPlugin.bin", std::ios::binary);
    const Bytes bytes(std::istreambuf_iterator<char>(f), {});
    ASSERT_FALSE(bytes.empty());
    TClassRegistry classes;
    classes.Register<TqorStrHolder>();
    TaPlugin module;
    std::vector<TStreamLoadIssue> issues;
    ReadComponentStream(module, bytes, &classes, &issues);
    EXPECT_TRUE(issues.empty()) << issues.front().Path << ": " << issues.front().Message;
    EXPECT_EQ(module.Name, "aPlugin");
    EXPECT_EQ(module.Height, 150);
    auto* props = module.FindComponent<TqorStrHolder>("Properties");
    ASSERT_NE(props, nullptr);
    EXPECT_EQ(props->Tag, 9999);
    EXPECT_EQ(props->StreamVersion(), 2);
    EXPECT_EQ(props->Strings().Lines(),
              (std::vector<std::string>{"Left,Left", "Top,Top", "Height,Height", "Width,Width", ";---short---",
                                        "lblParams.Caption,Parser config", "OpenDialog.FileName,Open files dir",
                                        "SaveDialog.FileName,Save files dir", "spMinInt.Value,Min interval",
                                        "chkExportAll.Checked,Export at once "}));
    // The settings walk reaches the map by its path.
    auto map = FindPropertyPath(module, "Properties.Strings");
    ASSERT_TRUE(map);
    EXPECT_EQ(map->Get().AsString().substr(0, 20), "Left,Left\r\nTop,Top\r\n");
    // The designer's position is kept for writing back.
    const TStreamObject saved = SaveComponent(*props);
    EXPECT_EQ(saved.FindProperty("Left")->Value.Int, 48);
    EXPECT_EQ(saved.FindProperty("Top")->Value.Int, 24);
}

} // namespace
