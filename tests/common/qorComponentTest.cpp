#include "common/qorComponent.h"
#include "common/qorParamLst.h"
#include "common/qorStringList.h"

#include <gtest/gtest.h>

namespace {

using namespace qor;

enum class TAlign : std::uint8_t { alNone, alTop, alBottom };

class TFont : public TPersistent {
public:
    std::string FontName = "MS Sans Serif";
    std::int32_t Height = -11;
    TFont() {
        Publish("Name", FontName);
        Publish("Height", Height);
    }
    std::string_view ClassName() const override { return "TFont"; }
};

class TPanel : public TComponent {
public:
    std::int32_t Left = 0;
    std::uint16_t Port = 44818;
    std::int64_t Big = 0;
    double Scale = 0;
    bool Visible = true;
    char Sep = ';';
    std::string Caption;
    TAlign Align = TAlign::alNone;
    std::uint8_t Anchors = 0;
    Variant Extra;
    std::string OnClick;
    TStringList Lines;
    TFont Font;
    TqorParamsList Custom;

    TPanel() {
        Publish("Left", Left);
        Publish("Port", Port).WithDefault(Variant(std::uint16_t{44818}));
        Publish("Big", Big);
        Publish("Scale", Scale);
        Publish("Visible", Visible);
        Publish("Sep", Sep);
        Publish("Caption", Caption);
        PublishEnum("Align", Align, {"alNone", "alTop", "alBottom"}).WithDefault(Variant("alNone"));
        PublishSet("Anchors", Anchors, {"akLeft", "akTop", "akRight"});
        Publish("Extra", Extra);
        PublishMethod("OnClick", OnClick);
        Publish("Lines", Lines);
        PublishObject("Font", Font);
        PublishParams("Custom", Custom).NotStored();
    }
    std::string_view ClassName() const override { return "TPanel"; }
};

class TForm : public TComponent {
public:
    std::int32_t Width = 481;
    TPanel& Panel = AddComponent<TPanel>("pan1");
    TForm() { Publish("Width", Width); }
    std::string_view ClassName() const override { return "TForm"; }
};

TEST(ComponentPathTest, ResolvesThroughComponentsAndObjectProperties) {
    TForm form;
    auto width = FindPropertyPath(form, "WIDTH");
    ASSERT_TRUE(width);
    EXPECT_EQ(width->Kind(), TTypeKind::Integer);
    EXPECT_EQ(width->Get().AsInteger(), 481);

    auto font = FindPropertyPath(form, "Pan1.Font.name");
    ASSERT_TRUE(font);
    font->Set(Variant("Arial"));
    EXPECT_EQ(form.Panel.Font.FontName, "Arial");

    auto lines = FindPropertyPath(form, "pan1.Lines");
    ASSERT_TRUE(lines);
    EXPECT_EQ(lines->Kind(), TTypeKind::StringList);
    lines->Set(Variant("a\r\nb\nc"));
    EXPECT_EQ(form.Panel.Lines.Lines(), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(lines->Get().AsString(), "a\r\nb\r\nc\r\n");

    for (const char* path : {"pan2.Left", "pan1.Nothing", "pan1..Left", "Width."})
        EXPECT_FALSE(FindPropertyPath(form, path)) << path;
}

TEST(ComponentPathTest, ConvertsValuesByKind) {
    TPanel p;
    auto set = [&](std::string_view path, const Variant& v) { FindPropertyPath(p, path)->Set(v); };
    auto get = [&](std::string_view path) { return FindPropertyPath(p, path)->Get(); };

    set("Port", Variant("502"));
    EXPECT_EQ(p.Port, 502);
    EXPECT_THROW(set("Port", Variant(70000)), EPropertyError);
    EXPECT_EQ(p.Port, 502);
    set("Big", Variant("5000000000"));
    EXPECT_EQ(get("Big").Type(), VarType::Int64);
    set("Align", Variant("ALBOTTOM"));
    EXPECT_EQ(p.Align, TAlign::alBottom);
    set("Align", Variant(1));
    EXPECT_EQ(get("Align").AsString(), "alTop");
    EXPECT_THROW(set("Align", Variant("alLeft")), EPropertyError);
    set("Anchors", Variant("[akLeft, akRight]"));
    EXPECT_EQ(p.Anchors, 0b101);
    EXPECT_EQ(get("Anchors").AsString(), "akLeft,akRight");
    EXPECT_THROW(set("Anchors", Variant("akBottom")), EPropertyError);
    set("OnClick", Variant("Panel1Click"));
    EXPECT_EQ(p.OnClick, "Panel1Click");
}

TEST(ComponentStreamingTest, SavesStoredNonDefaultPropertiesAndChildren) {
    TForm form;
    form.Name = "frmOption";
    form.Panel.Caption = "Requests";
    form.Panel.Align = TAlign::alTop;
    form.Panel.Scale = 2.5;
    form.Panel.Lines.SetText("x\r\ny");
    form.Panel.Tag = 9999;
    const TStreamObject o = SaveComponent(form);
    EXPECT_EQ(o.ClassName, "TForm");
    EXPECT_EQ(o.Name, "frmOption");
    ASSERT_EQ(o.Properties.size(), 1u);
    EXPECT_EQ(o.Properties[0].Name, "Width");
    ASSERT_EQ(o.Children.size(), 1u);
    std::vector<std::string> names;
    for (const auto& p : o.Children[0].Properties)
        names.push_back(p.Name);
    // Port and Align at their defaults, Extra Empty, OnClick unassigned: not written.
    EXPECT_EQ(names, (std::vector<std::string>{"Tag", "Left", "Big", "Scale", "Visible", "Sep", "Caption", "Align",
                                               "Anchors", "Lines.Strings", "Font.Name", "Font.Height"}));
    EXPECT_EQ(o.Children[0].FindProperty("Align")->Value.Type, TValueType::Ident);
    EXPECT_EQ(o.Children[0].FindProperty("Scale")->Value.Type, TValueType::Extended);
}

TEST(ComponentStreamingTest, ReportsUnknownPropertiesAndClassesAndGoesOn) {
    TStreamObject o;
    o.ClassName = "TForm";
    o.Name = "frm";
    o.Properties = {{"Height", TStreamValue::Integer(1)}, {"Width", TStreamValue::Integer(2)},
                    {"Width", TStreamValue::Str("wide")}};
    TStreamObject unknown;
    unknown.ClassName = "TButton";
    unknown.Name = "btnOK";
    o.Children.push_back(unknown);
    TForm form;
    std::vector<TStreamLoadIssue> issues;
    LoadComponent(form, o, nullptr, &issues);
    EXPECT_EQ(form.Width, 2);
    ASSERT_EQ(issues.size(), 3u);
    EXPECT_EQ(issues[0].Path, "frm.Height");
    EXPECT_EQ(issues[0].Message, "Property Height does not exist");
    EXPECT_EQ(issues[1].Path, "frm.Width");
    EXPECT_EQ(issues[2].Message, "Class TButton not found");
}

} // namespace
