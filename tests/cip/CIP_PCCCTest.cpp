#include "cip/CIP_PCCC.h"

#include "eip/ScriptedDevice.h"

#include <gtest/gtest.h>

namespace {

using namespace cip;
using eiptest::Concat;

TEST(PCCCRequestTest, ByteSizeIsCappedToOneReply) {
    EXPECT_EQ(TPCCCServiceRequest::Create("F8:3", 1, 100).Pack()[12], 252); // 4 x 63
    EXPECT_EQ(TPCCCServiceRequest::Create("N7:0", 1, 0).Pack()[12], 2);     // count 0 reads one
    TPCCCServiceRequest timer = TPCCCServiceRequest::Create(" t4 : 2 ", 1, 3);
    ASSERT_TRUE(timer.ParseAddress());
    EXPECT_EQ(timer.FileType, 0x86);
    EXPECT_EQ(timer.FileNumber, 4);
    EXPECT_EQ(timer.ElementNumber, 2);
    EXPECT_EQ(timer.DataType, 0x02A0);
    EXPECT_EQ(timer.ValueKind, 10);
    EXPECT_EQ(timer.Pack()[12], 18);
}

TEST(PCCCRequestTest, InvalidAddresses) {
    for (const char* address : {"X1:0", "N:0", "N65536:0", "N7:65536", "N7:99999999999", "NN7:0", "", "N7:1junk"}) {
        TPCCCServiceRequest r = TPCCCServiceRequest::Create(address, 1, 1);
        EXPECT_FALSE(r.ParseAddress()) << address;
        EXPECT_TRUE(r.Pack().empty()) << address;
    }
}

TEST(PCCCRequestTest, SubElementsAndBitsReadTheWordThatHoldsThem) {
    struct Case {
        const char* Address;
        std::uint16_t Element;
        int SubElement; // -1: none
        int Bit;        // -1: none
        std::uint8_t ByteSize;
    };
    for (const Case& c : {Case{"T4:1.PRE", 1, 1, -1, 2}, Case{"T4:1.ACC", 1, 2, -1, 2}, Case{"t4:1.dn", 1, 0, 13, 2},
                          Case{"T4:1.EN", 1, 0, 15, 2}, Case{"C5:0.UN", 0, 0, 11, 2}, Case{"C5:0.OV", 0, 0, 12, 2},
                          Case{"R6:0.LEN", 0, 1, -1, 2}, Case{"R6:0.POS", 0, 2, -1, 2}, Case{"R6:0.FD", 0, 0, 8, 2},
                          Case{"B3:0/2", 0, -1, 2, 2}, Case{"B3/17", 1, -1, 1, 2}, Case{"B3/0", 0, -1, 0, 2},
                          Case{"N7:0/3", 0, -1, 3, 2}, Case{"L11:1/31", 1, -1, 31, 4}, Case{"L11/33", 1, -1, 1, 4},
                          Case{"T4:2/13", 2, 0, 13, 2}}) {
        const auto a = TPCCCServiceRequest::ParseAddress(c.Address);
        ASSERT_TRUE(a) << c.Address;
        EXPECT_EQ(a->ElementNumber, c.Element) << c.Address;
        EXPECT_EQ(a->SubElement ? int{*a->SubElement} : -1, c.SubElement) << c.Address;
        EXPECT_EQ(a->Bit ? int{*a->Bit} : -1, c.Bit) << c.Address;
        const TPacketDataArray bytes = TPCCCServiceRequest::Create(c.Address, 1, 1).Pack();
        ASSERT_EQ(bytes.size(), 17u) << c.Address;
        EXPECT_EQ(bytes[12], c.ByteSize) << c.Address;
        EXPECT_EQ(bytes[15], c.Element) << c.Address;
        EXPECT_EQ(bytes[16], c.SubElement < 0 ? 0 : c.SubElement) << c.Address;
    }
    // Never a shorter address: what follows must belong to the file.
    for (const char* address : {"N7:0.PRE", "T4:1.XYZ", "T4:1.", "B3:0/16", "B3:0/", "N7:0/3x", "T4:1/16",
                                "F8:0/1", "C5:0.EN", "N7:0:1", "L11:0/32"})
        EXPECT_FALSE(TPCCCServiceRequest::ParseAddress(address)) << address;
}

TEST(PCCCRequestTest, NumbersFrom255OnTakeTheThreeByteForm) {
    // The address fields after the byte size: file number, file type, element, sub-element.
    auto fields = [](const char* address) {
        const TPacketDataArray bytes = TPCCCServiceRequest::Create(address, 1, 1).Pack();
        return bytes.size() < 13 ? TPacketDataArray{} : TPacketDataArray(bytes.begin() + 13, bytes.end());
    };
    EXPECT_EQ(fields("N7:254"), (TPacketDataArray{0x07, 0x89, 0xFE, 0x00}));
    EXPECT_EQ(fields("N7:255"), (TPacketDataArray{0x07, 0x89, 0xFF, 0xFF, 0x00, 0x00}));
    EXPECT_EQ(fields("N7:300"), (TPacketDataArray{0x07, 0x89, 0xFF, 0x2C, 0x01, 0x00}));
    EXPECT_EQ(fields("N7:999"), (TPacketDataArray{0x07, 0x89, 0xFF, 0xE7, 0x03, 0x00}));
    EXPECT_EQ(fields("N300:65535"), (TPacketDataArray{0xFF, 0x2C, 0x01, 0x89, 0xFF, 0xFF, 0xFF, 0x00}));
    EXPECT_EQ(TPCCCServiceRequest::ParseAddress("N7:300")->ElementNumber, 300);
}

TMR_Response PCCCResponse(std::uint8_t service, std::uint8_t status, TPacketDataArray data) {
    TMR_Response r;
    r.ReplyService = service;
    r.GeneralStatus = status;
    r.ResponseData = std::move(data);
    return r;
}

const TPacketDataArray Requester{0x07, 0x1B, 0x05, 0x98, 0xAA, 0x91, 0x02};

TEST(PCCCReplyTest, ReplyFieldsAndData) {
    const auto r = TPCCCServiceReply::FromResponse(
        PCCCResponse(0xCB, 0, Concat({Requester, {0x4F, 0x00, 0x05, 0x00, 0x2A, 0x00, 0x2B, 0x00}})));
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.RequesterVendor, 0x051B);
    EXPECT_EQ(r.RequesterSerial, 0x0291AA98u);
    EXPECT_EQ(r.Command, 0x4F);
    EXPECT_EQ(r.TNS, 5);
    EXPECT_EQ(r.Data, (TPacketDataArray{0x2A, 0x00, 0x2B, 0x00}));
}

