// The MQTT output against a real broker (mosquitto) started on a free
// loopback port, and a subscriber that records what it receives.
#include "host/Outputs.h"

#include <mosquitto.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using namespace host;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string BrokerBinary() {
    for (const char* path : {"/usr/sbin/mosquitto", "/usr/bin/mosquitto", "/usr/local/sbin/mosquitto"})
        if (::access(path, X_OK) == 0)
            return path;
    return {};
}

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    ::close(fd);
    return ntohs(a.sin_port);
}

bool PortOpen(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool open = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return open;
}

// The broker keeps its sessions in a file across a restart, so the
// subscriber's queued messages survive the stop and restart.
class Broker {
public:
    Broker() : port_(FreePort()) {
        char name[] = "/tmp/qor-mqtt-XXXXXX";
        dir_ = ::mkdtemp(name);
        std::ofstream(dir_ / "broker.conf") << "listener " << port_ << " 127.0.0.1\n"
                                            << "allow_anonymous true\n"
                                            << "persistence true\n"
                                            << "persistence_location " << dir_.string() << "/\n"
                                            << "max_queued_messages 0\n"
                                            << "log_dest none\n";
        // Started by root the broker would switch to its own user, which
        // cannot write its session file into this folder.
        if (const passwd* user = ::getpwuid(::geteuid()))
            std::ofstream(dir_ / "broker.conf", std::ios::app) << "user " << user->pw_name << "\n";
        Start();
    }
    ~Broker() {
        Stop();
        fs::remove_all(dir_);
    }
    int Port() const { return port_; }

    void Start() {
        const std::string binary = BrokerBinary(), conf = (dir_ / "broker.conf").string();
        char* argv[] = {const_cast<char*>(binary.c_str()), const_cast<char*>("-c"),
                        const_cast<char*>(conf.c_str()), nullptr};
        ASSERT_EQ(::posix_spawn(&pid_, binary.c_str(), nullptr, nullptr, argv, environ), 0);
        // Bounded poll for the listening port: the broker signals nothing else.
        for (int i = 0; i < 250 && !PortOpen(port_); ++i)
            std::this_thread::sleep_for(20ms);
        ASSERT_TRUE(PortOpen(port_));
    }
    void Stop() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    int port_;
    fs::path dir_;
    pid_t pid_ = -1;
};

struct Message {
    std::string Topic, Payload;
    bool Retained = false;
};

// A libmosquitto client subscribed to PREFIX/# with QoS 1 and a persistent
// session; it subscribes again on every connection.
class Subscriber {
public:
    Subscriber(int port, std::string filter, bool persistent) : filter_(std::move(filter)) {
        static int next = 0;
        const std::string id = "test-subscriber-" + std::to_string(::getpid()) + "-" + std::to_string(next++);
        m_ = mosquitto_new(id.c_str(), !persistent, this);
        mosquitto_reconnect_delay_set(m_, 1, 1, false);
        mosquitto_connect_callback_set(m_, [](mosquitto* m, void* self, int rc) {
            if (rc == 0)
                mosquitto_subscribe(m, nullptr, static_cast<Subscriber*>(self)->filter_.c_str(), 1);
        });
        mosquitto_subscribe_callback_set(m_, [](mosquitto*, void* user, int, int, const int*) {
            auto& self = *static_cast<Subscriber*>(user);
            std::scoped_lock hold(self.lock_);
            self.subscribed_ = true;
            self.changed_.notify_all();
        });
        mosquitto_message_callback_set(m_, [](mosquitto*, void* user, const mosquitto_message* msg) {
            auto& self = *static_cast<Subscriber*>(user);
            std::scoped_lock hold(self.lock_);
            self.messages_.push_back({msg->topic,
                                      std::string(static_cast<const char*>(msg->payload), msg->payloadlen),
                                      msg->retain});
            self.changed_.notify_all();
        });
        mosquitto_loop_start(m_);
        mosquitto_connect_async(m_, "127.0.0.1", port, 30);
        std::unique_lock hold(lock_);
        EXPECT_TRUE(changed_.wait_for(hold, 10s, [&] { return subscribed_; }));
    }
    ~Subscriber() {
        mosquitto_disconnect(m_);
        mosquitto_loop_stop(m_, false);
        mosquitto_destroy(m_);
    }
    // Waits until the messages on topic satisfy done; returns them.
    std::vector<Message> WaitFor(const std::string& topic,
                                 const std::function<bool(const std::vector<Message>&)>& done) {
        std::unique_lock hold(lock_);
        std::vector<Message> on;
        changed_.wait_for(hold, 20s, [&] {
            on.clear();
            for (const Message& m : messages_)
                if (m.Topic == topic)
                    on.push_back(m);
            return done(on);
        });
        return on;
    }

private:
    std::string filter_;
    mosquitto* m_ = nullptr;
    std::mutex lock_;
    std::condition_variable changed_;
    bool subscribed_ = false;
    std::vector<Message> messages_;
};

TOutputPacket Numbered(int n) {
    TOutputPacket p;
    p.Source = "press+1";
    p.Values = {{"seq", qor::Variant(std::int32_t{n})}, {"text", qor::Variant("v\"" + std::to_string(n))}};
    return p;
}

