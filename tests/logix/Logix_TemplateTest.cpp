#include "logix/Logix_Template.h"

#include "VectorFiles.h"

#include <gtest/gtest.h>

using namespace logix;
using logixtest::Hex;

namespace {

using Bytes = std::vector<std::uint8_t>;

void Record(Bytes& out, std::uint16_t info, std::uint16_t type, std::uint32_t offset) {
    for (int b = 0; b < 2; ++b)
        out.push_back(static_cast<std::uint8_t>(info >> (8 * b)));
    for (int b = 0; b < 2; ++b)
        out.push_back(static_cast<std::uint8_t>(type >> (8 * b)));
    for (int b = 0; b < 4; ++b)
        out.push_back(static_cast<std::uint8_t>(offset >> (8 * b)));
}

void Text(Bytes& out, std::string_view s) {
    out.insert(out.end(), s.begin(), s.end());
    out.push_back(0);
}

TGetStructAttribsReply Attributes(std::uint16_t members, std::uint16_t size, std::uint16_t handle = 0x1234) {
    TGetStructAttribsReply a;
    a.MemberCount = members;
    a.StructureSize = size;
    a.Handle = handle;
    return a;
}

std::vector<TMemberInfo> MembersOf(TTemplateInfo& t) {
    std::vector<TMemberInfo> out;
    for (std::size_t i = 0; i < t.Members.Count(); ++i)
        out.push_back(*t.Members[i]);
    return out;
}

TEST(LogixTemplateAttributes, ExpandReadsTheFourAttributes) {
    const Bytes payload{0x04, 0x00, 0x04, 0x00, 0x00, 0x00, 0x1E, 0x01, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
                        0x58, 0x02, 0x02, 0x00, 0x00, 0x00, 0x05, 0x01, 0x01, 0x00, 0x00, 0x00, 0xA2, 0xEE};
    TGetStructAttribsReply a;
    EXPECT_EQ(a.Expand(payload, 0), 28u);
    EXPECT_EQ(a.DefinitionSize, 0x011Eu);
    EXPECT_EQ(a.StructureSize, 0x0258);
    EXPECT_EQ(a.MemberCount, 0x0105);
    EXPECT_EQ(a.Handle, 0xEEA2);

    TGetStructAttribsReply kept;
    kept.Handle = 7;
    EXPECT_THROW(kept.Expand(Bytes(payload.begin(), payload.end() - 1), 0), eip::EListError);
    EXPECT_EQ(kept.Handle, 7);
}

TEST(LogixTemplateAttributes, DefinitionBytesNeverUnderflow) {
    TGetStructAttribsReply a;
    a.DefinitionSize = 30;
    EXPECT_EQ(a.DefinitionBytes(), 100u);
    a.DefinitionSize = 250;
    EXPECT_EQ(a.DefinitionBytes(), 980u);
    a.DefinitionSize = 5;
    EXPECT_EQ(a.DefinitionBytes(), 0u);
    a.DefinitionSize = 4;
    EXPECT_EQ(a.DefinitionBytes(), 0u);
    a.DefinitionSize = 0;
    EXPECT_EQ(a.DefinitionBytes(), 0u);
    a.DefinitionSize = 0xFFFFFFFF;
    EXPECT_LE(a.DefinitionBytes(), 4u << 20);
}

TEST(LogixTemplateParse, RecordsAreEightBytesAndNamesFollowThem) {
    Bytes def;
    Record(def, 0, 0x00C4, 0);
    Record(def, 0, 0x00C4, 4);
    Record(def, 0, 0x00C4, 8);
    Text(def, "Three;nEAEAEA");
    Text(def, "a");
    Text(def, "b");
    Text(def, "c");
    auto t = TTemplateInfo::Parse(def, Attributes(3, 12));
    EXPECT_EQ(t->Name, "Three");
    EXPECT_EQ(t->MemberCount, 3);
    EXPECT_EQ(t->StructureSize, 12);
    EXPECT_EQ(t->Handle, 0x1234);
    const auto m = MembersOf(*t);
    ASSERT_EQ(m.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(m[i].Offset, 4 * i);
        EXPECT_EQ(m[i].Size, 4u);
        EXPECT_EQ(m[i].Kind, TLogixType::DINT);
    }
    EXPECT_EQ(m[2].Name, "c");
}

TEST(LogixTemplateParse, TypeWordsGiveKindArrayAndNestedInstance) {
    Bytes def;
    Record(def, 0, 0x8F12, 0); // structure, template 0xF12
    Record(def, 8, 0x20C4, 12); // DINT[8]
    Record(def, 3, 0x00C1, 44); // BOOL bit 3
    Record(def, 0, 0x00DA, 48); // SHORT_STRING: no fixed size
    Text(def, "T");
    Text(def, "Nested");
    Text(def, "Arr");
    Text(def, "Flag");
    Text(def, "Str");
    auto t = TTemplateInfo::Parse(def, Attributes(4, 60));
    const auto m = MembersOf(*t);
    ASSERT_EQ(m.size(), 4u);
    EXPECT_TRUE(m[0].IsStructure());
    EXPECT_EQ(m[0].Kind, TLogixType::USER);
    EXPECT_EQ(m[0].TemplateInstance(), 0xF12);
    EXPECT_EQ(m[0].Size, 12u); // up to the next member until its template is known
    EXPECT_TRUE(m[1].IsArray());
    EXPECT_EQ(m[1].Kind, TLogixType::DINT);
    EXPECT_EQ(m[1].ElementCount(), 8u);
    EXPECT_EQ(m[1].Size, 32u);
    EXPECT_EQ(m[2].Kind, TLogixType::BOOL);
    EXPECT_EQ(m[2].Size, 1u);
    EXPECT_EQ(m[3].Kind, TLogixType::SSTRING);
    EXPECT_EQ(m[3].Size, 12u); // to the end of the element

    TTemplateInfoList cache;
    auto nested = std::make_unique<TTemplateInfo>();
    nested->InstanceId = 0xF12;
    nested->StructureSize = 10;
    cache.Add(std::move(nested));
    t->ResolveSizes(cache);
    EXPECT_EQ(t->Members[0]->Size, 10u);
}

TEST(LogixTemplateParse, NamesArePositionalAndJunkAfterTheLastIsIgnored) {
    Bytes def;
    Record(def, 0, 0x00C2, 0);
    Record(def, 0, 0x00C2, 1);
    Record(def, 0, 0x00C2, 2);
    Text(def, "POS");
    Text(def, "first");
    Text(def, ""); // an unnamed member keeps its place
    Text(def, "third");
    def.insert(def.end(), {'j', 'u', 'n', 'k', 0, 'x'});
    auto t = TTemplateInfo::Parse(def, Attributes(3, 4));
    const auto m = MembersOf(*t);
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0].Name, "first");
    EXPECT_EQ(m[1].Name, "");
    EXPECT_TRUE(m[1].Hidden);
    EXPECT_EQ(m[2].Name, "third");
    EXPECT_EQ(t->FindMember(""), nullptr);
    EXPECT_EQ(t->FindMember("THIRD"), t->Members[2]);
    EXPECT_EQ(t->VisibleMemberNames(), (std::vector<std::string>{"first", "third"}));
}

