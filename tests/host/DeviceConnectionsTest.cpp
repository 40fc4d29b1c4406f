// The host's device connections, driven end to end: the test plug-in loaded by
// the substitute host, a loopback server in the test as the device, and the
// retry back-off timed by a ManualClock that the test moves.
#include "host/DeviceConnections.h"
#include "host/Host.h"
#include "host/PacketStore.h"
#include "host/PluginInstance.h"
#include "host/PluginLibrary.h"

#include "platform/Clock.h"
#include "platform/Messages.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The host's callback, as the plug-in calls it.
extern "C" std::int32_t QOR_STDCALL DataLogger_SendDataEx(std::uint32_t, std::uint32_t, std::uint32_t,
                                                          std::uint32_t, std::uint32_t, void*, std::uint32_t);

namespace {

using namespace host;
using namespace std::chrono_literals;

// A device on loopback: accepts connections, keeps what each one received and
// whether its peer closed it. The test thread sends and closes.
class LoopbackServer {
public:
    explicit LoopbackServer(std::uint16_t port = 0) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_, 8) != 0)
            throw std::runtime_error("cannot listen");
        socklen_t length = sizeof a;
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
        if (::pipe(wake_) != 0)
            throw std::runtime_error("cannot make a pipe");
        thread_ = std::thread([this] { Run(); });
    }
    ~LoopbackServer() {
        [[maybe_unused]] auto n = ::write(wake_[1], "x", 1);
        thread_.join();
        for (Conn& c : conns_)
            if (c.Fd >= 0)
                ::close(c.Fd);
        ::close(listen_);
        ::close(wake_[0]);
        ::close(wake_[1]);
    }

    std::uint16_t Port() const { return port_; }
    std::function<void()> OnChange; // set before the first connection

    std::size_t Accepted() {
        std::scoped_lock hold(lock_);
        return conns_.size();
    }
    std::string Received(std::size_t conn) {
        std::scoped_lock hold(lock_);
        return conn < conns_.size() ? conns_[conn].Received : std::string();
    }
    bool PeerClosed(std::size_t conn) {
        std::scoped_lock hold(lock_);
        return conn < conns_.size() && conns_[conn].PeerClosed;
    }
    // The client may see its connection made before this side accepted it:
    // both wait for the accept.
    void Send(std::size_t conn, const std::string& bytes) {
        ASSERT_TRUE(WaitUntil([&] { return Accepted() > conn; }));
        int fd = -1;
        {
            std::scoped_lock hold(lock_);
            fd = conns_.at(conn).Fd;
        }
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    // Drops the connection as a device that restarts would.
    void Drop(std::size_t conn) {
        ASSERT_TRUE(WaitUntil([&] { return Accepted() > conn; }));
        std::scoped_lock hold(lock_);
        ::shutdown(conns_.at(conn).Fd, SHUT_RDWR);
    }
    // done reads the server through its locked accessors, so it runs unlocked;
    // the change count keeps a change made meanwhile from being slept through.
    bool WaitUntil(const std::function<bool()>& done) {
        const auto limit = std::chrono::steady_clock::now() + 10s;
        for (;;) {
            std::uint64_t seen = 0;
            {
                std::scoped_lock hold(lock_);
                seen = changes_;
            }
            if (done())
                return true;
            std::unique_lock hold(lock_);
            if (!changed_.wait_until(hold, limit, [&] { return changes_ != seen; }))
                return false;
        }
    }

private:
    struct Conn {
        int Fd = -1;
        std::string Received;
        bool PeerClosed = false;
    };

    void Run() {
        for (;;) {
            std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listen_, POLLIN, 0}};
            std::vector<std::size_t> which;
            {
                std::scoped_lock hold(lock_);
                for (std::size_t i = 0; i < conns_.size(); ++i)
                    if (!conns_[i].PeerClosed) {
                        fds.push_back({conns_[i].Fd, POLLIN, 0});
                        which.push_back(i);
                    }
            }
            if (::poll(fds.data(), fds.size(), -1) < 0)
                continue;
            if (fds[0].revents)
                return;
            if (fds[1].revents & POLLIN) {
                const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    std::scoped_lock hold(lock_);
                    conns_.push_back({fd, {}, false});
                }
                Changed();
            }
            for (std::size_t k = 2; k < fds.size(); ++k) {
                if (!fds[k].revents)
                    continue;
                char buffer[4096];
                const ssize_t n = ::recv(fds[k].fd, buffer, sizeof buffer, 0);
                {
                    std::scoped_lock hold(lock_);
                    Conn& c = conns_[which[k - 2]];
                    if (n > 0)
                        c.Received.append(buffer, static_cast<std::size_t>(n));
                    else
                        c.PeerClosed = true;
                }
                Changed();
            }
        }
    }
    void Changed() {
        {
            std::scoped_lock hold(lock_);
            ++changes_;
        }
        changed_.notify_all();
        if (OnChange)
            OnChange();
    }

    int listen_ = -1;
    int wake_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    std::mutex lock_;
    std::condition_variable changed_;
    std::uint64_t changes_ = 0;
    std::vector<Conn> conns_;
    std::thread thread_;
};

