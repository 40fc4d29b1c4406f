#include "host/DeviceConnections.h"

#include "host/PluginInstance.h"
#include "platform/Clock.h"
#include "platform/Errors.h"
#include "platform/Messages.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <stdexcept>

namespace host {

namespace {

constexpr const char* kDevicesWindowClass = "QorHostDevices";
// wParam: the connection's cookie; lParam: the AsyncSelect kind and error.
constexpr platform::UINT WM_DEVICE_SOCKET = platform::WM_USER + 1;
// Posted from the sending thread for "<<CLOSE>>"; wParam: the cookie.
constexpr platform::UINT WM_DEVICE_CLOSE = platform::WM_USER + 2;

constexpr std::uint32_t kChannelOpened = 257;
constexpr std::uint32_t kChannelClosed = 258;
constexpr std::string_view kCloseRequest = "<<CLOSE>>";
// How long a plug-in's send may wait for a device that takes no bytes.
constexpr platform::DWORD kSendTimeoutMs = 5000;
// Bytes handed over per notification before the socket is re-armed, so one
// busy device cannot keep the main thread from its other messages.
constexpr std::size_t kReadBudget = 256 * 1024;
// A device that takes connections and drops them before saying anything is
// failing as surely as one that refuses them: it backs off and stays quiet
// in the log like one.
constexpr std::string_view kSilentDrop = "closed by the device before it sent anything";
// A device that answers and then drops the connection (some close it after an
// error reply) backs off the same way until a connection has stayed up this
// long; it is logged once, not at every reconnect.
constexpr std::string_view kDropAfterAnswer = "closed by the device";
constexpr std::uint64_t kStableMs = 10000;

} // namespace

struct TDeviceConnections::Connection {
    TDataSourceConfig Source;
    std::string Host;
    std::uint16_t Port = 0;
    platform::SOCKET Socket = platform::INVALID_SOCKET;
    platform::WPARAM Cookie = 0; // of the current attempt; notifications for older ones are stale
    bool Open = false;
    std::uint32_t Attempts = 0;
    std::uint32_t RetryDelay = kFirstRetryMs;
    std::string LastFailure; // the failure last logged; empty after a success or a close
    std::uint32_t FailedInRow = 0;
    bool RetryPending = false;
    bool Answered = false; // the device sent something on this connection
    std::uint64_t OpenedAt = 0; // platform ticks when it opened
    std::mutex SendLock;   // the socket while a plug-in thread sends on it
};

std::string DataSourcesText(const std::vector<TDataSourceConfig>& sources) {
    std::string text;
    for (const TDataSourceConfig& s : sources) {
        if (!text.empty())
            text += "\r\n";
        text += std::to_string(s.Id) + ";" + s.Name + ";" + s.FullName;
    }
    return text;
}

std::optional<std::pair<std::string, std::uint16_t>> SplitDeviceAddress(std::string_view address) {
    std::string_view host = address;
    std::string_view port;
    if (!address.empty() && address.front() == '[') {
        const std::size_t close = address.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        host = address.substr(1, close - 1);
        const std::string_view rest = address.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':')
                return std::nullopt;
            port = rest.substr(1);
        }
    } else if (const std::size_t colon = address.rfind(':'); colon != std::string_view::npos) {
        if (address.find(':') != colon) // a bare IPv6 address
            return std::make_pair(std::string(address), TDeviceConnections::kDefaultPort);
        host = address.substr(0, colon);
        port = address.substr(colon + 1);
    }
    if (host.empty())
        return std::nullopt;
    std::uint16_t number = TDeviceConnections::kDefaultPort;
    if (address.find(':') != std::string_view::npos && (address.front() != '[' || !port.empty())) {
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (port.empty() || ec != std::errc() || end != port.data() + port.size() || value == 0 ||
            value > 65535)
            return std::nullopt;
        number = static_cast<std::uint16_t>(value);
    }
    return std::make_pair(std::string(host), number);
}

