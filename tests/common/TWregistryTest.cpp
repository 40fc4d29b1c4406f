#include "common/TWregistry.h"
#include "common/qorParamLst.h"

#include "platform/IniFile.h"
#include "platform/Registry.h"

#include "../platform/ChildProcess.h"
#include "../platform/SettingsTestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <latch>
#include <thread>
#include <sys/resource.h>

namespace {

using namespace qor;
using platform::RegistryKey;
using platform::RegistryRoot;
using platform::RegStatus;
using platform::RegValueType;
using settings_test::ReadText;
using settings_test::TempFolder;
using settings_test::WriteText;

enum class TMode : std::uint8_t { Off, Auto, On };

// An owned component reached by a path.
class TNet : public TComponent {
public:
    std::uint32_t Interval = 0;
    TNet() { Publish("Interval", Interval); }
};

// One property of every kind the settings component stores.
class TSample : public TComponent {
public:
    std::int32_t Left = 0;
    std::uint32_t Mask = 0;
    std::int64_t Big = 0;
    double Scale = 0;
    std::string Caption;
    char Sep = '\0';
    TMode Mode = TMode::Off;
    std::uint8_t Anchors = 0;
    bool Checked = false;
    Variant Extra;
    std::string Link; // an object reference, by the referenced component's name
    TqorParamsList Params;
    TNet& Net = AddComponent<TNet>("Net");

    TSample() {
        Publish("Left", Left);
        Publish("Mask", Mask);
        Publish("Big", Big);
        Publish("Scale", Scale);
        Publish("Caption", Caption);
        Publish("Sep", Sep);
        PublishEnum("Mode", Mode, {"mdOff", "mdAuto", "mdOn"});
        PublishSet("Anchors", Anchors, {"akLeft", "akTop", "akRight"});
        Publish("Checked", Checked);
        Publish("Extra", Extra);
        TPropInfo link;
        link.Name = "Link";
        link.Kind = TTypeKind::Class;
        link.Get = [this] { return Link.empty() ? Variant::MakeNull() : Variant(Link); };
        link.Set = [this](const Variant& v) { Link = v.IsNull() ? std::string() : v.AsString(); };
        Publish(std::move(link));
        PublishParams("Params", Params);
        Params.Add("Port", Variant())->Tag = VarTypeCode(VarType::Word);
        Params.Add("Factor", Variant())->Tag = VarTypeCode(VarType::Double);
    }

    void Fill() {
        Left = -5;
        Mask = 0xF0000001;
        Big = 0x123456789A;
        Scale = 2.5;
        Caption = "Line ; one";
        Sep = ',';
        Mode = TMode::Auto;
        Anchors = 5;
        Checked = true;
        Extra = Variant("x y");
        Link = "";
        Net.Interval = 1500;
        Params.SetValue("Port", Variant(std::uint16_t{44818}), false);
        Params.SetValue("Factor", Variant(0.125), false);
    }

    void ExpectFilled() const {
        EXPECT_EQ(Left, -5);
        EXPECT_EQ(Mask, 0xF0000001u);
        EXPECT_EQ(Big, 0x123456789A);
        EXPECT_EQ(Scale, 2.5);
        EXPECT_EQ(Caption, "Line ; one");
        EXPECT_EQ(Sep, ',');
        EXPECT_EQ(Mode, TMode::Auto);
        EXPECT_EQ(Anchors, 5);
        EXPECT_TRUE(Checked);
        EXPECT_EQ(Extra, Variant("x y"));
        EXPECT_EQ(Link, "");
        EXPECT_EQ(Net.Interval, 1500u);
        EXPECT_EQ(Params.GetValue("Port").Type(), VarType::Word);
        EXPECT_EQ(Params.GetValue("Port"), Variant(44818));
        EXPECT_EQ(Params.GetValue("Factor").Type(), VarType::Double);
        EXPECT_EQ(Params.GetValue("Factor"), Variant(0.125));
    }
};

const std::vector<std::string> kMap = {
    "Left,Left",        "Mask,Mask",
    "Big,Big",          "Scale,Scale",
    "Caption,Caption",  "Sep,Sep",
    "Mode,Mode",        "Anchors,Anchors",
    "Checked,Checked",  "Extra,Extra",
    "Link,Link",        "Net.Interval,Net\\Interval",
    "Params.Port,Port", "Params.Factor,Factor",
};

class TWregTest : public ::testing::Test {
protected:
    void SetUp() override {
        store_ = platform::RegistryStore::Open(folder_ / "registry.sqlite3");
        ASSERT_TRUE(store_);
    }
    void TearDown() override {
        platform::SetRegistryRootDenied(RegistryRoot::LocalMachine, false);
        platform::SetRegistryRootDenied(RegistryRoot::CurrentUser, false);
    }

