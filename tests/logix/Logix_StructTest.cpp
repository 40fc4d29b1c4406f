#include "logix/Logix_Factory.h"
#include "logix/Logix_Struct.h"

#include "VectorFiles.h"
#include "cip/CIP_MR_Request.h"
#include "cip/CIP_PCCC.h"
#include "cip/CIP_ReadTag.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>

using namespace logix;
using logixtest::Hex;
using logixtest::Json;

namespace {

using Bytes = std::vector<std::uint8_t>;

std::unique_ptr<TMemberInfo> Member(std::string name, std::uint16_t type, std::uint32_t offset,
                                    std::uint16_t info = 0, bool hidden = false) {
    auto m = std::make_unique<TMemberInfo>();
    m->Name = std::move(name);
    m->Type = type;
    m->Offset = offset;
    m->Info = info;
    m->Kind = m->IsStructure() ? TLogixType::USER : MemberKindOf(m->AtomicType());
    m->Size = m->AtomicType() == cipType::BOOL ? 1 : static_cast<std::uint32_t>(TypeSize(m->AtomicType())) * m->ElementCount();
    m->Hidden = hidden;
    return m;
}

std::unique_ptr<TTemplateInfo> Template(std::string name, std::uint16_t size, std::uint16_t handle,
                                        std::vector<std::unique_ptr<TMemberInfo>> members) {
    auto t = std::make_unique<TTemplateInfo>();
    t->Name = std::move(name);
    t->StructureSize = size;
    t->Handle = handle;
    for (auto& m : members)
        t->Members.Add(std::move(m));
    t->MemberCount = static_cast<std::uint16_t>(t->Members.Count());
    return t;
}

std::vector<std::unique_ptr<TMemberInfo>> List(std::initializer_list<TMemberInfo*> members) {
    std::vector<std::unique_ptr<TMemberInfo>> out;
    for (auto* m : members)
        out.emplace_back(m);
    return out;
}

Bytes Reply(std::uint16_t handle, Bytes element) {
    Bytes data{0xA0, 0x02, static_cast<std::uint8_t>(handle), static_cast<std::uint8_t>(handle >> 8)};
    data.insert(data.end(), element.begin(), element.end());
    return data;
}

// A small user type: a hidden BOOL host with two BOOLs, an INT, a DINT[2]
// and a custom LEN + DATA string (DINT + SINT[6]), 24 bytes.
std::unique_ptr<TTemplateInfo> MixedType() {
    return Template("Mixed", 24, 0x4321,
                    List({Member("ZZZZZZZZZZMixed0", 0x00C2, 0, 0, true).release(),
                          Member("Ready", 0x00C1, 0, 0).release(), Member("Fault", 0x00C1, 0, 7).release(),
                          Member("Speed", 0x00C3, 2).release(), Member("Counts", 0x20C4, 4, 2).release(),
                          Member("LEN", 0x00C4, 12).release(), Member("DATA", 0x20C2, 16, 6).release()}));
}

const Bytes MixedElement{0x81, 0x00, 0x02, 0x81, 0x01, 0x02, 0x03, 0x04, 0xFB, 0xFF, 0xFF, 0xFF,
                         0x03, 0x00, 0x00, 0x00, 'a',  'b',  'c',  'X',  'Y',  'Z',  0x00, 0x00};

TEST(LogixStructDecode, MembersComeOutOfTheElementBytes) {
    auto tag = TLogixUDT::Create("M", nullptr, MixedType());
    EXPECT_EQ(tag->StructHandle, 0x4321);
    int events = 0;
    tag->OnDataChanged = [&](TLogixTag&) { ++events; };
    EXPECT_TRUE(tag->SetData(Reply(0x4321, MixedElement), 0));
    EXPECT_EQ(events, 1);
    EXPECT_FALSE(tag->SetData(Reply(0x4321, MixedElement), 0));
    EXPECT_EQ(tag->MemberNames(), (std::vector<std::string>{"Ready", "Fault", "Speed", "Counts", "LEN", "DATA"}));
    EXPECT_TRUE(tag->GetMember("Ready").AsBoolean());
    EXPECT_TRUE(tag->GetMember("fault").AsBoolean());
    EXPECT_EQ(tag->GetMember("Speed").AsInteger(), static_cast<std::int16_t>(0x8102));
    const auto counts = tag->GetMember("Counts").AsArray();
    ASSERT_EQ(counts.size(), 2u);
    EXPECT_EQ(counts[0].AsInteger(), 0x04030201);
    EXPECT_EQ(counts[1].AsInteger(), -5);
    EXPECT_EQ(tag->MemberKind("Counts"), TLogixType::DINT);
    EXPECT_EQ(tag->MemberKind("Nothing"), TLogixType::None);
    EXPECT_EQ(tag->MemberBytes("Speed"), (Bytes{0x02, 0x81}));
    // A custom string is text, cut to LEN: stale bytes after it never show.
    EXPECT_EQ(tag->AsString(), std::optional<std::string>("abc"));
    EXPECT_THROW(tag->GetMember("Missing"), ELogixInvalidOperation);
    EXPECT_THROW(tag->ItemAt(1), eip::EListError);
}

TEST(LogixStructDecode, ValueEndingAtTheElementEndIsRead) {
    auto t = Template("Tail", 8, 0, List({Member("A", 0x00C4, 0).release(), Member("B", 0x00C4, 4).release()}));
    auto tag = TLogixUDT::Create("T", nullptr, std::move(t));
    tag->SetData(Reply(0, {0, 0, 0, 0, 0x78, 0x56, 0x34, 0x12}), 0);
    EXPECT_EQ(tag->GetMember("B").AsInteger(), 0x12345678);
}

TEST(LogixStructDecode, ElementsArriveAcrossFragments) {
    auto tag = TLogixUDT::Create("Arr", nullptr, MixedType(), 3);
    Bytes all;
    for (int e = 0; e < 3; ++e) {
        Bytes element = MixedElement;
        element[2] = static_cast<std::uint8_t>(e);
        all.insert(all.end(), element.begin(), element.end());
    }
    // Fragment boundaries inside elements, as a fragmented read cuts them.
    EXPECT_FALSE(tag->SetData(Reply(0x4321, Bytes(all.begin(), all.begin() + 30)), 0));
    EXPECT_TRUE(tag->SetData(Reply(0x4321, Bytes(all.begin() + 30, all.end())), 30));
    for (int e = 0; e < 3; ++e)
        EXPECT_EQ(tag->ItemAt(e).GetMember("Speed").AsInteger(), static_cast<std::int16_t>(0x8100 | e));
}

TEST(LogixStructDecode, ForeignHandleIsAStaleTemplate) {
    auto tag = TLogixUDT::Create("M", nullptr, MixedType());
    EXPECT_FALSE(tag->SetData(Reply(0x9999, MixedElement), 0));
    EXPECT_EQ(tag->ErrorCode, -7);
    EXPECT_FALSE(tag->GetMember("Ready").AsBoolean());
}

TEST(LogixStructDecode, NestedMembersFlattenToPairsAndStopAtTheirDepth) {
    TTemplateInfoList cache;
    auto inner = Template("Inner", 4, 0, List({Member("X", 0x00C3, 0).release(), Member("Y", 0x00C3, 2).release()}));
    inner->InstanceId = 0x101;
    cache.Add(std::move(inner));
    // Outer holds Inner and Inner[2]; Loop holds itself.
    auto outer = Template("Outer", 12, 0,
                          List({Member("In", 0x8101, 0).release(), Member("Many", 0xA101, 4, 2).release()}));
    auto tag = TLogixUDT::Create("O", nullptr, std::move(outer));
    tag->NestedTemplates = &cache;
    tag->SetData(Reply(0, {1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0}), 0);
    const auto in = tag->GetMember("In").AsArray();
    ASSERT_EQ(in.size(), 2u);
    EXPECT_EQ(in[0].AsArray()[0].AsString(), "In.X");
    EXPECT_EQ(in[1].AsArray()[1].AsInteger(), 2);
    const auto many = tag->GetMember("Many").AsArray();
    ASSERT_EQ(many.size(), 4u);
    EXPECT_EQ(many[3].AsArray()[0].AsString(), "Many[1].Y");
    EXPECT_EQ(many[3].AsArray()[1].AsInteger(), 6);

    auto loop = Template("Loop", 4, 0, List({Member("Self", 0x8102, 0).release(), Member("V", 0x00C3, 2).release()}));
    loop->InstanceId = 0x102;
    cache.Add(loop->Clone());
    auto looped = TLogixUDT::Create("L", nullptr, std::move(loop));
    looped->NestedTemplates = &cache;
    looped->SetData(Reply(0, {0, 0, 9, 0}), 0);
    const Variant self = looped->GetMember("Self"); // must return, not recurse for ever
    ASSERT_TRUE(self.IsArray());
    EXPECT_EQ(self.AsArray().back().AsArray()[0].AsString(), "Self.V");
}

TEST(LogixStructPCCC, MicroLogixElementsReadThroughTheFixedTemplates) {
    auto timer = TLogixTagFactory::CreateStructTag("T4:0", nullptr, std::make_unique<TPCCCTemplate_TIMER>());
    auto* t = dynamic_cast<TLogixTIMER*>(timer.get());
    ASSERT_NE(t, nullptr);
    // Status word 0xA000 (EN, DN), PRE 0x0102, ACC 0x0304.
    EXPECT_TRUE(t->SetElementData(Bytes{0x00, 0xA0, 0x02, 0x01, 0x04, 0x03}));
    EXPECT_EQ(t->Member(0), 0x0102);
    EXPECT_EQ(t->Member(1), 0x0304);
    EXPECT_EQ(t->Member(2), 1);
    EXPECT_EQ(t->Member(3), 0);
    EXPECT_EQ(t->Member(4), 1);
    EXPECT_THROW(t->Member(5), eip::EListError);

    auto control = TLogixTagFactory::CreateStructTag("R6:0", nullptr, std::make_unique<TPCCCTemplate_CONTROL>());
    auto* c = dynamic_cast<TLogixCONTROL*>(control.get());
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(c->SetElementData(Bytes{0x00, 0x21, 0x0A, 0x00, 0x03, 0x00}));
    EXPECT_EQ(c->Member(0), 10);   // LEN
    EXPECT_EQ(c->Member(1), 3);    // POS
    EXPECT_EQ(c->Member(4), 1);    // DN, bit 5
    EXPECT_EQ(c->Member(9), 1);    // FD, bit 0
    EXPECT_EQ(c->Member(2), 0);    // EN
}

// ------------------------------------------------ recorded structure reads

// Every recorded template, by instance (no two recordings disagree).
void LoadTemplates(const std::string& text, TTemplateInfoList& cache) {
    for (const auto& rec : logixtest::ParseJsonLines(text)) {
        const auto& a = rec["attributes"];
        auto pick = [&](const char* x, const char* y) { return static_cast<std::uint16_t>(a.Has(x) ? a[x].Int() : a[y].Int()); };
        const auto instance = static_cast<std::uint16_t>(std::stoul(rec["instance"].Str(), nullptr, 16));
        if (cache.FindByInstance(instance))
            continue;
        TGetStructAttribsReply attributes;
        attributes.MemberCount = pick("member_count", "attr2");
        attributes.StructureSize = pick("structure_size", "attr5");
        attributes.Handle = pick("handle", "attr1");
        auto t = TTemplateInfo::Parse(Hex(rec["definition"].Str()), attributes);
        t->InstanceId = instance;
        cache.Add(std::move(t));
    }
    for (auto& t : cache)
        t->ResolveSizes(cache);
}

std::unique_ptr<TLogixUDT> ReadRecorded(const std::vector<Json>& curated, const std::string& id,
                                        TTemplateInfoList& cache, std::uint16_t instance) {
    const auto vector = logixtest::CuratedVector(curated, id);
    if (!vector)
        return nullptr;
    cip::TReadDataServiceReply reply;
    reply.Expand(Hex((*vector)["reply"].Str()), 0);
    if (reply.DataType != cipType::Structure)
        return nullptr;
    auto tag = TLogixTagFactory::CreateStructTag(id, nullptr, cache.FindByInstance(instance)->Clone());
    tag->NestedTemplates = &cache;
    Bytes data{0xA0, 0x02};
    data.insert(data.end(), reply.Data.begin(), reply.Data.end());
    EXPECT_TRUE(tag->SetData(data, 0)) << id;
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
    TTemplateInfoList cache;
    LoadTemplates(templatesText, cache);
    const auto curated = logixtest::ParseJsonLines(curatedText);
    int decoded = 0;

    auto status = ReadRecorded(curated, "RD-01", cache, 0x0837);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->GetMember("Set_FaceplateAnimation").AsInteger(), 90);
    EXPECT_EQ(status->GetMember("Val_ProductCode").AsInteger(), 92);
    const auto temp = status->GetMember("MemoryTemp").AsArray();
    ASSERT_EQ(temp.size(), 29u);
    const std::vector<int> tempHead{5, 1, 0, 24750, 3, 18330, 7, 0, 0, 2, 0, -4608};
    for (std::size_t i = 0; i < tempHead.size(); ++i)
        EXPECT_EQ(temp[i].AsInteger(), tempHead[i]) << i;
    EXPECT_EQ(status->GetMember("Val_raw_data").AsInteger(), 12640);
    EXPECT_EQ(status->GetMember("Sts_IO_LED_raw").AsInteger(), 2);
    EXPECT_EQ(status->GetMember("Sts_ProductCode").AsInteger(), 92);
    const auto request = status->GetMember("MemoryRequestData").AsArray();
    const std::vector<int> requestBytes{5, 0, 1, 0, 2, 0, 5, 0, 6, 0, 7, 0};
    ASSERT_EQ(request.size(), requestBytes.size());
    for (std::size_t i = 0; i < request.size(); ++i)
        EXPECT_EQ(request[i].AsInteger(), requestBytes[i]);
    for (const char* name : {"Sts_Force_Installed", "Sts_Force_Enabled", "Sts_Faulted", "Sts_Program",
                             "Sts_Minor_fault", "Sts_Major_fault", "Sts_KS_in_run", "Sts_KS_in_program",
                             "Sts_Changingmodes", "Sts_Test", "Cmd_ClearFaultRecord"})
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
    const auto ctl = timer["UpdateDelayTimer.CTL"].AsArray(); // 0xC0325761 bit by bit
    ASSERT_EQ(ctl.size(), 32u);
    EXPECT_TRUE(ctl[0].AsBoolean());
    EXPECT_FALSE(ctl[1].AsBoolean());
    EXPECT_TRUE(ctl[31].AsBoolean());
    auto mfs = Pairs(status->GetMember("Val_MFS"));
    EXPECT_EQ(mfs["Val_MFS.timelow"].AsInteger(), 71751885);
    EXPECT_EQ(mfs["Val_MFS.timehigh"].AsInteger(), 206334);
    EXPECT_EQ(mfs["Val_MFS.type"].AsInteger(), 3);
    EXPECT_EQ(mfs["Val_MFS.code"].AsInteger(), 20);
    EXPECT_EQ(mfs["Val_MFS.info"].AsArray()[1].AsInteger(), 1);
    for (const auto& [name, value] : Pairs(status->GetMember("Val_MajorFault")))
        EXPECT_EQ(value.IsArray() ? value.AsArray()[0].AsInteger() : value.AsInteger(), 0) << name;
    auto led = Pairs(status->GetMember("Sts_IO_LED"));
    EXPECT_TRUE(led["Sts_IO_LED.FlashingGreen"].AsBoolean());
    EXPECT_FALSE(led["Sts_IO_LED.Off"].AsBoolean());
    EXPECT_EQ(led.count("Sts_IO_LED.ZZZZZZZZZZController0"), 0u); // hidden hosts are no values
    EXPECT_TRUE(Pairs(status->GetMember("Sts_Battery_LED"))["Sts_Battery_LED.Off"].AsBoolean());
    auto memory = Pairs(status->GetMember("MemoryData"));
    EXPECT_EQ(memory["MemoryData.Free_Mem_IO"].AsInteger(), 885432);
    EXPECT_EQ(memory["MemoryData.Free_Mem_DT"].AsInteger(), 1908328);
    EXPECT_EQ(memory["MemoryData.Total_Mem_IO"].AsInteger(), 1030144);
    EXPECT_EQ(memory["MemoryData.Total_Mem_DT"].AsInteger(), 2097152);
    EXPECT_EQ(memory["MemoryData.Biggest_IO_Mem_Size_Ava"].AsInteger(), 870176);
    EXPECT_EQ(memory["MemoryData.Biggest_DT_Mem_Size_Ava"].AsInteger(), 1902208);
    const Variant test = status->GetMember("TEST"); // the last four bytes of the element
    EXPECT_FALSE(test.IsEmpty());
    EXPECT_EQ(test.AsInteger(), 0);
    const auto names = status->MemberNames();
    EXPECT_EQ(std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.starts_with("ZZZ"); }), 0);
    EXPECT_EQ(names.size(), 34u);
    ++decoded;

    auto permissive = ReadRecorded(curated, "RD-02", cache, 0x04C3);
    ASSERT_NE(permissive, nullptr);
    EXPECT_TRUE(permissive->GetMember("ON").AsBoolean());
    EXPECT_EQ(permissive->MemberNames(), (std::vector<std::string>{"ON"}));
    ++decoded;

    auto module = ReadRecorded(curated, "RD-03", cache, 0x0BEC);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->GetMember("SlotStatusBits0_31").AsInteger(), -1);
    EXPECT_EQ(module->GetMember("SlotStatusBits32_63").AsInteger(), -1);
    const auto data = module->GetMember("Data").AsArray();
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[1].AsInteger(), 0);
    ++decoded;

    // A STRING member read on its own: handle 0x0FCE, LEN 0 and zeros.
    auto text = TLogixTagFactory::CreateStructTag("GroupCTRL.VSN", nullptr, cache.FindByInstance(0x0FCE)->Clone());
    auto* str = dynamic_cast<TLogixSTRING*>(text.get());
    ASSERT_NE(str, nullptr);
    Bytes reply = Reply(0x0FCE, Bytes(88, 0));
    str->SetData(reply, 0);
    EXPECT_EQ(str->ErrorCode, -100);
    EXPECT_EQ(str->Text(), "");
    reply[4] = 2;
    reply[8] = 'o';
    reply[9] = 'k';
    reply[10] = '!';
    EXPECT_TRUE(str->SetData(reply, 0));
    EXPECT_EQ(str->Member(0), 2);
    EXPECT_EQ(str->Text(), "ok");
    ++decoded;

    RecordProperty("structure_reads_decoded", decoded);
}