// A port on which nothing listens: bound once, then released.
std::uint16_t RefusingPort() {
    LoopbackServer probe;
    return probe.Port();
}

class DeviceConnectionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(instance.Create(), 0);
        TLoadSettings settings;
        settings.DataSourceType = "Test source";
        ASSERT_EQ(instance.Load(settings), 0);
        host.SetPacketSink(&packets);
    }
    void TearDown() override { host.SetPacketSink(nullptr); }

    std::string Custom(const std::string& key) {
        return instance.GetModuleParameter("Custom:" + key).AsString();
    }
    std::string Events(std::uint32_t id = 1) { return Custom("Events:" + std::to_string(id)); }
    std::string Received(std::uint32_t id = 1) { return Custom("Received:" + std::to_string(id)); }
    std::int32_t SendRaw(const std::string& data, std::uint32_t id = 1) {
        qor::TqorParamsList params;
        params.Add("SOURCE-ID", static_cast<std::int32_t>(id));
        params.Add("DATA", data);
        params.Add("RESULT", qor::Variant());
        EXPECT_EQ(instance.Execute("TEST-RAW", params), 0);
        return params.GetValue("RESULT").AsInteger();
    }
    // Runs the host's message loop until done; the host sleeps in its message
    // wait in between. A watchdog wakes it should the condition never come.
    bool PumpUntil(const std::function<bool()>& done) {
        const platform::DWORD self = platform::GetCurrentThreadId();
        std::mutex m;
        std::condition_variable stop;
        bool finished = false, expired = false;
        std::thread watchdog([&] {
            std::unique_lock hold(m);
            if (!stop.wait_for(hold, 10s, [&] { return finished; })) {
                expired = true;
                platform::PostThreadMessage(self, platform::WM_NULL, 0, 0);
            }
        });
        bool ok = false;
        for (;;) {
            host.PumpPending();
            if (done()) {
                ok = true;
                break;
            }
            {
                std::scoped_lock hold(m);
                if (expired)
                    break;
            }
            platform::MsgWaitForMultipleObjects(0, nullptr, false, platform::INFINITE, platform::QS_ALLINPUT);
        }
        {
            std::scoped_lock hold(m);
            finished = true;
        }
        stop.notify_all();
        watchdog.join();
        return ok;
    }
    // The server's changes wake the host's message wait.
    void Wake(LoopbackServer& server) {
        const platform::DWORD self = platform::GetCurrentThreadId();
        server.OnChange = [self] { platform::PostThreadMessage(self, platform::WM_NULL, 0, 0); };
    }
    // The server's device as data source 1, its channel open.
    void Open(TDeviceConnections& devices, LoopbackServer& server) {
        Wake(server);
        ASSERT_TRUE(devices.Add(Source(server.Port())));
        ASSERT_TRUE(PumpUntil([&] { return Events() == "257;"; }));
    }
    TDataSourceConfig Source(std::uint16_t port, std::uint32_t id = 1) {
        return {id, "Press " + std::to_string(id), "Line A press " + std::to_string(id),
                "127.0.0.1:" + std::to_string(port)};
    }
    std::size_t LogCount(const TDeviceConnections& devices, const std::string& part) {
        const auto lines = devices.LogLines();
        return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.find(part) != std::string::npos;
        }));
    }

    platform::ManualClock clock{1000};
    platform::ScopedClock useClock{clock};
    THost host;
    TPluginLibrary library{QOR_TEST_PLUGIN_PATH};
    TPluginInstance instance{library, host, 3};
    TPacketStore packets;
};

TEST_F(DeviceConnectionsTest, BytesGoBothWaysInOrderWithChannelEvents) {
    LoopbackServer server;
    TDeviceConnections devices(host, instance);
    ASSERT_NO_FATAL_FAILURE(Open(devices, server));
    EXPECT_TRUE(devices.IsOpen(1));

    EXPECT_EQ(SendRaw("request-1"), 9);
    EXPECT_EQ(SendRaw("request-2"), 9);
    EXPECT_TRUE(server.WaitUntil([&] { return server.Received(0) == "request-1request-2"; }));

    std::string expected;
    for (int i = 0; i < 50; ++i) {
        const std::string chunk =
            "<" + std::to_string(i) + std::string(static_cast<std::size_t>(i) * 97, 'x') + ">";
        server.Send(0, chunk);
        expected += chunk;
    }
    ASSERT_TRUE(PumpUntil([&] { return Received().size() >= expected.size(); }));
    EXPECT_EQ(Received(), expected);

    // An unknown data source has no device to send to.
    EXPECT_EQ(SendRaw("x", 7), -1);
    EXPECT_EQ(devices.Attempts(1), 1u);
}

