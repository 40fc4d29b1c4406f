#include "logix/Logix_Factory.h"
#include "logix/Logix_Tag.h"

#include "VectorFiles.h"
#include "cip/CIP_ReadTag.h"

#include <gtest/gtest.h>

#include <numeric>

using namespace logix;
using logixtest::Hex;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes WithType(std::uint16_t type, Bytes values) {
    Bytes data{static_cast<std::uint8_t>(type & 0xFF), static_cast<std::uint8_t>(type >> 8)};
    data.insert(data.end(), values.begin(), values.end());
    return data;
}

Bytes DintBytes(std::initializer_list<std::int32_t> values) {
    Bytes out;
    for (const auto v : values)
        for (int b = 0; b < 4; ++b)
            out.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) >> (8 * b)));
    return out;
}

TEST(LogixTagSetData, FirstDifferentReplyCompletesAndNotifiesOnce) {
    auto tag = TLogixDINT::Create("Counts", 10);
    int events = 0;
    tag->OnDataChanged = [&](TLogixTag&) { ++events; };
    Bytes values = DintBytes({0x04030201, -2, 3, 4, 5, 6, 7, 8, 9, 0x7FFFFFFF});
    EXPECT_TRUE(tag->SetData(WithType(cipType::DINT, values), 0));
    EXPECT_EQ(events, 1);
    EXPECT_EQ(tag->DataType, cipType::DINT);
    EXPECT_EQ(tag->IntegerAt(0), 0x04030201);
    EXPECT_EQ(tag->IntegerAt(1), -2);
    EXPECT_EQ(tag->IntegerAt(9), 0x7FFFFFFF);
    EXPECT_NE(tag->TimeStamp, 0.0);
    EXPECT_FALSE(tag->SetData(WithType(cipType::DINT, values), 0));
    EXPECT_EQ(events, 1);
}

TEST(LogixTagSetData, ZerosMatchTheInitialValuesAndFireNothing) {
    auto tag = TLogixDINT::Create("Zeros", 4);
    int events = 0;
    tag->OnDataChanged = [&](TLogixTag&) { ++events; };
    EXPECT_FALSE(tag->SetData(WithType(cipType::DINT, Bytes(16, 0)), 0));
    EXPECT_EQ(events, 0);
    EXPECT_EQ(tag->ValueCount(), 4u);
}

TEST(LogixTagSetData, FragmentsCompleteOnlyWithTheLastElement) {
    auto tag = TLogixDINT::Create("Counts", 10);
    Bytes values = DintBytes({10, 20, 30, 40, 50, 60, 70, 80, 90, 100});
    EXPECT_FALSE(tag->SetData(WithType(cipType::DINT, Bytes(values.begin(), values.begin() + 20)), 0));
    EXPECT_EQ(tag->IntegerAt(4), 50);
    EXPECT_EQ(tag->IntegerAt(5), 0);
    EXPECT_TRUE(tag->SetData(WithType(cipType::DINT, Bytes(values.begin() + 20, values.end())), 20));
    EXPECT_EQ(tag->IntegerAt(5), 60);
    EXPECT_EQ(tag->IntegerAt(9), 100);
}

TEST(LogixTagSetData, ShortOrPartialRepliesAreNotErrors) {
    auto tag = TLogixINT::Create("Words", 3);
    // Two whole INTs and half of the third: the half is no value.
    EXPECT_FALSE(tag->SetData(WithType(cipType::INT, {0x02, 0x01, 0x04, 0x83, 0x06}), 0));
    EXPECT_EQ(tag->IntegerAt(0), 0x0102);
    EXPECT_EQ(tag->IntegerAt(1), static_cast<std::int16_t>(0x8304));
    EXPECT_EQ(tag->IntegerAt(2), 0);
    EXPECT_FALSE(tag->SetData(WithType(cipType::INT, {}), 0));
    EXPECT_THROW(tag->SetData(Bytes{0xC3}, 0), eip::EListError);
}