TEST(LogixStructRecorded, VendorExampleStructureDecodes) {
    LOGIX_VECTOR_FILE(markdown, "VECTORS.md");
    const auto block = logixtest::SectionBlock(markdown, "### DOC-01");
    ASSERT_TRUE(block);
    cip::TReadDataServiceReply reply;
    reply.Expand(Hex(*block), 0);
    auto tag = TLogixUDT::Create(
        "MachineSummary", nullptr,
        Template("STRUCT_B", 32, 0x9ECD,
                 List({Member("ZZZZZZZZZZSTRUCT_B0", 0x00C2, 0, 0, true).release(),
                       Member("pilot_on", 0x00C1, 0, 0).release(), Member("hourlyCount", 0x20C3, 4, 12).release(),
                       Member("rate", 0x00CA, 28).release()})));
    Bytes data{0xA0, 0x02};
    data.insert(data.end(), reply.Data.begin(), reply.Data.end());
    EXPECT_TRUE(tag->SetData(data, 0));
    EXPECT_TRUE(tag->GetMember("pilot_on").AsBoolean());
    const auto counts = tag->GetMember("hourlyCount").AsArray();
    ASSERT_EQ(counts.size(), 12u);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(counts[static_cast<std::size_t>(i)].AsInteger(), i);
    EXPECT_DOUBLE_EQ(tag->GetMember("rate").AsDouble(), 1.0);
}