// The sequence numbers of the packets received, first arrivals only (QoS 1
// may deliver a message again after a reconnection).
std::vector<int> FirstArrivals(const std::vector<Message>& messages) {
    std::vector<int> seen;
    for (const Message& m : messages) {
        const auto at = m.Payload.find("\"seq\":");
        const int n = at == std::string::npos ? -1 : std::stoi(m.Payload.substr(at + 6));
        if (std::find(seen.begin(), seen.end(), n) == seen.end())
            seen.push_back(n);
    }
    return seen;
}

std::vector<int> Range(int from, int to) {
    std::vector<int> r;
    for (int i = from; i < to; ++i)
        r.push_back(i);
    return r;
}

class MqttOutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (BrokerBinary().empty())
            GTEST_SKIP() << "mosquitto (the broker) is not installed";
        mosquitto_lib_init();
        broker_ = std::make_unique<Broker>();
    }
    std::function<void(const std::string&)> LogSink() {
        return [this](const std::string& line) {
            std::scoped_lock hold(logLock_);
            log_.push_back(line);
        };
    }
    std::vector<std::string> Log() {
        std::scoped_lock hold(logLock_);
        return log_;
    }
    std::unique_ptr<Broker> broker_;
    std::mutex logLock_;
    std::vector<std::string> log_;
};

TEST_F(MqttOutputTest, EveryPacketArrivesInOrderAndTheStatusFollowsTheConnection) {
    const int port = broker_->Port();
    Subscriber subscriber(port, "plant/#", false);
    auto output = MakeOutput("mqtt://127.0.0.1:" + std::to_string(port) + "/plant", "", LogSink());
    for (int i = 0; i < 500; ++i)
        output->Write(Numbered(i));
    output->Flush(10s);
    const auto data = subscriber.WaitFor("plant/press_1", [](const auto& m) { return m.size() >= 500; });
    ASSERT_EQ(data.size(), 500u);
    EXPECT_EQ(data[7].Payload, R"({"seq":7,"text":"v\"7"})");
    EXPECT_EQ(FirstArrivals(data), Range(0, 500));

    output.reset();
    const auto status = subscriber.WaitFor("plant/status", [](const auto& m) { return m.size() >= 2; });
    ASSERT_EQ(status.size(), 2u);
    EXPECT_EQ(status[0].Payload, "online");
    EXPECT_EQ(status[1].Payload, "offline");
    // A client that comes later is told the retained state.
    Subscriber late(port, "plant/status", false);
    const auto retained = late.WaitFor("plant/status", [](const auto& m) { return !m.empty(); });
    ASSERT_EQ(retained.size(), 1u);
    EXPECT_EQ(retained[0].Payload, "offline");
    EXPECT_TRUE(retained[0].Retained);
    EXPECT_TRUE(Log().empty());
}

// The logger may start before the broker, and the broker may restart under
// it: either way the packets wait and arrive in order. Beyond the buffer's
// bound (10,000 packets) the oldest waiting ones go, said once in the log.
TEST_F(MqttOutputTest, PacketsWrittenWhileTheBrokerIsAwayArriveInOrderWhenItReturns) {
    const int port = broker_->Port();
    Subscriber subscriber(port, "plant/#", true);
    broker_->Stop();
    auto output = MakeOutput("mqtt://127.0.0.1:" + std::to_string(port) + "/plant", "", LogSink());
    for (int i = 0; i < 100; ++i)
        output->Write(Numbered(i));
    broker_->Start();
    subscriber.WaitFor("plant/press_1", [](const auto& m) { return FirstArrivals(m).size() >= 100; });

    broker_->Stop();
    constexpr int kLast = 100 + 10000 + 500;
    for (int i = 100; i < kLast; ++i)
        output->Write(Numbered(i));
    broker_->Start();
    output->Flush(20s);

    const auto data = subscriber.WaitFor("plant/press_1", [](const auto& m) {
        return !m.empty() &&
               m.back().Payload.find("\"seq\":" + std::to_string(kLast - 1) + ",") != std::string::npos;
    });
    const std::vector<int> seen = FirstArrivals(data);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    // Everything from before the outage and the newest 10,000 less what was
    // already on its way when the connection went (at most one window).
    const std::vector<int> before = Range(0, 100);
    EXPECT_TRUE(std::includes(seen.begin(), seen.end(), before.begin(), before.end()));
    const std::vector<int> newest = Range(kLast - 10000 + 64, kLast);
    EXPECT_TRUE(std::includes(seen.begin(), seen.end(), newest.begin(), newest.end()));
    EXPECT_LE(seen.size(), 100u + 10000u + 64u);

    const auto log = Log();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_NE(log[0].find("Connection refused"), std::string::npos) << log[0];
    EXPECT_NE(log[1].find("connected, 100 packets buffered"), std::string::npos) << log[1];
    EXPECT_NE(log[2].find("connection lost"), std::string::npos) << log[2];
    EXPECT_NE(log[3].find("dropping the oldest"), std::string::npos) << log[3];
    EXPECT_NE(log[4].find("connected again, 10000 packets buffered, 500 dropped"), std::string::npos)
        << log[4];
}

} // namespace
