// The processor against hand-written replies (route, connection interval,
// browse paging, templates in chunks, the loops a device drives) and the
// recorded replies of real controllers (browse pages, PCCC typed reads).
#include "ScriptedController.h"
#include "VectorFiles.h"
#include "cip/CIP_PCCC.h"
#include "logix/Logix_Factory.h"
#include "logix/Logix_Processor.h"
#include "logix/Logix_Struct.h"
#include "logix/Logix_Tag.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace {

using namespace logix;
using logixtest::Cat;
using logixtest::Hex;
using logixtest::MRReply;

struct Request {
    std::uint8_t Service = 0;
    TPacketDataArray Path;
    TPacketDataArray Data;
};

Request Split(const TPacketDataArray& mr) {
    Request r;
    r.Service = mr.at(0);
    const std::size_t end = 2u + 2u * mr.at(1);
    r.Path.assign(mr.begin() + 2, mr.begin() + static_cast<std::ptrdiff_t>(end));
    r.Data.assign(mr.begin() + static_cast<std::ptrdiff_t>(end), mr.end());
    return r;
}

TPacketDataArray U16(std::uint16_t v) { return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)}; }
TPacketDataArray U32(std::uint32_t v) { return Cat({U16(static_cast<std::uint16_t>(v)), U16(static_cast<std::uint16_t>(v >> 16))}); }

// One browse record with the attributes 2, 7, 8, 1.
TPacketDataArray Symbol(std::uint32_t instance, std::uint16_t type, std::string_view name,
                        std::uint32_t dim1 = 0) {
    TPacketDataArray r = Cat({U32(instance), U16(type), U16(4), U32(dim1), U32(0), U32(0), U16(static_cast<std::uint16_t>(name.size()))});
    r.insert(r.end(), name.begin(), name.end());
    return r;
}

class ProcessorTest : public ::testing::Test {
protected:
    void SetUp() override {
        eip::TSessionManager::InstallTransport<eip::TDataLoggerSession>();
        Make(TPacketDataArray{0});
    }

    void Make(TPacketDataArray userPath) {
        proc_ = std::make_unique<TLogixProcessor>(nullptr, std::move(userPath), "10.0.0.1", &device_);
        proc_->Random = [](std::uint32_t bound) { return bound / 2; };
        device_.Processor = proc_.get();
    }

    bool Connect(std::uint8_t kind = ProcessorKindLogix, std::uint8_t options = 0,
                 std::uint32_t connectionTimeout = 1000) {
        return proc_->Connect(kind, options, connectionTimeout, 500);
    }

    logixtest::ScriptedController device_;
    std::unique_ptr<TLogixProcessor> proc_;
};

TEST_F(ProcessorTest, TheRouteAndTheConnectionFollowTheFamilyAndThePollInterval) {
    device_.Handler = [](const TPacketDataArray&) { return std::nullopt; };
    ASSERT_TRUE(Connect(ProcessorKindLogix, OptionWholeRoute));
    EXPECT_EQ(proc_->RoutePath, (TPacketDataArray{0x00}));
    // Two poll intervals each way, so the device's time-out (four RPIs, the
    // multiplier 0) spans eight polls, beyond 30 s as well.
    ASSERT_TRUE(Connect(ProcessorKindLogix, OptionConnected, 30000));
    ASSERT_TRUE(Connect(ProcessorKindLogix, OptionConnected, 30001));
    ASSERT_EQ(device_.ForwardOpens.size(), 2u);
    EXPECT_EQ(TPacketDataArray(device_.ForwardOpens[0].begin() + 18, device_.ForwardOpens[0].end()),
              Hex("00 000000 00879303 fc47 00879303 fc47 a3 03 01 00 20 02 24 01"));
    EXPECT_EQ(TPacketDataArray(device_.ForwardOpens[1].begin() + 18, device_.ForwardOpens[1].end()),
              Hex("00 000000 d08e9303 fc47 d08e9303 fc47 a3 03 01 00 20 02 24 01"));

    // A Micro800 or MicroLogix sits behind no backplane: the connection goes to
    // its Message Router directly, never through a port segment of link 0x20.
    Make({});
    ASSERT_TRUE(Connect(ProcessorKindMicro800, OptionConnected));
    ASSERT_EQ(device_.ForwardOpens.size(), 3u);
    EXPECT_EQ(TPacketDataArray(device_.ForwardOpens[2].begin() + 35, device_.ForwardOpens[2].end()),
              Hex("02 20 02 24 01"));
}