TEST(LogixTemplateParse, OffsetsWithFlagsAndBoolsInsideHostsKeepTheirSizes) {
    Bytes def;
    Record(def, 0, 0x00C4, 0);           // __BitHost00
    Record(def, 0, 0x00C1, 0xA0000000);  // EnableIn
    Record(def, 0, 0x00C3, 0xA0000002);  // INT behind a flagged offset
    Record(def, 0, 0x00C2, 6);           // ZZZZZZZZZZ host
    Text(def, "Flags;nE");
    Text(def, "__BitHost00");
    Text(def, "EnableIn");
    Text(def, "Word");
    Text(def, "ZZZZZZZZZZFlags3");
    auto t = TTemplateInfo::Parse(def, Attributes(4, 8));
    const auto m = MembersOf(*t);
    EXPECT_EQ(m[1].Offset, 0xA0000000u);
    EXPECT_EQ(m[1].DataOffset(), 0u);
    EXPECT_EQ(m[2].DataOffset(), 2u);
    EXPECT_EQ(m[0].Size, 4u);
    EXPECT_EQ(m[1].Size, 1u);
    EXPECT_EQ(m[2].Size, 2u);
    EXPECT_TRUE(m[0].Hidden);
    EXPECT_FALSE(m[1].Hidden);
    EXPECT_TRUE(m[3].Hidden);
    EXPECT_EQ(t->VisibleMemberNames(), (std::vector<std::string>{"EnableIn", "Word"}));
}

