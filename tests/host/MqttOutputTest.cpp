// The MQTT output against a real broker (mosquitto) started on a free
// loopback port, and a subscriber that records what it receives.
#include "host/Outputs.h"

#include "LogLines.h"
#include "MqttBroker.h"

#include <algorithm>

namespace {

using namespace host;
using namespace mqtttest;
using hosttest::LogLines;

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
    std::unique_ptr<Broker> broker_;
    LogLines log_;
};

TEST_F(MqttOutputTest, EveryPacketArrivesInOrderAndTheStatusFollowsTheConnection) {
    const int port = broker_->Port();
    Subscriber subscriber(port, "plant/#", false);
    auto output = MakeOutput("mqtt://127.0.0.1:" + std::to_string(port) + "/plant", "", log_.Sink());
    for (int i = 0; i < 500; ++i)
        output->Write(Numbered(i));
    output->Flush(10s);
    const auto data = subscriber.WaitFor("plant/press_1", [](const auto& m) { return m.size() >= 500; });
    ASSERT_EQ(data.size(), 500u);
    EXPECT_EQ(data[7].Payload, R"({"seq":7,"text":"v\"7"})");
    EXPECT_EQ(FirstArrivals(data), Range(0, 500));

    output.reset();
    // At least once: a status may come twice (QoS 1; or the broker's last
    // will, also "offline", after the output's own); the order is what counts.
    const auto status = subscriber.WaitFor(
        "plant/status", [](const auto& m) { return !m.empty() && m.back().Payload == "offline"; });
    std::vector<std::string> said;
    for (const Message& m : status)
        if (said.empty() || said.back() != m.Payload)
            said.push_back(m.Payload);
    EXPECT_EQ(said, (std::vector<std::string>{"online", "offline"}));
    // A client that comes later is told the retained state.
    Subscriber late(port, "plant/status", false);
    const auto retained = late.WaitFor("plant/status", [](const auto& m) { return !m.empty(); });
    ASSERT_EQ(retained.size(), 1u);
    EXPECT_EQ(retained[0].Payload, "offline");
    EXPECT_TRUE(retained[0].Retained);
    EXPECT_TRUE(log_.Lines().empty()) << log_.Text();
}

// The logger may start before the broker, and the broker may restart under
// it: either way the packets wait and arrive in order. Beyond the buffer's
// bound (10,000 packets) the oldest waiting ones go, said once in the log.
TEST_F(MqttOutputTest, PacketsWrittenWhileTheBrokerIsAwayArriveInOrderWhenItReturns) {
    const int port = broker_->Port();
    Subscriber subscriber(port, "plant/#", true);
    broker_->Stop();
    auto output = MakeOutput("mqtt://127.0.0.1:" + std::to_string(port) + "/plant", "", log_.Sink());
    for (int i = 0; i < 100; ++i)
        output->Write(Numbered(i));
    // The broker comes back only once the output has found it away (a busy
    // machine may run the output's first attempt after the broker started).
    ASSERT_TRUE(log_.WaitFor("Connection refused", 20s)) << log_.Text();
    broker_->Start();
    subscriber.WaitFor("plant/press_1", [](const auto& m) { return FirstArrivals(m).size() >= 100; });

    broker_->Stop();
    ASSERT_TRUE(log_.WaitFor("connection lost", 20s)) << log_.Text();
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

    const auto log = log_.Lines();
    ASSERT_EQ(log.size(), 5u) << log_.Text();
    EXPECT_NE(log[0].find("Connection refused"), std::string::npos) << log[0];
    EXPECT_NE(log[1].find("connected, 100 packets buffered"), std::string::npos) << log[1];
    EXPECT_NE(log[2].find("connection lost"), std::string::npos) << log[2];
    EXPECT_NE(log[3].find("dropping the oldest"), std::string::npos) << log[3];
    EXPECT_NE(log[4].find("connected again, 10000 packets buffered, 500 dropped"), std::string::npos)
        << log[4];
}

// A plant's broker: a login and TLS. One broker, one listener per case.
class MqttTlsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (BrokerBinary().empty())
            return;
        certificates_ = new Certificates();
    }
    static void TearDownTestSuite() {
        delete certificates_;
        certificates_ = nullptr;
    }
    void SetUp() override {
        if (BrokerBinary().empty())
            GTEST_SKIP() << "mosquitto (the broker) is not installed";
        ASSERT_TRUE(certificates_->Made()) << "openssl could not make the test certificates";
        mosquitto_lib_init();
        const Certificates& c = *certificates_;
        broker_ = std::make_unique<Broker>(
            c.Security(), c.Listener(good_, "server") + c.Listener(elsewhere_, "elsewhere") +
                              c.Listener(expired_, "expired") + c.Listener(clientCert_, "server", true));
    }

    TMqttOptions Login(const std::string& password = Certificates::kPassword) const {
        TMqttOptions o;
        o.User = Certificates::kUser;
        o.Password = password;
        o.CaFile = certificates_->Path("ca.crt");
        return o;
    }
    static std::string Target(int port) { return "mqtts://localhost:" + std::to_string(port) + "/plant"; }

    static Certificates* certificates_;
    std::unique_ptr<Broker> broker_;
    const int good_ = FreePort(), elsewhere_ = FreePort(), expired_ = FreePort(), clientCert_ = FreePort();
};

Certificates* MqttTlsTest::certificates_ = nullptr;

