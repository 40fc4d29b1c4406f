// The file and SQLite outputs: what lands on disk, read back by an
// independent parser or a second SQLite connection.
#include "host/Outputs.h"

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

namespace {

using namespace host;
namespace fs = std::filesystem;

struct TempDir {
    fs::path Path;
    TempDir() {
        char name[] = "/tmp/qor-outputs-XXXXXX";
        Path = ::mkdtemp(name);
    }
    ~TempDir() { fs::remove_all(Path); }
};

struct LogLines {
    std::vector<std::string> Lines;
    std::function<void(const std::string&)> Sink() {
        return [this](const std::string& line) { Lines.push_back(line); };
    }
    int Count(std::string_view text) const {
        return static_cast<int>(std::count_if(Lines.begin(), Lines.end(), [&](const std::string& l) {
            return l.find(text) != std::string::npos;
        }));
    }
};

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// 2026-03-01T12:34:56.789Z
const auto kTime = std::chrono::system_clock::time_point(std::chrono::milliseconds(1772368496789));

TOutputPacket Packet(std::string source, std::vector<TOutputValue> values) {
    TOutputPacket p;
    p.Time = kTime;
    p.Source = std::move(source);
    p.SourceId = 7;
    p.Values = std::move(values);
    return p;
}

// RFC 4180 reader, strict: a quote inside an unquoted field is an error.
std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
    std::size_t i = 0;
    while (i < text.size()) {
        std::string& field = rows.back().back();
        if (text[i] == '"' && field.empty()) {
            for (++i;; ++i) {
                if (i >= text.size())
                    throw std::runtime_error("unclosed quote");
                if (text[i] == '"') {
                    if (i + 1 < text.size() && text[i + 1] == '"')
                        field += text[++i];
                    else
                        break;
                } else {
                    field += text[i];
                }
            }
            ++i;
        } else if (text[i] == ',') {
            rows.back().emplace_back();
            ++i;
        } else if (text.compare(i, 2, "\r\n") == 0) {
            rows.emplace_back(1);
            i += 2;
        } else if (text[i] == '"' || text[i] == '\r' || text[i] == '\n') {
            throw std::runtime_error("bare quote or line end at " + std::to_string(i));
        } else {
            field += text[i++];
        }
    }
    if (rows.back().size() == 1 && rows.back()[0].empty())
        rows.pop_back();
    return rows;
}

TEST(OutputsTest, CsvQuotesAwkwardFieldsAndWritesTheHeaderOnce) {
    TempDir dir;
    LogLines log;
    {
        auto csv = MakeOutput("csv:data.csv", dir.Path.string(), log.Sink());
        csv->Write(Packet("line,1", {{"a,b", qor::Variant("say \"hi\", then\r\nleave")},
                                     {"q\"uote", qor::Variant(std::int32_t{-0x0302})},
                                     {"lf\n", qor::Variant(0.1)},
                                     {"flag", qor::Variant(true)},
                                     {"empty", qor::Variant()}}));
        csv->Flush(std::chrono::seconds(1));
    }
    // A second run appends to the same file without another header.
    auto again = MakeOutput("csv:data.csv", dir.Path.string(), log.Sink());
    again->Write(Packet("plain", {{"x", qor::Variant(std::uint64_t{18446744073709551615ull})}}));
    again->Flush(std::chrono::seconds(1));

    const std::string text = ReadFile(dir.Path / "data.csv");
    const std::vector<std::vector<std::string>> expected = {
        {"time", "source", "item", "value"},
        {"2026-03-01T12:34:56.789Z", "line,1", "a,b", "say \"hi\", then\r\nleave"},
        {"2026-03-01T12:34:56.789Z", "line,1", "q\"uote", "-770"},
        {"2026-03-01T12:34:56.789Z", "line,1", "lf\n", "0.1"},
        {"2026-03-01T12:34:56.789Z", "line,1", "flag", "true"},
        {"2026-03-01T12:34:56.789Z", "line,1", "empty", ""},
        {"2026-03-01T12:34:56.789Z", "plain", "x", "18446744073709551615"},
    };
    EXPECT_EQ(ParseCsv(text), expected);
    EXPECT_TRUE(log.Lines.empty());
}

