// The MQTT bridge end to end: a real mosquitto broker on 127.0.0.1, the connector, the
// CM11A simulator and the xAP hub. Skipped (with the reason) where mosquitto is missing.
#include "rig.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace quorvel::itest;
using namespace std::chrono_literals;

namespace {

std::filesystem::path FindProgram(const std::string& name) {
    for (const char* dir : {"/usr/sbin", "/usr/bin", "/usr/local/sbin", "/usr/local/bin"}) {
        const auto p = std::filesystem::path(dir) / name;
        if (::access(p.c_str(), X_OK) == 0) return p;
    }
    return {};
}

// A TCP port on 127.0.0.1 that nobody listens on now.
int FreeTcpPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
        port = ntohs(a.sin_port);
    }
    ::close(fd);
    return port;
}

// The simulator's "rx"/"tx" log lines in order.
std::string ByteLines(const std::string& log) {
    std::istringstream in(log);
    std::string out;
    for (std::string l; std::getline(in, l);) {
        if (l.rfind("rx ", 0) == 0 || l.rfind("tx ", 0) == 0) out += l + "\n";
    }
    return out;
}

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

constexpr const char* kPrefix = "quorvel/itest";

// Broker, hub, simulator, connector (with [MQTT] pointing at the broker) and a subscriber
// that prints every message as "<retain> <topic> <payload>".
class MqttRig {
public:
    MqttRig() {
        broker_ = FindProgram("mosquitto");
        pub_ = FindProgram("mosquitto_pub");
        sub_ = FindProgram("mosquitto_sub");
        if (!Available()) return;
        port_ = FreeTcpPort();
        WriteFile(app_.path() / "broker.conf", "listener " + std::to_string(port_) +
                                                   " 127.0.0.1\nallow_anonymous true\npersistence false\n");
        if (!StartBroker()) return;
        hub_ = StartHub(app_.path());
        if (!hub_) return;
        sim_ = std::make_unique<SimProcess>(app_.path());
        WriteSafeIni(app_.path(), "127.0.0.1:" + std::to_string(sim_->tcpPort) + "\r\nDebug=1\r\n[MQTT]\r\nBroker=127.0.0.1:" +
                                      std::to_string(port_) + "\r\nTopicPrefix=" + kPrefix +
                                      "\r\nUsername=lamps\r\nPassword=not-in-any-log");
        client_.Heartbeat();
        watcher_ = Subscriber("#", "watch");
        quorvel_ = std::make_unique<Process>(BinDir() / "quorvel", Headless(app_.path()), app_.path(), "quorvel");
    }
    ~MqttRig() {
        for (Process* p : {quorvel_.get(), watcher_.get(), sim_ ? &sim_->proc() : nullptr, hub_.get(), brokerProc_.get()}) {
            if (p == nullptr) continue;
            p->Signal(SIGTERM);
            p->Wait(std::chrono::seconds(10));
        }
    }

