// The MQTT output: one JSON message per packet on PREFIX/<data source>, QoS 1,
// through libmosquitto, on a network thread of this output's own that also
// reconnects (after 1 s, doubling up to 30 s). The thread is ours rather than
// libmosquitto's because libmosquitto's own ends for good after a TLS
// failure, and a broker whose certificate is renewed must find the logger
// still trying.
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
//
// Why a connection fails is logged once per cause, in words: a refused login
// (the broker's CONNACK), and for TLS what OpenSSL found about the broker's
// certificate (read from the connection while libmosquitto reports the
// failure) or what the broker said of ours. The password goes to libmosquitto
// and nowhere else.
#include "OutputKinds.h"

#include "platform/Thread.h"

#include <mosquitto.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <unistd.h>
#include <utility>

namespace host::outputs {
namespace {

constexpr std::size_t kMaxBuffered = 10000;
constexpr int kWindow = 32;
constexpr auto kReconnectMin = std::chrono::seconds(1);
constexpr auto kReconnectMax = std::chrono::seconds(30);
constexpr int kKeepAliveSeconds = 30;
// How long one network wait lasts at most: keep-alive and a stop are looked
// at this often while the connection is quiet.
constexpr int kLoopWaitMs = 1000;
// A connection attempt (TCP, TLS, CONNECT and its answer) takes a handful of
// network waits; one that takes many more, or longer than this, is stuck.
constexpr int kMaxConnectTurns = 100;
constexpr auto kConnectTimeout = std::chrono::seconds(30);
constexpr int kStallsToReport = 3;

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

// An encrypted key file would make OpenSSL ask for its pass phrase on the
// terminal, from the network thread: it is refused instead.
int NoKeyPassword(char*, int, int, void*) {
    return 0;
}

// What OpenSSL's verification of the broker's certificate found, in words.
std::string CertificateProblem(long result, const std::string& host) {
    switch (result) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return "the broker's certificate is from a CA that is not trusted here (" +
               std::string(X509_verify_cert_error_string(result)) + "; \"mqtt ca file\" names the CA)";
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return "the broker's certificate has expired";
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return "the broker's certificate is not valid yet (is the clock right?)";
    case X509_V_ERR_HOSTNAME_MISMATCH:
        return "the broker's certificate is not for \"" + host + "\"";
    default:
        return "the broker's certificate is refused: " + std::string(X509_verify_cert_error_string(result));
    }
}

class TMqttOutput : public IOutput {
public:
    TMqttOutput(std::string target, std::string host, int port, std::string prefix, bool tls,
                const TMqttOptions& options, TLog log)
        : target_(std::move(target)), host_(std::move(host)), port_(port), prefix_(std::move(prefix)),
          statusTopic_(prefix_ + "/status"), log_(std::move(log)) {
        InitLibrary();
        const std::string id = ClientId();
        mosq_ = mosquitto_new(id.c_str(), true, this);
        if (!mosq_)
            throw std::runtime_error("output " + target_ + ": cannot create an MQTT client");
        // The network thread is this output's: libmosquitto must queue what
        // other threads publish for it rather than write it itself.
        mosquitto_threaded_set(mosq_, true);
        mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        mosquitto_max_inflight_messages_set(mosq_, kWindow + 2); // the window and the status
        mosquitto_will_set(mosq_, statusTopic_.c_str(), 7, "offline", 1, true);
        mosquitto_connect_callback_set(mosq_, &TMqttOutput::OnConnect);
        mosquitto_disconnect_callback_set(mosq_, &TMqttOutput::OnDisconnect);
        mosquitto_publish_callback_set(mosq_, &TMqttOutput::OnPublish);
        mosquitto_log_callback_set(mosq_, &TMqttOutput::OnLibraryLog);
        if (!options.User.empty()) {
            user_ = options.User;
            if (mosquitto_username_pw_set(mosq_, options.User.c_str(),
                                          options.Password.empty() ? nullptr : options.Password.c_str()) !=
                MOSQ_ERR_SUCCESS)
                startProblem_ = "the user name is not valid UTF-8";
        }
        tls_ = tls;
        if (tls)
            SetUpTls(options);
        else if (!options.Password.empty())
            Report("the password goes to the broker unencrypted (mqtt://; mqtts:// encrypts it)");
        // A broker that is not there yet is no error: the network thread
        // keeps trying, and packets wait in the buffer meanwhile.
        network_ = std::thread([this] { Network(); });
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
        {
            std::scoped_lock hold(lock_);
            closing_ = true;
        }
        // Ends a network wait at once; a back-off wait ends on closing_.
        mosquitto_disconnect(mosq_);
        changed_.notify_all();
        network_.join();
        mosquitto_destroy(mosq_);
    }
    TMqttOutput(const TMqttOutput&) = delete;
    TMqttOutput& operator=(const TMqttOutput&) = delete;