TEST_F(ProcessorTest, ADeviceWithoutIdentityIsNotACIPDevice) {
    device_.ListIdentityStatus = 1;
    EXPECT_FALSE(Connect());
    EXPECT_EQ(proc_->ErrorCode, -3);
    EXPECT_EQ(proc_->ErrorText, "CIP is not supported on the target device");
    EXPECT_EQ(proc_->State, StateDisconnected);
    ASSERT_NE(proc_->Session, nullptr);
    EXPECT_FALSE(proc_->Session->Registered);
}

// Devices that refuse Get Attribute List on the identity (0x08), or answer it
// in another layout, still told who they are in their ListIdentity reply.
TEST_F(ProcessorTest, TheListedIdentityStandsWhenTheIdentityObjectGivesNone) {
    for (const TPacketDataArray& answer : {MRReply(0x03, 0x08, {}), MRReply(0x03, 0x00, Hex("0100 0000 3412"))}) {
        device_.Handler = [&](const TPacketDataArray&) -> std::optional<TPacketDataArray> { return answer; };
        Make(TPacketDataArray{0});
        ASSERT_TRUE(Connect(ProcessorKindLogix, OptionReadIdentity));
        EXPECT_TRUE(proc_->HasIdentity);
        EXPECT_EQ(proc_->ProductName, "Scripted");
        EXPECT_EQ(proc_->ErrorCode, 0);
    }
}

TEST_F(ProcessorTest, IdentityRepliesCutShortChangeNothing) {
    TPacketDataArray reply;
    device_.Handler = [&](const TPacketDataArray& mr) -> std::optional<TPacketDataArray> {
        EXPECT_EQ(mr, Hex("03 02 20 01 24 01 07 00 01 00 02 00 03 00 04 00 05 00 06 00 07 00"));
        return MRReply(0x03, 0, reply);
    };
    ASSERT_TRUE(Connect());
    const TPacketDataArray whole = Hex("0700 0100 0000 3412 0200 0000 0e00 0300 0000 5a00 0400 0000 1407"
                                       "0500 0000 605a 0600 0000 efbe adde 0700 0000 03 504c43");
    reply.assign(whole.begin(), whole.end() - 2); // the product name cut short
    EXPECT_FALSE(proc_->ReadIdentity());
    EXPECT_EQ(proc_->ErrorCode, -10);
    EXPECT_EQ(proc_->VendorId, 0);
    EXPECT_EQ(proc_->ExtStatus, 0);

    reply = whole;
    ASSERT_TRUE(proc_->ReadIdentity());
    EXPECT_EQ(proc_->VendorId, 0x1234);
    EXPECT_EQ(proc_->DeviceType, 0x000E);
    EXPECT_EQ(proc_->ProductCode, 0x005A);
    EXPECT_EQ(proc_->MajorRevision, 20);
    EXPECT_EQ(proc_->MinorRevision, 7);
    EXPECT_EQ(proc_->ExtStatus, 6);
    EXPECT_EQ(proc_->FaultBits, 0xA);
    EXPECT_EQ(proc_->VendorBits, 5);
    EXPECT_EQ(proc_->SerialNumber, 0xDEADBEEFu);
    EXPECT_EQ(proc_->ProductName, "PLC");

    // An attribute the device could not give (status 0x14) leaves the
    // identity incomplete: a failure, and nothing changes.
    reply = Hex("0700 0100 0000 7856 0200 1400 0300 0000 9900");
    EXPECT_FALSE(proc_->ReadIdentity());
    EXPECT_EQ(proc_->VendorId, 0x1234);
    EXPECT_EQ(proc_->ProductCode, 0x005A);
    // A reply without the attribute count is no identity either.
    reply.assign(whole.begin() + 2, whole.end());
    EXPECT_FALSE(proc_->ReadIdentity());
    EXPECT_EQ(proc_->ProductName, "PLC");
}