TEST(LogixTagSetData, TypeMismatchLeavesValuesAndReportsMinusSeven) {
    auto tag = TLogixDINT::Create("Counts", 1);
    int statusEvents = 0;
    tag->OnStatusChanged = [&](TLogixTag&) { ++statusEvents; };
    ASSERT_TRUE(tag->SetData(WithType(cipType::DINT, DintBytes({0x01020304})), 0));
    EXPECT_FALSE(tag->SetData(WithType(cipType::INT, {0x05, 0x06, 0x07, 0x08}), 0));
    EXPECT_EQ(tag->ErrorCode, -7);
    EXPECT_EQ(tag->Status, -1);
    EXPECT_EQ(statusEvents, 1);
    EXPECT_EQ(tag->IntegerAt(0), 0x01020304);

    // A class that does not decode the code it was given (a DINT made for FTIME).
    auto ftime = TLogixTagFactory::CreateByType(cipType::FTIME, "F", 1);
    EXPECT_FALSE(ftime->SetData(WithType(cipType::FTIME, DintBytes({1})), 0));
    EXPECT_EQ(ftime->ErrorCode, -7);
}

TEST(LogixTagSetData, InactiveTagIgnoresReplies) {
    auto tag = TLogixDINT::Create("Counts", 1);
    tag->Active = false;
    tag->RawData = "kept";
    EXPECT_FALSE(tag->SetData(WithType(cipType::DINT, DintBytes({5})), 0));
    EXPECT_EQ(tag->IntegerAt(0), 0);
    EXPECT_EQ(tag->RawData, "kept");
}

TEST(LogixTagDecode, UnsignedVariantsShareTheSignedDecoder) {
    auto usint = TLogixTagFactory::CreateByType(cipType::USINT, "U8", 2);
    usint->SetData(WithType(cipType::USINT, {0xFE, 0x7F}), 0);
    EXPECT_EQ(static_cast<TLogixSINT&>(*usint).IntegerAt(0), 254);
    auto uint = TLogixTagFactory::CreateByType(cipType::UINT, "U16", 1);
    uint->SetData(WithType(cipType::UINT, {0x01, 0xFF}), 0);
    EXPECT_EQ(static_cast<TLogixINT&>(*uint).IntegerAt(0), 0xFF01);
    auto udint = TLogixTagFactory::CreateByType(cipType::UDINT, "U32", 1);
    udint->SetData(WithType(cipType::UDINT, {0x04, 0x03, 0x02, 0x81}), 0);
    EXPECT_EQ(static_cast<TLogixTagEx&>(*udint).GetValueAt(0).AsInt64(), 0x81020304LL);
    EXPECT_EQ(static_cast<TLogixDINT&>(*udint).IntegerAt(0), static_cast<std::int32_t>(0x81020304u));
    auto ulint = TLogixTagFactory::CreateByType(cipType::ULINT, "U64", 1);
    ulint->SetData(WithType(cipType::ULINT, {8, 7, 6, 5, 4, 3, 2, 0x81}), 0);
    EXPECT_EQ(static_cast<TLogixLINT&>(*ulint).Int64At(0), static_cast<std::int64_t>(0x8102030405060708ULL));
}

TEST(LogixTagDecode, RealWidensAndLrealReadsEightBytes) {
    auto real = TLogixREAL::Create("R", 2);
    EXPECT_TRUE(real->SetData(WithType(cipType::REAL, {0x00, 0x00, 0xC0, 0x3F, 0x00, 0x00, 0x20, 0xC1}), 0));
    EXPECT_DOUBLE_EQ(real->FloatAt(0), 1.5);
    EXPECT_DOUBLE_EQ(real->FloatAt(1), -10.0);
    auto lreal = TLogixLREAL::Create("L", 1);
    EXPECT_TRUE(lreal->SetData(WithType(cipType::LREAL, {0, 0, 0, 0, 0, 0, 0x04, 0xC0}), 0));
    EXPECT_DOUBLE_EQ(lreal->FloatAt(0), -2.5);
}