    bool Available() const { return !broker_.empty() && !pub_.empty() && !sub_.empty(); }
    bool HubUp() const { return hub_ != nullptr; }
    // Everything runs, the link to the simulator is open and the bridge has connected n times.
    bool Ready(int connections = 1) {
        if (!HubUp() || !sim_ || !sim_->Connected()) return false;
        return client_.WaitForClass("Homeseer.Event", 30s, "Using xAP port ").has_value() &&
               WaitFor([&] { return Count(quorvel_->Stderr(), "Quorvel | MQTT connected") >= connections; }, 60s) &&
               WaitFor([&] { return Count(sim_->Command("log"), "rx 9B") >= 2; }, 20s);
    }
    bool StartBroker() {
        brokerProc_ = std::make_unique<Process>(broker_, std::vector<std::string>{"-c", (app_.path() / "broker.conf").string()},
                                                app_.path(), "broker" + std::to_string(++brokerRuns_));
        return WaitFor([&] { return Socket::Tcp(port_).ok(); }, 10s);
    }
    void StopBroker() {
        brokerProc_->Signal(SIGTERM);
        brokerProc_->Wait(10s);
    }
    // mosquitto_sub on pattern; retainedOnly: print what the broker holds, then end.
    std::unique_ptr<Process> Subscriber(const std::string& pattern, const std::string& name, bool retainedOnly = false) {
        std::vector<std::string> args{"-h", "127.0.0.1", "-p", std::to_string(port_), "-t", pattern, "-F", "%r %t %p"};
        if (retainedOnly) args.insert(args.end(), {"--retained-only", "-W", "3"});
        return std::make_unique<Process>(sub_, args, app_.path(), name);
    }
    // What the broker holds retained under pattern, one "1 <topic> <payload>" line each.
    std::string Retained(const std::string& pattern) {
        auto p = Subscriber(pattern, "retained" + std::to_string(++subRuns_), true);
        p->Wait(20s);
        return p->Stdout();
    }
    void Publish(const std::string& topic, const std::string& payload) {
        Process p(pub_, {"-h", "127.0.0.1", "-p", std::to_string(port_), "-q", "1", "-t", topic, "-m", payload},
                  app_.path(), "pub");
        ASSERT_TRUE(p.Wait(20s));
        ASSERT_EQ(p.ExitCode(), 0) << p.Stderr();
    }
    std::string Watched() const { return watcher_->Stdout(); }
    bool WaitForState(const std::string& line, std::chrono::milliseconds timeout) {
        return WaitFor([&] { return sim_->Command("state").find(line + "\n") != std::string::npos; }, timeout);
    }
    std::string SimLog() { return sim_->Command("log"); }
    SimProcess& sim() { return *sim_; }
    XapClient& client() { return client_; }
    std::string Stderr() const { return quorvel_->Stderr(); }
    std::string Diagnostics() const {
        return "--- quorvel stderr\n" + quorvel_->Stderr() + "\n--- watched\n" + Watched() + "\n--- broker\n" +
               brokerProc_->Stderr();
    }

private:
    TempDir app_;
    std::filesystem::path broker_, pub_, sub_;
    int port_ = 0, brokerRuns_ = 0, subRuns_ = 0;
    XapClient client_;
    std::unique_ptr<Process> brokerProc_, hub_, quorvel_, watcher_;
    std::unique_ptr<SimProcess> sim_;
};

#define REQUIRE_MQTT_READY(rig)                                                                       \
    do {                                                                                              \
        if (!(rig).Available()) GTEST_SKIP() << "mosquitto or mosquitto-clients is not installed";    \
        if (!(rig).HubUp()) GTEST_SKIP() << "UDP port 3639 is taken and no private network namespace"; \
        ASSERT_TRUE((rig).Ready()) << (rig).Diagnostics();                                             \
    } while (0)

const std::string kA1On = "rx 04 66\ntx 6A\nrx 00\ntx 55\nrx 06 62\ntx 68\nrx 00\ntx 55\n";

}  // namespace

TEST(MqttBridge, ASetReachesTheWireAsTheSameBytesAsTheXapRequestAndBadPayloadsAreRefused) {
    MqttRig rig;
    REQUIRE_MQTT_READY(rig);
    rig.sim().Command("clear-log");
    rig.Publish(std::string(kPrefix) + "/A1/set", "ON");
    ASSERT_TRUE(rig.WaitForState("A1 on 100", 20s)) << rig.Diagnostics();
    ASSERT_TRUE(WaitFor([&] { return ByteLines(rig.SimLog()) == kA1On; }, 10s)) << rig.SimLog();
    // The same announcement on the xAP side as for an xAP request.
    const auto event = rig.client().WaitForClass("xAP-x10.Event", 10s, "Device=A1");
    ASSERT_TRUE(event) << rig.Diagnostics();
    EXPECT_NE(event->find("\nEvent=on\nDevice=A1\n"), std::string::npos) << *event;

    // The xAP request for the same thing: the same bytes.
    rig.sim().Command("clear-log");
    rig.client().SendMessage("xAP-X10.request", "zeb.CM11A.*", "xAP-X10.request", "device=A1\ncommand=on\n");
    ASSERT_TRUE(WaitFor([&] { return ByteLines(rig.SimLog()) == kA1On; }, 20s)) << rig.SimLog();

    // Malformed payloads and topics: one report each, nothing on the wire.
    rig.sim().Command("clear-log");
    rig.Publish(std::string(kPrefix) + "/A1/set", "brighter");
    rig.Publish(std::string(kPrefix) + "/A1/set", "250");
    rig.Publish(std::string(kPrefix) + "/Q9/set", "ON");
    ASSERT_TRUE(WaitFor([&] { return Count(rig.Stderr(), "Quorvel | MQTT refused") >= 3; }, 20s)) << rig.Diagnostics();
    rig.Publish(std::string(kPrefix) + "/A2/set", "OFF");  // a good one after them still works
    ASSERT_TRUE(rig.WaitForState("A2 off 0", 20s)) << rig.Diagnostics();
    EXPECT_EQ(ByteLines(rig.SimLog()).find("rx 04 66"), std::string::npos) << "a refused command reached the wire";
    EXPECT_EQ(Count(rig.Stderr(), "Quorvel | MQTT refused"), 3) << rig.Diagnostics();
    EXPECT_EQ(rig.Stderr().find("not-in-any-log"), std::string::npos) << "the password was logged";
    // The command's event, from MQTT.
    EXPECT_TRUE(WaitFor([&] { return rig.Watched().find(R"("device":"A2","function":"off")") != std::string::npos; },
                        10s))
        << rig.Diagnostics();
}