// The plant recording: a 360-element array of a 600-byte user type (strings,
// packed BOOLs, REAL, LINT, arrays), its first fragment as the controller
// sent it, and every element's values as read by another client.
std::unique_ptr<TTemplateInfo> SensorTemplate(const Json& type, TTemplateInfoList& cache) {
    static const std::map<std::string, std::uint16_t> codes{
        {"BOOL", 0xC1}, {"SINT", 0xC2}, {"INT", 0xC3}, {"DINT", 0xC4}, {"LINT", 0xC5}, {"REAL", 0xCA}};
    auto t = std::make_unique<TTemplateInfo>();
    t->Name = type["name"].Str();
    t->StructureSize = static_cast<std::uint16_t>(type["template"]["structure_size"].Int());
    t->Handle = static_cast<std::uint16_t>(type["template"]["structure_handle"].Int());
    for (const auto& [name, m] : type["internal_tags"].Obj()) {
        std::uint16_t typeWord = 0;
        std::uint16_t info = 0;
        if (m["tag_type"].Str() == "struct") {
            const auto& nested = m["data_type"];
            const auto handle = static_cast<std::uint16_t>(nested["template"]["structure_handle"].Int());
            typeWord = static_cast<std::uint16_t>(0x8000 | handle);
            if (!cache.FindByInstance(handle)) {
                auto inner = SensorTemplate(nested, cache);
                inner->InstanceId = handle;
                cache.Add(std::move(inner));
            }
        } else {
            typeWord = codes.at(m["data_type"].Str());
            if (m.Has("bit"))
                info = static_cast<std::uint16_t>(m["bit"].Int());
            if (m.Has("array") && m["array"].Int() > 0) {
                typeWord |= 0x2000;
                info = static_cast<std::uint16_t>(m["array"].Int());
            }
        }
        t->Members.Add(Member(name, typeWord, static_cast<std::uint32_t>(m["offset"].Int()), info,
                              name.starts_with("ZZZZZZZZZZ")));
    }
    t->MemberCount = static_cast<std::uint16_t>(t->Members.Count());
    return t;
}