TEST(LogixTagDecode, BoolTrueIsOneOrFF) {
    for (const auto& [byte, expected] : {std::pair{0x01, true}, {0xFF, true}, {0x02, false}, {0x00, false}}) {
        auto tag = TLogixBOOL::Create("B", 1);
        tag->SetData(WithType(cipType::BOOL, {static_cast<std::uint8_t>(byte)}), 0);
        EXPECT_EQ(tag->AsBoolean(), expected) << byte;
    }
}

TEST(LogixTagDecode, BoolArraysAreCountedInWords) {
    auto tag = TLogixBOOL::Create("Bits", 2);
    EXPECT_EQ(tag->ValueCount(), 64u);
    EXPECT_TRUE(tag->SetData(WithType(cipType::DWORD, {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80}), 0));
    for (std::ptrdiff_t i = 0; i < 64; ++i)
        EXPECT_EQ(tag->BooleanAt(i), i == 0 || i == 63) << i;

    // A fragment at byte 4 supplies the second word.
    auto split = TLogixBOOL::Create("Bits", 2);
    EXPECT_FALSE(split->SetData(WithType(cipType::DWORD, {0x00, 0x01, 0x00, 0x00}), 0));
    EXPECT_TRUE(split->SetData(WithType(cipType::DWORD, {0x00, 0x00, 0x02, 0x00}), 4));
    EXPECT_TRUE(split->BooleanAt(8));
    EXPECT_TRUE(split->BooleanAt(32 + 17));

    // An LWORD needs 64 values even for one counted word.
    auto lword = TLogixBOOL::Create("L", 1);
    EXPECT_TRUE(lword->SetData(WithType(cipType::LWORD, {0, 0, 0, 0, 0, 0, 0, 0x40}), 0));
    EXPECT_TRUE(lword->BooleanAt(62));
}

TEST(LogixTagDecode, DatesAndTimes) {
    auto date = TLogixDATE::Create("D", 2);
    EXPECT_TRUE(date->SetData(WithType(cipType::DATE, {0x00, 0x00, 0x6D, 0x01}), 0));
    EXPECT_DOUBLE_EQ(date->DateTimeAt(0), qor::EncodeDateTime({1972, 1, 1}));
    EXPECT_DOUBLE_EQ(date->DateTimeAt(1), qor::EncodeDateTime({1972, 12, 31})); // day 365 of a leap year
    auto dt = TLogixDATETIME::Create("DT", 1);
    // 43,200,000 ms on day 1.
    EXPECT_TRUE(dt->SetData(WithType(cipType::DATE_AND_TIME, {0x00, 0x2E, 0x93, 0x02, 0x01, 0x00}), 0));
    EXPECT_DOUBLE_EQ(dt->DateTimeAt(0), qor::EncodeDateTime({1972, 1, 2, 12}));
    auto time = TLogixTIME::Create("T", 1);
    EXPECT_TRUE(time->SetData(WithType(cipType::TIME, {0x80, 0xEE, 0x36, 0x00}), 0)); // 3,600,000 ms
    EXPECT_DOUBLE_EQ(time->DateTimeAt(0), 1.0 / 24.0);
}

TEST(LogixTagDecode, StringsOfBothLayouts) {
    auto tag = TLogixSSTRING::Create("S", 1);
    EXPECT_TRUE(tag->SetData(WithType(cipType::STRING, {0x03, 0x00, 'a', 'b', 'c', 0x00, 0x02, 0x00, 'x', 'y'}), 0));
    EXPECT_EQ(tag->ElementCount, 2);
    EXPECT_EQ(tag->StringAt(0), "abc");
    EXPECT_EQ(tag->StringAt(1), "xy");
    EXPECT_FALSE(tag->SetData(WithType(cipType::STRING, {0x03, 0x00, 'a', 'b', 'c', 0x00, 0x02, 0x00, 'x', 'y'}), 0));

    // A length running past the end ends the parse.
    auto cut = TLogixSSTRING::Create("S", 1);
    cut->SetData(WithType(cipType::SHORT_STRING, {0x02, 'o', 'k', 0x09, 'x'}), 0);
    EXPECT_EQ(cut->ElementCount, 1);
    EXPECT_EQ(cut->StringAt(0), "ok");
}

