#include "logix/Logix_Factory.h"

#include <gtest/gtest.h>

using namespace logix;

namespace {

TEST(LogixFactory, EveryTypeCodeGetsItsClass) {
    const std::vector<std::pair<std::uint16_t, TLogixType>> table{
        {0xC1, TLogixType::BOOL}, {0xC2, TLogixType::SINT},     {0xC3, TLogixType::INT},
        {0xC4, TLogixType::DINT}, {0xC5, TLogixType::LINT},     {0xC6, TLogixType::USINT},
        {0xC7, TLogixType::UINT}, {0xC8, TLogixType::UDINT},    {0xC9, TLogixType::LINT},
        {0xCA, TLogixType::REAL}, {0xCB, TLogixType::LREAL},    {0xCC, TLogixType::DINT},
        {0xCD, TLogixType::DATE}, {0xCF, TLogixType::DATETIME}, {0xD0, TLogixType::SSTRING},
        {0xD1, TLogixType::BOOL}, {0xD2, TLogixType::BOOL},     {0xD3, TLogixType::BOOL},
        {0xD4, TLogixType::BOOL}, {0xD6, TLogixType::DINT},     {0xD7, TLogixType::LINT},
        {0xD8, TLogixType::INT},  {0xDA, TLogixType::SSTRING},  {0xDB, TLogixType::TIME},
    };
    for (const auto& [code, kind] : table) {
        auto tag = TLogixTagFactory::CreateByType(code, "Tag", 3);
        ASSERT_NE(tag, nullptr) << std::hex << code;
        EXPECT_EQ(tag->LogixType(), kind) << std::hex << code;
        EXPECT_EQ(tag->ElementCount, 3);
    }
    for (const std::uint16_t code : {0xCE, 0xD5, 0xD9, 0xC0, 0xDC, 0x02A0, 0x0000})
        EXPECT_EQ(TLogixTagFactory::CreateByType(code, "Tag", 1), nullptr) << std::hex << code;
}

TEST(LogixFactory, StructureClassFollowsTheExactTemplateName) {
    auto make = [](const char* name) {
        auto t = std::make_unique<TTemplateInfo>();
        t->Name = name;
        t->StructureSize = 12;
        return TLogixTagFactory::CreateStructTag("S", nullptr, std::move(t), 2);
    };
    EXPECT_EQ(make("COUNTER")->LogixType(), TLogixType::COUNTER);
    EXPECT_EQ(make("CONTROL")->LogixType(), TLogixType::CONTROL);
    EXPECT_EQ(make("TIMER")->LogixType(), TLogixType::TIMER);
    EXPECT_EQ(make("ASCIISTRING82")->LogixType(), TLogixType::STRING);
    EXPECT_EQ(make("STRING")->LogixType(), TLogixType::STRING);
    EXPECT_EQ(make("timer")->LogixType(), TLogixType::USER);
    auto udt = make("Recipe");
    EXPECT_EQ(udt->LogixType(), TLogixType::USER);
    EXPECT_EQ(udt->ItemCount(), 2u);
    EXPECT_EQ(udt->ItemAt(1).Data.size(), 12u);
    // Without a template and without a processor to read one: raw elements only.
    auto bare = TLogixTagFactory::CreateStructTag("S", nullptr, nullptr, 1);
    ASSERT_NE(bare, nullptr);
    EXPECT_TRUE(bare->SetData(std::vector<std::uint8_t>{0xA0, 0x02, 0x00, 0x00, 0x05, 0x06}, 0));
    EXPECT_EQ(bare->ItemAt(0).Data, (std::vector<std::uint8_t>{0x05, 0x06}));
}

} // namespace
