// The short path for programs that have no host to own the device channel
// (tools, tests, benchmarks): connect to a controller and read an address
// text into typed tags or named errors.
//
//     logix::TLogixClient plc;
//     if (!plc.Connect("192.168.1.10", {.Path = "0"}))
//         return Fail(plc.ErrorCode(), plc.ErrorText());
//     for (const auto& result : plc.Read("Counter;Motor.Speed;@1/1/7"))
//         result.Ok() ? Show(*result.Tag) : Fail(result.ErrorCode, result.ErrorText);
#pragma once

#include "eip/EIP_TcpChannel.h"
#include "logix/Logix_Processor.h"
#include "logix/Logix_Read.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace logix {

struct TLogixClientOptions {
    std::uint16_t Port = 44818;
    // The request item's device path text: route pieces separated by "," or
    // ";" ("0" is backplane slot 0).
    std::string Path = "0";
    std::uint8_t Family = ProcessorKindLogix;
    std::uint32_t TimeoutMs = 5000;
    // Hold a class-3 connection and read through it where the family allows.
    bool Connected = false;
};

class TLogixClient {
public:
    TLogixClient() = default;
    ~TLogixClient();
    TLogixClient(const TLogixClient&) = delete;
    TLogixClient& operator=(const TLogixClient&) = delete;

    // Opens the TCP connection, registers the session and reads the identity.
    // False with ErrorCode/ErrorText set when any step fails. Connects once.
    bool Connect(const std::string& host, const TLogixClientOptions& options = {});
    // Every address of the text, one result per address: symbolic ones first
    // (several in one Multiple Service Packet on a Logix controller), then
    // attribute addresses, read with typeCode (0: the reply bytes as text).
    std::vector<TLogixReadOutcome> Read(std::string_view addressText, std::uint16_t elementCount = 1,
                                        std::uint16_t typeCode = 0);

    std::int32_t ErrorCode() const;
    std::string ErrorText() const;
    // Null before a successful Connect.
    TLogixProcessor* Processor() { return processor_.get(); }

private:
    std::int32_t errorCode_ = 0;
    std::string errorText_;
    // The processor goes first, closing its session while the channel is open.
    eip::TTcpChannel channel_;
    std::unique_ptr<TLogixProcessor> processor_;
};

} // namespace logix
