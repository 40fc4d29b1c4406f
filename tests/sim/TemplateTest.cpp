// Template objects: the attributes and definitions of predefined and user
// types, laid out as real controllers lay them out, read in chunks, and
// changed by a program download.
#include "SimFixture.h"

#include <fstream>

namespace {

using simtest::Bytes;
using simtest::Cat;
using simtest::Text;

Bytes InstancePath(std::uint16_t instance) {
    return {0x20, 0x6C, 0x25, 0x00, static_cast<std::uint8_t>(instance),
            static_cast<std::uint8_t>(instance >> 8)};
}

// The names at the end of a definition, each ended by a NUL.
Bytes Names(std::initializer_list<std::string> names) {
    Bytes out;
    for (const std::string& name : names) {
        out = Cat({out, Text(name), {0x00}});
    }
    return out;
}

// Get Attribute List of attributes 4, 3, 2, 1.
Bytes Attributes(std::uint16_t instance) {
    return Cat(
        {{0x03, 0x03}, InstancePath(instance), {0x04, 0x00, 0x04, 0x00, 0x03, 0x00, 0x02, 0x00, 0x01, 0x00}});
}

Bytes ReadTemplate(std::uint16_t instance, std::uint32_t offset, std::uint16_t size) {
    return Cat({{0x4C, 0x03},
                InstancePath(instance),
                simtest::Le32(offset),
                {static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8)}});
}

// The definition a controller recorded for a template name, from the shared
// vectors (empty when they are not there).
Bytes RecordedDefinition(const std::string& templateName) {
    std::ifstream in(std::string(QOR_SOURCE_DIR) + "/../shared/logix-vectors/vectors/templates.jsonl");
    std::string line;
    const std::string key = "\"template_name\": \"" + templateName + "\"";
    while (std::getline(in, line)) {
        if (line.find(key) == std::string::npos) {
            continue;
        }
        const std::string field = "\"definition\": \"";
        const auto at = line.find(field);
        if (at == std::string::npos) {
            continue;
        }
        const auto end = line.find('"', at + field.size());
        const std::string hex = line.substr(at + field.size(), end - at - field.size());
        Bytes out;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
            out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        }
        return out;
    }
    return {};
}

class TemplateTest : public simtest::SimFixture {
protected:
    // The template instance of a type, from the symbol type of a tag of it
    // ("Probe" of that type must exist), read over the wire.
    std::uint16_t InstanceOfTag(const std::string& tag) {
        const Bytes reply = Request(simtest::Read(simtest::Sym(tag)));
        EXPECT_GE(reply.size(), 8u);
        EXPECT_EQ(simtest::ReadLe16(reply, 4), 0x02A0);
        // The handle is in the reply; the instance comes from the attribute read below.
        const std::uint16_t handle = simtest::ReadLe16(reply, 6);
        for (const sim::SimTemplate& t : plc_->Tags().Types().All()) {
            if (t.Handle == handle) {
                return t.Instance;
            }
        }
        return 0;
    }

    // The whole definition of an instance, read the way a client does: the
    // size from attribute 4, then chunks of at most 480 bytes.
    Bytes Definition(std::uint16_t instance) {
        const Bytes attributes = Request(Attributes(instance));
        EXPECT_EQ(attributes.size(), 32u);
        if (attributes.size() != 32u) {
            return {};
        }
        const std::uint32_t size = (simtest::ReadLe32(attributes, 10) - 5) * 4;
        Bytes out;
        for (std::uint32_t offset = 0; offset < size;) {
            const auto chunk = static_cast<std::uint16_t>(std::min<std::uint32_t>(480, size - offset));
            const Bytes reply = Request(ReadTemplate(instance, offset, chunk));
            EXPECT_EQ(reply.size(), 4u + chunk);
            if (reply.size() <= 4) {
                break;
            }
            out.insert(out.end(), reply.begin() + 4, reply.end());
            offset += static_cast<std::uint32_t>(reply.size() - 4);
        }
        return out;
    }
};