TEST(OutputsTest, PacketJsonKeepsTypesOrderAndEscaping) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const TOutputPacket packet =
        Packet("s", {{"z_first", qor::Variant(std::int32_t{-5})},
                     {"big", qor::Variant(std::int64_t{9007199254740993})},
                     {"ubig", qor::Variant(std::uint64_t{18446744073709551615ull})},
                     {"d", qor::Variant(0.1)},
                     {"f", qor::Variant(0.1f)},
                     {"b", qor::Variant(false)},
                     {"text", qor::Variant("a \"q\" \\ \xC3\xA9 \xE2\x9C\x93 \n")},
                     {"bad utf8", qor::Variant("\xFF")},
                     {"when", qor::Variant::FromDateTime(qor::EncodeDateTime({2026, 3, 1, 12, 34, 56, 789}))},
                     {"nan", qor::Variant(nan)},
                     {"inf", qor::Variant(std::numeric_limits<float>::infinity())},
                     {"none", qor::Variant()},
                     {"arr", qor::Variant::MakeArray({qor::Variant(std::int16_t{2}), qor::Variant("x")})}});
    const std::string text = PacketJson(packet);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(text.rfind("{\"z_first\":-5,\"big\":9007199254740993,", 0), 0u) << text;
    EXPECT_NE(text.find("\"f\":0.1,"), std::string::npos) << text;

    const auto json = nlohmann::json::parse(text);
    EXPECT_EQ(json["ubig"].get<std::uint64_t>(), 18446744073709551615ull);
    EXPECT_EQ(json["d"].get<double>(), 0.1);
    EXPECT_TRUE(json["b"].is_boolean());
    EXPECT_EQ(json["text"], "a \"q\" \\ \xC3\xA9 \xE2\x9C\x93 \n");
    EXPECT_EQ(json["bad utf8"], "\xEF\xBF\xBD");
    EXPECT_EQ(json["when"], "2026-03-01T12:34:56.789");
    EXPECT_TRUE(json["nan"].is_null());
    EXPECT_TRUE(json["inf"].is_null());
    EXPECT_TRUE(json["none"].is_null());
    EXPECT_EQ(json["arr"], nlohmann::json::parse(R"([2,"x"])"));
}

TEST(OutputsTest, JsonlFileThatCannotBeOpenedKeepsLinesAndRecovers) {
    TempDir dir;
    LogLines log;
    auto jsonl = MakeOutput("jsonl:later/data.jsonl", dir.Path.string(), log.Sink());
    for (int i = 0; i < 3; ++i)
        jsonl->Write(Packet("s", {{"n", qor::Variant(std::int32_t{i})}}));
    jsonl->Flush(std::chrono::milliseconds(10));
    EXPECT_EQ(log.Count("cannot open"), 1);

    fs::create_directory(dir.Path / "later");
    jsonl->Write(Packet("s", {{"n", qor::Variant(std::int32_t{3})}}));
    jsonl->Flush(std::chrono::seconds(1));
    EXPECT_EQ(ReadFile(dir.Path / "later/data.jsonl"), "{\"n\":0}\n{\"n\":1}\n{\"n\":2}\n{\"n\":3}\n");
    EXPECT_EQ(log.Count("writing again"), 1);
    EXPECT_EQ(log.Lines.size(), 2u);
}

TEST(OutputsTest, MalformedTargetsAreRejected) {
    for (const char* target : {"", "jsonl:", "csv", "ftp:x", "sqlite:-", "mqtt://host", "mqtt://:1883/p",
                             "mqtt://h:99999/p", "mqtt://h:/p", "mqtt://h/a/#", "mqtt://[::1/p"}) {
        EXPECT_THROW(MakeOutput(target, "/tmp", {}), std::invalid_argument) << target;
    }
    EXPECT_EQ(MakeOutput("null", "", {})->Target(), "null");
}

