// The request list as the options dialog stores it, read back into items, and
// the data module handing it to its data sources.
#include "engine/RequestItems.h"
#include "engine/PluginDM.h"
#include "plugins/qorPluginCallRec.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace qor;

// A request list with one item per element text, nested as the dialog does.
std::string Query(const std::vector<std::string>& items) {
    std::string xml = "<?xml version=\"1.0\"?><Root><Params><MODBUSRTUQUERY>";
    for (const std::string& item : items)
        xml += item;
    return xml + "</MODBUSRTUQUERY></Params></Root>";
}

std::string Item(const std::string& inner, const std::string& caption = "R") {
    return "<Item" + (caption.empty() ? std::string() : " caption=\"" + caption + "\"") + ">" + inner +
           "</Item>";
}

struct Loaded {
    TRequestList List;
    TRequestTiming Timing;
    std::vector<std::string> Warnings;
    explicit Loaded(const std::string& xml) {
        Timing = ReadRequestList(xml, List, [this](const std::string& w) { Warnings.push_back(w); });
    }
    TRequestItem& operator[](std::size_t i) { return *List[i]; }
};

TEST(RequestListTest, ReadsTheDialogsNestingWhateverTheCaseOfTheNames) {
    Loaded l(Query({Item("<enabled>1</enabled><Device>1,0</Device><ADDRESS>Motor.Speed</ADDRESS>"
                         "<Number>12</Number><DataType>TC4</DataType><Timeout>250</Timeout>"
                         "<RequestMethod><MethodOnce/><MethodPoll check=\"2\"><PollInterval>2</PollInterval>"
                         "<PollUnits>S</PollUnits></MethodPoll></RequestMethod>"
                         "<Name>SPEED</Name><Default>n/a</Default><Scale>0.25</Scale>",
                         "Line 1 motor"),
                    "<!-- comment between items -->", Item(""), Item("", "")}));
    ASSERT_EQ(l.List.Count(), 3u);
    TRequestItem& r = l[0];
    EXPECT_EQ(r.Name, "Line 1 motor");
    EXPECT_TRUE(r.Enabled);
    EXPECT_EQ(r.Device, "1,0");
    EXPECT_EQ(r.Address, "Motor.Speed");
    EXPECT_EQ(r.Number, 12);
    EXPECT_EQ(r.DataType, 0xC4);
    EXPECT_EQ(r.Timeout, 250u);
    EXPECT_TRUE(r.MethodPoll);
    EXPECT_EQ(r.PollInterval, 2000u);
    EXPECT_EQ(r.Response.Names, std::vector<std::string>{"SPEED"});
    EXPECT_EQ(r.Response.DefaultValue.AsString(), "n/a");
    EXPECT_EQ(r.Response.Scale, 0.25L);
    // The position counts item elements only; an empty item is neither enabled nor polled.
    EXPECT_EQ(l[2].Name, "Request #3");
    EXPECT_FALSE(l[2].Enabled || l[2].MethodPoll);
}

TEST(RequestListTest, OnlyTheFirstQueryElementCounts) {
    Loaded l("<A><B><modbusrtuquery>" + Item("") + Item("") + "</modbusrtuquery></B><MODBUSRTUQUERY>" +
             Item("") + "</MODBUSRTUQUERY></A>");
    EXPECT_EQ(l.List.Count(), 2u);
}

TEST(RequestListTest, PollUnitsAreUpperCaseOnly) {
    auto interval = [](const std::string& value, const std::string& units) {
        Loaded l(
            Query({Item("<PollInterval>" + value + "</PollInterval><PollUnits>" + units + "</PollUnits>")}));
        return l[0].PollInterval;
    };
    EXPECT_EQ(interval("2", "M"), 120000u);
    EXPECT_EQ(interval("2", "m"), 2u);
    EXPECT_EQ(interval("3", "H"), 3u * 3600 * 1000);
    EXPECT_EQ(interval("750", "MS"), 750u);
    EXPECT_EQ(interval("750", ""), 750u);
    EXPECT_EQ(interval("x", "S"), 1000u * 1000);
}