std::optional<TDataSourceConfig> ParseDeviceOption(std::string_view text) {
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos)
        return std::nullopt;
    const std::string_view id = text.substr(0, equals);
    std::uint32_t value = 0;
    const auto [end, ec] = std::from_chars(id.data(), id.data() + id.size(), value);
    if (id.empty() || ec != std::errc() || end != id.data() + id.size() ||
        !SplitDeviceAddress(text.substr(equals + 1)))
        return std::nullopt;
    TDataSourceConfig source;
    source.Id = value;
    source.Name = "Device " + std::to_string(value);
    source.FullName = source.Name;
    source.Address = std::string(text.substr(equals + 1));
    return source;
}

TDeviceConnections::TDeviceConnections(THost& host, TPluginInstance& instance, TSinkRole role)
    : host_(host), instance_(instance), role_(role) {
    host_.CheckThread();
    platform::WNDCLASS wc{kDevicesWindowClass, &TDeviceConnections::WindowProc,
                          static_cast<int>(sizeof(std::intptr_t))};
    if (!platform::RegisterClass(wc) && platform::GetLastError() != platform::ERROR_CLASS_ALREADY_EXISTS)
        throw std::runtime_error("Cannot register the device connections' window class");
    window_ = platform::CreateHiddenWindow(kDevicesWindowClass, "QorHostDevices");
    if (window_ == 0)
        throw std::runtime_error("Cannot create the device connections' window");
    platform::SetWindowLongPtr(window_, 0, reinterpret_cast<std::intptr_t>(this));
    if (role_ == TSinkRole::HostSink)
        host_.SetRawBytesSink(this);
}

TDeviceConnections::~TDeviceConnections() {
    // No plug-in thread is inside SendToDevice once the sink is withdrawn (a
    // routing owner sees to that itself).
    if (role_ == TSinkRole::HostSink)
        host_.SetRawBytesSink(nullptr);
    platform::SetWindowLongPtr(window_, 0, 0);
    for (auto& [id, c] : connections_) {
        platform::KillTimer(window_, id + 1);
        if (c->Socket != platform::INVALID_SOCKET)
            platform::CloseSocket(c->Socket);
    }
    platform::DestroyWindow(window_);
}

bool TDeviceConnections::Add(const TDataSourceConfig& source) {
    host_.CheckThread();
    const auto address = SplitDeviceAddress(source.Address);
    if (!address || connections_.count(source.Id) != 0)
        return false;
    auto c = std::make_unique<Connection>();
    c->Source = source;
    c->Host = address->first;
    c->Port = address->second;
    Connection& added = *c;
    {
        std::scoped_lock hold(lock_);
        connections_.emplace(source.Id, std::move(c));
    }
    Connect(added);
    return true;
}

void TDeviceConnections::Remove(std::uint32_t sourceId) {
    host_.CheckThread();
    Connection* c = Find(sourceId);
    if (c == nullptr)
        return;
    platform::KillTimer(window_, sourceId + 1);
    const bool wasOpen = c->Open;
    Close(*c, {});
    std::unique_ptr<Connection> gone;
    {
        std::scoped_lock hold(lock_);
        gone = std::move(connections_.at(sourceId));
        connections_.erase(sourceId);
    }
    // A plug-in thread that found the connection before it left the map may
    // still hold it; it is freed once that send is over.
    { std::scoped_lock sending(gone->SendLock); }
    gone.reset();
    if (wasOpen)
        Channel(sourceId, kChannelClosed);
}

