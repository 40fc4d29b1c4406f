// The truth model itself: the JSON reader that must see repeated keys, the
// comparison of values, the naming rules on the examples the export rules
// give, and a generated table that the simulator loads.
#include "TruthTable.h"

#include "sim/TagFile.h"

#include <gtest/gtest.h>

#include <bit>

namespace {

using truth::Expect;
using truth::Item;
using truth::JValue;
using truth::ParseJson;

TEST(TruthJsonTest, KeepsRepeatedKeysAndNumberTexts) {
    const auto v = ParseJson(R"({"A":1,"B":18446744073709551615,"A":2.5e0,"C":"x\u00e9\ud83d\ude00\\"})");
    ASSERT_TRUE(v);
    ASSERT_EQ(v->Members.size(), 4u);
    EXPECT_EQ(v->RepeatedKeys(), std::vector<std::string>{"A"});
    EXPECT_EQ(v->Find("B")->AsUInt64(), 18446744073709551615u);
    EXPECT_FALSE(v->Find("B")->AsInt64());
    EXPECT_EQ(v->Members[2].Value.AsDouble(), 2.5);
    EXPECT_FALSE(v->Members[2].Value.IsInteger());
    EXPECT_EQ(v->Find("C")->Text, "x\xC3\xA9\xF0\x9F\x98\x80\\");
}

TEST(TruthJsonTest, RefusesWhatIsNotOneWholeJsonText) {
    for (const char* bad : {"{", "01", "{} x", "\"\xC3\""})
        EXPECT_FALSE(ParseJson(bad)) << bad;
}

JValue J(const char* text) {
    return *ParseJson(text);
}

TEST(TruthCompareTest, ValuesCompareExactlyAndNameTheKnownFaults) {
    EXPECT_EQ(Mismatch(Expect::Unsigned(18446744073709551615u), J("18446744073709551615")), "");
    EXPECT_EQ(Mismatch(Expect::Unsigned(18446744073709551615u), J("-1")), "unsigned value written signed");
    EXPECT_EQ(Mismatch(Expect::Signed(-128), J("-128")), "");
    EXPECT_EQ(Mismatch(Expect::Signed(5), J("5.0")), "integer written as a floating-point number");
    // A REAL is the double of the float: 0.1f is not 0.1.
    EXPECT_EQ(Mismatch(Expect::Real(0.1f), J("0.10000000149011612")), "");
    EXPECT_EQ(Mismatch(Expect::Real(0.1f), J("0.1")),
              "REAL written as its float text, not as the double of the float");
    EXPECT_EQ(Mismatch(Expect::Real(1500.0f), J("1500")), "");
    EXPECT_EQ(Mismatch(Expect::Double(0.1), J("0.1")), "");
    EXPECT_EQ(Mismatch(Expect::ScaledValue(2.5), J("2.5000000000000004")), "");
    EXPECT_EQ(Mismatch(Expect::Bool(true), J("1")), "boolean written as a number");
    EXPECT_EQ(Mismatch(Expect::Date("1972-01-01T00:00:00.000"), J("\"1972-01-01T00:00:00.000\"")), "");
    EXPECT_EQ(Mismatch(Expect::String("a"), J("[\"a\"]")), "text written as another kind");
    EXPECT_EQ(Mismatch(Expect::List({Expect::Signed(1), Expect::Signed(2)}), J("[1,3]")),
              "element 1: wrong value");
    EXPECT_EQ(Mismatch(Expect::List({Expect::Signed(1)}), J("[1,2]")), "array of 2 values instead of 1");
}

TEST(TruthNamesTest, DerivedNamesDropTheCharactersHostsRefuse) {
    EXPECT_EQ(truth::DerivedName("Counts[2]"), "Counts2");
    EXPECT_EQ(truth::DerivedName("Motors[1].Speed"), "Motors1.Speed");
    EXPECT_EQ(truth::DerivedName("Program:Main.Setpoint"), "ProgramMain.Setpoint");
    EXPECT_EQ(truth::DerivedName("T4:1.PRE"), "T41.PRE");
    EXPECT_EQ(truth::DerivedName("B3:0/2"), "B302");
    EXPECT_EQ(truth::DerivedName("Counter#6"), "Counter#6");
    EXPECT_EQ(truth::DerivedName("Console1"), "_Console1");
    EXPECT_EQ(truth::DerivedName("AUXa"), "_AUXa");
    EXPECT_EQ(truth::SplitAddresses(" A ; B;;C "), (std::vector<std::string>{"A", "B", "C"}));
}

// A small controller for the naming rules.
truth::Device SmallDevice() {
    truth::Device d;
    truth::Tag scada;
    scada.Name = "SCADA";
    scada.Type = {truth::Atom::Dint, nullptr};
    scada.Dims = {30};
    for (int i = 0; i < 30; ++i)
        scada.Elements.push_back(truth::Value{static_cast<std::uint64_t>(100 + i), {}, {}});
    d.Tags.push_back(scada);
    truth::Tag w;
    w.Name = "W";
    w.Type = {truth::Atom::Word, nullptr};
    w.Dims = {12};
    for (int i = 0; i < 12; ++i)
        w.Elements.push_back(truth::Value{static_cast<std::uint64_t>(1u << i), {}, {}});
    d.Tags.push_back(w);
    truth::Tag alarms;
    alarms.Name = "Alarms";
    alarms.Type = {truth::Atom::Bool, nullptr};
    alarms.BoolArray = true;
    alarms.Dims = {64};
    for (int i = 0; i < 64; ++i)
        alarms.Elements.push_back(truth::Value{i == 33 ? 1u : 0u, {}, {}});
    d.Tags.push_back(alarms);
    return d;
}

Item MakeItem(std::string address, std::optional<std::string> names, std::uint16_t number) {
    Item i;
    i.Address = std::move(address);
    i.Names = std::move(names);
    i.Number = number;
    return i;
}

std::vector<std::string> NamesOf(const truth::ItemTruth& t) {
    std::vector<std::string> out;
    for (const auto& o : t.Addresses)
        for (const auto& [name, value] : o.Values)
            out.push_back(name);
    return out;
}

TEST(TruthNamesTest, RepeatedNamesAreSetOffAsTheRulesSay) {
    const truth::Device d = SmallDevice();
    const auto t = truth::ComputeTruth(
        d,
        {MakeItem("SCADA[1]", std::string(), 11), MakeItem("SCADA[11]", std::string(), 11),
         MakeItem("SCADA[2]", std::nullopt, 1), MakeItem("SCADA[3]", std::nullopt, 1)},
        truth::Reader::Engine);
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(NamesOf(t[0]).front(), "SCADA11");
    EXPECT_EQ(NamesOf(t[0]).back(), "SCADA111");
    EXPECT_EQ(NamesOf(t[1]).front(), "SCADA11_1");
    EXPECT_EQ(NamesOf(t[1]).back(), "SCADA11_11");
    EXPECT_EQ(t[1].Addresses[0].Values.back().second.Int, 121); // SCADA[21]
    EXPECT_EQ(NamesOf(t[2]), std::vector<std::string>{"ITEM"});
    EXPECT_EQ(NamesOf(t[3]), std::vector<std::string>{"ITEM_2"});
}

TEST(TruthNamesTest, BitsOfElementsAndOfBoolArrays) {
    const truth::Device d = SmallDevice();
    const auto t =
        truth::ComputeTruth(d,
                            {MakeItem("W", std::string(), 12), MakeItem("W[1]", std::string("X"), 2),
                             MakeItem("Alarms[33]", std::string(), 1)},
                            truth::Reader::Engine);
    const auto w = NamesOf(t[0]);
    ASSERT_EQ(w.size(), 12u * 16u);
    EXPECT_EQ(w[16 + 10], "W2_10");
    EXPECT_EQ(w[11 * 16], "W12_0");
    const auto x = NamesOf(t[1]);
    EXPECT_EQ(x[10], "X110");
    EXPECT_EQ(t[1].Addresses[0].Values[1].second.Boolean, true); // W[1] = 2: bit 1
    ASSERT_EQ(NamesOf(t[2]), std::vector<std::string>{"Alarms33"});
    EXPECT_TRUE(t[2].Addresses[0].Values[0].second.Boolean);
}

TEST(TruthNamesTest, CasesTheRulesLeaveOpenAreRefused) {
    const truth::Device d = SmallDevice();
    // The same numbered name three times over.
    EXPECT_THROW(
        truth::ComputeTruth(d,
                            {MakeItem("SCADA", std::string("S"), 3), MakeItem("SCADA", std::string("S"), 3),
                             MakeItem("SCADA", std::string("S"), 3)},
                            truth::Reader::Engine),
        std::logic_error);
}

TEST(TruthTableTest, TheSimulatorLoadsEveryGeneratedTable) {
    const truth::Table table = truth::Generate(7);
    for (const truth::Device* d : {&table.Logix, &table.Micro800, &table.MicroLogix}) {
        sim::TagDatabase tags;
        sim::DataTable files;
        ASSERT_NO_THROW(sim::LoadTagText(d->TagText(), tags, files)) << d->TagText();
        EXPECT_EQ(tags.Size(), d->Tags.size());
        EXPECT_EQ(files.All().size(), d->Files.size());
    }
    // The ULINT maximum and a REAL that rounds reach the simulator's bytes.
    sim::TagDatabase tags;
    sim::DataTable files;
    sim::LoadTagText(table.Logix.TagText(), tags, files);
    EXPECT_EQ(tags.Find("Ulint_Hi")->Data, std::vector<std::uint8_t>(8, 0xFF));
    const auto tenth = tags.Find("Real_Tenth")->Data;
    EXPECT_EQ(std::bit_cast<float>(static_cast<std::uint32_t>(tenth[0] | tenth[1] << 8 | tenth[2] << 16 |
                                                              static_cast<std::uint32_t>(tenth[3]) << 24)),
              0.1f);
    // The same seed, the same table.
    EXPECT_EQ(truth::Generate(7).Logix.TagText(), table.Logix.TagText());
    EXPECT_NE(truth::Generate(8).Logix.TagText(), table.Logix.TagText());
}

} // namespace