TEST(RequestListTest, IntervalsBeyond32BitsAreClampedNotWrapped) {
    // 655350 hours would wrap to a little over half an hour; 1193 hours and
    // one more minute would wrap to a few seconds.
    Loaded l(Query({Item("<PollInterval>655350</PollInterval><PollUnits>H</PollUnits>", "Slow"),
                    Item("<PollInterval>71583</PollInterval><PollUnits>M</PollUnits>", "Slow too"),
                    Item("<PollInterval>4294967</PollInterval><PollUnits>S</PollUnits>", "Fits")}));
    ASSERT_EQ(l.List.Count(), 3u);
    EXPECT_EQ(l[0].PollInterval, kLongestPollInterval);
    EXPECT_EQ(l[1].PollInterval, kLongestPollInterval);
    EXPECT_EQ(l[2].PollInterval, 4294967000u);
    ASSERT_EQ(l.Warnings.size(), 2u);
    EXPECT_NE(l.Warnings[0].find("Slow"), std::string::npos);
    EXPECT_EQ(l.Timing.Tick, 50u);
    EXPECT_EQ(l.Timing.Shortest, 4294967000u);
}

TEST(RequestListTest, TimingFollowsTheShortestInterval) {
    Loaded one(Query({Item("<PollInterval>500</PollInterval>")}));
    EXPECT_EQ(one.Timing.Shortest, 500u);
    EXPECT_EQ(one.Timing.Tick, 50u);
    // A once-item counts like a polled one.
    Loaded once(Query({Item("<MethodPoll>0</MethodPoll><PollInterval>20</PollInterval>")}));
    EXPECT_EQ(once.Timing.Tick, 20u);
    Loaded none(Query({}));
    EXPECT_EQ(none.Timing.Shortest, 0u);
    EXPECT_EQ(none.Timing.Tick, 50u);
}

TEST(RequestListTest, DataTypeIsHexAfterTheLetter) {
    auto code = [](const std::string& text) {
        return Loaded(Query({Item("<DataType>" + text + "</DataType>")}))[0].DataType;
    };
    EXPECT_EQ(code("TC4"), 0xC4);
    EXPECT_EQ(code("T2A0"), 0x2A0);
    EXPECT_EQ(code("T00"), 0);
    EXPECT_EQ(code("T"), 0);
    EXPECT_EQ(code("TZZ"), 0);
    EXPECT_EQ(code("T12345"), 0);
}

TEST(RequestListTest, ScaleTakesEitherDecimalSeparator) {
    auto scale = [](const std::string& text) {
        return Loaded(Query({Item("<Scale>" + text + "</Scale>")}))[0].Response.Scale;
    };
    EXPECT_EQ(scale("0,5"), 0.5L);
    EXPECT_EQ(scale("0.5"), 0.5L);
    EXPECT_EQ(scale("-1.5e2"), -150.0L);
    EXPECT_EQ(scale("abc"), 1.0L);
    EXPECT_EQ(scale("inf"), 1.0L);
}

TEST(RequestListTest, OutOfRangeCountsAndTimeoutsTakeTheDefaults) {
    auto item = [](const std::string& inner) {
        Loaded l(Query({Item(inner)}));
        return std::make_pair(l[0].Number, l[0].Timeout);
    };
    EXPECT_EQ(item("<Number>65535</Number>").first, 65535);
    EXPECT_EQ(item("<Number>65536</Number>").first, 1);
    EXPECT_EQ(item("<Number>0</Number>").first, 1);
    EXPECT_EQ(item("<Number>-3</Number>").first, 1);
    EXPECT_EQ(item("<Timeout>0</Timeout>").second, 3000u);
    EXPECT_EQ(item("<Timeout>-1</Timeout>").second, 3000u);
    EXPECT_EQ(item("<Timeout> 65535 </Timeout>").second, 65535u);
}