std::int32_t TDeviceConnections::SendToDevice(std::uint32_t, std::uint32_t dataSourceId,
                                              std::span<const std::uint8_t> bytes) {
    std::unique_lock hold(lock_);
    auto it = connections_.find(dataSourceId);
    if (it == connections_.end())
        return -1;
    Connection& c = *it->second;
    std::scoped_lock sending(c.SendLock);
    hold.unlock();
    if (!c.Open)
        return -1;
    if (std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()) == kCloseRequest) {
        // The close itself belongs to the main thread, which tells the
        // plug-in and opens the connection again.
        platform::PostMessage(window_, WM_DEVICE_CLOSE, c.Cookie, 0);
        return static_cast<std::int32_t>(bytes.size());
    }
    int error = 0;
    const int sent = platform::SendAll(c.Socket, bytes, kSendTimeoutMs, error);
    return sent < 0 ? -1 : sent;
}

std::vector<std::string> TDeviceConnections::LogLines() const {
    std::scoped_lock hold(logLock_);
    return log_.Lines();
}

bool TDeviceConnections::RetryPending(std::uint32_t sourceId) const {
    const Connection* c = Find(sourceId);
    return c != nullptr && c->RetryPending;
}

bool TDeviceConnections::IsOpen(std::uint32_t sourceId) const {
    const Connection* c = Find(sourceId);
    return c != nullptr && c->Open;
}

std::uint32_t TDeviceConnections::Attempts(std::uint32_t sourceId) const {
    const Connection* c = Find(sourceId);
    return c ? c->Attempts : 0;
}

std::uint32_t TDeviceConnections::RetryDelay(std::uint32_t sourceId) const {
    const Connection* c = Find(sourceId);
    return c ? c->RetryDelay : 0;
}

TDeviceConnections::Connection* TDeviceConnections::Find(std::uint32_t sourceId) const {
    auto it = connections_.find(sourceId);
    return it == connections_.end() ? nullptr : it->second.get();
}

TDeviceConnections::Connection* TDeviceConnections::FindByCookie(platform::WPARAM cookie) const {
    for (const auto& [id, c] : connections_)
        if (c->Cookie == cookie)
            return c.get();
    return nullptr;
}

void TDeviceConnections::Connect(Connection& c) {
    ++c.Attempts;
    {
        std::scoped_lock sending(c.SendLock);
        c.Cookie = ++nextCookie_;
    }
    const std::string target = c.Host + ":" + std::to_string(c.Port);
    // A retry that is expected to fail like the last one is not worth a line.
    if (c.LastFailure.empty())
        Log("Data source " + std::to_string(c.Source.Id) + ": connecting to " + target);
    int error = 0;
    const platform::SOCKET s = platform::ConnectTcp(c.Host, c.Port, error);
    if (s == platform::INVALID_SOCKET) {
        OnConnect(c, error != 0 ? error : -1);
        return;
    }
    {
        std::scoped_lock sending(c.SendLock);
        c.Socket = s;
    }
    if (!platform::AsyncSelect(s, window_, WM_DEVICE_SOCKET, c.Cookie, platform::FD_CONNECT)) {
        Close(c, {});
        OnConnect(c, -1);
    }
}

void TDeviceConnections::OnConnect(Connection& c, int error) {
    const std::string target = c.Host + ":" + std::to_string(c.Port);
    const std::string prefix = "Data source " + std::to_string(c.Source.Id) + ": ";
    if (error == 0 &&
        platform::AsyncSelect(c.Socket, window_, WM_DEVICE_SOCKET, c.Cookie, platform::FD_READ)) {
        c.Answered = false;
        c.OpenedAt = platform::GetTickCount64();
        // The back-off ends once the device answers (OnRead), or for one that
        // drops its connections, once a connection has stayed up.
        if (c.LastFailure != kSilentDrop && c.LastFailure != kDropAfterAnswer) {
            Log(prefix + "connected to " + target +
                (c.FailedInRow > 0 ? " after " + std::to_string(c.FailedInRow + 1) + " attempts" : ""));
            c.LastFailure.clear();
            c.FailedInRow = 0;
        }
        // The plug-in learns of the new connection before any of its bytes
        // can go out on it: whatever it sent before belongs to the old one.
        Channel(c.Source.Id, kChannelOpened);
        {
            std::scoped_lock sending(c.SendLock);
            c.Open = true;
        }
        return;
    }
    Close(c, {});
    ++c.FailedInRow;
    const std::string why = error > 0 ? platform::SocketErrorText(error) : "cannot start a connection";
    if (why != c.LastFailure) {
        Log(prefix + "cannot connect to " + target + " (" + why + "); retrying up to every " +
            std::to_string(kLongestRetryMs / 1000) + " s");
        c.LastFailure = why;
    }
    ScheduleRetry(c);
}

