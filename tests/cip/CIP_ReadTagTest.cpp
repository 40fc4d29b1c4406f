#include "cip/CIP_ReadTag.h"

#include "cip/CIP_IOI.h"
#include "eip/ScriptedDevice.h"

#include <gtest/gtest.h>

namespace {

using namespace cip;

TEST(ReadTagTest, ReadTagAndReadTagFragmentedRequests) {
    EXPECT_EQ(TReadDataServiceRequest::ReadTag(TIOI::BuildPath("Tag"), 0x0102).Pack(),
              (TPacketDataArray{0x4C, 0x03, 0x91, 0x03, 'T', 'a', 'g', 0x00, 0x02, 0x01}));
    EXPECT_EQ(TReadDataServiceRequest::ReadTagFragmented(TIOI::BuildPath("Ab"), 10, 0x01020304).Pack(),
              (TPacketDataArray{0x52, 0x02, 0x91, 0x02, 'A', 'b', 0x0A, 0x00, 0x04, 0x03, 0x02, 0x01}));
    EXPECT_THROW(TReadDataServiceRequest::ReadTag(TIOI::BuildPath("[1]"), 1).Pack(),
                 eip::TAGCOM_NullReferenceException);
}

TEST(ReadTagTest, ReplyTypeAndDataOfAGoodReply) {
    TReadDataServiceReply r;
    r.Expand(TPacketDataArray{0xCC, 0x00, 0x06, 0x00, 0xCA, 0x00, 0x00, 0x00, 0xC0, 0x3F}, 0);
    EXPECT_EQ(r.GeneralStatus, 6);
    EXPECT_EQ(r.StatusBytes, (TPacketDataArray{0x06, 0x00}));
    EXPECT_EQ(r.DataType, 0x00CA);
    EXPECT_EQ(r.Data, (TPacketDataArray{0x00, 0x00, 0xC0, 0x3F}));
}

TEST(ReadTagTest, ExtendedStatusGoesIntoTheStatusBytes) {
    TReadDataServiceReply r;
    r.Expand(TPacketDataArray{0xCC, 0x00, 0xFF, 0x01, 0x05, 0x21}, 0);
    EXPECT_EQ(r.StatusBytes, (TPacketDataArray{0xFF, 0x00, 0x05, 0x21}));
    EXPECT_EQ(r.DataType, 0);
    EXPECT_TRUE(r.Data.empty());
    r.Expand(TPacketDataArray{0xCC, 0x00, 0x04, 0x00}, 0);
    EXPECT_EQ(r.StatusBytes, (TPacketDataArray{0x04, 0x00}));
}

} // namespace