TEST(LogixTagStatus, GeneralAndExtendedStatusMapToTheErrorTable) {
    struct Row {
        Bytes Status;
        std::int16_t Code;
        std::int8_t State;
    };
    const std::vector<Row> rows{
        {{0x00, 0x00}, 0, 1},           {{0x06, 0x00}, 0, 1},           {{0x04, 0x00}, -13, -1},
        {{0x05, 0x00}, -14, -1},        {{0x0A, 0x00}, -15, -1},        {{0x13, 0x00}, -16, -1},
        {{0x1C, 0x00}, -17, -1},        {{0x26, 0x00}, -18, -1},        {{0xFF, 0x00, 0x04, 0x21}, -21, -1},
        {{0xFF, 0x00, 0x05, 0x21}, -19, -1}, {{0xFF, 0x00, 0x07, 0x21}, -20, -1}, {{0xFF, 0x00, 0x05}, -100, -1},
        {{0x1E, 0x00}, -100, -1},       {{}, -100, -1},
    };
    for (const auto& row : rows) {
        auto tag = TLogixDINT::Create("T", 1);
        tag->UpdateStatus(row.Status);
        EXPECT_EQ(tag->ErrorCode, row.Code);
        EXPECT_EQ(tag->Status, row.State);
    }
    auto tag = TLogixDINT::Create("T", 1);
    int events = 0;
    tag->OnStatusChanged = [&](TLogixTag&) { ++events; };
    tag->UpdateStatus(Bytes{0x00, 0x00});
    tag->UpdateStatus(Bytes{0x06, 0x00});
    tag->UpdateStatus(Bytes{0x04, 0x00});
    EXPECT_EQ(events, 2);
}

TEST(LogixTagAccess, FlatIndexIsBoundedByTheValues) {
    auto tag = TLogixDINT::Create("A", 4);
    EXPECT_THROW(tag->GetValueAt(4), eip::EListError);
    EXPECT_THROW(tag->GetValueAt(-1), eip::EListError);
    try {
        tag->SetValueAt(7, Variant(1));
        FAIL();
    } catch (const eip::EListError& e) {
        EXPECT_STREQ(e.what(), "List index out of bounds (7)");
    }
    tag->SetValueAt(3, Variant(42));
    EXPECT_TRUE(tag->WriteFlags[3]);
    EXPECT_EQ(tag->WriteValues[3].AsInteger(), 42);
    EXPECT_EQ(tag->GetValueAt(3).AsInteger(), 0); // a write value is not a read value
}

TEST(LogixTagAccess, MultiIndexNeedsDimensionsAndStaysInsideThem) {
    auto tag = TLogixDINT::Create("M", 6);
    EXPECT_THROW(tag->GetValue2(0, 0), ELogixInvalidOperation);
    tag->Dim0 = 2;
    tag->Dim1 = 3;
    tag->SetData(WithType(cipType::DINT, DintBytes({0, 1, 2, 10, 11, 12})), 0);
    EXPECT_EQ(tag->GetValue2(1, 2).AsInteger(), 12);
    EXPECT_EQ(tag->GetValue2(0, 2).AsInteger(), 2);
    // 1 × 5 ≤ 6 passes the product rule, but the flat index 8 lies past the values.
    try {
        tag->GetValue2(1, 5);
        FAIL();
    } catch (const ELogixIndexError& e) {
        EXPECT_STREQ(e.what(), "List index out of bounds (1, 5)");
    }
    EXPECT_THROW(tag->GetValue2(0, 3), ELogixIndexError); // would alias row 1
    EXPECT_THROW(tag->SetValue2(-1, 0, Variant(1)), ELogixIndexError);

    auto cube = TLogixINT::Create("C", 8);
    EXPECT_THROW(cube->GetValue3(0, 0, 0), ELogixInvalidOperation);
    cube->Dim0 = cube->Dim1 = cube->Dim2 = 2;
    cube->SetData(WithType(cipType::INT, {0, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0}), 0);
    EXPECT_EQ(cube->GetValue3(1, 1, 1).AsInteger(), 7);
    EXPECT_EQ(cube->GetValue3(1, 0, 1).AsInteger(), 5);
    // 0 × 0 × 9 = 0 passes the product rule.
    EXPECT_THROW(cube->GetValue3(0, 0, 9), ELogixIndexError);
}