TEST_F(ProcessorTest, BrowseFollowsPagesIntoThe32BitInstanceSegment) {
    std::vector<TPacketDataArray> paths;
    device_.Handler = [&](const TPacketDataArray& mr) -> std::optional<TPacketDataArray> {
        const Request r = Split(mr);
        paths.push_back(r.Path);
        EXPECT_EQ(r.Data, Hex("04 00 02 00 07 00 08 00 01 00"));
        switch (paths.size()) {
        case 1:
            return MRReply(0x55, 0x06, Cat({Symbol(1, 0x00C4, "Counter"), Symbol(0x10, 0x1068, "Program:Main")}));
        case 2:
            return MRReply(0x55, 0x06, Cat({Symbol(0x12345, 0x8F12, "Motor"), Symbol(0x12346, 0x03C1, "Flag")}));
        default:
            return MRReply(0x55, 0x00, Symbol(0x12350, 0x20C4, "Trend", 300));
        }
    };
    ASSERT_TRUE(Connect());
    auto list = proc_->BrowseTags();
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(paths.size(), 3u);
    EXPECT_EQ(paths[0], Hex("20 6B 25 00 00 00"));
    EXPECT_EQ(paths[1], Hex("20 6B 25 00 11 00"));
    EXPECT_EQ(paths[2], Hex("20 6B 26 00 47 23 01 00"));
    ASSERT_EQ(list->Count(), 5u);
    EXPECT_EQ(list->Items(0)->Name, "Counter");
    EXPECT_EQ(list->Items(0)->AtomicType, 0xC4);
    EXPECT_TRUE(list->Items(1)->IsSystem());
    const TLogixTagInfo& motor = *list->Items(2);
    EXPECT_TRUE(motor.IsStructure);
    EXPECT_EQ(motor.AtomicType, 0x8012);
    EXPECT_EQ(motor.TemplateInstance(), 0x0F12);
    EXPECT_EQ(list->Items(3)->AtomicType, 0xC1);
    EXPECT_EQ(list->Items(3)->BitNumber(), 3);
    EXPECT_EQ(list->Items(4)->DimCount, 1);
    EXPECT_EQ(list->Items(4)->DimSize1, 300u);

    // Programs and tasks are listed, never found as tags.
    EXPECT_EQ(list->Find("program:main"), nullptr);
    EXPECT_EQ(list->Find("COUNTER"), list->Items(0));
}

TEST_F(ProcessorTest, BrowseStopsWhenTheDeviceMakesNoProgress) {
    int requests = 0;
    device_.Handler = [&](const TPacketDataArray&) -> std::optional<TPacketDataArray> {
        ++requests;
        // "More to come" with the same record, whatever the start instance.
        return MRReply(0x55, 0x06, Symbol(5, 0x00C4, "Again"));
    };
    ASSERT_TRUE(Connect());
    // A table that cannot be read to its end is no table: a symbol missing
    // from it would be taken for one the controller lacks.
    auto list = proc_->BrowseTags();
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(proc_->ErrorCode, -10);
    EXPECT_EQ(requests, 2);

    requests = 0;
    device_.Handler = [&](const TPacketDataArray&) -> std::optional<TPacketDataArray> {
        ++requests;
        return MRReply(0x55, 0x06, Hex("01 00 00")); // a record cut short
    };
    EXPECT_EQ(proc_->BrowseTags(), nullptr);
    EXPECT_EQ(requests, 1);

    // A last page whose records do not fill it, and a page that never came.
    device_.Handler = [&](const TPacketDataArray&) -> std::optional<TPacketDataArray> {
        return MRReply(0x55, 0x00, Cat({Symbol(1, 0x00C4, "One"), Hex("02 00")}));
    };
    EXPECT_EQ(proc_->BrowseTags(), nullptr);
    int page = 0;
    device_.Handler = [&](const TPacketDataArray&) -> std::optional<TPacketDataArray> {
        if (++page == 1)
            return MRReply(0x55, 0x06, Symbol(1, 0x00C4, "One"));
        return std::nullopt;
    };
    EXPECT_EQ(proc_->BrowseTags(), nullptr);
}

