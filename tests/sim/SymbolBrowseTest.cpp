// The Symbol object: browsing the tag table page by page (16- and 32-bit
// instance segments), program scope, system symbols and the type words a
// browse reports.
#include "SimFixture.h"

#include <map>

namespace {

using simtest::Bytes;
using simtest::Cat;
using simtest::Text;

// Attributes 2 (type), 7 (element size), 8 (dimensions), 1 (name).
const Bytes SymbolAttributes = {0x04, 0x00, 0x02, 0x00, 0x07, 0x00, 0x08, 0x00, 0x01, 0x00};

// Get Instance Attribute List on 20 6B from a start instance: the 16-bit
// instance segment up to 65535, the 32-bit one above.
Bytes Browse(std::uint32_t start, const Bytes& scope = {}) {
    Bytes path = scope;
    if (start <= 0xFFFF) {
        path = Cat({path,
                    {0x20, 0x6B, 0x25, 0x00, static_cast<std::uint8_t>(start),
                     static_cast<std::uint8_t>(start >> 8)}});
    } else {
        path = Cat({path, {0x20, 0x6B, 0x26, 0x00}, simtest::Le32(start)});
    }
    return Cat({{0x55, static_cast<std::uint8_t>(path.size() / 2)}, path, SymbolAttributes});
}

struct Record {
    std::uint32_t Instance = 0;
    std::uint16_t Type = 0;
    std::uint16_t Size = 0;
    std::uint32_t Dims[3] = {};
};

// Records of one page (after the 4-byte reply header); every byte must belong to a record.
std::vector<std::pair<std::string, Record>> Parse(const Bytes& reply) {
    std::vector<std::pair<std::string, Record>> out;
    std::size_t at = 4;
    while (at < reply.size()) {
        EXPECT_LE(at + 22, reply.size());
        if (at + 22 > reply.size()) {
            break;
        }
        Record r;
        r.Instance = simtest::ReadLe32(reply, at);
        r.Type = simtest::ReadLe16(reply, at + 4);
        r.Size = simtest::ReadLe16(reply, at + 6);
        for (int d = 0; d < 3; ++d) {
            r.Dims[d] = simtest::ReadLe32(reply, at + 8 + 4 * d);
        }
        const std::size_t length = simtest::ReadLe16(reply, at + 20);
        EXPECT_LE(at + 22 + length, reply.size());
        out.emplace_back(std::string(reply.begin() + static_cast<std::ptrdiff_t>(at + 22),
                                     reply.begin() + static_cast<std::ptrdiff_t>(
                                                         std::min(reply.size(), at + 22 + length))),
                         r);
        at += 22 + length;
    }
    return out;
}

class SymbolBrowseTest : public simtest::SimFixture {
protected:
    // Every page from instance 0 until a page ends with status 0; counts the pages.
    std::vector<std::pair<std::string, Record>> BrowseAll(const Bytes& scope = {}) {
        std::vector<std::pair<std::string, Record>> all;
        std::uint32_t start = 0;
        for (pages_ = 1; pages_ < 1000; ++pages_) {
            const Bytes reply = Request(Browse(start, scope));
            EXPECT_GE(reply.size(), 4u);
            if (reply.size() < 4) {
                break;
            }
            EXPECT_EQ(reply[0], 0xD5);
            auto page = Parse(reply);
            all.insert(all.end(), page.begin(), page.end());
            if (reply[2] != 0x06) {
                EXPECT_EQ(reply[2], 0x00);
                break;
            }
            EXPECT_FALSE(page.empty());
            if (page.empty()) {
                break;
            }
            start = page.back().second.Instance + 1;
        }
        return all;
    }