Bytes HexDump(const std::string& text) {
    Bytes out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const auto colon = line.find(':');
        const auto bar = line.find('|');
        if (colon == std::string::npos)
            continue;
        const Bytes b = Hex(line.substr(colon + 1, bar == std::string::npos ? std::string::npos : bar - colon - 1));
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

void ExpectMember(const Variant& got, const Json& want, const std::string& where) {
    if (want.IsArray()) {
        ASSERT_TRUE(got.IsArray()) << where;
        ASSERT_EQ(got.AsArray().size(), want.Arr().size()) << where;
        for (std::size_t i = 0; i < want.Arr().size(); ++i)
            ExpectMember(got.AsArray()[i], want.Arr()[i], where + "[" + std::to_string(i) + "]");
    } else if (want.IsString()) {
        EXPECT_EQ(got.AsString(), want.Str()) << where;
    } else if (std::holds_alternative<bool>(want.V)) {
        EXPECT_EQ(got.AsBoolean(), want.Bool()) << where;
    } else if (want.Number() == std::floor(want.Number()) && got.Type() != qor::VarType::Double) {
        EXPECT_EQ(got.AsInt64(), want.Int()) << where;
    } else {
        EXPECT_DOUBLE_EQ(got.AsDouble(), want.Number()) << where;
    }
}

TEST(LogixStructRecorded, PlantArrayOfStructuresDecodesEveryElement) {
    LOGIX_VECTOR_FILE(tagsText, "raw/cpppo/ExampleSensor-tags.json");
    LOGIX_VECTOR_FILE(valsText, "raw/cpppo/ExampleSensor-vals.json");
    LOGIX_VECTOR_FILE(dumpText, "raw/cpppo/ExampleSensor.hexdump");
    LOGIX_VECTOR_FILE(markdown, "VECTORS.md");
    const Json tags = Json::Parse(tagsText)["Input_MSG_ExampleSensor"];
    const Json vals = Json::Parse(valsText);
    const Bytes bytes = HexDump(dumpText);
    ASSERT_EQ(bytes.size(), 360u * 600u);

    TTemplateInfoList cache;
    auto tag = TLogixTagFactory::CreateStructTag("Input_MSG_ExampleSensor", nullptr,
                                                 SensorTemplate(tags["data_type"], cache), 360);
    tag->NestedTemplates = &cache;
    EXPECT_EQ(tag->StructHandle, 0x8DF9);

    // The first fragment exactly as the controller sent it: status 0x06,
    // element 0 cut after 488 bytes.
    const auto first = logixtest::SectionBlock(markdown, "### GG-01", 1);
    ASSERT_TRUE(first);
    cip::TReadDataServiceReply reply;
    reply.Expand(Hex(*first), 0);
    EXPECT_EQ(reply.GeneralStatus, 0x06);
    Bytes data{0xA0, 0x02};
    data.insert(data.end(), reply.Data.begin(), reply.Data.end());
    EXPECT_FALSE(tag->SetData(data, 0));
    EXPECT_EQ(tag->GetMember("SENSOR_ID").AsInteger(), 111);
    EXPECT_EQ(tag->GetMember("SENSOR_Name").AsString(), "RT1-17");
    std::uint32_t offset = static_cast<std::uint32_t>(reply.Data.size() - 2);

    // The rest in fragments of the same size.
    bool completed = false;
    while (offset < bytes.size()) {
        const std::size_t n = std::min<std::size_t>(488, bytes.size() - offset);
        Bytes fragment{0xA0, 0x02, 0xF9, 0x8D};
        fragment.insert(fragment.end(), bytes.begin() + offset, bytes.begin() + static_cast<std::ptrdiff_t>(offset + n));
        completed = tag->SetData(fragment, offset);
        offset += static_cast<std::uint32_t>(n);
    }
    EXPECT_TRUE(completed);
    ASSERT_EQ(tag->ItemCount(), 360u);

    int elements = 0;
    for (std::size_t e = 0; e < vals.Arr().size(); ++e) {
        const auto& item = tag->ItemAt(static_cast<std::ptrdiff_t>(e));
        for (const auto& [name, want] : vals[e].Obj())
            ExpectMember(item.GetMember(name), want, std::to_string(e) + "." + name);
        ++elements;
    }
    EXPECT_EQ(elements, 360);
    RecordProperty("plant_elements_decoded", elements);
    // Stale text after a string's length stays hidden (element 0's group).
    EXPECT_EQ(tag->GetMember("SENSOR_Gas_Group").AsString(), "37ct E Hdg");
    EXPECT_EQ(tag->GetMember("SENSOR_ByPass_Start_Time").AsInt64(), 1449484852678128LL);
    const auto names = tag->MemberNames();
    EXPECT_EQ(std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.starts_with("ZZZ"); }), 0);
}

