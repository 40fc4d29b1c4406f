#include "logix/Logix_Client.h"

#include "common/qorStrUtils.h"

#include <charconv>
#include <exception>

namespace logix {

TLogixClient::~TLogixClient() {
    try {
        processor_.reset();
    } catch (...) {
        // closing a session that is already gone may fail; nothing to tell
    }
    channel_.Detach();
}

bool TLogixClient::Connect(const std::string& host, const TLogixClientOptions& options) {
    if (processor_) {
        errorCode_ = ErrUnknown;
        errorText_ = "Already connected";
        return false;
    }
    if (!ParseRoute(options.Path)) {
        errorCode_ = ErrInvalidAddress;
        errorText_ = "Invalid device path: \"" + options.Path + "\" (route numbers 0..255 separated by \",\")";
        return false;
    }
    if (!channel_.Open(host, options.Port, options.TimeoutMs)) {
        errorCode_ = ErrSessionNotEstablished;
        errorText_ = channel_.LastError();
        return false;
    }
    // Only a Logix controller sits behind a backplane route; the small
    // controllers are addressed directly, as the engine does.
    const auto route = ParseRoute(options.Path);
    const TPacketDataArray userPath = options.Family == ProcessorKindLogix ? TPacketDataArray(route->begin(), route->end()) : TPacketDataArray{};
    auto processor = std::make_unique<TLogixProcessor>(nullptr, userPath, host);
    processor->UseChannel(channel_);
    std::uint8_t flags = OptionReadIdentity;
    if (options.Connected)
        flags |= OptionConnected;
    bool connected = false;
    try {
        connected = processor->Connect(options.Family, flags, 1000, options.TimeoutMs);
    } catch (const std::exception& e) {
        processor->ErrorCode = ErrUnknown;
        processor->ErrorText = e.what();
    }
    errorCode_ = processor->ErrorCode;
    errorText_ = processor->ErrorText;
    processor_ = std::move(processor);
    if (!connected && errorCode_ == 0) {
        errorCode_ = ErrNotConnected;
        errorText_ = ErrorTextOf(ErrNotConnected);
    }
    return connected;
}

std::vector<TLogixReadOutcome> TLogixClient::Read(std::string_view addressText, std::uint16_t elementCount,
                                                  std::uint16_t typeCode) {
    if (!processor_ || processor_->State != StateConnected) {
        std::vector<TLogixReadOutcome> results;
        for (const auto& address : SplitAddresses(addressText))
            results.push_back({address.Text, nullptr, ErrNotConnected, ErrorTextOf(ErrNotConnected)});
        return results;
    }
    return ReadAddressText(*processor_, addressText, elementCount, typeCode);
}

std::int32_t TLogixClient::ErrorCode() const {
    return errorCode_;
}
std::string TLogixClient::ErrorText() const {
    return errorText_;
}

} // namespace logix
