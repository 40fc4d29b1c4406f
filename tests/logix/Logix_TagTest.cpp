#include "logix/Logix_Factory.h"

#include "VectorFiles.h"
#include "cip/CIP_ReadTag.h"
#include "../ExpectThrow.h"

#include <gtest/gtest.h>

using namespace logix;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Typed(std::uint16_t type, Bytes values) {
    values.insert(values.begin(), {static_cast<std::uint8_t>(type), static_cast<std::uint8_t>(type >> 8)});
    return values;
}

Bytes Dints(std::initializer_list<std::int32_t> values) {
    Bytes out;
    for (const auto v : values)
        for (int b = 0; b < 4; ++b)
            out.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) >> (8 * b)));
    return out;
}

TEST(LogixTagSetData, CompleteChangedReplyNotifiesOnce) {
    auto tag = TLogixDINT::Create("Counts", 10);
    int events = 0;
    tag->OnDataChanged = [&](TLogixTag&) { ++events; };
    // Values start at zero: an all-zero reply changes nothing.
    EXPECT_FALSE(tag->SetData(Typed(cipType::DINT, Bytes(40, 0)), 0));
    const Bytes values = Dints({0x04030201, -2, 3, 4, 5, 6, 7, 8, 9, 0x7FFFFFFF});
    EXPECT_TRUE(tag->SetData(Typed(cipType::DINT, values), 0));
    EXPECT_FALSE(tag->SetData(Typed(cipType::DINT, values), 0));
    EXPECT_EQ(events, 1);
    EXPECT_EQ(tag->IntegerAt(0), 0x04030201);
    EXPECT_EQ(tag->IntegerAt(1), -2);
    EXPECT_NE(tag->TimeStamp, 0.0);

    // In two fragments the tag completes only with the second.
    auto split = TLogixDINT::Create("Counts", 10);
    EXPECT_FALSE(split->SetData(Typed(cipType::DINT, Bytes(values.begin(), values.begin() + 20)), 0));
    EXPECT_TRUE(split->SetData(Typed(cipType::DINT, Bytes(values.begin() + 20, values.end())), 20));
    EXPECT_EQ(split->IntegerAt(9), 0x7FFFFFFF);

    // Half an element at the end is no value; fewer than two bytes is no reply.
    auto words = TLogixINT::Create("Words", 3);
    EXPECT_FALSE(words->SetData(Typed(cipType::INT, {0x02, 0x01, 0x04, 0x83, 0x06}), 0));
    EXPECT_EQ(words->IntegerAt(1), static_cast<std::int16_t>(0x8304));
    EXPECT_EQ(words->IntegerAt(2), 0);
    EXPECT_THROW(words->SetData(Bytes{0xC3}, 0), eip::EListError);
}

TEST(LogixTagSetData, MismatchesAndInactiveTagsChangeNoValue) {
    auto tag = TLogixDINT::Create("Counts", 1);
    int statusEvents = 0;
    tag->OnStatusChanged = [&](TLogixTag&) { ++statusEvents; };
    ASSERT_TRUE(tag->SetData(Typed(cipType::DINT, Dints({0x01020304})), 0));
    EXPECT_FALSE(tag->SetData(Typed(cipType::INT, {0x05, 0x06, 0x07, 0x08}), 0));
    EXPECT_EQ(tag->ErrorCode, -7);
    EXPECT_EQ(tag->Status, -1);
    EXPECT_EQ(statusEvents, 1);
    EXPECT_EQ(tag->IntegerAt(0), 0x01020304);
    // A class that does not decode the code it was made for (a DINT for FTIME).
    auto ftime = TLogixTagFactory::CreateByType(cipType::FTIME, "F", 1);
    EXPECT_FALSE(ftime->SetData(Typed(cipType::FTIME, Dints({1})), 0));
    EXPECT_EQ(ftime->ErrorCode, -7);
    tag->Active = false;
    EXPECT_FALSE(tag->SetData(Typed(cipType::DINT, Dints({5})), 0));
    EXPECT_EQ(tag->IntegerAt(0), 0x01020304);
}

TEST(LogixTagDecode, BoolsAndBitArrays) {
    for (const auto& [byte, expected] : {std::pair{0x01, true}, {0xFF, true}, {0x02, false}}) {
        auto tag = TLogixBOOL::Create("B", 1);
        tag->SetData(Typed(cipType::BOOL, {static_cast<std::uint8_t>(byte)}), 0);
        EXPECT_EQ(tag->AsBoolean(), expected) << byte;
    }
    // Counted in 32-bit words.
    auto bits = TLogixBOOL::Create("Bits", 2);
    EXPECT_EQ(bits->ValueCount(), 64u);
    // A later fragment supplies later words.
    auto split = TLogixBOOL::Create("Bits", 2);
    EXPECT_FALSE(split->SetData(Typed(cipType::DWORD, {0x00, 0x01, 0x00, 0x00}), 0));
    EXPECT_TRUE(split->SetData(Typed(cipType::DWORD, {0x00, 0x00, 0x02, 0x00}), 4));
    EXPECT_TRUE(split->BooleanAt(32 + 17));
}

// Dates, times and SHORT_STRINGs are read by the truth test; the STRING code
// (0xD0) carries a 16-bit length and several elements.
TEST(LogixTagDecode, StringsOfTheStringCode) {
    auto text = TLogixSSTRING::Create("S", 1);
    const Bytes two = Typed(cipType::STRING, {0x03, 0x00, 'a', 'b', 'c', 0x00, 0x02, 0x00, 'x', 'y'});
    EXPECT_TRUE(text->SetData(two, 0));
    EXPECT_FALSE(text->SetData(two, 0));
    EXPECT_EQ(text->ElementCount, 2);
    EXPECT_EQ(text->StringAt(1), "xy");
    auto cut = TLogixSSTRING::Create("S", 1);
    cut->SetData(Typed(cipType::SHORT_STRING, {0x02, 'o', 'k', 0x09, 'x'}), 0);
    EXPECT_EQ(cut->ElementCount, 1);
    EXPECT_EQ(cut->StringAt(0), "ok");
}