TEST(MqttBridge, HeardTrafficAndDiscoveryAreRetained) {
    MqttRig rig;
    REQUIRE_MQTT_READY(rig);
    EXPECT_EQ(rig.sim().Command("hear B3 on"), "ok\n");
    ASSERT_TRUE(WaitFor([&] { return rig.Watched().find(std::string(kPrefix) + "/B3/state ON") != std::string::npos; },
                        30s))
        << rig.Diagnostics();
    const std::string retained = rig.Retained("#");
    EXPECT_NE(retained.find(std::string("1 ") + kPrefix + "/B3/state ON\n"), std::string::npos) << retained;
    EXPECT_NE(retained.find(std::string("1 ") + kPrefix + "/status online\n"), std::string::npos) << retained;
    const std::size_t config = retained.find("_B3/config {");
    ASSERT_NE(config, std::string::npos) << retained;
    EXPECT_NE(retained.find(std::string("\"command_topic\":\"") + kPrefix + "/B3/set\"", config), std::string::npos);
    EXPECT_NE(rig.Watched().find(R"("device":"B3","function":"on","brightness":100,"origin":"heard")"),
              std::string::npos)
        << rig.Watched();
}

TEST(MqttBridge, ABrokerRestartIsSurvivedAndNoLaterCommandIsLost) {
    MqttRig rig;
    REQUIRE_MQTT_READY(rig);
    rig.Publish(std::string(kPrefix) + "/C1/set", "ON");
    ASSERT_TRUE(rig.WaitForState("C1 on 100", 20s)) << rig.Diagnostics();

    rig.StopBroker();  // no persistence: its retained messages are gone with it
    ASSERT_TRUE(WaitFor([&] { return rig.Stderr().find("MQTT connection to") != std::string::npos; }, 20s))
        << rig.Diagnostics();
    ASSERT_TRUE(rig.StartBroker());
    ASSERT_TRUE(rig.Ready(2)) << rig.Diagnostics();
    EXPECT_EQ(Count(rig.Stderr(), "Quorvel | MQTT connection to"), 1) << "one report per outage";

    const std::string retained = rig.Retained("#");
    EXPECT_NE(retained.find(std::string("1 ") + kPrefix + "/status online\n"), std::string::npos) << retained;
    EXPECT_NE(retained.find(std::string("1 ") + kPrefix + "/C1/state ON\n"), std::string::npos) << retained;

    for (const char* device : {"D1", "D2", "D3", "D4", "D5"}) rig.Publish(std::string(kPrefix) + "/" + device + "/set", "ON");
    for (const char* device : {"D1", "D2", "D3", "D4", "D5"}) {
        EXPECT_TRUE(rig.WaitForState(std::string(device) + " on 100", 30s)) << device << "\n" << rig.Diagnostics();
    }
}