    int pages_ = 0;
};

TEST_F(SymbolBrowseTest, AOnePageTableIsAnsweredByteForByte) {
    Start("DINT Counter = 1\n");
    // A task and a map come with the first tag; instances step by 3079.
    EXPECT_EQ(Request(Browse(0)), Cat({{0xD5, 0x00, 0x00, 0x00},
                                       {0x01, 0x00, 0x00, 0x00, 0x70, 0x10, 0x00, 0x00},
                                       Bytes(12, 0),
                                       {0x0D, 0x00},
                                       Text("Task:MainTask"),
                                       {0x08, 0x0C, 0x00, 0x00, 0x69, 0x10, 0x00, 0x00},
                                       Bytes(12, 0),
                                       {0x09, 0x00},
                                       Text("Map:Local"),
                                       {0x0F, 0x18, 0x00, 0x00, 0xC4, 0x00, 0x04, 0x00},
                                       Bytes(12, 0),
                                       {0x07, 0x00},
                                       Text("Counter")}));
    // The start instance is inclusive; past the last symbol the page is empty.
    EXPECT_EQ(Request(Browse(0x180F)).size(), 4u + 8 + 12 + 2 + 7);
    EXPECT_EQ(Request(Browse(0x1810)), Bytes({0xD5, 0x00, 0x00, 0x00}));
}

TEST_F(SymbolBrowseTest, PagesCoverEveryTagOnceWithInstancesBeyond16Bits) {
    std::string text;
    for (int i = 0; i < 60; ++i) {
        text += "DINT Tag" + std::to_string(i) + "[3] = 1 2 3\n";
    }
    Start(text);
    const auto all = BrowseAll();
    EXPECT_GT(pages_, 2);
    ASSERT_EQ(all.size(), 62u);
    std::map<std::string, int> seen;
    for (std::size_t i = 0; i < all.size(); ++i) {
        ++seen[all[i].first];
        if (i > 0) {
            EXPECT_GT(all[i].second.Instance, all[i - 1].second.Instance);
        }
    }
    for (int i = 0; i < 60; ++i) {
        EXPECT_EQ(seen["Tag" + std::to_string(i)], 1) << i;
    }
    EXPECT_GT(all.back().second.Instance, 0xFFFFu);
    EXPECT_EQ(all.back().second.Type, 0x20C4);
    EXPECT_EQ(all.back().second.Dims[0], 3u);

    // The same pages fit fewer records over a smaller reply budget, and no
    // record is lost at the page boundaries.
    config_.Device.MaxUnconnectedReply = 120;
    Start(text);
    EXPECT_EQ(BrowseAll().size(), 62u);
    EXPECT_GE(pages_, 15);
}

TEST_F(SymbolBrowseTest, TypeWordsCarryBitPositionsStructuresAndSystemSymbols) {
    Start();
    std::map<std::string, Record> byName;
    for (const auto& [name, record] : BrowseAll()) {
        EXPECT_EQ(byName.count(name), 0u) << name;
        byName[name] = record;
    }
    // Consecutive BOOLs share a byte: the second is bit 1.
    EXPECT_EQ(byName["Run"].Type, 0x00C1);
    EXPECT_EQ(byName["Ready"].Type, 0x01C1);
    EXPECT_EQ(byName["Ready"].Size, 1);
    // BOOL[64] is two DWORDs; a structure is 0x8000 | template instance with its size.
    EXPECT_EQ(byName["Alarms"].Type, 0x20D3);
    EXPECT_EQ(byName["Alarms"].Dims[0], 2u);
    EXPECT_EQ(byName["Delay"].Type, 0x8F83);
    EXPECT_EQ(byName["Delay"].Size, 12);
    EXPECT_EQ(byName["Message"].Type, 0x8FCE);
    EXPECT_EQ(byName["Message"].Size, 88);
    EXPECT_EQ(byName["Motors"].Type & 0xF000, 0xA000);
    EXPECT_EQ(byName["Motors"].Size, 160);
    EXPECT_EQ(byName["Cube"].Type, 0x60C2);
    EXPECT_EQ(byName["Cube"].Dims[2], 2u);
    // Programs are system symbols; their tags are listed in program scope only.
    EXPECT_EQ(byName["Program:Main"].Type, 0x1068);
    EXPECT_EQ(byName["Program:Main"].Size, 0);
    EXPECT_EQ(byName["Task:MainTask"].Type, 0x1070);
    EXPECT_EQ(byName.count("Program:Main.Setpoint"), 0u);
    EXPECT_EQ(byName.count("Setpoint"), 0u);
}

TEST_F(SymbolBrowseTest, ProgramScopeListsTheProgramsTagsByTheirOwnNames) {
    Start("REAL Program:Main.Setpoint = 1\nDINT Program:Main.Steps[5]\nDINT Program:Other.X\nDINT Top\n");
    const Bytes main = Cat({{0x91, 0x0C}, Text("Program:Main")});
    std::map<std::string, Record> byName;
    for (const auto& [name, record] : BrowseAll(main)) {
        byName[name] = record;
    }
    ASSERT_EQ(byName.size(), 3u);
    EXPECT_EQ(byName["Setpoint"].Type, 0x00CA);
    EXPECT_EQ(byName["Steps"].Dims[0], 5u);
    EXPECT_EQ(byName["Routine:MainRoutine"].Type, 0x106D);
    // The program name is found without regard to case; an unknown one is no object.
    EXPECT_EQ(Parse(Request(Browse(0, Cat({{0x91, 0x0C}, Text("PROGRAM:main")})))).size(), 3u);
    EXPECT_EQ(Request(Browse(0, Cat({{0x91, 0x0C}, Text("Program:Nope")}))), Bytes({0xD5, 0x00, 0x05, 0x00}));
    // A program symbol holds no data.
    EXPECT_EQ(Request(Cat({{0x4C, 0x07, 0x91, 0x0C}, Text("Program:Main"), {0x01, 0x00}})),
              Bytes({0xCC, 0x00, 0x0F, 0x00}));
}

TEST_F(SymbolBrowseTest, BadBrowseRequestsGetTheirStatus) {
    config_.Device.MaxUnconnectedReply = 100;
    Start("DINT " + std::string(100, 'N') + " = 1\n");
    // Attribute 3 is not one a browse answers.
    EXPECT_EQ(Request({0x55, 0x03, 0x20, 0x6B, 0x25, 0x00, 0x00, 0x00, 0x01, 0x00, 0x03, 0x00}),
              Bytes({0xD5, 0x00, 0x14, 0x00}));
    // The count promises more ids than follow.
    EXPECT_EQ(Request({0x55, 0x03, 0x20, 0x6B, 0x25, 0x00, 0x00, 0x00, 0x02, 0x00, 0x01, 0x00}),
              Bytes({0xD5, 0x00, 0x13, 0x00}));
    // A record larger than a whole reply can never be sent: no endless 0x06.
    Bytes reply = Request(Browse(0));
    ASSERT_GE(reply.size(), 4u);
    EXPECT_EQ(reply[2], 0x06);
    const std::uint32_t next = Parse(reply).back().second.Instance + 1;
    EXPECT_EQ(Request(Browse(next)), Bytes({0xD5, 0x00, 0x11, 0x00}));
    // An instance segment is required.
    EXPECT_EQ(Request(Cat({{0x55, 0x01, 0x20, 0x6B}, SymbolAttributes})), Bytes({0xD5, 0x00, 0x04, 0x00}));
}

TEST_F(SymbolBrowseTest, SymbolAttributesAreReadByInstanceAndFaultsApplyToBrowses) {
    Start("INT Matrix[2,3]\n");
    // Matrix is the third symbol: instance 1 + 2 × 3079 = 0x180F.
    EXPECT_EQ(
        Request({0x03, 0x03, 0x20, 0x6B, 0x25, 0x00, 0x0F, 0x18, 0x02, 0x00, 0x02, 0x00, 0x08, 0x00}),
        Cat({{0x83, 0x00, 0x00, 0x00, 0x02, 0x00, 0x02, 0x00, 0x00, 0x00, 0xC3, 0x40, 0x08, 0x00, 0x00, 0x00},
             {0x02, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}}));
    EXPECT_EQ(Request({0x0E, 0x04, 0x20, 0x6B, 0x25, 0x00, 0x0F, 0x18, 0x30, 0x01}),
              Cat({{0x8E, 0x00, 0x00, 0x00, 0x06, 0x00}, Text("Matrix")}));
    EXPECT_EQ(Request({0x0E, 0x04, 0x20, 0x6B, 0x25, 0x00, 0x10, 0x18, 0x30, 0x01}),
              Bytes({0x8E, 0x00, 0x05, 0x00}));

    plc_->Faults().Add(
        sim::FaultRule(sim::FaultKind::Delay).OnService(0x55).WithPause(std::chrono::milliseconds(1)));
    EXPECT_EQ(Parse(Request(Browse(0))).size(), 3u);
    EXPECT_EQ(plc_->Faults().Hits(sim::FaultKind::Delay), 1u);
}

} // namespace