TEST_F(DeviceConnectionsTest, CloseRequestReopensTheConnection) {
    LoopbackServer server;
    TDeviceConnections devices(host, instance);
    ASSERT_NO_FATAL_FAILURE(Open(devices, server));

    EXPECT_EQ(SendRaw("<<CLOSE>>"), 9);
    ASSERT_TRUE(PumpUntil([&] { return Events() == "257;258;257;"; }));
    EXPECT_TRUE(server.WaitUntil([&] { return server.PeerClosed(0) && server.Accepted() == 2; }));
    EXPECT_EQ(server.Received(0), "") << "the close request is the host's, not the device's";
    EXPECT_EQ(LogCount(devices, "closed at the plug-in's request"), 1u);

    // The new connection carries data as the first did.
    EXPECT_EQ(SendRaw("again"), 5);
    EXPECT_TRUE(server.WaitUntil([&] { return server.Received(1) == "again"; }));
}

TEST_F(DeviceConnectionsTest, RefusedConnectionBacksOffAndLogsOnlyChanges) {
    const std::uint16_t port = RefusingPort();
    TDeviceConnections devices(host, instance);
    ASSERT_TRUE(devices.Add(Source(port)));
    ASSERT_TRUE(PumpUntil([&] { return devices.RetryPending(1); }));
    EXPECT_EQ(devices.RetryDelay(1), 1000u);
    EXPECT_EQ(devices.Attempts(1), 1u);

    // Retries after 0.5, 1, 2, 4, 8, 10, 10 s: each one only once its delay is over.
    for (const std::uint32_t delay : {500u, 1000u, 2000u, 4000u, 8000u, 10000u, 10000u}) {
        const std::uint32_t before = devices.Attempts(1);
        clock.Advance(delay - 1);
        host.PumpPending();
        EXPECT_EQ(devices.Attempts(1), before) << "early retry before a delay of " << delay;
        clock.Advance(1);
        ASSERT_TRUE(PumpUntil([&] { return devices.Attempts(1) == before + 1 && devices.RetryPending(1); }))
            << "no retry after " << delay;
        EXPECT_EQ(devices.RetryDelay(1), std::min(delay * 4, 10000u));
    }
    EXPECT_EQ(devices.Attempts(1), 8u);
    EXPECT_EQ(LogCount(devices, "connecting to"), 1u);
    EXPECT_EQ(LogCount(devices, "cannot connect to"), 1u);
    EXPECT_EQ(Events(), "");

    // The device comes up: the next retry connects and says so once.
    LoopbackServer server(port);
    Wake(server);
    clock.Advance(10000);
    ASSERT_TRUE(PumpUntil([&] { return Events() == "257;"; }));
    EXPECT_EQ(LogCount(devices, "connected to"), 1u);
    // The back-off starts afresh once the device has answered.
    EXPECT_EQ(devices.RetryDelay(1), 10000u);
    server.Send(0, "hi");
    ASSERT_TRUE(PumpUntil([&] { return Received() == "hi"; }));
    EXPECT_EQ(devices.RetryDelay(1), 500u);
}

TEST_F(DeviceConnectionsTest, DeviceDroppingEveryConnectionBacksOffQuietly) {
    LoopbackServer server;
    Wake(server);
    TDeviceConnections devices(host, instance);
    ASSERT_TRUE(devices.Add(Source(server.Port())));
    std::uint32_t delay = 500;
    std::string events;
    for (std::size_t k = 0; k < 6; ++k) {
        ASSERT_TRUE(PumpUntil([&] { return devices.IsOpen(1) && server.Accepted() == k + 1; })) << k;
        server.Drop(k);
        ASSERT_TRUE(PumpUntil([&] { return devices.RetryPending(1); })) << k;
        EXPECT_EQ(SendRaw("lost"), -1) << "sent while closed";
        events += "257;258;";
        clock.Advance(delay - 1);
        host.PumpPending();
        EXPECT_EQ(devices.Attempts(1), k + 1) << "early retry before a delay of " << delay;
        clock.Advance(1);
        delay = std::min(delay * 2, 10000u);
    }
    ASSERT_TRUE(PumpUntil([&] { return devices.IsOpen(1) && server.Accepted() == 7; }));
    EXPECT_EQ(Events(), events + "257;");
    EXPECT_EQ(LogCount(devices, "connecting to"), 1u);
    EXPECT_EQ(LogCount(devices, "connected to"), 1u);
    EXPECT_EQ(LogCount(devices, "before it sent anything"), 1u);

    server.Send(6, "ok");
    ASSERT_TRUE(PumpUntil([&] { return Received() == "ok"; }));
    EXPECT_EQ(LogCount(devices, "answers again"), 1u);
    EXPECT_EQ(devices.RetryDelay(1), 500u);
}