TEST(LogixTagStatus, GeneralAndExtendedStatusMapToTheErrorTable) {
    const std::vector<std::tuple<Bytes, std::int16_t, std::int8_t>> rows{
        {{0x00, 0x00}, 0, 1},      {{0x06, 0x00}, 0, 1},      {{0x04, 0x00}, -13, -1},
        {{0x05, 0x00}, -14, -1},   {{0x0A, 0x00}, -15, -1},   {{0x13, 0x00}, -16, -1},
        {{0x1C, 0x00}, -17, -1},   {{0x26, 0x00}, -18, -1},   {{0xFF, 0x00, 0x04, 0x21}, -21, -1},
        {{0xFF, 0x00, 0x05, 0x21}, -19, -1}, {{0xFF, 0x00, 0x07, 0x21}, -20, -1},
        {{0xFF, 0x00, 0x05}, -100, -1},      {{0x1E, 0x00}, -100, -1}, {{}, -100, -1}};
    for (const auto& [status, code, state] : rows) {
        auto tag = TLogixDINT::Create("T", 1);
        tag->UpdateStatus(status);
        EXPECT_EQ(tag->ErrorCode, code);
        EXPECT_EQ(tag->Status, state);
    }
}

TEST(LogixTagAccess, IndexesStayInsideTheValues) {
    auto tag = TLogixDINT::Create("M", 6);
    EXPECT_THROW(tag->GetValueAt(6), eip::EListError);
    EXPECT_THROW(tag->GetValue2(0, 0), ELogixInvalidOperation);
    tag->SetValueAt(3, Variant(42));
    EXPECT_TRUE(tag->WriteFlags[3]);
    EXPECT_EQ(tag->GetValueAt(3).AsInteger(), 0); // a value to write is no value read
    tag->Dim0 = 2;
    tag->Dim1 = 3;
    tag->SetData(Typed(cipType::DINT, Dints({0, 1, 2, 10, 11, 12})), 0);
    EXPECT_EQ(tag->GetValue2(1, 2).AsInteger(), 12);
    // 1 × 5 ≤ 6 passes the product rule, but the flat index 8 lies past the values.
    testsupport::ExpectThrowWhat<ELogixIndexError>([&] { tag->GetValue2(1, 5); },
                                                   "List index out of bounds (1, 5)");
    EXPECT_THROW(tag->GetValue2(0, 3), ELogixIndexError); // would alias row 1

    auto cube = TLogixINT::Create("C", 8);
    cube->Dim0 = cube->Dim1 = cube->Dim2 = 2;
    cube->SetData(Typed(cipType::INT, {0, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0}), 0);
    EXPECT_EQ(cube->GetValue3(1, 0, 1).AsInteger(), 5);
    EXPECT_THROW(cube->GetValue3(0, 0, 9), ELogixIndexError); // 0 × 0 × 9 = 0 passes the product rule
}

// Reads recorded from controllers: the Read Tag reply class parses the reply
// and its type and data go to the tag as the reads hand them over.
TEST(LogixTagRecorded, AtomicReadsFromControllersDecode) {
    LOGIX_VECTOR_FILE(curatedText, "vectors/curated.jsonl");
    LOGIX_VECTOR_FILE(markdown, "VECTORS.md");
    const auto curated = logixtest::JsonLines(curatedText);
    auto read = [&](const Bytes& bytes, std::uint16_t count, std::uint32_t offset) {
        cip::TReadDataServiceReply reply;
        reply.Expand(bytes, 0);
        auto tag = TLogixTagFactory::CreateByType(reply.DataType, "T", count);
        tag->SetData(Typed(reply.DataType, reply.Data), offset);
        return tag;
    };
    int decoded = 0;
    for (const auto& [id, expected] :
         {std::pair{"RD-04", true}, {"RD-05", false}, {"RD-06", true}, {"RD-07", false}}) {
        EXPECT_EQ(static_cast<TLogixBOOL&>(*read(logixtest::CuratedReply(curated, id), 1, 0)).AsBoolean(),
                  expected);
        ++decoded;
    }
    EXPECT_EQ(static_cast<TLogixINT&>(*read(logixtest::CuratedReply(curated, "RD-08"), 1, 0)).IntegerAt(0),
              -32729);
    EXPECT_EQ(static_cast<TLogixINT&>(*read(logixtest::CuratedReply(curated, "RD-09"), 1, 0)).IntegerAt(0),
              16584);
    // Count 20 at byte offset 2: elements 1..19.
    auto scada = read(logixtest::CuratedReply(curated, "RD-08b"), 20, 2);
    const std::vector<int> expected{4172, 8,     3,     2, 2,   2, 14,  0,   0,    17126,
                                    7,    16584, 16584, 0, 228, 0, 100, 690, 16584};
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(static_cast<TLogixINT&>(*scada).IntegerAt(static_cast<std::ptrdiff_t>(i + 1)), expected[i]);
    // Micro800 SHORT_STRING data.
    auto strings = read(logixtest::Hex(logixtest::SectionBlock(markdown, "### IS-02").value_or("")), 2, 0);
    EXPECT_EQ(static_cast<TLogixSSTRING&>(*strings).StringAt(0), "Hello");
    EXPECT_EQ(static_cast<TLogixSSTRING&>(*strings).StringAt(1), "My Friend");
    decoded += 4;
    RecordProperty("atomic_reads_decoded", decoded);
}

} // namespace