// A second connection, as any SQLite client would open the file.
struct Reader {
    sqlite3* Db = nullptr;
    explicit Reader(const fs::path& path) {
        EXPECT_EQ(sqlite3_open_v2(path.c_str(), &Db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    }
    ~Reader() { sqlite3_close(Db); }
    std::vector<std::vector<std::string>> Query(const std::string& sql) {
        std::vector<std::vector<std::string>> rows;
        sqlite3_stmt* s = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(Db, sql.c_str(), -1, &s, nullptr), SQLITE_OK) << sqlite3_errmsg(Db);
        while (sqlite3_step(s) == SQLITE_ROW) {
            rows.emplace_back();
            for (int c = 0; c < sqlite3_column_count(s); ++c) {
                const auto* text = sqlite3_column_text(s, c);
                rows.back().emplace_back(text ? reinterpret_cast<const char*>(text) : "NULL");
            }
        }
        sqlite3_finalize(s);
        return rows;
    }
    int Exec(const char* sql) { return sqlite3_exec(Db, sql, nullptr, nullptr, nullptr); }
    std::string Count() { return Query("SELECT count(*) FROM samples")[0][0]; }
};

TEST(OutputsTest, SqliteRowsAreReadableWhileTheWriterKeepsWriting) {
    TempDir dir;
    LogLines log;
    auto sqlite = MakeOutput("sqlite:log.db", dir.Path.string(), log.Sink());
    sqlite->Write(Packet("line 1", {{"i", qor::Variant(std::int16_t{0x0302})},
                                    {"f", qor::Variant(0.1f)},
                                    {"b", qor::Variant(true)},
                                    {"s", qor::Variant("it's")},
                                    {"when", qor::Variant::FromDateTime(qor::EncodeDateTime({2026, 3, 1}))},
                                    {"u", qor::Variant(std::uint64_t{18446744073709551615ull})},
                                    {"none", qor::Variant()}}));
    sqlite->Flush(std::chrono::seconds(1));

    Reader reader(dir.Path / "log.db");
    EXPECT_EQ(reader.Query("PRAGMA journal_mode")[0][0], "wal");
    EXPECT_EQ(reader.Query("SELECT name FROM pragma_index_info('samples_item_time')"),
              (std::vector<std::vector<std::string>>{{"item"}, {"time_ms"}}));
    EXPECT_EQ(
        reader.Query("SELECT time_ms, time, source, item, quote(value), typeof(value), type FROM samples"),
        (std::vector<std::vector<std::string>>{
            {"1772368496789", "2026-03-01T12:34:56.789Z", "line 1", "i", "770", "integer", "Smallint"},
            {"1772368496789", "2026-03-01T12:34:56.789Z", "line 1", "f", "0.1", "real", "Single"},
            {"1772368496789", "2026-03-01T12:34:56.789Z", "line 1", "b", "1", "integer", "Boolean"},
            {"1772368496789", "2026-03-01T12:34:56.789Z", "line 1", "s", "'it''s'", "text", "String"},
            {"1772368496789", "2026-03-01T12:34:56.789Z", "line 1", "when", "'2026-03-01T00:00:00.000'",
             "text", "Date"},
            {"1772368496789", "2026-03-01T12:34:56.789Z", "line 1", "u", "'18446744073709551615'", "text",
             "UInt64"},
            {"1772368496789", "2026-03-01T12:34:56.789Z", "line 1", "none", "NULL", "null", "Empty"}}));

    // A read transaction open across the writer's commits sees its snapshot;
    // the next one sees everything.
    ASSERT_EQ(reader.Exec("BEGIN"), SQLITE_OK);
    EXPECT_EQ(reader.Count(), "7");
    for (int i = 0; i < 2500; ++i)
        sqlite->Write(Packet("line 2", {{"n", qor::Variant(std::int32_t{i})}}));
    EXPECT_EQ(reader.Count(), "7");
    ASSERT_EQ(reader.Exec("COMMIT"), SQLITE_OK);
    sqlite->Flush(std::chrono::seconds(1));
    EXPECT_EQ(reader.Query("SELECT count(*), min(value), max(value) FROM samples WHERE item = 'n'"),
              (std::vector<std::vector<std::string>>{{"2500", "0", "2499"}}));
    EXPECT_TRUE(log.Lines.empty());
}

TEST(OutputsTest, SqliteKeepsRowsWhileAnotherWriterHoldsTheLock) {
    TempDir dir;
    LogLines log;
    auto sqlite = MakeOutput("sqlite:log.db", dir.Path.string(), log.Sink());
    Reader other(dir.Path / "log.db");
    ASSERT_EQ(other.Exec("BEGIN IMMEDIATE"), SQLITE_OK);
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 1200; ++i) // more than one batch per round
            sqlite->Write(Packet("s", {{"n", qor::Variant(std::int32_t{round * 1200 + i})}}));
        sqlite->Flush(std::chrono::milliseconds(30));
    }
    EXPECT_EQ(log.Count("locked"), 1);
    EXPECT_EQ(log.Lines.size(), 1u);
    EXPECT_EQ(other.Count(), "0");
    ASSERT_EQ(other.Exec("COMMIT"), SQLITE_OK);

    sqlite->Flush(std::chrono::seconds(1));
    EXPECT_EQ(other.Query("SELECT count(*), count(DISTINCT value), min(value), max(value) FROM samples"),
              (std::vector<std::vector<std::string>>{{"3600", "3600", "0", "3599"}}));
    EXPECT_EQ(log.Count("writing again"), 1);
}

} // namespace