    std::string StartProblem() const override { return startProblem_; }

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
        // A broker that turns us away (login, certificate) will not take
        // the packets in the next seconds: no use waiting for it.
        if (!changed_.wait_for(hold, timeout, [&] { return queue_.empty() || (!connected_ && refused_); }))
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
        self.answered_ = true;
        std::scoped_lock hold(self.lock_);
        if (rc != 0) {
            self.Fail(TCause::Security, "refused the login" +
                                            (self.user_.empty() ? std::string(" without a user name")
                                                                : " as \"" + self.user_ + "\"") +
                                            " (" + mosquitto_connack_string(rc) + ")");
            return;
        }
        self.connected_ = true;
        self.heldBack_ = false;
        self.retryDelay_ = kReconnectMin;
        const bool again = std::exchange(self.everConnected_, true);
        self.resending_ = self.Unacked() > 0;
        mosquitto_publish(self.mosq_, nullptr, self.statusTopic_.c_str(), 6, "online", 1, true);
        self.said_.clear();
        self.refused_ = false;
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
        const bool wasConnected = std::exchange(self.connected_, false);
        // A refused login was said by OnConnect; what else ended the
        // connection is a network matter unless TLS said more. Under TLS 1.3
        // a broker refuses our client certificate in an alert that comes
        // after the handshake, and the connection may end as a protocol
        // error before the alert is read: such an end is told only when the
        // next attempt ends the same way (it says the real cause otherwise).
        if (!self.stopping_ && rc != MOSQ_ERR_CONN_REFUSED) {
            if (self.tls_ && rc == MOSQ_ERR_PROTOCOL && !wasConnected && !std::exchange(self.heldBack_, true)) {
                self.changed_.notify_all();
                return;
            }
            self.Fail(TCause::Network,
                      rc == MOSQ_ERR_CONN_LOST ? std::string("connection lost") : mosquitto_strerror(rc));
        }
        self.changed_.notify_all();
    }

