#include "logix/Logix_Template.h"

#include "VectorFiles.h"

#include <gtest/gtest.h>

using namespace logix;

namespace {

using Bytes = std::vector<std::uint8_t>;

// A definition: member records (Info, Type, Offset) then the names.
struct TDefinition {
    Bytes Data;
    TDefinition& Member(std::uint16_t info, std::uint16_t type, std::uint32_t offset) {
        for (const std::uint64_t v : {std::uint64_t{info}, std::uint64_t{type}})
            Data.insert(Data.end(), {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)});
        for (int b = 0; b < 4; ++b)
            Data.push_back(static_cast<std::uint8_t>(offset >> (8 * b)));
        return *this;
    }
    TDefinition& Names(std::initializer_list<std::string_view> names) {
        for (const auto n : names) {
            Data.insert(Data.end(), n.begin(), n.end());
            Data.push_back(0);
        }
        return *this;
    }
};

TGetStructAttribsReply Attributes(std::uint16_t members, std::uint16_t size, std::uint16_t handle = 0x1234) {
    return {.StructureSize = size, .MemberCount = members, .Handle = handle};
}

// The four attributes of every template are read by the truth test; a reply
// cut short changes nothing, and a size past reason is not read whole.
TEST(LogixTemplateAttributes, ACutReplyChangesNothingAndTheReadIsBounded) {
    const Bytes payload{0x04, 0x00, 0x04, 0x00, 0x00, 0x00, 0x1E, 0x01, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
                        0x58, 0x02, 0x02, 0x00, 0x00, 0x00, 0x05, 0x01, 0x01, 0x00, 0x00, 0x00, 0xA2, 0xEE};
    TGetStructAttribsReply kept;
    EXPECT_THROW(kept.Expand(Bytes(payload.begin(), payload.end() - 1), 0), eip::EListError);
    EXPECT_EQ(kept.Handle, 0);
    kept.DefinitionSize = 0xFFFFFFFF;
    EXPECT_LE(kept.DefinitionBytes(), 4u << 20);
}

TEST(LogixTemplateParse, RecordsNamesKindsAndSizes) {
    TDefinition def;
    def.Member(0, 0x00C4, 0).Member(0, 0x00C4, 4).Member(0, 0x00C4, 8);
    def.Names({"Three;nEAEAEA", "a", "b", "c"});
    auto t = TTemplateInfo::Parse(def.Data, Attributes(3, 12));
    EXPECT_EQ(t->Name, "Three");
    EXPECT_EQ(t->MemberCount, 3);
    EXPECT_EQ(t->Handle, 0x1234);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(t->Members[i]->Offset, 4 * i);
        EXPECT_EQ(t->Members[i]->Size, 4u);
        EXPECT_EQ(t->Members[i]->Kind, TLogixType::DINT);
    }
    EXPECT_EQ(t->Members[2]->Name, "c");

    TDefinition mixed;
    mixed.Member(0, 0x8F12, 0).Member(8, 0x20C4, 12).Member(3, 0x00C1, 44).Member(0, 0x00DA, 48);
    mixed.Names({"T", "Nested", "Arr", "Flag", "Str"});
    auto m = TTemplateInfo::Parse(mixed.Data, Attributes(4, 60));
    EXPECT_EQ(m->Members[0]->Kind, TLogixType::USER);
    EXPECT_EQ(m->Members[0]->TemplateInstance(), 0xF12);
    EXPECT_EQ(m->Members[0]->Size, 12u); // up to the next member until its template is known
    EXPECT_EQ(m->Members[1]->Kind, TLogixType::DINT);
    EXPECT_EQ(m->Members[1]->ElementCount(), 8u);
    EXPECT_EQ(m->Members[1]->Size, 32u);
    EXPECT_EQ(m->Members[2]->Size, 1u);
    EXPECT_EQ(m->Members[3]->Kind, TLogixType::SSTRING);
    EXPECT_EQ(m->Members[3]->Size, 12u); // to the end of the element
    TTemplateInfoList cache;
    auto nested = std::make_unique<TTemplateInfo>();
    nested->InstanceId = 0xF12;
    nested->StructureSize = 10;
    cache.Add(std::move(nested));
    m->ResolveSizes(cache);
    EXPECT_EQ(m->Members[0]->Size, 10u);
}

TEST(LogixTemplateParse, NamesArePositionalAndHostsAreHidden) {
    TDefinition def;
    def.Member(0, 0x00C4, 0).Member(0, 0x00C1, 0xA0000000).Member(0, 0x00C3, 0xA0000002).Member(0, 0x00C2, 6);
    def.Names({"Flags;nE", "__BitHost00", "", "Word", "ZZZZZZZZZZFlags3", "junk"});
    auto t = TTemplateInfo::Parse(def.Data, Attributes(4, 8));
    EXPECT_EQ(t->Members[1]->Name, ""); // an unnamed member keeps its place
    EXPECT_EQ(t->Members[2]->Name, "Word");
    EXPECT_EQ(t->Members[2]->Offset, 0xA0000002u);
    EXPECT_EQ(t->Members[2]->DataOffset(), 2u);
    EXPECT_EQ(t->Members[2]->Size, 2u);
    EXPECT_EQ(t->Members[1]->Size, 1u);
    EXPECT_EQ(t->VisibleMemberNames(), std::vector<std::string>{"Word"});
    EXPECT_EQ(t->FindMember(""), nullptr);
    EXPECT_EQ(t->FindMember("wORD"), t->Members[2]);
}