TEST_F(TemplateTest, PredefinedTypesAnswerTheControllersAttributesAndDefinitions) {
    Start("DINT Counter\n");
    // TIMER: 24 words, 12 bytes, 6 members, handle = instance 0x0F83.
    EXPECT_EQ(Request(Attributes(0x0F83)),
              Bytes({0x83, 0x00, 0x00, 0x00, 0x04, 0x00, 0x04, 0x00, 0x00, 0x00, 0x18,
                     0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x02, 0x00,
                     0x00, 0x00, 0x06, 0x00, 0x01, 0x00, 0x00, 0x00, 0x83, 0x0F}));
    // CTL first, PRE at 4, ACC at 8, then the status bits at offset 3, bit 7 down.
    EXPECT_EQ(
        Definition(0x0F83),
        Cat({{0x00, 0x00, 0xD3, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC4, 0x00, 0x04, 0x00, 0x00, 0x00},
             {0x00, 0x00, 0xC4, 0x00, 0x08, 0x00, 0x00, 0x00, 0x07, 0x00, 0xC1, 0x00, 0x03, 0x00, 0x00, 0x00},
             {0x06, 0x00, 0xC1, 0x00, 0x03, 0x00, 0x00, 0x00, 0x05, 0x00, 0xC1, 0x00, 0x03, 0x00, 0x00, 0x00},
             Names({"TIMER", "CTL", "PRE", "ACC", "EN", "TT", "DN"}),
             {0x00}}));
    // CONTROL keeps its eight bits in the same byte, FD at bit 0.
    const Bytes control = Definition(0x0F84);
    ASSERT_EQ(control.size() % 4, 0u);
    EXPECT_EQ(Bytes(control.begin() + 80, control.begin() + 88),
              Bytes({0x00, 0x00, 0xC1, 0x00, 0x03, 0x00, 0x00, 0x00}));

    for (const auto& [instance, name] : {std::pair<std::uint16_t, std::string>{0x0F83, "TIMER"},
                                         {0x0F82, "COUNTER"},
                                         {0x0FCE, "ASCIISTRING82"}}) {
        const Bytes recorded = RecordedDefinition(name);
        if (recorded.empty()) {
            GTEST_SKIP() << "no recorded template vectors";
        }
        EXPECT_EQ(Definition(instance), recorded) << name;
    }
}

TEST_F(TemplateTest, UserTypesPackBoolsIntoHiddenHostsAndAlignTheirMembers) {
    Start(
        "TYPE Valve\n BOOL Open\n BOOL Closed\n INT Pos\nEND\n"
        "TYPE Big\n BOOL B0\n BOOL B1\n BOOL B2\n BOOL B3\n BOOL B4\n BOOL B5\n BOOL B6\n BOOL B7\n BOOL B8\n"
        " LINT Total\n Valve Valves[3]\n SINT Tail\nEND\n"
        "Valve Probe\nBig BigProbe\n");
    const std::uint16_t valve = InstanceOfTag("Probe");
    ASSERT_NE(valve, 0);
    EXPECT_EQ(
        Definition(valve),
        Cat({{0x00, 0x00, 0xC2, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC1, 0x00, 0x00, 0x00, 0x00, 0x00},
             {0x01, 0x00, 0xC1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC3, 0x00, 0x02, 0x00, 0x00, 0x00},
             Names({"Valve;nEBECECEA", "ZZZZZZZZZZValve0", "Open", "Closed", "Pos"}),
             {0x00, 0x00, 0x00}}));
    const Bytes valveAttributes = Request(Attributes(valve));
    ASSERT_EQ(valveAttributes.size(), 32u);
    EXPECT_EQ(simtest::ReadLe16(valveAttributes, 18), 4);     // structure size
    EXPECT_EQ(simtest::ReadLe16(valveAttributes, 24), 4);     // members, the host included
    EXPECT_NE(simtest::ReadLe16(valveAttributes, 30), valve); // a user type's handle is no instance

    // Nine BOOLs need a second host; LINT aligns to 8; an array of
    // structures is 0xA000 | instance with its count in Info; the size
    // rounds up to the widest alignment.
    const Bytes big = Definition(InstanceOfTag("BigProbe"));
    ASSERT_GE(big.size(), 14u * 8);
    auto record = [&](std::size_t i) { return Bytes(big.begin() + 8 * i, big.begin() + 8 * i + 8); };
    EXPECT_EQ(record(9), Bytes({0x00, 0x00, 0xC2, 0x00, 0x01, 0x00, 0x00, 0x00}));  // second host at 1
    EXPECT_EQ(record(10), Bytes({0x00, 0x00, 0xC1, 0x00, 0x01, 0x00, 0x00, 0x00})); // B8, bit 0 of it
    EXPECT_EQ(record(11), Bytes({0x00, 0x00, 0xC5, 0x00, 0x08, 0x00, 0x00, 0x00}));
    EXPECT_EQ(record(12), Bytes({0x03, 0x00, static_cast<std::uint8_t>(valve),
                                 static_cast<std::uint8_t>(0xA0 | (valve >> 8)), 0x10, 0x00, 0x00, 0x00}));
    EXPECT_EQ(record(13), Bytes({0x00, 0x00, 0xC2, 0x00, 0x1C, 0x00, 0x00, 0x00}));
    const Bytes bigAttributes = Request(Attributes(InstanceOfTag("BigProbe")));
    ASSERT_EQ(bigAttributes.size(), 32u);
    EXPECT_EQ(simtest::ReadLe16(bigAttributes, 18), 32);
}