TEST_F(ProcessorTest, SymbolLookupsReloadOnceForANameNotYetKnown) {
    int browses = 0;
    device_.Handler = [&](const TPacketDataArray&) -> std::optional<TPacketDataArray> {
        ++browses;
        TPacketDataArray records = Symbol(1, 0x8F12, "Motor");
        if (browses >= 2)
            records = Cat({records, Symbol(2, 0x00C4, "Late")});
        return MRReply(0x55, 0x00, records);
    };
    ASSERT_TRUE(Connect());
    EXPECT_EQ(proc_->GetTemplateInstance("Motor.Speed[2]"), 0x0F12);
    EXPECT_EQ(browses, 1);
    TLogixTagInfo* motor = proc_->FindTagInfo("motor");
    ASSERT_NE(proc_->FindTagInfo("late"), nullptr);
    EXPECT_EQ(browses, 2);
    EXPECT_EQ(proc_->FindTagInfo("Missing"), nullptr);
    EXPECT_EQ(browses, 3);
    EXPECT_EQ(proc_->GetTemplateInstance("Late"), 0xFFFF);
    // Records handed out before a reload stay readable.
    EXPECT_EQ(motor->Name, "Motor");

    auto owned = proc_->GetTagInfo("LATE");
    ASSERT_NE(owned, nullptr);
    EXPECT_EQ(owned->InstanceId, 2u);
    EXPECT_EQ(proc_->GetTagInfo("Nothing"), nullptr);
}

// Template attributes (definition size, structure size, member count, handle)
// as a controller answers Get Attribute List 4, 3, 2, 1.
TPacketDataArray TemplateAttributes(std::uint32_t words, std::uint16_t size, std::uint16_t members,
                                    std::uint16_t handle) {
    return Cat({U16(4), U16(4), U16(0), U32(words), U16(3), U16(0), U16(size), U16(2), U16(0), U16(members), U16(1),
                U16(0), U16(handle)});
}

struct TemplateDevice {
    TPacketDataArray Attributes;
    TPacketDataArray Definition;
    std::size_t Overshoot = 0; // bytes answered beyond what was asked
    std::vector<std::pair<std::uint32_t, std::uint16_t>> Chunks;
    std::vector<std::pair<std::uint8_t, std::uint8_t>> Ticks;

    std::optional<TPacketDataArray> operator()(const TPacketDataArray& mr) {
        const Request r = Split(mr);
        if (r.Service == 0x03)
            return MRReply(0x03, 0, Attributes);
        const std::uint32_t offset = eip::ToUInt32(r.Data, 0);
        const std::uint16_t size = eip::ToUInt16(r.Data, 4);
        Chunks.emplace_back(offset, size);
        const std::size_t end = std::min<std::size_t>(Definition.size(), offset + size + Overshoot);
        const std::size_t from = std::min<std::size_t>(offset, end);
        return MRReply(0x4C, end < Definition.size() ? 0x06 : 0x00,
                       TPacketDataArray(Definition.begin() + static_cast<std::ptrdiff_t>(from),
                                        Definition.begin() + static_cast<std::ptrdiff_t>(end)));
    }
};

TEST_F(ProcessorTest, TemplatesAreReadInChunksUntilTheDeviceStopsGivingBytes) {
    auto device = std::make_shared<TemplateDevice>();
    device->Attributes = TemplateAttributes(250, 12, 1, 0x1234);
    device->Definition = Cat({Hex("0000 c400 00000000"), TPacketDataArray(972, 0x41)});
    device_.Handler = [device](const TPacketDataArray& mr) { return (*device)(mr); };
    ASSERT_TRUE(Connect());
    device_.Routed.clear();
    auto info = proc_->ReadTemplate(0x0F12);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->InstanceId, 0x0F12);
    using Chunks = std::vector<std::pair<std::uint32_t, std::uint16_t>>;
    EXPECT_EQ(device->Chunks, (Chunks{{0, 480}, {480, 480}, {960, 20}}));
    ASSERT_EQ(device_.Routed.size(), 4u);
    EXPECT_EQ(device_.Routed[0].Request, Hex("03 03 20 6C 25 00 12 0F 04 00 04 00 03 00 02 00 01 00"));
    EXPECT_EQ(device_.Routed[1].Request, Hex("4C 03 20 6C 25 00 12 0F 00 00 00 00 E0 01"));
    for (const auto& routed : device_.Routed)
        EXPECT_EQ((std::array{routed.Tick, routed.Ticks}), (std::array<std::uint8_t, 2>{7, 155}));

    // 494 bytes for 480 asked, as controllers do: the next chunk starts there.
    device->Chunks.clear();
    device->Overshoot = 14;
    ASSERT_NE(proc_->ReadTemplate(2), nullptr);
    EXPECT_EQ(device->Chunks, (Chunks{{0, 480}, {494, 480}}));

    device->Chunks.clear();
    device->Attributes = TemplateAttributes(30, 12, 1, 0x1234);
    ASSERT_NE(proc_->ReadTemplate(1), nullptr);
    EXPECT_EQ(device->Chunks, (Chunks{{0, 100}}));

    // A size below the 5-word header reads no definition at all.
    device->Chunks.clear();
    device->Attributes = TemplateAttributes(3, 12, 1, 0x1234);
    auto empty = proc_->ReadTemplate(3);
    EXPECT_TRUE(device->Chunks.empty());
    EXPECT_TRUE(empty == nullptr || empty->Members.Count() == 0);

    // A chunk that brings nothing would be asked for again and again.
    device->Chunks.clear();
    device->Attributes = TemplateAttributes(250, 12, 1, 0x1234);
    device->Definition.clear();
    EXPECT_EQ(proc_->ReadTemplate(4), nullptr);
    EXPECT_EQ(device->Chunks.size(), 1u);
}

