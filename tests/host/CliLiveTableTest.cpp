// The live table: one line per item with its latest value and age, the
// connection state of its data source, and a drawing only when the text changed.
#include "host/LiveTable.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

using host::TLiveTable;

host::TOutputPacket Packet(const std::string& source, TLiveTable::TClock::time_point time,
                           std::vector<host::TOutputValue> values) {
    return {.Time = time, .Source = source, .Values = std::move(values)};
}

std::string Written(std::FILE* f) {
    std::fflush(f);
    std::string text(static_cast<std::size_t>(std::ftell(f)), '\0');
    std::rewind(f);
    text.resize(std::fread(text.data(), 1, text.size(), f));
    std::rewind(f);
    return text;
}

TEST(CliLiveTableTest, ALinePerItemWithAgeAndStateRedrawnOnlyWhenChanged) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    TLiveTable table(out);
    table.StateOf = [](const std::string& source) { return source == "plc" ? "connected" : "retrying"; };
    const auto t0 = TLiveTable::TClock::now();
    table.AddSource("plc");
    table.AddSource("far");
    table.Update(
        Packet("plc", t0, {{"DATE_TIME_STAMP", 1.0}, {"EIP_REQ", "r"}, {"Speed", 1500}, {"On", true}}));
    table.Update(Packet("plc", t0 + std::chrono::seconds(5), {{"Temp", 21.5f}}));

    const std::vector<std::string> lines = table.Render(t0 + std::chrono::seconds(75));
    ASSERT_EQ(lines.size(), 5u); // header, three items of plc (header items left out), far
    EXPECT_EQ(lines[0].rfind("SOURCE  ITEM", 0), 0u) << lines[0];
    EXPECT_NE(lines[1].find("Speed  1500"), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("1m15s"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("true"), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find("21.5 "), std::string::npos) << lines[3];
    EXPECT_NE(lines[3].find("1m10s   connected"), std::string::npos) << lines[3];
    EXPECT_NE(lines[4].find("(no values yet)"), std::string::npos) << lines[4];
    EXPECT_NE(lines[4].find("retrying"), std::string::npos) << lines[4];

    table.Draw(t0);
    const std::string first = Written(out);
    EXPECT_EQ(first.find("\x1b["), first.find("\x1b[2K")); // nothing to move over yet
    table.Draw(t0 + std::chrono::milliseconds(400));       // same text: nothing written
    EXPECT_EQ(Written(out), "");
    table.Update(Packet("plc", t0, {{"Speed", 1501}}));
    table.Draw(t0 + std::chrono::milliseconds(400));
    const std::string second = Written(out);
    EXPECT_EQ(second.rfind("\x1b[5A\r", 0), 0u); // back over the five lines drawn
    EXPECT_NE(second.find("1501"), std::string::npos);
    table.Erase();
    EXPECT_EQ(Written(out), "\x1b[5A\r\x1b[J");
    std::fclose(out);
}

} // namespace