TEST(LogixTemplateParse, CutShortOrEmptyDefinitionsNeverRaise) {
    Bytes def;
    Record(def, 0, 0x00C4, 0);
    Record(def, 0, 0x00CA, 4);
    Text(def, "Cut;nX");
    Text(def, "alpha");
    Text(def, "beta");
    for (std::size_t n = 0; n <= def.size(); ++n) {
        auto t = TTemplateInfo::Parse(Bytes(def.begin(), def.begin() + static_cast<std::ptrdiff_t>(n)),
                                      Attributes(2, 8));
        EXPECT_EQ(t->MemberCount, std::min<std::size_t>(2, n / 8)) << n;
    }
    auto partial = TTemplateInfo::Parse(Bytes(def.begin(), def.end() - 2), Attributes(2, 8));
    EXPECT_EQ(partial->Members[0]->Name, "alpha");
    EXPECT_EQ(partial->Members[1]->Name, ""); // "bet" has no end: no name

    auto empty = TTemplateInfo::Parse({}, Attributes(5, 40));
    EXPECT_EQ(empty->MemberCount, 0);
    EXPECT_EQ(empty->StructureSize, 0);

    // A member count far above what the bytes hold makes only what is there.
    auto many = TTemplateInfo::Parse(def, Attributes(0xFFFF, 8));
    EXPECT_LE(many->MemberCount, def.size() / 8);
}

TEST(LogixTemplateList, AssignCopiesAndLookupsGoByInstance) {
    TPCCCTemplate_TIMER timer;
    TTemplateInfo copy;
    copy.Assign(timer);
    EXPECT_EQ(copy.Name, "TIMER");
    EXPECT_EQ(copy.StructureSize, 6);
    ASSERT_EQ(copy.Members.Count(), timer.Members.Count());
    copy.Members[0]->Name = "changed";
    EXPECT_EQ(timer.Members[0]->Name, "EN");

    TTemplateInfoList list;
    for (std::uint16_t instance : {0x0F83, 0x0837, 0x0F83}) {
        auto t = std::make_unique<TTemplateInfo>();
        t->InstanceId = instance;
        t->Name = std::to_string(list.Count());
        list.Add(std::move(t));
    }
    EXPECT_EQ(TTemplateInfoList::FindByInstance(list, 0x0F83)->Name, "0");
    EXPECT_EQ(list.FindByInstance(0x0837)->Name, "1");
    EXPECT_EQ(list.FindByInstance(0x0001), nullptr);
}

TEST(LogixTemplatePCCC, FixedTemplatesMatchTheFileLayouts) {
    TPCCCTemplate_TIMER timer;
    EXPECT_EQ(timer.StructureSize, 6);
    EXPECT_EQ(timer.Handle, 0);
    EXPECT_EQ(timer.VisibleMemberNames(), (std::vector<std::string>{"EN", "TT", "DN", "PRE", "ACC"}));
    EXPECT_EQ(timer.FindMember("ACC")->Offset, 4u);
    EXPECT_EQ(timer.FindMember("ACC")->Kind, TLogixType::INT);
    EXPECT_EQ(timer.FindMember("DN")->Offset, 1u);
    EXPECT_EQ(timer.FindMember("DN")->Info, 5);
    TPCCCTemplate_COUNTER counter;
    EXPECT_EQ(counter.VisibleMemberNames(), (std::vector<std::string>{"CU", "CD", "DN", "OV", "UN", "PRE", "ACC"}));
    TPCCCTemplate_CONTROL control;
    EXPECT_EQ(control.MemberCount, 10);
    EXPECT_EQ(control.FindMember("FD")->Info, 0);
    EXPECT_EQ(control.FindMember("POS")->Offset, 4u);
}

