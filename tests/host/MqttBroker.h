// A real MQTT broker (mosquitto) for the tests, started on free loopback
// ports, with what a plant's broker has when asked: a password file and TLS
// listeners whose certificates the tests make with openssl; and a libmosquitto
// subscriber that records what it receives.
#pragma once

#include <mosquitto.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <pwd.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace mqtttest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Runs a program (found on PATH) to its end; its exit code, -1 when it did not run.
inline int RunTool(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (spawned != 0 || ::waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string BrokerBinary() {
    for (const char* path : {"/usr/sbin/mosquitto", "/usr/bin/mosquitto", "/usr/local/sbin/mosquitto"})
        if (::access(path, X_OK) == 0)
            return path;
    return {};
}

inline int FreePort() {
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

inline bool PortOpen(int port) {
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
// subscriber's queued messages survive the stop and restart. Port() is a plain
// listener; security (e.g. "allow_anonymous false", "password_file ...") and
// further listeners come as configuration text.
class Broker {
public:
    explicit Broker(const std::string& security = "allow_anonymous true\n", const std::string& listeners = "")
        : port_(FreePort()) {
        char name[] = "/tmp/qor-mqtt-XXXXXX";
        dir_ = ::mkdtemp(name);
        std::ofstream(dir_ / "broker.conf") << "per_listener_settings false\n"
                                            << security << "persistence true\n"
                                            << "persistence_location " << dir_.string() << "/\n"
                                            << "max_queued_messages 0\n"
                                            << "log_dest none\n"
                                            << "listener " << port_ << " 127.0.0.1\n"
                                            << listeners;
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
    Subscriber(int port, std::string filter, bool persistent, const std::string& user = "",
               const std::string& password = "")
        : filter_(std::move(filter)) {
        static int next = 0;
        const std::string id = "test-subscriber-" + std::to_string(::getpid()) + "-" + std::to_string(next++);
        m_ = mosquitto_new(id.c_str(), !persistent, this);
        if (!user.empty())
            mosquitto_username_pw_set(m_, user.c_str(), password.c_str());
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

// What a plant's broker has for TLS, made with openssl in a folder of its
// own: a CA and a server certificate for "localhost" and 127.0.0.1 signed by
// it, one for another name, an expired one, client certificates signed by the
// CA and by another CA nobody trusts, and a password file.
class Certificates {
public:
    static constexpr const char* kUser = "plant";
    static constexpr const char* kPassword = "Tr0ub4dor&3-not-in-any-log";

    Certificates() {
        char name[] = "/tmp/qor-tls-XXXXXX";
        dir_ = ::mkdtemp(name);
        const std::string ec = "ec_paramgen_curve:prime256v1";
        ok_ = MakeCa("ca", "Plant Test CA") && MakeCa("other-ca", "Nobody's CA") &&
              Make("server", "ca", "localhost", "subjectAltName=DNS:localhost,IP:127.0.0.1", "2") &&
              Make("elsewhere", "ca", "historian.example", "subjectAltName=DNS:historian.example", "2") &&
              Make("expired", "ca", "localhost", "subjectAltName=DNS:localhost,IP:127.0.0.1", "-1") &&
              Make("client", "ca", "logger", "extendedKeyUsage=clientAuth", "2") &&
              Make("stranger", "other-ca", "logger", "extendedKeyUsage=clientAuth", "2") &&
              RunTool({"mosquitto_passwd", "-c", "-b", Path("passwd"), kUser, kPassword}) == 0;
        for (const auto& entry : fs::directory_iterator(dir_))
            if (entry.path().extension() == ".key")
                fs::permissions(entry.path(), fs::perms::owner_read | fs::perms::owner_write);
    }
    ~Certificates() { fs::remove_all(dir_); }
    Certificates(const Certificates&) = delete;
    Certificates& operator=(const Certificates&) = delete;

    bool Made() const { return ok_; }
    std::string Path(const std::string& file) const { return (dir_ / file).string(); }

    // A TLS listener on port with the server certificate NAME.
    std::string Listener(int port, const std::string& name, bool requireClientCertificate = false) const {
        return "listener " + std::to_string(port) + " 127.0.0.1\ncafile " + Path("ca.crt") + "\ncertfile " +
               Path(name + ".crt") + "\nkeyfile " + Path(name + ".key") + "\n" +
               (requireClientCertificate ? "require_certificate true\n" : "");
    }
    std::string Security() const { return "allow_anonymous false\npassword_file " + Path("passwd") + "\n"; }

private:
    bool MakeCa(const std::string& name, const std::string& subject) {
        return RunTool({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-keyout", Path(name + ".key"), "-out", Path(name + ".crt"), "-days", "2",
                        "-subj", "/CN=" + subject}) == 0;
    }
    bool Make(const std::string& name, const std::string& ca, const std::string& subject,
              const std::string& extension, const std::string& days) {
        std::ofstream(dir_ / (name + ".ext")) << extension << "\n";
        return RunTool({"openssl", "req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-keyout", Path(name + ".key"), "-out", Path(name + ".csr"), "-subj",
                        "/CN=" + subject}) == 0 &&
               RunTool({"openssl", "x509", "-req", "-in", Path(name + ".csr"), "-CA", Path(ca + ".crt"), "-CAkey",
                        Path(ca + ".key"), "-CAcreateserial", "-out", Path(name + ".crt"), "-days", days,
                        "-extfile", Path(name + ".ext")}) == 0;
    }

    fs::path dir_;
    bool ok_ = false;
};

} // namespace mqtttest
