// The MQTT output: one JSON message per packet on PREFIX/<data source>, QoS 1,
// through libmosquitto and its own network thread (which also reconnects,
// with a back-off of 1 s doubling up to 30 s).
//
// Messages wait in this output's own FIFO until the broker acknowledges them,
// at most kMaxBuffered (the oldest not yet handed over is dropped beyond it).
// At most kWindow are handed to libmosquitto at a time, always from the front,
// so they reach the broker in order. After a reconnection libmosquitto first
// re-sends what it holds unacknowledged; new messages follow only once those
// are acknowledged, so nothing overtakes an older message (a re-sent message
// may arrive twice, as QoS 1 allows).
//
// PREFIX/status holds a retained "online" while connected and "offline" after
// a clean stop; the broker publishes "offline" itself (last will) when the
// connection dies.
#include "OutputKinds.h"

#include <mosquitto.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <unistd.h>
#include <utility>

namespace host::outputs {
namespace {

constexpr std::size_t kMaxBuffered = 10000;
constexpr int kWindow = 32;
constexpr unsigned kReconnectMinSeconds = 1;
constexpr unsigned kReconnectMaxSeconds = 30;
constexpr int kKeepAliveSeconds = 30;

void InitLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

std::string ClientId() {
    static std::atomic<unsigned> next{0};
    return "qorhost-" + std::to_string(::getpid()) + "-" + std::to_string(next++);
}

// Topic level for a data source: the wildcards and the level separator
// would change what subscribers match, so they become '_'.
std::string TopicLevel(const std::string& source, std::uint32_t sourceId) {
    if (source.empty())
        return std::to_string(sourceId);
    std::string level = source;
    for (char& c : level)
        if (c == '+' || c == '#' || c == '/')
            c = '_';
    return level;
}

class TMqttOutput : public IOutput {
public:
    TMqttOutput(std::string target, std::string host, int port, std::string prefix, TLog log)
        : target_(std::move(target)), host_(std::move(host)), port_(port), prefix_(std::move(prefix)),
          statusTopic_(prefix_ + "/status"), log_(std::move(log)) {
        InitLibrary();
        const std::string id = ClientId();
        mosq_ = mosquitto_new(id.c_str(), true, this);
        if (!mosq_)
            throw std::runtime_error("output " + target_ + ": cannot create an MQTT client");
        mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        mosquitto_max_inflight_messages_set(mosq_, kWindow + 2); // the window and the status
        mosquitto_reconnect_delay_set(mosq_, kReconnectMinSeconds, kReconnectMaxSeconds, true);
        mosquitto_will_set(mosq_, statusTopic_.c_str(), 7, "offline", 1, true);
        mosquitto_connect_callback_set(mosq_, &TMqttOutput::OnConnect);
        mosquitto_disconnect_callback_set(mosq_, &TMqttOutput::OnDisconnect);
        mosquitto_publish_callback_set(mosq_, &TMqttOutput::OnPublish);
        if (mosquitto_loop_start(mosq_) != MOSQ_ERR_SUCCESS) {
            mosquitto_destroy(mosq_);
            throw std::runtime_error("output " + target_ + ": cannot start the MQTT network thread");
        }
        // A broker that is not there yet is no error: the network thread
        // keeps trying, and packets wait in the buffer meanwhile.
        const int rc = mosquitto_connect_async(mosq_, host_.c_str(), port_, kKeepAliveSeconds);
        if (rc != MOSQ_ERR_SUCCESS) {
            std::scoped_lock hold(lock_);
            Fail(rc == MOSQ_ERR_ERRNO ? std::string(strerror(errno)) : mosquitto_strerror(rc));
        }
    }

    ~TMqttOutput() override {
        {
            std::unique_lock hold(lock_);
            stopping_ = true;
            if (connected_) {
                int mid = 0;
                if (mosquitto_publish(mosq_, &mid, statusTopic_.c_str(), 7, "offline", 1, true) ==
                    MOSQ_ERR_SUCCESS) {
                    offlineMid_ = mid;
                    changed_.wait_for(hold, std::chrono::seconds(2),
                                      [&] { return offlineAcked_ || !connected_; });
                }
            }
        }
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);
        mosquitto_destroy(mosq_);
    }
    TMqttOutput(const TMqttOutput&) = delete;
    TMqttOutput& operator=(const TMqttOutput&) = delete;

    const std::string& Target() const override { return target_; }

    bool Write(const TOutputPacket& packet) override {
        std::string topic = prefix_ + "/" + TopicLevel(packet.Source, packet.SourceId);
        std::string payload = PacketJson(packet);
        std::scoped_lock hold(lock_);
        ++tally_.Given;
        if (queue_.size() >= kMaxBuffered && handed_ < queue_.size()) {
            queue_.erase(queue_.begin() + static_cast<std::ptrdiff_t>(handed_));
            ++tally_.Lost;
            if (dropped_++ == 0)
                Report("more than " + std::to_string(kMaxBuffered) +
                       " packets buffered, dropping the oldest");
        }
        queue_.push_back({std::move(topic), std::move(payload)});
        Pump();
        return true;
    }

    bool Flush(std::chrono::milliseconds timeout) override {
        std::unique_lock hold(lock_);
        if (!changed_.wait_for(hold, timeout, [&] { return queue_.empty(); }))
            Report(std::to_string(queue_.size()) + " packets not acknowledged by the broker within " +
                   std::to_string(timeout.count()) + " ms");
        return tally_.Written == tally_.Given;
    }