TEST(PCCCReplyTest, ExtendedPCCCStatusTakesOneByte) {
    const auto r = TPCCCServiceReply::FromResponse(
        PCCCResponse(0xCB, 0, Concat({Requester, {0x4F, 0xF0, 0x05, 0x00, 0x07, 0xEE}})));
    EXPECT_EQ(r.PCCCStatus, 0xF0);
    EXPECT_EQ(r.ExtendedStatus, 0x07);
    EXPECT_EQ(r.Data, (TPacketDataArray{0xEE}));
}

TEST(PCCCReplyTest, ReplyLevelProblemsGoToTheStatus) {
    EXPECT_EQ(TPCCCServiceReply::FromResponse(PCCCResponse(0xCC, 0, Requester)).Status, 0x22);
    EXPECT_EQ(TPCCCServiceReply::FromResponse(PCCCResponse(0xCB, 0, {7, 1, 2})).Status, 0x13);
    EXPECT_EQ(TPCCCServiceReply::FromResponse(PCCCResponse(0xCB, 0, Concat({Requester, {0x4F, 0}}))).Status, 0x13);
    // A requester id length beyond the data is not enough data either.
    EXPECT_EQ(TPCCCServiceReply::FromResponse(PCCCResponse(0xCB, 0, {0xF0, 1, 2, 3, 4, 5, 6, 7})).Status, 0x13);
    TMR_Response failed = PCCCResponse(0xCB, 0xFF, {});
    failed.AdditionalStatus = {0x0302};
    const auto r = TPCCCServiceReply::FromResponse(failed);
    EXPECT_EQ(r.StatusBytes, (std::array<std::uint8_t, 4>{0xFF, 0x00, 0x02, 0x03}));
}

TEST(PCCCReplyTest, ReadPCCCUsesOneNumberForTheTNSAndTheSequenceCount) {
    eiptest::ScriptedSession scripted;
    auto& [device, session] = scripted;
    session.ConnectionParameters.OTConnectionId = 0x44332211;
    const TPacketDataArray item = Concat({{0x01, 0x00, 0xCB, 0x00, 0x00, 0x00}, Requester, {0x4F, 0, 1, 0, 9, 0}});
    device.Replies.push_back(Concat({{0x70, 0, static_cast<std::uint8_t>(20 + item.size()), 0},
                                     TPacketDataArray(20, 0),
                                     {0, 0, 0, 0, 0, 0, 2, 0, 0xA1, 0, 4, 0, 1, 2, 3, 4, 0xB1, 0,
                                      static_cast<std::uint8_t>(item.size()), 0},
                                     item}));
    TSequenceNumberGenerator g;
    const auto reply = ReadPCCC(session, "N7:0", 1, g);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->Data, (TPacketDataArray{9, 0}));
    EXPECT_EQ(reply->DataType, 0x00C3);
    EXPECT_EQ(reply->ElementSize, 2);
    EXPECT_EQ(reply->ValueKind, 6);
    const TPacketDataArray sent(device.Sent[0].begin() + 36, device.Sent[0].end());
    EXPECT_EQ(sent, Concat({{0x11, 0x22, 0x33, 0x44, 0xB1, 0x00, 0x19, 0x00, 0x01, 0x00, 0x4B, 0x02, 0x20, 0x67,
                             0x24, 0x01},
                            {0x07, 0x1B, 0x05, 0x98, 0xAA, 0x91, 0x02, 0x0F, 0x00, 0x01, 0x00, 0xA2, 0x02, 0x07, 0x89,
                             0x00, 0x00}}));
}


TEST(PCCCReplyTest, ReadPCCCWithAnInvalidAddressSendsNothing) {
    eiptest::ScriptedSession scripted;
    auto& [device, session] = scripted;
    TSequenceNumberGenerator g;
    EXPECT_FALSE(ReadPCCC(session, "N7:70000", 1, g));
    EXPECT_FALSE(ReadPCCC(session, "X1:0", 1, g));
    EXPECT_TRUE(device.Sent.empty());
    EXPECT_EQ(session.LastError, "Invalid address: X1:0");
    EXPECT_EQ(g.Next(), 1); // no sequence number was spent
}
} // namespace
