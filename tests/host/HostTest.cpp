// The host's own side: its callbacks route to the host's extension points.
#include "host/Host.h"

#include "plugins/PluginBoundary.h"

#include <gtest/gtest.h>

#include <vector>

extern "C" std::int32_t QOR_STDCALL DataLogger_SendDataEx(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                                                          std::uint32_t, void*, std::uint32_t);

namespace {

using namespace host;

struct RecordingSink : IRawBytesSink, IPacketSink {
    std::vector<std::uint8_t> Bytes;
    std::uint32_t Module = 0, Source = 0;
    int Packets = 0;
    std::int32_t SendToDevice(std::uint32_t moduleIndex, std::uint32_t dataSourceId,
                              std::span<const std::uint8_t> bytes) override {
        Module = moduleIndex;
        Source = dataSourceId;
        Bytes.assign(bytes.begin(), bytes.end());
        return static_cast<std::int32_t>(bytes.size());
    }
    void OnDataPacket(std::uint32_t, std::uint32_t dataSourceId, const qor::TPluginCallRec& rec) override {
        Source = dataSourceId;
        Packets += rec.Flags == 1 ? 1 : 0;
    }
};

TEST(HostTest, RawBytesGoToTheSinkAndAreRefusedWithoutOne) {
    std::uint8_t bytes[] = {0x6F, 0x00, 0x02, 0x03};
    EXPECT_EQ(DataLogger_SendDataEx(4, 9, sizeof bytes, 0, 129, bytes, 0), -1); // no host
    THost host;
    EXPECT_EQ(DataLogger_SendDataEx(4, 9, sizeof bytes, 0, 129, bytes, 0), -1);
    RecordingSink sink;
    host.SetRawBytesSink(&sink);
    host.SetPacketSink(&sink);
    EXPECT_EQ(DataLogger_SendDataEx(4, 9, sizeof bytes, 0, 129, bytes, 0), 4);
    EXPECT_EQ(sink.Module, 4u);
    EXPECT_EQ(sink.Source, 9u);
    EXPECT_EQ(sink.Bytes, (std::vector<std::uint8_t>{0x6F, 0x00, 0x02, 0x03}));
    qor::TPluginCallRec packet{};
    packet.Flags = 1;
    EXPECT_EQ(DataLogger_SendDataEx(4, 11, 0, 0, 9, &packet, 0), 0);
    EXPECT_EQ(sink.Packets, 1);
    EXPECT_EQ(sink.Source, 11u);
}

} // namespace
