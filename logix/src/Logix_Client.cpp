#include "logix/Logix_Client.h"

#include "common/qorStrUtils.h"

#include <charconv>
#include <exception>

namespace logix {

TPacketDataArray UserPathFromText(std::string_view text) {
    TPacketDataArray path;
    while (!text.empty()) {
        const std::size_t end = text.find_first_of(",;");
        const std::string_view piece = qor::Trim(text.substr(0, end));
        unsigned long long value = 0;
        const auto [next, error] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
        if (!piece.empty() && error == std::errc() && next == piece.data() + piece.size())
            path.push_back(static_cast<std::uint8_t>(value & 0xFF));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return path;
}

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
    if (!channel_.Open(host, options.Port, options.TimeoutMs)) {
        errorCode_ = ErrSessionNotEstablished;
        errorText_ = channel_.LastError();
        return false;
    }
    // Only a Logix controller sits behind a backplane route; the small
    // controllers are addressed directly, as the engine does.
    const TPacketDataArray userPath =
        options.Family == ProcessorKindLogix ? UserPathFromText(options.Path) : TPacketDataArray{};
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
    std::vector<TLogixReadOutcome> results;
    if (!processor_ || processor_->State != StateConnected) {
        for (const auto& address : SplitAddresses(addressText))
            results.push_back({address.Text, nullptr, ErrNotConnected, ErrorTextOf(ErrNotConnected)});
        return results;
    }
    TLogixProcessor& plc = *processor_;
    if (plc.ProcessorKind == ProcessorKindLogix) {
        results = ReadAddressText(plc, addressText, elementCount, typeCode);
        for (auto& outcome : results) {
            // A reply that did not fit its tag (a type mismatch) is no value.
            if (outcome.Tag && outcome.Tag->Status < 0) {
                outcome.ErrorCode = outcome.Tag->ErrorCode;
                outcome.ErrorText = ErrorTextOf(outcome.Tag->ErrorCode);
                outcome.Tag.reset();
            }
        }
        return results;
    }

    // The small controllers read each symbolic address on its own, over a
    // connection; attributes as on any device.
    const TLogixAddressSplit split = SplitAddressText(addressText);
    for (const auto& name : split.Symbolic) {
        plc.ErrorCode = 0;
        plc.ErrorText.clear();
        TLogixReadOutcome outcome;
        outcome.Name = name;
        try {
            outcome.Tag = plc.ProcessorKind == ProcessorKindMicro800 ? plc.ReadMicro800(name, elementCount)
                                                                     : plc.ReadMicroLogix(name, elementCount);
        } catch (const std::exception& e) {
            plc.ErrorCode = ErrUnknown;
            plc.ErrorText = e.what();
        }
        if (!outcome.Tag) {
            outcome.ErrorCode = plc.ErrorCode != 0 ? plc.ErrorCode : ErrInvalidResponseSize;
            outcome.ErrorText = plc.ErrorCode != 0 ? plc.ErrorText : ErrorTextOf(ErrInvalidResponseSize);
        } else if (outcome.Tag->Status < 0) {
            // a reply arrived but the tag reports the device's refusal
            outcome.ErrorCode = outcome.Tag->ErrorCode;
            outcome.ErrorText = ErrorTextOf(outcome.Tag->ErrorCode);
            outcome.Tag.reset();
        }
        results.push_back(std::move(outcome));
    }
    for (const auto& attribute : split.Attributes) {
        for (auto& outcome : ReadAddressText(plc, attribute, elementCount, typeCode))
            results.push_back(std::move(outcome));
    }
    return results;
}

std::int32_t TLogixClient::ErrorCode() const {
    return errorCode_;
}
std::string TLogixClient::ErrorText() const {
    return errorText_;
}

} // namespace logix