TEST(LogixStructRecorded, MicroLogixFileReadsDecode) {
    LOGIX_VECTOR_FILE(curatedText, "vectors/curated.jsonl");
    const auto curated = logixtest::ParseJsonLines(curatedText);
    int decoded = 0;
    const std::vector<std::pair<const char*, const char*>> reads{
        {"PC-02", "O0:0"}, {"PC-03", "I1:0"}, {"PC-04", "S2:0"}, {"PC-05", "S2:0"}, {"PC-06", "B3:0"},
        {"PC-07", "T4:0"}, {"PC-08", "C5:0"}, {"PC-09", "R6:0"}, {"PC-10", "N7:0"}, {"PC-11", "F8:0"}};
    std::map<std::string, std::unique_ptr<TLogixTag>> tags;
    for (const auto& [id, address] : reads) {
        const auto vector = logixtest::CuratedVector(curated, id);
        ASSERT_TRUE(vector) << id;
        cip::TMR_Response response;
        response.Expand(Hex((*vector)["reply"].Str()), 0);
        const auto reply = cip::TPCCCServiceReply::FromResponse(response);
        ASSERT_EQ(reply.Status, 0) << id;
        const auto file = cip::TPCCCServiceRequest::ParseAddress(address);
        ASSERT_TRUE(file) << id;
        const std::uint16_t count = static_cast<std::uint16_t>(reply.Data.size() / file->ElementSize);
        std::unique_ptr<TLogixTag> tag;
        if (file->DataType == cipType::Structure) {
            std::unique_ptr<TTemplateInfo> t;
            switch (file->ValueKind) {
            case 3:
                t = std::make_unique<TPCCCTemplate_CONTROL>();
                break;
            case 4:
                t = std::make_unique<TPCCCTemplate_COUNTER>();
                break;
            default:
                t = std::make_unique<TPCCCTemplate_TIMER>();
            }
            auto s = TLogixTagFactory::CreateStructTag(address, nullptr, std::move(t), count);
            s->SetElementData(reply.Data);
            tag = std::move(s);
        } else {
            tag = TLogixTagFactory::CreateByType(file->DataType, address, count);
            ASSERT_NE(tag, nullptr) << id;
            Bytes data{static_cast<std::uint8_t>(file->DataType), static_cast<std::uint8_t>(file->DataType >> 8)};
            data.insert(data.end(), reply.Data.begin(), reply.Data.end());
            tag->SetData(data, 0);
        }
        EXPECT_EQ(tag->ErrorCode, -100) << id; // no mismatch on the way
        tags[id] = std::move(tag);
        ++decoded;
    }
    auto& status = static_cast<TLogixTagEx&>(*tags["PC-04"]);
    ASSERT_EQ(status.ValueCount(), 40u);
    EXPECT_EQ(status.GetValueAt(1).AsInteger(), 0x0026);
    EXPECT_EQ(status.GetValueAt(3).AsInteger(), 0x0A00);
    EXPECT_EQ(status.GetValueAt(4).AsInteger(), 0x12EA);
    EXPECT_EQ(static_cast<TLogixTagEx&>(*tags["PC-10"]).GetValueAt(0).AsInteger(), 0);
    EXPECT_DOUBLE_EQ(static_cast<TLogixREAL&>(*tags["PC-11"]).FloatAt(0), 0.0);
    auto& timer = dynamic_cast<TLogixTIMER&>(*tags["PC-07"]);
    EXPECT_EQ(timer.Member(1), 0);
    EXPECT_FALSE(timer.GetMember("DN").IsEmpty());
    EXPECT_EQ(dynamic_cast<TLogixCOUNTER&>(*tags["PC-08"]).Member(0), 0);
    EXPECT_EQ(dynamic_cast<TLogixCONTROL&>(*tags["PC-09"]).Member(0), 0);
    RecordProperty("pccc_reads_decoded", decoded);
    EXPECT_EQ(decoded, 10);
}

} // namespace