void TDeviceConnections::OnRead(Connection& first) {
    const platform::WPARAM cookie = first.Cookie;
    std::array<std::uint8_t, 16384> buffer{};
    std::size_t delivered = 0;
    for (;;) {
        // ProcessData may pump messages, and a message may close or remove
        // this connection: look it up again after every call into the plug-in.
        Connection* c = FindByCookie(cookie);
        if (c == nullptr || !c->Open)
            return;
        if (delivered >= kReadBudget) {
            platform::AsyncSelect(c->Socket, window_, WM_DEVICE_SOCKET, cookie, platform::FD_READ);
            return;
        }
        int error = 0;
        const int n = platform::Receive(c->Socket, buffer, error);
        if (n == platform::RECEIVE_NOTHING) {
            platform::AsyncSelect(c->Socket, window_, WM_DEVICE_SOCKET, cookie, platform::FD_READ);
            return;
        }
        if (n == platform::RECEIVE_CLOSED || n == platform::RECEIVE_FAILED) {
            const std::uint32_t id = c->Source.Id;
            if (c->Answered && platform::GetTickCount64() - c->OpenedAt < kStableMs &&
                n == platform::RECEIVE_CLOSED) {
                // Dropped soon after it answered: back off as for a refusal.
                Close(*c, {});
                ++c->FailedInRow;
                if (c->LastFailure != kDropAfterAnswer) {
                    Log("Data source " + std::to_string(id) + ": connection to " + c->Host + ":" +
                        std::to_string(c->Port) + " " + std::string(kDropAfterAnswer) +
                        " soon after it answered; reconnecting up to every " + std::to_string(kLongestRetryMs / 1000) +
                        " s");
                    c->LastFailure = kDropAfterAnswer;
                }
            } else if (c->Answered) {
                c->RetryDelay = kFirstRetryMs;
                Close(*c, n == platform::RECEIVE_CLOSED ? "closed by the device"
                                                        : "lost (" + platform::SocketErrorText(error) + ")");
            } else {
                Close(*c, {});
                ++c->FailedInRow;
                if (c->LastFailure != kSilentDrop) {
                    Log("Data source " + std::to_string(id) + ": connection to " + c->Host + ":" +
                        std::to_string(c->Port) + " " + std::string(kSilentDrop) + "; retrying up to every " +
                        std::to_string(kLongestRetryMs / 1000) + " s");
                    c->LastFailure = kSilentDrop;
                }
            }
            ScheduleRetry(*c);
            Channel(id, kChannelClosed);
            return;
        }
        if (!c->Answered && c->LastFailure != kDropAfterAnswer) {
            c->RetryDelay = kFirstRetryMs;
            if (!c->LastFailure.empty())
                Log("Data source " + std::to_string(c->Source.Id) + ": connected to " + c->Host + ":" +
                    std::to_string(c->Port) + ", the device answers again");
            c->LastFailure.clear();
            c->FailedInRow = 0;
        } else if (c->LastFailure == kDropAfterAnswer && platform::GetTickCount64() - c->OpenedAt >= kStableMs) {
            c->RetryDelay = kFirstRetryMs;
            Log("Data source " + std::to_string(c->Source.Id) + ": connection to " + c->Host + ":" +
                std::to_string(c->Port) + " stays up again");
            c->LastFailure.clear();
            c->FailedInRow = 0;
        }
        c->Answered = true;
        delivered += static_cast<std::size_t>(n);
        instance_.ProcessData(c->Source.Id, 2,
                              std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n)));
        // A read that did not fill the buffer took everything there was:
        // the next bytes come with the next notification (asking for it
        // again reports bytes that came in meanwhile at once), so no read is
        // spent on finding nothing.
        if (static_cast<std::size_t>(n) < buffer.size()) {
            if (Connection* again = FindByCookie(cookie); again != nullptr && again->Open)
                platform::AsyncSelect(again->Socket, window_, WM_DEVICE_SOCKET, cookie, platform::FD_READ);
            return;
        }
    }
}

