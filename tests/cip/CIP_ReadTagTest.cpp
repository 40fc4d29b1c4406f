#include "cip/CIP_ReadTag.h"

#include "cip/CIP_IOI.h"
#include "eip/ScriptedDevice.h"

#include <gtest/gtest.h>

namespace {

using namespace cip;

TEST(ReadTagTest, ExtendedStatusGoesIntoTheStatusBytes) {
    TReadDataServiceReply r;
    r.Expand(TPacketDataArray{0xCC, 0x00, 0xFF, 0x01, 0x05, 0x21}, 0);
    EXPECT_EQ(r.StatusBytes, (TPacketDataArray{0xFF, 0x00, 0x05, 0x21}));
    EXPECT_EQ(r.DataType, 0);
    EXPECT_TRUE(r.Data.empty());
    r.Expand(TPacketDataArray{0xCC, 0x00, 0x04, 0x00}, 0);
    EXPECT_EQ(r.StatusBytes, (TPacketDataArray{0x04, 0x00}));
    // A path that does not parse is no request.
    EXPECT_THROW(TReadDataServiceRequest::ReadTag(TIOI::BuildPath("[1]"), 1).Pack(),
                 eip::TAGCOM_NullReferenceException);
}

} // namespace