    void Setup(TWreg& w, std::vector<std::string> map = kMap) {
        w.Store = store_;
        w.RegistryPath = "\\Software\\Test\\App\\";
        w.Components.Assign(map);
    }
    RegistryKey Key(RegistryRoot root, const std::string& path) {
        RegistryKey k;
        EXPECT_EQ(k.Open(root, path, platform::RegAccess::Read, store_), RegStatus::Success) << path;
        return k;
    }
    std::string Ini(const std::string& name) const { return (folder_ / name).string(); }

    TempFolder folder_;
    std::shared_ptr<platform::RegistryStore> store_;
};

// ---- map lines and section names

TEST(TWregMapTest, MapLinesAreSplitTrimmedAndReduced) {
    struct Case {
        std::string line, path, setting, key, value;
    };
    const Case cases[] = {
        {"Left,Left", "Left", "Left", "", "Left"},
        {"  lblParams.Caption , Parser config ; the list", "lblParams.Caption", "Parser config", "",
         "Parser config"},
        {"chkExportAll.Checked,Export at once ", "chkExportAll.Checked", "Export at once", "",
         "Export at once"},
        {"Net.Interval;Net\\Interval", "Net.Interval", "Net\\Interval", "Net", "Interval"},
        {"A,\\\\Net\\\\Sub\\\\Interval", "A", "Net\\Sub\\Interval", "Net\\Sub", "Interval"},
        {"A,\\Top", "A", "Top", "", "Top"},
    };
    for (const auto& c : cases) {
        const auto line = TWreg::ParseMapLine(c.line);
        ASSERT_TRUE(line) << c.line;
        EXPECT_EQ(line->Path, c.path) << c.line;
        EXPECT_EQ(line->Setting, c.setting) << c.line;
        EXPECT_EQ(line->KeyPath, c.key) << c.line;
        EXPECT_EQ(line->ValueName, c.value) << c.line;
    }
    for (const char* skipped :
         {"", "   ", ";---short---", "  ; note", ",Left", "Left", "Left, ; no setting", "A,\\"})
        EXPECT_FALSE(TWreg::ParseMapLine(skipped)) << skipped;
}

TEST(TWregMapTest, IniSectionsFollowThePrefixAndTheDefaultSection) {
    TWreg w;
    EXPECT_EQ(w.IniSection(""), "Common");
    EXPECT_EQ(w.IniSection("Net\\Sub"), "Net.Sub");
    w.INIFileSectionPrefix = "DS1";
    EXPECT_EQ(w.IniSection(""), "DS1.Common");
    EXPECT_EQ(w.IniSection("Net"), "DS1.Net");
    w.DefaultSection = false;
    EXPECT_EQ(w.IniSection(""), "DS1");
    w.INIFileSectionPrefix = "DS1\\";
    w.DefaultSection = true;
    EXPECT_EQ(w.IniSection(""), "DS1");
    EXPECT_EQ(w.IniSection("Net"), "DS1.Net");
    w.INIFileSectionPrefix = "Plug\\DS1/";
    EXPECT_EQ(w.IniSection("Net"), "Plug.DS1.Net");
}

// ---- round trips

TEST_F(TWregTest, IniFileRoundTripOfEveryKind) {
    TWreg w;
    Setup(w);
    w.INIFile = Ini("s.ini");
    w.INIFileSectionPrefix = "DS1";
    TSample saved;
    saved.Fill();
    ASSERT_TRUE(w.Save(saved));

    EXPECT_EQ(ReadText(folder_ / "s.ini"), "[DS1.Common]\n"
                                           "Left=-5\n"
                                           "Mask=4026531841\n"
                                           "Big=78187493530\n"
                                           "Scale=2.5\n"
                                           "Caption=Line ; one\n"
                                           "Sep=,\n"
                                           "Mode=mdAuto\n"
                                           "Anchors=akLeft,akRight\n"
                                           "Checked=True\n"
                                           "Extra=x y\n"
                                           "Link=[[Null]]\n"
                                           "Port=44818\n"
                                           "Factor=0.125\n"
                                           "\n\n"
                                           "[DS1.Net]\n"
                                           "Interval=1500\n");

    TSample loaded;
    loaded.Link = "Other";
    ASSERT_TRUE(w.Load(loaded));
    loaded.ExpectFilled();
}

// Two data sources of one host save their settings into the same INI file at
// the same moment, each under its own prefix; neither save may undo the other.
TEST_F(TWregTest, TwoInstancesSavingOneIniFileAtOnceKeepBothSettings) {
    const std::vector<std::string> map = {"Left,Interval"};
    int lost = 0;
    for (int round = 0; round < 20; ++round) {
        const std::string file = Ini("shared" + std::to_string(round) + ".ini");
        std::latch start(2);
        bool saved[2] = {false, false};
        std::vector<std::thread> instances;
        for (int i = 0; i < 2; ++i)
            instances.emplace_back([&, i] {
                TWreg w;
                Setup(w, map);
                w.INIFile = file;
                w.INIFileSectionPrefix = "DS" + std::to_string(i + 1);
                TSample settings;
                settings.Left = 100 * (i + 1);
                start.arrive_and_wait();
                saved[i] = w.Save(settings);
            });
        for (auto& t : instances)
            t.join();
        EXPECT_TRUE(saved[0] && saved[1]);
        const platform::IniFile ini(file);
        if (ini.ReadInteger("DS1.Common", "Interval") != 100 || ini.ReadInteger("DS2.Common", "Interval") != 200)
            ++lost;
    }
    EXPECT_EQ(lost, 0);
}

TEST_F(TWregTest, RegistryRoundTripOfEveryKind) {
    TWreg w;
    Setup(w);
    TSample saved;
    saved.Fill();
    ASSERT_TRUE(w.Save(saved));
    EXPECT_EQ(w.OpenedRoot(), RegistryRoot::LocalMachine);

    RegistryKey key = Key(RegistryRoot::LocalMachine, "Software\\Test\\App");
    platform::RegValue v;
    ASSERT_EQ(key.QueryValue("Left", &v), RegStatus::Success);
    EXPECT_EQ(v.Type, RegValueType::Dword);
    EXPECT_EQ(v.Data, (std::vector<std::uint8_t>{0xFB, 0xFF, 0xFF, 0xFF}));
    ASSERT_EQ(key.QueryValue("Mask", &v), RegStatus::Success);
    EXPECT_EQ(v.Data, (std::vector<std::uint8_t>{0x01, 0x00, 0x00, 0xF0}));
    ASSERT_EQ(key.QueryValue("Scale", &v), RegStatus::Success);
    EXPECT_EQ(v.Type, RegValueType::Binary);
    EXPECT_EQ(v.Data, (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 0, 0x04, 0x40}));
    // Beyond 32 bits: decimal text, not a cut DWORD.
    EXPECT_EQ(key.ReadString("Big"), "78187493530");
    EXPECT_EQ(key.ReadString("Mode"), "mdAuto");
    EXPECT_EQ(key.ReadString("Anchors"), "akLeft,akRight");
    EXPECT_EQ(key.ReadString("Checked"), "True");
    EXPECT_EQ(key.ReadString("Link"), "[[Null]]");
    EXPECT_EQ(key.ReadDword("Port"), 44818u);
    EXPECT_EQ(key.ReadFloat("Factor"), 0.125);
    EXPECT_FALSE(key.ValueExists("Interval"));
    EXPECT_EQ(Key(RegistryRoot::LocalMachine, "Software\\Test\\App\\Net").ReadDword("Interval"), 1500u);

