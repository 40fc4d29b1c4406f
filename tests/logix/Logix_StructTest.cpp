#include "logix/Logix_Factory.h"

#include "TemplateBuild.h"
#include "VectorFiles.h"
#include "cip/CIP_PCCC.h"
#include "cip/CIP_ReadTag.h"

#include <gtest/gtest.h>

#include <map>

using namespace logix;
using logixtest::Hex;
using logixtest::Json;
using logixtest::Reply;
using logixtest::Template;
using logixtest::TM;

namespace {

using Bytes = std::vector<std::uint8_t>;

// A hidden BOOL host with two BOOLs, an INT, a DINT[2] and a custom string
// (LEN DINT + DATA SINT[6]).
std::unique_ptr<TTemplateInfo> Mixed() {
    return Template("Mixed", 24, 0x4321,
                    {{"ZZZZZZZZZZMixed0", 0xC2, 0},
                     {"Ready", 0xC1, 0, 0},
                     {"Fault", 0xC1, 0, 7},
                     {"Speed", 0xC3, 2},
                     {"Counts", 0x20C4, 4, 2},
                     {"LEN", 0xC4, 12},
                     {"DATA", 0x20C2, 16, 6}});
}

const Bytes MixedElement{0x81, 0x00, 0x02, 0x81, 0x01, 0x02, 0x03, 0x04, 0xFB, 0xFF, 0xFF, 0xFF,
                         0x03, 0x00, 0x00, 0x00, 'a',  'b',  'c',  'X',  'Y',  'Z',  0x00, 0x00};

TEST(LogixStructDecode, MembersComeOutOfTheElementBytes) {
    auto tag = TLogixUDT::Create("M", nullptr, Mixed());
    EXPECT_EQ(tag->StructHandle, 0x4321);
    EXPECT_TRUE(tag->SetData(Reply(0x4321, MixedElement), 0));
    EXPECT_FALSE(tag->SetData(Reply(0x4321, MixedElement), 0));
    EXPECT_EQ(tag->MemberNames(),
              (std::vector<std::string>{"Ready", "Fault", "Speed", "Counts", "LEN", "DATA"}));
    // Packed BOOLs, member arrays and every atomic member are read value by
    // value by the truth test.
    EXPECT_TRUE(tag->GetMember("fault").AsBoolean()); // names without case
    EXPECT_EQ(tag->MemberKind("Counts"), TLogixType::DINT);
    EXPECT_EQ(tag->MemberBytes("Speed"), (Bytes{0x02, 0x81}));
    // LEN and DATA among other members do not make a string: the other
    // members would be lost.
    EXPECT_EQ(tag->AsString(), std::nullopt);
    // A custom string (LEN and DATA alone) is text cut to LEN: the stale bytes
    // after it never show.
    auto custom = TLogixUDT::Create("S", nullptr, Template("Str6", 12, 0x0101, {{"LEN", 0xC4, 0}, {"DATA", 0x20C2, 4, 6}}));
    custom->SetData(Reply(0x0101, Bytes{3, 0, 0, 0, 'a', 'b', 'c', 'X', 'Y', 'Z', 0, 0}), 0);
    EXPECT_EQ(custom->AsString(), std::optional<std::string>("abc"));
    EXPECT_THROW(tag->GetMember("Missing"), ELogixInvalidOperation);
    EXPECT_THROW(tag->ItemAt(1), eip::EListError);

    // A value ending exactly at the end of the element is inside it.
    auto tail = TLogixUDT::Create("T", nullptr, Template("Tail", 8, 0, {{"A", 0xC4, 0}, {"B", 0xC4, 4}}));
    tail->SetData(Reply(0, Bytes{0, 0, 0, 0, 0x78, 0x56, 0x34, 0x12}), 0);
    EXPECT_EQ(tail->GetMember("B").AsInteger(), 0x12345678);
}

TEST(LogixStructDecode, FragmentsAndStaleHandles) {
    auto tag = TLogixUDT::Create("Arr", nullptr, Mixed(), 3);
    Bytes all;
    for (std::uint8_t e = 0; e < 3; ++e) {
        all.insert(all.end(), MixedElement.begin(), MixedElement.end());
        all[all.size() - 22] = e;
    }
    // Fragment boundaries inside elements, as a fragmented read cuts them.
    EXPECT_FALSE(tag->SetData(Reply(0x4321, std::span(all).first(30)), 0));
    EXPECT_TRUE(tag->SetData(Reply(0x4321, std::span(all).subspan(30)), 30));
    for (int e = 0; e < 3; ++e)
        EXPECT_EQ(tag->ItemAt(e).GetMember("Speed").AsInteger(), static_cast<std::int16_t>(0x8100 | e));
    // Another handle means the program changed: the template no longer fits.
    auto stale = TLogixUDT::Create("M", nullptr, Mixed());
    EXPECT_FALSE(stale->SetData(Reply(0x9999, MixedElement), 0));
    EXPECT_EQ(stale->ErrorCode, -7);
    EXPECT_FALSE(stale->GetMember("Ready").AsBoolean());
}

TEST(LogixStructDecode, NestedMembersFlattenToPairsAndStopAtTheirDepth) {
    TTemplateInfoList cache;
    cache.Add(Template("Inner", 4, 0, {{"X", 0xC3, 0}, {"Y", 0xC3, 2}}, 0x101));
    cache.Add(Template("Loop", 4, 0, {{"Self", 0x8102, 0}, {"V", 0xC3, 2}}, 0x102));
    auto tag = TLogixUDT::Create("O", nullptr,
                                 Template("Outer", 12, 0, {{"In", 0x8101, 0}, {"Many", 0xA101, 4, 2}}));
    tag->NestedTemplates = &cache;
    tag->SetData(Reply(0, Bytes{1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0}), 0);
    const auto in = tag->GetMember("In").AsArray();
    ASSERT_EQ(in.size(), 2u);
    EXPECT_EQ(in[0].AsArray()[0].AsString(), "In.X");
    EXPECT_EQ(in[1].AsArray()[1].AsInteger(), 2);
    const auto many = tag->GetMember("Many").AsArray();
    ASSERT_EQ(many.size(), 4u);
    EXPECT_EQ(many[3].AsArray()[0].AsString(), "Many[1].Y");
    EXPECT_EQ(many[3].AsArray()[1].AsInteger(), 6);
    // A template naming itself returns instead of recursing for ever.
    auto looped = TLogixUDT::Create("L", nullptr, cache.FindByInstance(0x102)->Clone());
    looped->NestedTemplates = &cache;
    looped->SetData(Reply(0, Bytes{0, 0, 9, 0}), 0);
    const Variant self = looped->GetMember("Self");
    ASSERT_TRUE(self.IsArray());
    EXPECT_EQ(self.AsArray().back().AsArray()[0].AsString(), "Self.V");
}

TEST(LogixStructPCCC, MicroLogixElementsReadThroughTheFixedTemplates) {
    auto timer = TLogixTagFactory::CreateStructTag("T4:0", nullptr, std::make_unique<TPCCCTemplate_TIMER>());
    auto& t = dynamic_cast<TLogixTIMER&>(*timer);
    // Status word 0xA000 (EN, DN), PRE 0x0102, ACC 0x0304.
    EXPECT_TRUE(t.SetElementData(Bytes{0x00, 0xA0, 0x02, 0x01, 0x04, 0x03}));
    EXPECT_EQ(t.Member(0), 0x0102);
    EXPECT_EQ(t.Member(1), 0x0304);
    EXPECT_EQ(t.Member(2), 1);
    EXPECT_EQ(t.Member(3), 0);
    EXPECT_EQ(t.Member(4), 1);
    EXPECT_THROW(t.Member(5), eip::EListError);
    auto control =
        TLogixTagFactory::CreateStructTag("R6:0", nullptr, std::make_unique<TPCCCTemplate_CONTROL>());
    auto& c = dynamic_cast<TLogixCONTROL&>(*control);
    EXPECT_TRUE(c.SetElementData(Bytes{0x00, 0x21, 0x0A, 0x00, 0x03, 0x00}));
    EXPECT_EQ(c.Member(0), 10); // LEN
    EXPECT_EQ(c.Member(1), 3);  // POS
    EXPECT_EQ(c.Member(4), 1);  // DN, bit 5
    EXPECT_EQ(c.Member(9), 1);  // FD, bit 0
    EXPECT_EQ(c.Member(2), 0);  // EN
}

// ------------------------------------------------ recorded structure reads

void LoadTemplates(const std::string& text, TTemplateInfoList& cache) {
    for (const auto& rec : logixtest::JsonLines(text)) {
        const auto& a = rec["attributes"];
        auto pick = [&](const char* x, const char* y) {
            return static_cast<std::uint16_t>(a.value(x, a.value(y, 0)));
        };
        const auto instance =
            static_cast<std::uint16_t>(std::stoul(rec["instance"].get<std::string>(), nullptr, 16));
        if (cache.FindByInstance(instance))
            continue;
        const TGetStructAttribsReply attributes{.StructureSize = pick("structure_size", "attr5"),
                                                .MemberCount = pick("member_count", "attr2"),
                                                .Handle = pick("handle", "attr1")};
        auto t = TTemplateInfo::Parse(Hex(rec["definition"].get<std::string>()), attributes);
        t->InstanceId = instance;
        cache.Add(std::move(t));
    }
    for (auto& t : cache)
        t->ResolveSizes(cache);
}

std::unique_ptr<TLogixUDT> Read(const Bytes& replyBytes, TTemplateInfoList& cache, std::uint16_t instance,
                                std::uint16_t count = 1) {
    cip::TReadDataServiceReply reply;
    reply.Expand(replyBytes, 0);
    auto tag =
        TLogixTagFactory::CreateStructTag("T", nullptr, cache.FindByInstance(instance)->Clone(), count);
    tag->NestedTemplates = &cache;
    Bytes data{0xA0, 0x02};
    data.insert(data.end(), reply.Data.begin(), reply.Data.end());
    tag->SetData(data, 0);
    return tag;
}

std::map<std::string, Variant> Pairs(const Variant& v) {
    std::map<std::string, Variant> out;
    for (const auto& p : v.AsArray())
        out[p.AsArray()[0].AsString()] = p.AsArray()[1];
    return out;
}

TEST(LogixStructRecorded, ControllerStructureReadsDecode) {
    LOGIX_VECTOR_FILE(templatesText, "vectors/templates.jsonl");
    LOGIX_VECTOR_FILE(curatedText, "vectors/curated.jsonl");
    LOGIX_VECTOR_FILE(markdown, "VECTORS.md");
    TTemplateInfoList cache;
    LoadTemplates(templatesText, cache);
    const auto curated = logixtest::JsonLines(curatedText);

    auto status = Read(logixtest::CuratedReply(curated, "RD-01"), cache, 0x0837);
    EXPECT_EQ(status->ErrorCode, -100);
    EXPECT_EQ(status->GetMember("Set_FaceplateAnimation").AsInteger(), 90);
    const auto temp = status->GetMember("MemoryTemp").AsArray();
    ASSERT_EQ(temp.size(), 29u);
    EXPECT_EQ(temp[3].AsInteger(), 24750);
    EXPECT_EQ(temp[11].AsInteger(), -4608);
    EXPECT_EQ(status->GetMember("Val_raw_data").AsInteger(), 12640);
    EXPECT_EQ(status->GetMember("MemoryRequestData").AsArray()[10].AsInteger(), 7);
    for (const char* name : {"Sts_Force_Installed", "Sts_Faulted", "Sts_Program", "Sts_KS_in_run",
                             "Sts_KS_in_program", "Sts_Changingmodes", "Sts_Test", "Cmd_ClearFaultRecord"})
        EXPECT_FALSE(status->GetMember(name).AsBoolean()) << name;
    for (const char* name : {"Sts_Run", "Sts_KS_in_remote", "Sts_Ladder_Working"})
        EXPECT_TRUE(status->GetMember(name).AsBoolean()) << name;
    EXPECT_EQ(status->GetMember("Set_Controller_Description").AsString(), "P1: Raw Water System");
    auto timer = Pairs(status->GetMember("UpdateDelayTimer"));
    EXPECT_EQ(timer["UpdateDelayTimer.PRE"].AsInteger(), 1000);
    EXPECT_EQ(timer["UpdateDelayTimer.ACC"].AsInteger(), 73);
    EXPECT_TRUE(timer["UpdateDelayTimer.EN"].AsBoolean());
    EXPECT_TRUE(timer["UpdateDelayTimer.TT"].AsBoolean());
    EXPECT_FALSE(timer["UpdateDelayTimer.DN"].AsBoolean());
    // The DWORD that hosts the status bits is no value of its own.
    EXPECT_EQ(timer.count("UpdateDelayTimer.CTL"), 0u);
    auto mfs = Pairs(status->GetMember("Val_MFS"));
    EXPECT_EQ(mfs["Val_MFS.timelow"].AsInteger(), 71751885);
    EXPECT_EQ(mfs["Val_MFS.timehigh"].AsInteger(), 206334);
    EXPECT_EQ(mfs["Val_MFS.code"].AsInteger(), 20);
    EXPECT_EQ(mfs["Val_MFS.info"].AsArray()[1].AsInteger(), 1);
    auto led = Pairs(status->GetMember("Sts_IO_LED"));
    EXPECT_TRUE(led["Sts_IO_LED.FlashingGreen"].AsBoolean());
    EXPECT_EQ(led.count("Sts_IO_LED.ZZZZZZZZZZController0"), 0u); // hidden hosts are no values
    EXPECT_TRUE(Pairs(status->GetMember("Sts_Battery_LED"))["Sts_Battery_LED.Off"].AsBoolean());
    auto memory = Pairs(status->GetMember("MemoryData"));
    EXPECT_EQ(memory["MemoryData.Free_Mem_DT"].AsInteger(), 1908328);
    EXPECT_EQ(memory["MemoryData.Biggest_DT_Mem_Size_Ava"].AsInteger(), 1902208);
    EXPECT_FALSE(status->GetMember("TEST").IsEmpty()); // the last four bytes of the element
    EXPECT_EQ(status->MemberNames().size(), 34u);      // 36 members, two hidden hosts

    auto permissive = Read(logixtest::CuratedReply(curated, "RD-02"), cache, 0x04C3);
    EXPECT_TRUE(permissive->GetMember("ON").AsBoolean());
    EXPECT_EQ(permissive->MemberNames(), std::vector<std::string>{"ON"});
    auto module = Read(logixtest::CuratedReply(curated, "RD-03"), cache, 0x0BEC);
    EXPECT_EQ(module->GetMember("SlotStatusBits32_63").AsInteger(), -1);
    EXPECT_EQ(module->GetMember("Data").AsArray().size(), 2u);

    // A STRING member read on its own (handle 0x0FCE, LEN 0), then with text.
    Bytes text = {0xD2, 0x00, 0x00, 0x00, 0xA0, 0x02, 0xCE, 0x0F};
    text.resize(8 + 88);
    auto str = Read(text, cache, 0x0FCE);
    ASSERT_EQ(str->LogixType(), TLogixType::STRING);
    EXPECT_EQ(static_cast<TLogixSTRING&>(*str).Text(), "");
    text[8] = 2;
    text[12] = 'o';
    text[13] = 'k';
    text[14] = '!';
    EXPECT_TRUE(str->SetData(std::span(text).subspan(4), 0));
    EXPECT_EQ(static_cast<TLogixSTRING&>(*str).Text(), "ok");

    // The vendor document's example, with the type it describes.
    cache.Add(Template("STRUCT_B", 32, 0x9ECD,
                       {{"ZZZZZZZZZZSTRUCT_B0", 0xC2, 0},
                        {"pilot_on", 0xC1, 0},
                        {"hourlyCount", 0x20C3, 4, 12},
                        {"rate", 0xCA, 28}},
                       0x0ECD));
    auto summary = Read(Hex(logixtest::SectionBlock(markdown, "### DOC-01").value_or("")), cache, 0x0ECD);
    EXPECT_TRUE(summary->GetMember("pilot_on").AsBoolean());
    EXPECT_EQ(summary->GetMember("hourlyCount").AsArray()[11].AsInteger(), 11);
    EXPECT_DOUBLE_EQ(summary->GetMember("rate").AsDouble(), 1.0);
    RecordProperty("structure_reads_decoded", 5); // RD-01, RD-02, RD-03, IS-03, DOC-01
}

// The plant recording: a 360-element array of a 600-byte user type (strings,
// packed BOOLs, REAL, LINT, arrays), the first fragment as the controller sent
// it, and every element's values as another client read them.
std::unique_ptr<TTemplateInfo> SensorTemplate(const Json& type, TTemplateInfoList& cache) {
    static const std::map<std::string, std::uint16_t> codes{{"BOOL", 0xC1}, {"SINT", 0xC2}, {"INT", 0xC3},
                                                            {"DINT", 0xC4}, {"LINT", 0xC5}, {"REAL", 0xCA}};
    auto t =
        Template(type["name"], type["template"]["structure_size"], type["template"]["structure_handle"], {});
    for (const auto& [name, m] : type["internal_tags"].items()) {
        TMemberInfo info;
        info.Name = name;
        info.Offset = m["offset"];
        if (m["tag_type"] == "struct") {
            const std::uint16_t handle = m["data_type"]["template"]["structure_handle"];
            info.Type = static_cast<std::uint16_t>(0x8000 | handle);
            if (!cache.FindByInstance(handle))
                cache.Add(SensorTemplate(m["data_type"], cache))->InstanceId = handle;
        } else {
            info.Type = codes.at(m["data_type"]);
            info.Info = m.value("bit", 0);
            if (m.value("array", 0) > 0) {
                info.Type |= 0x2000;
                info.Info = m["array"];
            }
            info.Size = info.Type == 0xC1 ? 1 : TypeSize(info.AtomicType()) * info.ElementCount();
        }
        info.Kind = info.IsStructure() ? TLogixType::USER : MemberKindOf(info.AtomicType());
        info.Hidden = name.starts_with("ZZZZZZZZZZ");
        t->Members.Add(std::make_unique<TMemberInfo>(info));
    }
    t->MemberCount = static_cast<std::uint16_t>(t->Members.Count());
    return t;
}

void ExpectMember(const Variant& got, const Json& want, const std::string& where) {
    if (want.is_array()) {
        ASSERT_EQ(got.AsArray().size(), want.size()) << where;
        for (std::size_t i = 0; i < want.size(); ++i)
            ExpectMember(got.AsArray()[i], want[i], where + "[" + std::to_string(i) + "]");
    } else if (want.is_string()) {
        EXPECT_EQ(got.AsString(), want.get<std::string>()) << where;
    } else if (want.is_boolean()) {
        EXPECT_EQ(got.AsBoolean(), want.get<bool>()) << where;
    } else if (want.is_number_integer()) {
        EXPECT_EQ(got.AsInt64(), want.get<std::int64_t>()) << where;
    } else {
        EXPECT_DOUBLE_EQ(got.AsDouble(), want.get<double>()) << where;
    }
}

TEST(LogixStructRecorded, PlantArrayOfStructuresDecodesEveryElement) {
    LOGIX_VECTOR_FILE(tagsText, "raw/cpppo/ExampleSensor-tags.json");
    LOGIX_VECTOR_FILE(valsText, "raw/cpppo/ExampleSensor-vals.json");
    LOGIX_VECTOR_FILE(dumpText, "raw/cpppo/ExampleSensor.hexdump");
    LOGIX_VECTOR_FILE(markdown, "VECTORS.md");
    const Json vals = Json::parse(valsText);
    Bytes bytes;
    std::istringstream dump(dumpText);
    for (std::string line; std::getline(dump, line);) { // "offset:  hex bytes  |text|"
        const Bytes b = Hex(line.substr(line.find(':') + 1, line.find('|') - line.find(':') - 1));
        bytes.insert(bytes.end(), b.begin(), b.end());
    }
    ASSERT_EQ(bytes.size(), 360u * 600u);
    TTemplateInfoList cache;
    auto tag = TLogixTagFactory::CreateStructTag(
        "Input_MSG_ExampleSensor", nullptr,
        SensorTemplate(Json::parse(tagsText)["Input_MSG_ExampleSensor"]["data_type"], cache), 360);
    tag->NestedTemplates = &cache;

    // The first fragment as the controller sent it (status 0x06, element 0 cut
    // after 488 bytes), then the rest in fragments of that size.
    cip::TReadDataServiceReply first;
    first.Expand(Hex(logixtest::SectionBlock(markdown, "### GG-01", 1).value_or("")), 0);
    ASSERT_EQ(first.GeneralStatus, 0x06);
    first.Data.insert(first.Data.begin(), {0xA0, 0x02});
    EXPECT_FALSE(tag->SetData(first.Data, 0));
    EXPECT_EQ(tag->GetMember("SENSOR_Name").AsString(), "RT1-17");
    bool completed = false;
    for (std::size_t offset = first.Data.size() - 4; offset < bytes.size(); offset += 488)
        completed = tag->SetData(
            Reply(0x8DF9,
                  std::span(bytes).subspan(offset, std::min<std::size_t>(488, bytes.size() - offset))),
            static_cast<std::uint32_t>(offset));
    EXPECT_TRUE(completed);

    int elements = 0;
    for (std::size_t e = 0; e < vals.size(); ++e, ++elements)
        for (const auto& [name, want] : vals[e].items())
            ExpectMember(tag->ItemAt(static_cast<std::ptrdiff_t>(e)).GetMember(name), want,
                         std::to_string(e) + "." + name);
    EXPECT_EQ(elements, 360);
    RecordProperty("plant_elements_decoded", elements);
    EXPECT_EQ(tag->GetMember("SENSOR_Gas_Group").AsString(), "37ct E Hdg"); // stale "…T A-B" after LEN
    const auto names = tag->MemberNames();
    EXPECT_EQ(std::count_if(names.begin(), names.end(), [](const auto& n) { return n.starts_with("ZZZ"); }),
              0);
}

} // namespace