    TOutputTally Tally() const override {
        std::scoped_lock hold(lock_);
        return tally_;
    }

private:
    struct TMessage {
        std::string Topic;
        std::string Payload;
        int Mid = 0;
        bool Acked = false;
    };

    static TMqttOutput& Self(void* user) { return *static_cast<TMqttOutput*>(user); }

    static void OnConnect(mosquitto*, void* user, int rc) {
        TMqttOutput& self = Self(user);
        std::scoped_lock hold(self.lock_);
        if (rc != 0) {
            self.Fail(std::string("refused: ") + mosquitto_connack_string(rc));
            return;
        }
        self.connected_ = true;
        const bool again = std::exchange(self.everConnected_, true);
        self.resending_ = self.Unacked() > 0;
        mosquitto_publish(self.mosq_, nullptr, self.statusTopic_.c_str(), 6, "online", 1, true);
        if (self.failing_) {
            self.failing_ = false;
            std::string note = std::string(again ? "connected again, " : "connected, ") +
                               std::to_string(self.queue_.size()) + " packets buffered";
            if (self.dropped_ > 0)
                note += ", " + std::to_string(self.dropped_) + " dropped while the buffer was full";
            self.dropped_ = 0;
            self.Report(note);
        }
        self.Pump();
        self.changed_.notify_all();
    }

    static void OnDisconnect(mosquitto*, void* user, int rc) {
        TMqttOutput& self = Self(user);
        std::scoped_lock hold(self.lock_);
        self.connected_ = false;
        if (!self.stopping_)
            self.Fail(rc == MOSQ_ERR_CONN_LOST ? std::string("connection lost") : mosquitto_strerror(rc));
        self.changed_.notify_all();
    }

    static void OnPublish(mosquitto*, void* user, int mid) {
        TMqttOutput& self = Self(user);
        std::scoped_lock hold(self.lock_);
        if (self.offlineMid_ != 0 && mid == self.offlineMid_)
            self.offlineAcked_ = true;
        for (std::size_t i = 0; i < self.handed_; ++i) {
            if (self.queue_[i].Mid == mid && !self.queue_[i].Acked) {
                self.queue_[i].Acked = true;
                break;
            }
        }
        while (self.handed_ > 0 && self.queue_.front().Acked) {
            self.queue_.pop_front();
            --self.handed_;
            ++self.tally_.Written;
        }
        if (self.resending_ && self.Unacked() == 0)
            self.resending_ = false;
        self.Pump();
        self.changed_.notify_all();
    }

    std::size_t Unacked() const {
        std::size_t n = 0;
        for (std::size_t i = 0; i < handed_; ++i)
            n += queue_[i].Acked ? 0 : 1;
        return n;
    }

    // Hands the next messages to libmosquitto, in order, while the window
    // has room. Called with lock_ held: libmosquitto calls back without its
    // own locks held (callbacks may publish), and publishing only queues for
    // its network thread, so holding lock_ here cannot deadlock or block.
    void Pump() {
        if (!connected_ || resending_ || stopping_)
            return;
        std::size_t unacked = Unacked();
        while (handed_ < queue_.size() && unacked < static_cast<std::size_t>(kWindow)) {
            TMessage& m = queue_[handed_];
            int mid = 0;
            const int rc = mosquitto_publish(mosq_, &mid, m.Topic.c_str(), static_cast<int>(m.Payload.size()),
                                             m.Payload.data(), 1, false);
            if (rc == MOSQ_ERR_PAYLOAD_SIZE || rc == MOSQ_ERR_OVERSIZE_PACKET || rc == MOSQ_ERR_INVAL) {
                Report(std::string("a packet cannot be published (") + mosquitto_strerror(rc) + "), dropped");
                queue_.erase(queue_.begin() + static_cast<std::ptrdiff_t>(handed_));
                ++tally_.Lost;
                continue;
            }
            if (rc != MOSQ_ERR_SUCCESS)
                return; // not connected after all: the next connection resumes here
            m.Mid = mid;
            ++handed_;
            ++unacked;
        }
    }

    void Fail(const std::string& why) {
        if (failing_)
            return;
        failing_ = true;
        Report("broker " + host_ + ":" + std::to_string(port_) + " " + why + "; buffering up to " +
               std::to_string(kMaxBuffered) + " packets and reconnecting");
    }

    void Report(const std::string& text) {
        if (log_)
            log_("output " + target_ + ": " + text);
    }

    const std::string target_;
    const std::string host_;
    const int port_;
    const std::string prefix_;
    const std::string statusTopic_;
    const TLog log_;
    mosquitto* mosq_ = nullptr; // owned: mosquitto_destroy in the destructor

    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::deque<TMessage> queue_; // the first handed_ are with libmosquitto
    std::size_t handed_ = 0;
    bool connected_ = false;
    bool everConnected_ = false;
    bool resending_ = false;
    bool stopping_ = false;
    bool failing_ = false;
    std::uint64_t dropped_ = 0;
    TOutputTally tally_;
    int offlineMid_ = 0;
    bool offlineAcked_ = false;
};

} // namespace

std::unique_ptr<IOutput> MakeMqttOutput(std::string target, std::string host, int port, std::string prefix,
                                        TLog log) {
    return std::make_unique<TMqttOutput>(std::move(target), std::move(host), port, std::move(prefix),
                                         std::move(log));
}

} // namespace host::outputs