    TSample loaded;
    loaded.Link = "Other";
    ASSERT_TRUE(w.Load(loaded));
    loaded.ExpectFilled();
}

// ---- missing and empty values

TEST_F(TWregTest, MissingValuesKeepThePropertyAndEmptyOnesDeleteTheSetting) {
    const auto file = folder_ / "s.ini";
    WriteText(file, "[Common]\nCaption=old\nLeft=7\nOther=1\n");
    TWreg w;
    Setup(w, {"Caption,Caption", "Left,Left", "Scale,Scale", "Nothing,Here"});
    w.INIFile = file.string();
    TSample s;
    s.Scale = 9.5;
    ASSERT_TRUE(w.Load(s));
    EXPECT_EQ(s.Caption, "old");
    EXPECT_EQ(s.Left, 7);
    EXPECT_EQ(s.Scale, 9.5);

    s.Caption.clear();
    ASSERT_TRUE(w.Save(s));
    EXPECT_EQ(ReadText(file), "[Common]\nLeft=7\nOther=1\nScale=9.5\n");

    w.INIFile.clear();
    s.Caption = "x";
    ASSERT_TRUE(w.Save(s));
    s.Caption.clear();
    ASSERT_TRUE(w.Save(s));
    EXPECT_FALSE(Key(RegistryRoot::LocalMachine, "Software\\Test\\App").ValueExists("Caption"));

    TSample fresh;
    fresh.Caption = "kept";
    EXPECT_TRUE(w.Load(fresh));
    EXPECT_EQ(fresh.Caption, "kept");
}