    // libmosquitto says what went wrong with TLS only in its log; while it
    // logs, the failed connection's TLS state is still there to be asked.
    static void OnLibraryLog(mosquitto* mosq, void* user, int level, const char* text) {
        if (level != MOSQ_LOG_ERR || text == nullptr)
            return;
        TMqttOutput& self = Self(user);
        const std::string_view line = text;
        std::string problem;
        if (line.find("host name verification failed") != std::string_view::npos) {
            problem = CertificateProblem(X509_V_ERR_HOSTNAME_MISMATCH, self.host_);
        } else if (line.starts_with("OpenSSL Error")) {
            // "OpenSSL Error[0]: error:0A000418:SSL routines::tlsv1 alert unknown ca"
            const std::size_t colon = line.rfind(':');
            const std::string reason(colon == std::string_view::npos ? line : line.substr(colon + 1));
            const auto* ssl = static_cast<const SSL*>(mosquitto_ssl_get(mosq));
            const long verified = ssl != nullptr ? SSL_get_verify_result(ssl) : X509_V_OK;
            if (reason.find("certificate verify failed") != std::string::npos) {
                // After a host name failure OpenSSL knows no reason of its own.
                if (verified == X509_V_OK || verified == X509_V_ERR_UNSPECIFIED)
                    return;
                problem = CertificateProblem(verified, self.host_);
            } else if (reason.find("certificate required") != std::string::npos) {
                problem = "the broker asks for a client certificate (\"mqtt cert file\", \"mqtt key file\")";
            } else if (reason.find("alert unknown ca") != std::string::npos ||
                       reason.find("alert bad certificate") != std::string::npos ||
                       reason.find("alert certificate") != std::string::npos ||
                       reason.find("alert decrypt error") != std::string::npos) {
                problem = "the broker refused our client certificate (" + reason + ")";
            } else {
                problem = "TLS: " + reason;
            }
        } else if (line.starts_with("Error: Unable to load")) {
            problem = std::string(line.substr(7));
        } else {
            return;
        }
        std::scoped_lock hold(self.lock_);
        self.Fail(TCause::Security, problem);
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

    // Network causes (refused, unreachable, lost) are said once per outage;
    // a login or TLS cause once each, since each asks for a different fix.
    enum class TCause { Network, Security };
    void Fail(TCause cause, const std::string& why) {
        if (failing_ && (cause == TCause::Network || said_.count(why) != 0))
            return;
        failing_ = true;
        said_.insert(why);
        refused_ = refused_ || cause == TCause::Security;
        changed_.notify_all();
        Report("broker " + host_ + ":" + std::to_string(port_) + " " + why + "; buffering up to " +
               std::to_string(kMaxBuffered) + " packets and reconnecting");
    }

    void SetUpTls(const TMqttOptions& options) {
        if (options.CaFile.empty())
            mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        const char* cert = options.CertFile.empty() ? nullptr : options.CertFile.c_str();
        const char* key = options.KeyFile.empty() ? nullptr : options.KeyFile.c_str();
        if (!options.CaFile.empty() || cert != nullptr) {
            // libmosquitto wants a CA file or folder with a client certificate.
            const int rc = mosquitto_tls_set(mosq_, options.CaFile.empty() ? nullptr : options.CaFile.c_str(),
                                             options.CaFile.empty() ? "/etc/ssl/certs" : nullptr, cert, key,
                                             &NoKeyPassword);
            if (rc != MOSQ_ERR_SUCCESS)
                startProblem_ = std::string("cannot use the TLS files: ") + mosquitto_strerror(rc);
        }
        if (const std::string why = CheckTlsFiles(options); !why.empty())
            startProblem_ = why;
        if (options.Insecure) {
            mosquitto_tls_opts_set(mosq_, 0, nullptr, nullptr); // SSL_VERIFY_NONE
            mosquitto_tls_insecure_set(mosq_, true);
            Report("TLS without verification of the broker (mqtt insecure = 1): whoever is between here and "
                   "the broker can read and change what is published");
        }
    }

    // The files are loaded as the connection will load them, so that one
    // that cannot work is said at start rather than at every connection.
    static std::string CheckTlsFiles(const TMqttOptions& options) {
        SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
        if (ctx == nullptr)
            return "cannot set up TLS";
        SSL_CTX_set_default_passwd_cb(ctx, &NoKeyPassword);
        std::string why;
        if (!options.CaFile.empty() &&
            SSL_CTX_load_verify_locations(ctx, options.CaFile.c_str(), nullptr) != 1)
            why = "no CA certificate in " + options.CaFile;
        else if (!options.CertFile.empty() &&
                 SSL_CTX_use_certificate_chain_file(ctx, options.CertFile.c_str()) != 1)
            why = "no certificate in " + options.CertFile;
        else if (!options.KeyFile.empty())
            why = CheckKey(ctx, options);
        SSL_CTX_free(ctx);
        ERR_clear_error();
        return why;
    }

    static std::string CheckKey(SSL_CTX* ctx, const TMqttOptions& options) {
        BIO* file = BIO_new_file(options.KeyFile.c_str(), "r");
        EVP_PKEY* key =
            file != nullptr ? PEM_read_bio_PrivateKey(file, nullptr, &NoKeyPassword, nullptr) : nullptr;
        BIO_free(file);
        std::string why;
        if (key == nullptr)
            why = "no key in " + options.KeyFile + " (or an encrypted one)";
        else if (SSL_CTX_use_PrivateKey(ctx, key) != 1 || SSL_CTX_check_private_key(ctx) != 1)
            why = options.KeyFile + " is not the key of " + options.CertFile;
        EVP_PKEY_free(key);
        return why;
    }

    // The network thread: connects, runs the connection until it ends,
    // waits and connects again, until the output closes.
    void Network() {
        platform::SetThreadName("out-mqtt");
        bool first = true;
        std::unique_lock hold(lock_);
        while (!closing_) {
            hold.unlock();
            int rc = first ? mosquitto_connect_async(mosq_, host_.c_str(), port_, kKeepAliveSeconds)
                           : mosquitto_reconnect_async(mosq_);
            first = false;
            // libmosquitto can go round a TLS handshake that failed without
            // waiting for anything (seen after a refused certificate): an
            // attempt that takes more turns or time than a handshake needs
            // is given up and made again.
            const auto deadline = std::chrono::steady_clock::now() + kConnectTimeout;
            int turns = 0;
            bool stalled = false;
            while (rc == MOSQ_ERR_SUCCESS && !closing_.load()) {
                rc = mosquitto_loop(mosq_, kLoopWaitMs, 1);
                if (rc != MOSQ_ERR_SUCCESS || answered_.load())
                    continue;
                if (++turns > kMaxConnectTurns || std::chrono::steady_clock::now() > deadline) {
                    stalled = true;
                    break;
                }
            }
            const int error = errno;
            hold.lock();
            if (closing_ || stopping_)
                break;
            stalls_ = stalled ? stalls_ + 1 : 0;
            if (stalled && stalls_ >= kStallsToReport)
                Fail(TCause::Network, "does not complete a connection (" + std::to_string(stalls_) +
                                          " attempts without an answer)");
            else if (!stalled && rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_CONN_REFUSED)
                Fail(TCause::Network, rc == MOSQ_ERR_ERRNO       ? std::string(std::strerror(error))
                                      : rc == MOSQ_ERR_CONN_LOST ? std::string("connection lost")
                                                                 : mosquitto_strerror(rc));
            answered_ = false;
            changed_.wait_for(hold, retryDelay_, [&] { return closing_.load(); });
            retryDelay_ = std::min(retryDelay_ * 2, kReconnectMax);
        }
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
    std::string user_;
    std::string startProblem_;
    mosquitto* mosq_ = nullptr; // owned: mosquitto_destroy in the destructor

    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::deque<TMessage> queue_; // the first handed_ are with libmosquitto
    std::size_t handed_ = 0;
    bool connected_ = false;
    bool everConnected_ = false;
    bool tls_ = false;
    bool heldBack_ = false; // a TLS protocol error before the broker's answer, not told yet
    bool resending_ = false;
    bool stopping_ = false;             // the output closes: the status says offline, no more packets go
    std::atomic<bool> closing_ = false; // then the network thread ends (read between its waits)
    bool failing_ = false;
    std::set<std::string> said_; // the causes logged since the last connection
    bool refused_ = false;       // one of them was the broker turning us away
    std::chrono::seconds retryDelay_ = kReconnectMin;
    std::atomic<bool> answered_ = false; // the broker answered the attempt (CONNACK)
    int stalls_ = 0;                     // attempts in a row given up as stuck
    std::uint64_t dropped_ = 0;
    TOutputTally tally_;
    int offlineMid_ = 0;
    bool offlineAcked_ = false;
    std::thread network_; // last: started when everything else is set up, joined in the destructor
};

} // namespace

std::unique_ptr<IOutput> MakeMqttOutput(std::string target, std::string host, int port, std::string prefix,
                                        bool tls, const TMqttOptions& options, TLog log) {
    return std::make_unique<TMqttOutput>(std::move(target), std::move(host), port, std::move(prefix), tls,
                                         options, std::move(log));
}

} // namespace host::outputs