TEST_F(DeviceConnectionsTest, EachDataSourceHasItsOwnDevice) {
    LoopbackServer first, second;
    Wake(first);
    Wake(second);
    TDeviceConnections devices(host, instance);
    ASSERT_TRUE(devices.Add(Source(first.Port(), 1)));
    ASSERT_TRUE(devices.Add(Source(second.Port(), 2)));
    EXPECT_FALSE(devices.Add(Source(second.Port(), 2))) << "one connection per data source";
    ASSERT_TRUE(PumpUntil([&] { return Events(1) == "257;" && Events(2) == "257;"; }));

    first.Send(0, "one");
    second.Send(0, "two");
    ASSERT_TRUE(PumpUntil([&] { return Received(1) == "one" && Received(2) == "two"; }));
    SendRaw("to-2", 2);
    EXPECT_TRUE(second.WaitUntil([&] { return second.Received(0) == "to-2"; }));
    EXPECT_EQ(first.Received(0), "");

    devices.Remove(1);
    EXPECT_EQ(Events(1), "257;258;");
    EXPECT_TRUE(first.WaitUntil([&] { return first.PeerClosed(0); }));
    EXPECT_EQ(SendRaw("gone", 1), -1);
}

TEST_F(DeviceConnectionsTest, SendsFromPluginThreadsWhileTheDeviceIsRemoved) {
    LoopbackServer server;
    auto devices = std::make_unique<TDeviceConnections>(host, instance);
    ASSERT_NO_FATAL_FAILURE(Open(*devices, server));
    // The plug-in's workers send through the host's callback on their own
    // threads; the connection may go meanwhile.
    std::atomic<int> sent{0};
    std::thread worker([&] {
        std::uint8_t bytes[] = {1, 2, 3, 4};
        for (int i = 0; i < 2000; ++i)
            if (DataLogger_SendDataEx(3, 1, 4, 0, qor::kSendRawBytes, bytes, 0) == 4)
                ++sent;
    });
    EXPECT_TRUE(server.WaitUntil([&] { return server.Received(0).size() >= 400; }));
    devices->Remove(1);
    devices.reset();
    worker.join();
    EXPECT_GE(sent.load(), 100);
}

// The logger starts its data sources one after another while the first ones
// already poll: another instance's connections, made and dropped meanwhile,
// must not take the running instance's sends (it failed its session
// registrations at start-up while the host's sink was the newcomer's).
TEST_F(DeviceConnectionsTest, RoutedConnectionsLeaveTheHostsSinkAlone) {
    LoopbackServer server;
    TDeviceConnections devices(host, instance);
    ASSERT_NO_FATAL_FAILURE(Open(devices, server));

    TPluginInstance other{library, host, 4};
    auto routed = std::make_unique<TDeviceConnections>(host, other, TSinkRole::Routed);
    EXPECT_EQ(SendRaw("while-made"), 10);
    routed.reset();
    EXPECT_EQ(SendRaw("after-gone"), 10);
    EXPECT_TRUE(server.WaitUntil([&] { return server.Received(0) == "while-madeafter-gone"; }));
}

TEST(DeviceAddressTest, SplitsHostAndPort) {
    using P = std::pair<std::string, std::uint16_t>;
    EXPECT_EQ(SplitDeviceAddress("10.0.0.5"), (P{"10.0.0.5", 44818}));
    EXPECT_EQ(SplitDeviceAddress("plc-7:2222"), (P{"plc-7", 2222}));
    EXPECT_EQ(SplitDeviceAddress("[::1]:1000"), (P{"::1", 1000}));
    EXPECT_EQ(SplitDeviceAddress("[::1]"), (P{"::1", 44818}));
    EXPECT_EQ(SplitDeviceAddress("::1"), (P{"::1", 44818}));
    for (const char* bad : {"", ":44818", "plc:", "plc:0", "plc:65536", "plc:12x", "[::1", "[::1]x"})
        EXPECT_FALSE(SplitDeviceAddress(bad)) << bad;
    EXPECT_EQ(DataSourcesText({{1, "A", "Line A", "x"}, {12, "B", "Line B", "y"}}),
              "1;A;Line A\r\n12;B;Line B");
}

} // namespace