TEST(LogixTemplateParse, CutShortOrOversizedDefinitionsNeverRaise) {
    TDefinition def;
    def.Member(0, 0x00C4, 0).Member(0, 0x00CA, 4).Names({"Cut;nX", "alpha", "beta"});
    for (std::size_t n = 0; n <= def.Data.size(); ++n) {
        auto t = TTemplateInfo::Parse(
            Bytes(def.Data.begin(), def.Data.begin() + static_cast<std::ptrdiff_t>(n)), Attributes(2, 8));
        EXPECT_EQ(t->MemberCount, std::min<std::size_t>(2, n / 8)) << n;
    }
    auto partial = TTemplateInfo::Parse(Bytes(def.Data.begin(), def.Data.end() - 2), Attributes(2, 8));
    EXPECT_EQ(partial->Members[0]->Name, "alpha");
    EXPECT_EQ(partial->Members[1]->Name, ""); // "bet" has no end: no name
    EXPECT_EQ(TTemplateInfo::Parse({}, Attributes(5, 40))->StructureSize, 0);
    EXPECT_LE(TTemplateInfo::Parse(def.Data, Attributes(0xFFFF, 8))->MemberCount, def.Data.size() / 8);
}

TEST(LogixTemplateList, AssignCopiesAndLookupsGoByInstance) {
    TPCCCTemplate_TIMER timer;
    TTemplateInfo copy;
    copy.Assign(timer);
    EXPECT_EQ(copy.Name, "TIMER");
    ASSERT_EQ(copy.Members.Count(), timer.Members.Count());
    copy.Members[0]->Name = "changed";
    EXPECT_EQ(timer.Members[0]->Name, "EN");
    TTemplateInfoList list;
    for (std::uint16_t instance : {0x0F83, 0x0837, 0x0F83}) {
        list.Add(std::make_unique<TTemplateInfo>())->InstanceId = instance;
        list[list.Count() - 1]->Name = std::to_string(list.Count());
    }
    EXPECT_EQ(TTemplateInfoList::FindByInstance(list, 0x0F83)->Name, "1");
    EXPECT_EQ(list.FindByInstance(0x0001), nullptr);
}

// Every definition recorded from a controller parses to the member records
// and names of the recording.
TEST(LogixTemplateRecorded, EveryRecordedDefinitionParses) {
    LOGIX_VECTOR_FILE(text, "vectors/templates.jsonl");
    int parsed = 0;
    for (const auto& rec : logixtest::JsonLines(text)) {
        const auto& a = rec["attributes"];
        auto pick = [&](const char* x, const char* y) { return a.value(x, a.value(y, 0)); };
        const auto handle = static_cast<std::uint16_t>(pick("handle", "attr1"));
        const std::string where = rec["file"].get<std::string>() + " " + rec["instance"].get<std::string>();
        auto t = TTemplateInfo::Parse(logixtest::Hex(rec["definition"].get<std::string>()),
                                      Attributes(static_cast<std::uint16_t>(pick("member_count", "attr2")),
                                                 static_cast<std::uint16_t>(pick("structure_size", "attr5")),
                                                 handle));
        const auto fullName = rec["template_name"].get<std::string>();
        EXPECT_EQ(t->Name, fullName.substr(0, fullName.find(';'))) << where;
        EXPECT_EQ(t->Handle, handle) << where;
        const auto& expected = rec["members"];
        ASSERT_EQ(t->MemberCount, expected.size()) << where;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const TMemberInfo& m = *t->Members[i];
            const auto& e = expected[i];
            EXPECT_EQ(m.Info, e["info"].get<int>()) << where << " #" << i;
            EXPECT_EQ(m.Type, std::stoul(e["type"].get<std::string>(), nullptr, 16)) << where << " #" << i;
            EXPECT_EQ(m.Offset, e["offset"].get<std::uint32_t>()) << where << " #" << i;
            EXPECT_EQ(m.Name, e["name"].get<std::string>()) << where << " #" << i;
            const bool statusHost = m.Name == "CTL" && (t->Name == "TIMER" || t->Name == "COUNTER" || t->Name == "CONTROL");
            EXPECT_EQ(m.Hidden, m.Name.empty() || m.Name.starts_with("ZZZZZZZZZZ") || m.Name.starts_with("__") ||
                                    statusHost);
            if (!m.IsStructure() && TypeSize(m.AtomicType()) != 0) {
                EXPECT_EQ(m.Size,
                          m.AtomicType() == cipType::BOOL ? 1u : TypeSize(m.AtomicType()) * m.ElementCount())
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
    const Bytes reply = logixtest::Hex(logixtest::SectionBlock(markdown, "### IS-01").value_or(""));
    ASSERT_GT(reply.size(), 4u);
    auto t = TTemplateInfo::Parse(Bytes(reply.begin() + 4, reply.end()), Attributes(2, 8));
    EXPECT_EQ(t->Name, "my_UDT");
    ASSERT_EQ(t->MemberCount, 2);
    EXPECT_EQ(t->Members[0]->Name, "udt_member1_real");
    EXPECT_EQ(t->Members[0]->Kind, TLogixType::REAL);
    EXPECT_EQ(t->Members[1]->Name, "udt_member2_dint");
}

} // namespace