TEST(RequestListTest, ExportNames) {
    auto names = [](const std::string& inner) { return Loaded(Query({Item(inner)}))[0].Response.Names; };
    using V = std::vector<std::string>;
    EXPECT_EQ(names("<Name/><Address>A;B</Address>"), (V{"A", "B"}));
    EXPECT_EQ(names("<Address>A;B</Address>"), V{"ITEM"});
    EXPECT_EQ(names("<Name> X ; ;Y</Name>"), (V{"X", "Y"}));
    EXPECT_EQ(names("<Name></Name><Address>con1</Address>"), V{"_con1"});
    EXPECT_EQ(names("<Name/><Address>Motor[2].Speed;Temp</Address>"), (V{"Motor2.Speed", "Temp"}));
    EXPECT_EQ(names("<Name>A\r\nB\tC</Name>"), (V{"A", "B\tC"}));
    EXPECT_EQ(names("<Name>;;</Name>"), V{});
}


TEST(RequestListTest, CheckboxTextDecidesBeforeTheCheckState) {
    auto enabled = [](const std::string& element) { return Loaded(Query({Item(element)}))[0].Enabled; };
    EXPECT_FALSE(enabled("<Enabled check=\"2\">0</Enabled>"));
    EXPECT_TRUE(enabled("<Enabled check=\"2\"></Enabled>"));
    EXPECT_TRUE(enabled("<Enabled check=\"1\">1</Enabled>"));
    EXPECT_FALSE(enabled("<Enabled check=\"1\"/>"));
    EXPECT_FALSE(enabled("<Enabled check=\"4\"/>"));
    EXPECT_FALSE(enabled("<Enabled check=\"7\"/>"));
    EXPECT_FALSE(enabled("<Enabled>yes</Enabled>"));
}

TEST(RequestListTest, UnreadableTextRaisesAndEmptyTextGivesNothing) {
    TRequestList list;
    EXPECT_THROW(ReadRequestList("<MODBUSRTUQUERY><Item>", list), ERequestList);
    EXPECT_EQ(list.Count(), 0u);
    EXPECT_EQ(ReadRequestList("  \r\n", list).Shortest, 0u);
    EXPECT_EQ(ReadRequestList("<Other><Item/></Other>", list).Tick, 50u);
    EXPECT_EQ(list.Count(), 0u);
}

TEST(RequestListTest, KeysStayUniqueWhenItemsAreRebuilt) {
    // A reload frees every item and makes new ones, often at the same
    // addresses; a late answer for a freed item must not match a new one.
    std::set<std::string> keys;
    for (int reload = 0; reload < 20; ++reload) {
        Loaded l(Query({Item(""), Item("")}));
        for (std::size_t i = 0; i < l.List.Count(); ++i) {
            EXPECT_EQ(l[i].Key.size(), 8u);
            EXPECT_EQ(l[i].Key.find_first_not_of("0123456789ABCDEF"), std::string::npos);
            EXPECT_TRUE(keys.insert(l[i].Key).second) << l[i].Key;
        }
    }
}

// A data source that records what the loader does with it.
class TRecordingSource : public TRequestSource {
public:
    int Stops = 0, Ticks = 0;
    std::uint32_t TimerInterval = 0;
    void StopTimer() override { ++Stops; }
    void SetTimerInterval(std::uint32_t ms) override { TimerInterval = ms; }
    void SchedulerTick() override { ++Ticks; }
};

class DataModuleRequestsTest : public ::testing::Test {
protected:
    void SetUp() override {
        rec.RecSize = kPluginCallRecSize;
        TPluginCallRecIntf intf(rec);
        module = std::make_shared<TaPlugin>(intf, 0);
        module->AfterConstruction();
        module->Unloading = false;
        module->StateFlags[0] = true;
        first = &module->AddComponent<TRecordingSource>("First");
        second = &module->AddComponent<TRecordingSource>("Second");
    }
    std::string LogText() { return module->LogList().GetText(); }

    TPluginCallRec rec{};
    std::shared_ptr<TaPlugin> module;
    TRecordingSource* first = nullptr;
    TRecordingSource* second = nullptr;
    TDataSourceCfg cfg;
};