TEST_F(ProcessorTest, AFragmentWithoutDataFailsTheRead) {
    int reads = 0;
    device_.Handler = [&](const TPacketDataArray& mr) -> std::optional<TPacketDataArray> {
        ++reads;
        if (mr[0] == 0x4C)
            return MRReply(0x4C, 0x06, Hex("C4 00 01 00 00 00"));
        return MRReply(0x52, 0x06, Hex("C4 00")); // more to come, but nothing in it
    };
    ASSERT_TRUE(Connect(ProcessorKindLogix, OptionConnected));
    auto tag = TLogixTagFactory::CreateByType(0xC4, "Many", 4, proc_.get());
    // Three elements never came: the read failed, rather than giving zeros.
    EXPECT_FALSE(proc_->ReadTag(tag.get()));
    EXPECT_EQ(tag->Status, -1);
    EXPECT_EQ(reads, 2);
}

TEST_F(ProcessorTest, AMicroLogixReadOfAMissingFileIsAnErrorNotAnEmptySuccess) {
    device_.Handler = [&](const TPacketDataArray& mr) -> std::optional<TPacketDataArray> {
        // Requester id echoed, command 0x4F, status 0xF0 with extended status 0x06.
        const TPacketDataArray request(mr.begin() + 6, mr.end());
        return MRReply(0x4B, 0, Cat({TPacketDataArray(request.begin(), request.begin() + 7), Hex("4F F0"),
                                     TPacketDataArray(request.begin() + 9, request.begin() + 11), Hex("06")}));
    };
    ASSERT_TRUE(Connect(ProcessorKindMicroLogix, 0));
    EXPECT_EQ(proc_->ReadMicroLogix("N9:0", 1), nullptr);
    EXPECT_EQ(proc_->ErrorCode, -14);
    // The temporary connection was opened and closed around the read.
    EXPECT_EQ(device_.ForwardOpens.size(), 1u);
    EXPECT_EQ(device_.ForwardCloses.size(), 1u);
    EXPECT_EQ(device_.Connected.size(), 1u);
}

TEST_F(ProcessorTest, AFailedTemporaryConnectionIsReported) {
    device_.RefuseForwardOpen = true;
    ASSERT_TRUE(Connect(ProcessorKindMicro800, 0));
    EXPECT_EQ(proc_->ReadMicro800("Speed", 1), nullptr);
    EXPECT_EQ(proc_->ErrorCode, -4);
    EXPECT_TRUE(device_.Connected.empty());
    EXPECT_TRUE(device_.ForwardCloses.empty());
}

// ---- Recorded replies of real controllers

// The data of a message router reply (after its status words).
TPacketDataArray ReplyData(const TPacketDataArray& reply) {
    const std::size_t at = 4u + 2u * reply.at(3);
    return TPacketDataArray(reply.begin() + static_cast<std::ptrdiff_t>(at), reply.end());
}