// Every template definition recorded from a controller parses to the member
// records and names the recording lists.
TEST(LogixTemplateRecorded, EveryRecordedDefinitionParses) {
    LOGIX_VECTOR_FILE(text, "vectors/templates.jsonl");
    const auto templates = logixtest::ParseJsonLines(text);
    int parsed = 0;
    for (const auto& rec : templates) {
        const auto& attrs = rec["attributes"];
        auto pick = [&](const char* a, const char* b) { return attrs.Has(a) ? attrs[a].Int() : attrs[b].Int(); };
        const auto memberCount = static_cast<std::uint16_t>(pick("member_count", "attr2"));
        const auto structureSize = static_cast<std::uint16_t>(pick("structure_size", "attr5"));
        const auto handle = static_cast<std::uint16_t>(pick("handle", "attr1"));
        const std::string where = rec["file"].Str() + " " + rec["instance"].Str();

        auto t = TTemplateInfo::Parse(Hex(rec["definition"].Str()), Attributes(memberCount, structureSize, handle));
        const std::string fullName = rec["template_name"].Str();
        EXPECT_EQ(t->Name, fullName.substr(0, fullName.find(';'))) << where;
        EXPECT_EQ(t->Handle, handle) << where;
        const auto& expected = rec["members"].Arr();
        ASSERT_EQ(t->MemberCount, expected.size()) << where;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const TMemberInfo& m = *t->Members[i];
            const auto& e = expected[i];
            EXPECT_EQ(m.Info, e["info"].Int()) << where << " #" << i;
            EXPECT_EQ(m.Type, std::stoul(e["type"].Str(), nullptr, 16)) << where << " #" << i;
            EXPECT_EQ(m.Offset, static_cast<std::uint32_t>(e["offset"].Int())) << where << " #" << i;
            EXPECT_EQ(m.Name, e["name"].Str()) << where << " #" << i;
            const bool host = m.Name.starts_with("ZZZZZZZZZZ") || m.Name.starts_with("__");
            EXPECT_EQ(m.Hidden, host || m.Name.empty()) << where << " #" << i;
            if (!m.IsStructure() && TypeSize(m.AtomicType()) != 0) {
                EXPECT_EQ(m.Size, m.AtomicType() == cipType::BOOL ? 1u : TypeSize(m.AtomicType()) * m.ElementCount())
                    << where << " #" << i;
            }
        }
        ++parsed;
    }
    RecordProperty("templates_parsed", parsed);
    EXPECT_EQ(parsed, 94);
}

TEST(LogixTemplateRecorded, ReplyWithAJunkTailKeepsOnlyTheNames) {
    LOGIX_VECTOR_FILE(markdown, "VECTORS.md");
    const auto block = logixtest::SectionBlock(markdown, "### IS-01");
    ASSERT_TRUE(block);
    const Bytes reply = Hex(*block);
    // After the 4-byte reply header: the definition.
    auto t = TTemplateInfo::Parse(Bytes(reply.begin() + 4, reply.end()), Attributes(2, 8));
    EXPECT_EQ(t->Name, "my_UDT");
    ASSERT_EQ(t->MemberCount, 2);
    EXPECT_EQ(t->Members[0]->Name, "udt_member1_real");
    EXPECT_EQ(t->Members[0]->Kind, TLogixType::REAL);
    EXPECT_EQ(t->Members[1]->Name, "udt_member2_dint");
    EXPECT_EQ(t->Members[1]->Offset, 4u);
}

} // namespace