TEST_F(DataModuleRequestsTest, LoadingSetsTheSourcesTimingAndTicksOnce) {
    cfg.lblParams_Caption =
        Query({Item("<PollInterval>30</PollInterval>"), Item("<PollInterval>2000</PollInterval>")});
    cfg.spMinInt_Value = 250.9;
    cfg.chkExportAll_Checked = false;
    module->LoadRequestList(&cfg, first->RequestList, first);
    EXPECT_EQ(first->RequestList.Count(), 2u);
    EXPECT_EQ(first->Stops, 1);
    EXPECT_EQ(first->Ticks, 1);
    EXPECT_EQ(first->ShortestInterval, 30u);
    EXPECT_EQ(first->TickInterval, 30u);
    EXPECT_EQ(first->TimerInterval, 30u);
    EXPECT_EQ(first->MinInterval, 250u);
    EXPECT_FALSE(first->ExportAll);
}

TEST_F(DataModuleRequestsTest, AnInactiveOrUnloadingModuleOnlyEmptiesTheList) {
    cfg.lblParams_Caption = Query({Item("")});
    module->LoadRequestList(&cfg, first->RequestList, first);
    module->StateFlags[0] = false;
    module->LoadRequestList(&cfg, first->RequestList, first);
    EXPECT_EQ(first->RequestList.Count(), 0u);
    EXPECT_EQ(first->Ticks, 1);
    module->StateFlags[1] = true;
    module->Unloading = true;
    module->LoadRequestList(&cfg, first->RequestList, first);
    EXPECT_EQ(first->RequestList.Count(), 0u);
    EXPECT_EQ(first->Stops, 3);
    // The parser items still see the list without a data source.
    TRequestList items;
    module->LoadRequestList(&cfg, items, nullptr);
    EXPECT_EQ(items.Count(), 1u);
}

TEST_F(DataModuleRequestsTest, UnreadableListIsLoggedOnceAndStopsEverySource) {
    cfg.lblParams_Caption = Query({Item("")});
    module->ReloadConfiguration(cfg, false);
    ASSERT_EQ(second->RequestList.Count(), 1u);
    cfg.lblParams_Caption = "<MODBUSRTUQUERY><Item caption='x'>";
    module->ReloadConfiguration(cfg, true);
    EXPECT_EQ(first->RequestList.Count(), 0u);
    EXPECT_EQ(second->RequestList.Count(), 0u);
    const std::string log = LogText();
    EXPECT_NE(log.find("Error on items formation ("), std::string::npos) << log;
    EXPECT_EQ(log.find("Error on items formation (", log.find("Error on items formation (") + 1),
              std::string::npos);
    // The tick still runs for every source, which leaves an empty list idle.
    EXPECT_EQ(first->Ticks, 2);
    EXPECT_EQ(second->Ticks, 2);
}

TEST_F(DataModuleRequestsTest, ParserItemsFollowEachElementThenEachName) {
    TqorParamsList params;
    rec.Params = reinterpret_cast<std::uintptr_t>(&params);
    TPluginCallRecIntf intf(rec);
    params.Add("INI-FILE", "");
    ASSERT_EQ(module->ExecuteCommand("LOAD", intf), 0);
    ASSERT_NE(module->Cfg(), nullptr);
    module->Cfg()->lblParams_Caption =
        Query({Item("<Number>2</Number><Name>A;B</Name>", "Pair"), Item("<Name>C</Name>", "Single")});
    params.Clear();
    params.Add("RESULT", Variant());
    ASSERT_EQ(module->ExecuteCommand("ITEMS", intf), 0);
    const std::string text = params.GetValue("RESULT").AsString();
    const std::size_t first = text.find("Pair|A1|");
    ASSERT_NE(first, std::string::npos) << text;
    EXPECT_NE(text.find("EIP device ID|EIP_DEVICE_ID|Integer|"), std::string::npos);
    EXPECT_EQ(text.substr(first), "Pair|A1||0\r\nPair|B1||0\r\nPair|A2||0\r\nPair|B2||0\r\nSingle|C||0");
}

} // namespace