TEST(RecordedBrowsePages, EveryPageDecodesToItsLastByte) {
    LOGIX_VECTOR_FILE(text, "vectors/browse.jsonl");
    int pages = 0, records = 0;
    for (const auto& rec : logixtest::JsonLines(text)) {
        const TPacketDataArray data = ReplyData(Hex(rec["rep"].get<std::string>()));
        TLogixTagInfoList list;
        EXPECT_EQ(list.ParseBrowseReply(data, rec["attrs"].get<std::vector<std::uint16_t>>()), data.size())
            << rec["frames"];
        // Every record of the recording, in order, with its instance, type and name.
        const auto& want = rec["records"];
        ASSERT_EQ(list.Count(), want.size()) << rec["frames"];
        for (std::size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(list.Items(i)->InstanceId, want[i]["instance"].get<std::uint32_t>());
            EXPECT_EQ(list.Items(i)->SymbolType, want[i]["attr2"].get<std::uint32_t>());
            EXPECT_EQ(list.Items(i)->Name, want[i]["name"].get<std::string>());
        }
        records += static_cast<int>(want.size());
        ++pages;
    }
    EXPECT_EQ(pages, 27);
    std::printf("browse pages decoded: %d (%d records)\n", pages, records);
}

TEST(RecordedPCCCReads, EveryTypedReadBecomesATagOfItsWords) {
    LOGIX_VECTOR_FILE(text, "vectors/exchanges.tsv");
    int reads = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> cols;
        std::stringstream split(line);
        for (std::string c; std::getline(split, c, '\t');)
            cols.push_back(c);
        if (cols.size() < 8 || cols[0].rfind("pccc/", 0) != 0)
            continue;
        const TPacketDataArray request = Hex(cols[6]);
        // Typed logical reads only (command 0x0F, function 0xA2).
        if (request.size() < 17 || request[7] != 0x0F || request[11] != 0xA2)
            continue;
        const std::uint8_t byteSize = request[12], fileNumber = request[13], fileType = request[14];
        // The device numbers its output and input files 0x82 and 0x83.
        char letter = fileType == 0x82 ? 'O' : fileType == 0x83 ? 'I' : 0;
        for (const auto& row : cip::PLC5DataTypes)
            if (row.FileType == fileType)
                letter = row.Letter;
        // Program and configuration files: no address of ours reads them.
        if (letter == 0)
            continue;
        const auto* row = std::find_if(cip::PLC5DataTypes.begin(), cip::PLC5DataTypes.end(),
                                       [&](const cip::TPLC5DataType& r) { return r.Letter == letter; });
        cip::TMR_Response response;
        const TPacketDataArray replyBytes = Hex(cols[7]);
        response.Expand(replyBytes, 0);
        cip::TPCCCServiceReply reply = cip::TPCCCServiceReply::FromResponse(response);
        ASSERT_EQ(reply.Status, 0) << cols[2];
        ASSERT_EQ(reply.PCCCStatus, 0) << cols[2];
        ASSERT_EQ(reply.Data.size(), byteSize) << cols[2];
        reply.DataType = row->DataType;
        reply.ValueKind = row->ValueKind;
        reply.ElementSize = row->ElementSize;
        const auto count = static_cast<std::uint16_t>(byteSize / row->ElementSize);
        const std::string address = std::string(1, letter) + std::to_string(fileNumber) + ":0";
        auto tag = TLogixProcessor::PCCCReplyToTag(reply, address, count, nullptr);
        ASSERT_NE(tag, nullptr) << address;
        EXPECT_EQ(tag->ElementCount, count);
        if (auto* words = dynamic_cast<TLogixINT*>(tag.get())) {
            for (std::uint16_t i = 0; i < count; ++i)
                EXPECT_EQ(words->IntegerAt(i) & 0xFFFF, eip::ToUInt16(reply.Data, 2u * i)) << address << " " << i;
        } else if (auto* udt = dynamic_cast<TLogixUDT*>(tag.get())) {
            ASSERT_EQ(udt->ItemCount(), count);
            for (std::uint16_t i = 0; i < count; ++i)
                EXPECT_EQ(udt->ItemAt(i).Data, TPacketDataArray(reply.Data.begin() + 6 * i, reply.Data.begin() + 6 * i + 6));
        }
        ++reads;
    }
    EXPECT_EQ(reads, 10); // O0, I1, S2 twice, B3, T4, C5, R6, N7, F8
    std::printf("PCCC typed reads decoded: %d\n", reads);
}

} // namespace