void TDeviceConnections::Close(Connection& c, const std::string& reason) {
    if (!reason.empty())
        Log("Data source " + std::to_string(c.Source.Id) + ": connection to " + c.Host + ":" +
            std::to_string(c.Port) + " " + reason);
    std::scoped_lock sending(c.SendLock);
    if (c.Socket != platform::INVALID_SOCKET)
        platform::CloseSocket(c.Socket);
    c.Socket = platform::INVALID_SOCKET;
    c.Open = false;
    // Notifications still queued for this attempt are now stale.
    c.Cookie = ++nextCookie_;
}

void TDeviceConnections::ScheduleRetry(Connection& c) {
    if (platform::SetTimer(window_, c.Source.Id + 1, c.RetryDelay) == 0) {
        Log("Data source " + std::to_string(c.Source.Id) + ": cannot schedule a reconnection");
        return;
    }
    c.RetryPending = true;
    c.RetryDelay = std::min(c.RetryDelay * 2, kLongestRetryMs);
}

void TDeviceConnections::Log(const std::string& line) {
    {
        std::scoped_lock hold(logLock_);
        log_.Add(line);
    }
    if (OnLog)
        OnLog(line);
}

void TDeviceConnections::Channel(std::uint32_t sourceId, std::uint32_t event) {
    instance_.ProcessEvent(sourceId, event);
}

platform::LRESULT TDeviceConnections::WindowProc(platform::HWND hwnd, platform::UINT msg,
                                                 platform::WPARAM wParam, platform::LPARAM lParam) {
    auto* self = reinterpret_cast<TDeviceConnections*>(platform::GetWindowLongPtr(hwnd, 0));
    if (self == nullptr)
        return platform::DefWindowProc(hwnd, msg, wParam, lParam);
    try {
        switch (msg) {
        case WM_DEVICE_SOCKET:
            if (Connection* c = self->FindByCookie(wParam)) {
                if (platform::SelectEvent(lParam) == platform::FD_CONNECT && !c->Open)
                    self->OnConnect(*c, platform::SelectError(lParam));
                else if (platform::SelectEvent(lParam) == platform::FD_READ && c->Open)
                    self->OnRead(*c);
            }
            return 0;
        case WM_DEVICE_CLOSE:
            if (Connection* c = self->FindByCookie(wParam); c != nullptr && c->Open) {
                const std::uint32_t id = c->Source.Id;
                self->Close(*c, "closed at the plug-in's request");
                self->Channel(id, kChannelClosed);
                // The port opens again at once, as the device did nothing wrong.
                if (Connection* again = self->Find(id);
                    again != nullptr && again->Socket == platform::INVALID_SOCKET)
                    self->Connect(*again);
            }
            return 0;
        case platform::WM_TIMER:
            platform::KillTimer(hwnd, wParam);
            if (Connection* c = self->Find(static_cast<std::uint32_t>(wParam - 1));
                c != nullptr && c->Socket == platform::INVALID_SOCKET) {
                c->RetryPending = false;
                self->Connect(*c);
            }
            return 0;
        default:
            break;
        }
    } catch (const std::exception& e) {
        self->Log(std::string("Device connections: ") + e.what());
    }
    return platform::DefWindowProc(hwnd, msg, wParam, lParam);
}

} // namespace host