TEST_F(MqttTlsTest, TheRightLoginAndCaPublishEveryPacket) {
    Subscriber subscriber(broker_->Port(), "plant/#", false, Certificates::kUser, Certificates::kPassword);
    LogLines log;
    TMqttOptions withClientCertificate = Login();
    withClientCertificate.CertFile = certificates_->Path("client.crt");
    withClientCertificate.KeyFile = certificates_->Path("client.key");
    auto output = MakeOutput(Target(good_), "", log.Sink(), Login());
    auto second = MakeOutput(Target(clientCert_) + "/2", "", log.Sink(), withClientCertificate);
    EXPECT_EQ(output->StartProblem(), "");
    EXPECT_EQ(second->StartProblem(), "");
    for (int i = 0; i < 200; ++i) {
        output->Write(Numbered(i));
        second->Write(Numbered(i));
    }
    EXPECT_TRUE(output->Flush(10s));
    EXPECT_TRUE(second->Flush(10s));
    for (const char* topic : {"plant/press_1", "plant/2/press_1"}) {
        const auto data = subscriber.WaitFor(topic, [](const auto& m) { return m.size() >= 200; });
        EXPECT_EQ(FirstArrivals(data), Range(0, 200)) << topic;
    }
    EXPECT_EQ(output->Tally().Written, 200u);
    EXPECT_TRUE(log.Lines().empty()) << log.Text();
}

// Each way a plant's broker turns the logger away is said once, by what
// failed, and the packets stay buffered as for a broker that is away.
TEST_F(MqttTlsTest, EachRefusalIsLoggedOnceByItsCauseAndNoPacketIsLost) {
    struct TCase {
        std::string Name;
        int Port;
        TMqttOptions Options;
        std::string Expected;
    };
    TMqttOptions systemCa = Login();
    systemCa.CaFile.clear();
    TMqttOptions stranger = Login();
    stranger.CertFile = certificates_->Path("stranger.crt");
    stranger.KeyFile = certificates_->Path("stranger.key");
    const std::vector<TCase> cases = {
        {"wrong password", good_, Login("Tr0ub4dor&4-wrong"),
         "refused the login as \"plant\" (Connection Refused: not authorised.)"},
        {"CA not known", good_, systemCa, "the broker's certificate is from a CA that is not trusted here"},
        {"another name", elsewhere_, Login(), "the broker's certificate is not for \"localhost\""},
        {"expired", expired_, Login(), "the broker's certificate has expired"},
        {"client certificate of an unknown CA", clientCert_, stranger,
         "the broker refused our client certificate (tlsv1 alert unknown ca)"},
        {"no client certificate", clientCert_, Login(), "the broker asks for a client certificate"},
    };
    std::vector<std::unique_ptr<LogLines>> logs;
    std::vector<std::unique_ptr<IOutput>> outputs;
    for (const TCase& c : cases) {
        logs.push_back(std::make_unique<LogLines>());
        outputs.push_back(MakeOutput(Target(c.Port), "", logs.back()->Sink(), c.Options));
        EXPECT_EQ(outputs.back()->StartProblem(), "") << c.Name;
        for (int i = 0; i < 5; ++i)
            outputs.back()->Write(Numbered(i));
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        logs[i]->WaitUntil([](const auto& lines) { return !lines.empty(); }, 20s);
        const std::vector<std::string> lines = logs[i]->Lines();
        ASSERT_FALSE(lines.empty()) << cases[i].Name;
        EXPECT_NE(lines[0].find(cases[i].Expected), std::string::npos) << cases[i].Name << ": " << lines[0];
    }
    // The next attempt (a second after the first) fails the same way and
    // says nothing new.
    EXPECT_FALSE(logs[0]->WaitUntil([](const auto& lines) { return lines.size() > 1; }, 1500ms));
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_FALSE(outputs[i]->Flush(0ms));
        const TOutputTally tally = outputs[i]->Tally();
        EXPECT_EQ(tally.Given, 5u);
        EXPECT_EQ(tally.Written, 0u);
        EXPECT_EQ(tally.Lost, 0u);
        EXPECT_EQ(logs[i]->Lines().size(), 1u) << cases[i].Name << ": " << logs[i]->Text();
        EXPECT_EQ(logs[i]->Count("connection lost"), 0) << logs[i]->Text();
        EXPECT_EQ(logs[i]->Count("Tr0ub4dor"), 0) << logs[i]->Text();
    }
}

// Files that cannot work are said at start; switching verification off is
// possible and said every time.
TEST_F(MqttTlsTest, TlsFilesAreCheckedAtStartAndNoVerificationIsWarnedOf) {
    TMqttOptions wrongKey = Login();
    wrongKey.CertFile = certificates_->Path("client.crt");
    wrongKey.KeyFile = certificates_->Path("stranger.key");
    EXPECT_NE(MakeOutput(Target(good_), "", {}, wrongKey)->StartProblem().find("is not the key of"),
              std::string::npos);
    TMqttOptions notCa = Login();
    notCa.CaFile = certificates_->Path("passwd");
    EXPECT_NE(MakeOutput(Target(good_), "", {}, notCa)->StartProblem(), "");

    Subscriber subscriber(broker_->Port(), "plant/#", false, Certificates::kUser, Certificates::kPassword);
    TMqttOptions insecure = Login();
    insecure.CaFile.clear();
    insecure.Insecure = true;
    LogLines log;
    auto output = MakeOutput(Target(elsewhere_), "", log.Sink(), insecure);
    output->Write(Numbered(1));
    EXPECT_TRUE(output->Flush(10s));
    ASSERT_EQ(log.Lines().size(), 1u) << log.Text();
    EXPECT_EQ(log.Count("without verification of the broker"), 1) << log.Text();
}

} // namespace