TEST_F(TWregTest, LinesThatFailAreSkippedAndTheRestGoesOn) {
    TWreg w;
    Setup(w, {"NoSuch,A", "Net.NoSuch,B", "Left,Left", "Mode,Mode"});
    w.INIFile = Ini("s.ini");
    WriteText(folder_ / "s.ini", "[Common]\nA=1\nLeft=12\nMode=mdNowhere\n");
    TSample s;
    EXPECT_TRUE(w.Load(s));
    EXPECT_EQ(s.Left, 12);
    EXPECT_EQ(s.Mode, TMode::Off);

    TWreg none;
    Setup(none, {"NoSuch,A"});
    none.INIFile = Ini("s.ini");
    EXPECT_FALSE(none.Save(s));
    EXPECT_FALSE(none.Load(s));
}

// ---- choosing the store

TEST_F(TWregTest, MissingIniFileLoadsFromTheRegistryAndIsCreatedBySaving) {
    RegistryKey key;
    ASSERT_EQ(key.Create(RegistryRoot::LocalMachine, "Software\\Test\\App", nullptr, store_),
              RegStatus::Success);
    ASSERT_EQ(key.WriteDword("Left", 42), RegStatus::Success);
    TWreg w;
    Setup(w, {"Left,Left"});
    w.INIFile = Ini("new.ini");
    TSample s;
    ASSERT_TRUE(w.Load(s));
    EXPECT_EQ(s.Left, 42);
    EXPECT_FALSE(std::filesystem::exists(folder_ / "new.ini"));

    ASSERT_TRUE(w.Save(s));
    EXPECT_EQ(ReadText(folder_ / "new.ini"), "[Common]\nLeft=42\n");
}

TEST_F(TWregTest, SecondRootIsUsedWhenTheFirstIsDenied) {
    platform::SetRegistryRootDenied(RegistryRoot::LocalMachine, true);
    TWreg w;
    Setup(w, {"Left,Left"});
    TSample s;
    s.Left = 3;
    ASSERT_TRUE(w.Save(s));
    EXPECT_EQ(w.OpenedRoot(), RegistryRoot::CurrentUser);
    EXPECT_EQ(Key(RegistryRoot::CurrentUser, "Software\\Test\\App").ReadDword("Left"), 3u);

    TSample loaded;
    ASSERT_TRUE(w.Load(loaded));
    EXPECT_EQ(loaded.Left, 3);

    platform::SetRegistryRootDenied(RegistryRoot::CurrentUser, true);
    EXPECT_FALSE(w.Save(s));
    EXPECT_FALSE(w.Load(loaded));
}

// ---- failing saves

TEST_F(TWregTest, FailedIniSaveReportsFalseAndLeavesTheFileWhole) {
    const auto file = folder_ / "s.ini";
    const std::string original = "[Common]\nCaption=before\n";
    WriteText(file, original);
    // The child may write files of at most 16 bytes, as on a full disk.
    const int code = settings_test::RunInChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{16, 16};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 2;
        TWreg w;
        w.INIFile = file.string();
        w.Components.Assign(kMap);
        TSample s;
        s.Fill();
        return w.Save(s) ? 3 : 0;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(ReadText(file), original);
}

} // namespace