// Atomic reads recorded from controllers: the reply is parsed by the Read
// Tag reply class and its type and data go to the tag as the reads hand them.
struct TRecordedRead {
    const char* Id;
    std::uint16_t Count;
    std::uint32_t Offset;
};

std::unique_ptr<TLogixTag> DecodeRecorded(const std::vector<logixtest::Json>& curated, const char* id,
                                          std::uint16_t count, std::uint32_t offset) {
    auto vector = logixtest::CuratedVector(curated, id);
    if (!vector)
        return nullptr;
    const Bytes reply = Hex((*vector)["reply"].Str());
    cip::TReadDataServiceReply parsed;
    parsed.Expand(reply, 0);
    auto tag = TLogixTagFactory::CreateByType(parsed.DataType, id, count);
    if (!tag)
        return nullptr;
    Bytes data = WithType(parsed.DataType, parsed.Data);
    tag->SetData(data, offset);
    return tag;
}

TEST(LogixTagRecorded, AtomicReadsFromControllersDecode) {
    LOGIX_VECTOR_FILE(curatedText, "vectors/curated.jsonl");
    const auto curated = logixtest::ParseJsonLines(curatedText);
    int decoded = 0;

    for (const auto& [id, expected] : {std::pair{"RD-04", true}, {"RD-05", false}, {"RD-06", true}, {"RD-07", false}}) {
        auto tag = DecodeRecorded(curated, id, 1, 0);
        ASSERT_NE(tag, nullptr) << id;
        EXPECT_EQ(static_cast<TLogixBOOL&>(*tag).AsBoolean(), expected) << id;
        ++decoded;
    }

    auto scada0 = DecodeRecorded(curated, "RD-08", 1, 0);
    ASSERT_NE(scada0, nullptr);
    EXPECT_EQ(static_cast<TLogixINT&>(*scada0).IntegerAt(0), -32729);
    ++decoded;

    // Count 20 at byte offset 2: the reply holds elements 1..19.
    auto scada = DecodeRecorded(curated, "RD-08b", 20, 2);
    ASSERT_NE(scada, nullptr);
    const std::vector<int> expected{4172, 8, 3, 2, 2, 2, 14, 0, 0, 17126, 7, 16584, 16584, 0, 228, 0, 100, 690, 16584};
    auto& ints = static_cast<TLogixINT&>(*scada);
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(ints.IntegerAt(static_cast<std::ptrdiff_t>(i + 1)), expected[i]) << i;
    ++decoded;

    auto scada12 = DecodeRecorded(curated, "RD-09", 1, 0);
    ASSERT_NE(scada12, nullptr);
    EXPECT_EQ(static_cast<TLogixINT&>(*scada12).IntegerAt(0), 16584);
    ++decoded;

    RecordProperty("atomic_reads_decoded", decoded);
    EXPECT_EQ(decoded, 7);
}

TEST(LogixTagRecorded, Micro800ShortStringsDecode) {
    LOGIX_VECTOR_FILE(markdown, "VECTORS.md");
    const auto block = logixtest::SectionBlock(markdown, "### IS-02");
    ASSERT_TRUE(block);
    cip::TReadDataServiceReply parsed;
    parsed.Expand(Hex(*block), 0);
    auto tag = TLogixTagFactory::CreateByType(parsed.DataType, "Test5", 2);
    ASSERT_NE(tag, nullptr);
    EXPECT_TRUE(tag->SetData(WithType(parsed.DataType, parsed.Data), 0));
    auto& strings = static_cast<TLogixSSTRING&>(*tag);
    ASSERT_EQ(strings.ElementCount, 2);
    EXPECT_EQ(strings.StringAt(0), "Hello");
    EXPECT_EQ(strings.StringAt(1), "My Friend");
}

} // namespace