TEST_F(TemplateTest, UserTypesMatchTheRecordedControllerLayouts) {
    Start("TYPE AUTOINP_UDT\n BOOL ON\nEND\n"
          "TYPE FaultRecord\n DINT timelow\n DINT timehigh\n INT type\n INT code\n DINT info[8]\nEND\n"
          "AUTOINP_UDT Probe\nFaultRecord FaultProbe\n");
    const Bytes autoinp = RecordedDefinition("AUTOINP_UDT;nEBEC");
    const Bytes fault = RecordedDefinition("FaultRecord;nEAEAEAEAEA");
    if (autoinp.empty() || fault.empty()) {
        GTEST_SKIP() << "no recorded template vectors";
    }
    EXPECT_EQ(Definition(InstanceOfTag("Probe")), autoinp);
    EXPECT_EQ(Definition(InstanceOfTag("FaultProbe")), fault);
}

TEST_F(TemplateTest, ALargeDefinitionComesInChunksThatContinueWhereTheLastEnded) {
    std::string text = "TYPE Wide\n";
    for (int i = 0; i < 60; ++i) {
        text += " DINT Member_" + std::to_string(100 + i) + "\n";
    }
    Start(text + "END\nWide Probe\n");
    const std::uint16_t wide = InstanceOfTag("Probe");
    const Bytes whole = Definition(wide); // in chunks of 480
    ASSERT_EQ(whole.size(), 480u + 27 + 60 * 11 + 1);

    // Asked for all of it at once, each reply carries what fits with 0x06,
    // and the next request continues at the bytes received so far.
    Bytes stitched;
    std::vector<std::uint8_t> statuses;
    while (stitched.size() < whole.size() && statuses.size() < 10) {
        const Bytes reply = Request(ReadTemplate(wide, static_cast<std::uint32_t>(stitched.size()),
                                                 static_cast<std::uint16_t>(whole.size())));
        ASSERT_GT(reply.size(), 4u);
        EXPECT_LE(reply.size(), 500u);
        statuses.push_back(reply[2]);
        stitched.insert(stitched.end(), reply.begin() + 4, reply.end());
    }
    EXPECT_EQ(statuses, std::vector<std::uint8_t>({0x06, 0x06, 0x00}));
    EXPECT_EQ(stitched, whole);

    // Past the end and unknown instances.
    EXPECT_EQ(Request(ReadTemplate(wide, static_cast<std::uint32_t>(whole.size()), 4)),
              Bytes({0xCC, 0x00, 0xFF, 0x01, 0x05, 0x21}));
    EXPECT_EQ(Request(ReadTemplate(0x0EEE, 0, 4)), Bytes({0xCC, 0x00, 0x05, 0x00}));
    EXPECT_EQ(Request(Cat({{0x03, 0x03}, InstancePath(0x0F83), {0x02, 0x00, 0x01, 0x00, 0x09, 0x00}})),
              Bytes({0x83, 0x00, 0x0A, 0x00, 0x02, 0x00, 0x01, 0x00, 0x00, 0x00, 0x83, 0x0F, 0x09, 0x00, 0x14,
                     0x00}));
    // Read Template takes an offset and a size, nothing more.
    EXPECT_EQ(Request(Cat({{0x4C, 0x03}, InstancePath(0x0F83), {0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00}})),
              Bytes({0xCC, 0x00, 0x15, 0x00}));
}

TEST_F(TemplateTest, AProgramDownloadGivesTheTypeANewTemplateAndItsTagsNewSymbols) {
    Start("TYPE Recipe\n DINT Amount\n REAL Ratio\nEND\nRecipe Batch = 5 0.5\n");
    const std::uint16_t before = InstanceOfTag("Batch");
    const Bytes oldAttributes = Request(Attributes(before));

    plc_->Tags().DefineType("Recipe", {{"Amount", "DINT"}, {"Ratio", "REAL"}, {"Steps", "INT", 4}});

    const std::uint16_t after = InstanceOfTag("Batch");
    EXPECT_NE(after, before);
    EXPECT_EQ(Request(Attributes(before)), Bytes({0x83, 0x00, 0x05, 0x00}));
    const Bytes newAttributes = Request(Attributes(after));
    ASSERT_EQ(newAttributes.size(), 32u);
    EXPECT_NE(simtest::ReadLe16(newAttributes, 30), simtest::ReadLe16(oldAttributes, 30));
    EXPECT_EQ(simtest::ReadLe16(newAttributes, 18), 16);
    // The tag now reads with the new handle and size, its values reset.
    EXPECT_EQ(
        Request(simtest::Read(simtest::Sym("Batch"))),
        Cat({{0xCC, 0x00, 0x00, 0x00, 0xA0, 0x02}, {newAttributes[30], newAttributes[31]}, Bytes(16, 0)}));
    // Redefining a predefined type is refused.
    EXPECT_THROW(plc_->Tags().DefineType("TIMER", {{"X", "DINT"}}), std::invalid_argument);
}

} // namespace
