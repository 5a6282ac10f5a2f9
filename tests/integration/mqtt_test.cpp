// The MQTT bridge end to end: a real mosquitto broker on 127.0.0.1, the connector, the
// CM11A simulator and the xAP hub. Skipped (with the reason) where mosquitto is missing.
#include "rig.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

using namespace quorvel::itest;
using namespace std::chrono_literals;

namespace {

const std::string kPrefix = "quorvel/itest";

// A CA and a broker certificate for localhost / 127.0.0.1, and a password file for the user
// "lamps"; false when openssl or mosquitto_passwd is missing.
bool MakeCredentials(const std::filesystem::path& dir) {
    const std::string d = dir.string();
    const std::string script =
        "cd '" + d + "' && "
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=quorvel-test-ca -keyout ca.key -out ca.crt && "
        "openssl req -newkey rsa:2048 -nodes -subj /CN=localhost -keyout server.key -out server.csr && "
        "printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' > san.ext && "
        "openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile san.ext "
        "-out server.crt && "
        "touch passwd && chmod 600 passwd && " + FindProgram("mosquitto_passwd").string() + " -b passwd lamps 'right pw'";
    return !FindProgram("openssl").empty() && !FindProgram("mosquitto_passwd").empty() &&
           std::system(("(" + script + ") >'" + d + "/credentials.log' 2>&1").c_str()) == 0;
}

// Broker, hub, simulator, connector (with [MQTT] pointing at the broker) and a subscriber
// that prints every message as "<retain> <topic> <payload>". With a TLS password: the broker
// takes TLS and the user "lamps" with "right pw" only, and the connector is given that password.
class MqttRig : public Rig {
public:
    // moreIni: further sections of Quorvel.ini.
    explicit MqttRig(const std::string& tlsPassword = "", const std::string& moreIni = "")
        : Rig({.pty = false, .comPort = "", .start = false}) {
        broker_ = FindProgram("mosquitto");
        pub_ = FindProgram("mosquitto_pub");
        sub_ = FindProgram("mosquitto_sub");
        if (!Available()) return;
        const std::string dir = folder().string();
        std::string brokerConf = "allow_anonymous true\n", mqtt = "Username=lamps\r\nPassword=not-in-any-log";
        if (!tlsPassword.empty()) {
            if (!MakeCredentials(folder())) {
                broker_.clear();
                return;
            }
            host_ = "localhost";  // a name, looked up before connecting, and the name in the certificate
            brokerConf = "allow_anonymous false\npassword_file " + dir + "/passwd\ncafile " + dir +
                         "/ca.crt\ncertfile " + dir + "/server.crt\nkeyfile " + dir + "/server.key\n";
            mqtt = "Username=lamps\r\nPassword=" + tlsPassword + "\r\nCAFile=" + dir + "/ca.crt";
            clientArgs_ = {"--cafile", dir + "/ca.crt", "-u", "lamps", "-P", "right pw"};
        }
        port_ = FreeTcpPort();
        // As root the broker would otherwise switch to the user "mosquitto", who cannot read
        // the certificates in the rig's private folder.
        WriteFile(folder() / "broker.conf", "listener " + std::to_string(port_) + " 127.0.0.1\npersistence false\n" +
                                                (::geteuid() == 0 ? "user root\n" : "") + brokerConf);
        if (!StartBroker()) return;
        brokerUp_ = true;
        const auto ini = folder() / "Config" / "Quorvel.ini";
        WriteFile(ini, ReadFile(ini) + "[MQTT]\r\nBroker=" + host_ + ":" + std::to_string(port_) +
                           "\r\nTopicPrefix=" + kPrefix + "\r\n" + mqtt + "\r\n" + moreIni);
        watcher_ = Subscriber("#", "watch");
        StartConnector();
    }

    bool Available() const { return !broker_.empty() && !pub_.empty() && !sub_.empty(); }
    bool BrokerUp() const { return brokerUp_; }
    std::string BrokerLog() const { return brokerProc_ ? brokerProc_->Stderr() + brokerProc_->Stdout() : ""; }
    // The bridge has connected n times; Ready: everything runs and the link to the simulator is open too.
    bool Connected(int n) { return WaitFor([&] { return Count(Stderr(), "Quorvel | MQTT connected") >= n; }, 60s); }
    bool Ready() { return Rig::Ready() && Connected(1); }
    bool StartBroker() {
        brokerProc_ = std::make_unique<Process>(broker_, std::vector<std::string>{"-c", (folder() / "broker.conf").string()},
                                                folder(), "broker" + std::to_string(++brokerRuns_));
        return WaitFor([&] { return Socket::Tcp(port_).ok(); }, 10s);
    }
    void StopBroker() {
        brokerProc_->Signal(SIGTERM);
        brokerProc_->Wait(10s);
    }
    // mosquitto_sub on pattern; retainedOnly: print what the broker holds, then end.
    std::unique_ptr<Process> Subscriber(const std::string& pattern, const std::string& name, bool retainedOnly = false) {
        std::vector<std::string> args{"-h", host_, "-p", std::to_string(port_), "-t", pattern, "-F", "%r %t %p"};
        args.insert(args.end(), clientArgs_.begin(), clientArgs_.end());
        if (retainedOnly) args.insert(args.end(), {"--retained-only", "-W", "3"});
        return std::make_unique<Process>(sub_, args, folder(), name);
    }
    // What the broker holds retained under pattern, one "1 <topic> <payload>" line each.
    std::string Retained(const std::string& pattern) {
        auto p = Subscriber(pattern, "retained" + std::to_string(++subRuns_), true);
        p->Wait(20s);
        return p->Stdout();
    }
    // retain: published retained; an empty retained payload clears what the broker keeps.
    void Publish(const std::string& topic, const std::string& payload, bool retain = false) {
        std::vector<std::string> args{"-h", host_, "-p", std::to_string(port_), "-q", "1", "-t", topic};
        if (retain) args.push_back("-r");
        if (payload.empty()) args.push_back("-n");
        else args.insert(args.end(), {"-m", payload});
        args.insert(args.end(), clientArgs_.begin(), clientArgs_.end());
        Process p(pub_, args, folder(), "pub");
        ASSERT_TRUE(p.Wait(20s));
        ASSERT_EQ(p.ExitCode(), 0) << p.Stderr();
    }
    std::string Watched() const { return watcher_->Stdout(); }
    std::string Stderr() { return quorvel().Stderr(); }
    std::string Diagnostics() {
        return Rig::Diagnostics() + "\n--- watched\n" + Watched() + "\n--- broker\n" + BrokerLog() +
               "\n--- simulator log\n" + SimLog();
    }

private:
    std::string host_ = "127.0.0.1";  // the connector's Broker host
    std::vector<std::string> clientArgs_;  // for mosquitto_pub and mosquitto_sub
    std::filesystem::path broker_, pub_, sub_;
    int port_ = 0, brokerRuns_ = 0, subRuns_ = 0;
    bool brokerUp_ = false;
    std::unique_ptr<Process> brokerProc_, watcher_;
};

const std::string kA1On = "rx 04 66\ntx 6A\nrx 00\ntx 55\nrx 06 62\ntx 68\nrx 00\ntx 55\n";

}  // namespace

TEST(MqttBridge, ASetReachesTheWireHeardTrafficIsRetainedBadPayloadsAreRefusedAndABrokerRestartLosesNoCommand) {
    MqttRig rig;
    if (!rig.Available()) GTEST_SKIP() << "mosquitto or mosquitto-clients is not installed";
    ASSERT_TRUE(rig.BrokerUp()) << rig.BrokerLog();
    REQUIRE_READY(rig);
    rig.control().Command("clear-log");
    rig.Publish(kPrefix + "/A1/set", "ON");
    ASSERT_TRUE(rig.WaitForState("A1 on 100", 20s)) << rig.Diagnostics();
    ASSERT_TRUE(WaitFor([&] { return ByteLines(rig.SimLog()) == kA1On; }, 10s)) << rig.SimLog();
    // The same announcement on the xAP side as for an xAP request.
    const auto event = rig.client().WaitForClass("xAP-x10.Event", 10s, "Device=A1");
    ASSERT_TRUE(event) << rig.Diagnostics();
    EXPECT_NE(event->find("\nEvent=on\nDevice=A1\n"), std::string::npos) << *event;

    // Malformed payloads and topics: one report each, nothing on the wire.
    rig.control().Command("clear-log");
    rig.Publish(kPrefix + "/A1/set", "brighter");
    rig.Publish(kPrefix + "/Q9/set", "ON");
    ASSERT_TRUE(WaitFor([&] { return Count(rig.Stderr(), "Quorvel | MQTT refused") >= 2; }, 20s)) << rig.Diagnostics();
    rig.Publish(kPrefix + "/A2/set", "OFF");  // a good one after them still works
    ASSERT_TRUE(rig.WaitForState("A2 off 0", 20s)) << rig.Diagnostics();
    EXPECT_EQ(ByteLines(rig.SimLog()).find("rx 04 66"), std::string::npos) << "a refused command reached the wire";
    EXPECT_EQ(Count(rig.Stderr(), "Quorvel | MQTT refused"), 2) << rig.Diagnostics();
    // The command's event, from MQTT.
    const std::string json = R"("device":"A2","function":"off","brightness":0,"origin":"mqtt")";
    EXPECT_TRUE(WaitFor([&] { return rig.Watched().find(json) != std::string::npos; }, 10s)) << rig.Diagnostics();

    // A level starts from what was last heard once the earlier commands are done: A1, switched
    // off at the wall since its "ON", is switched on again before the dim.
    rig.control().Command("hear A1 off");
    const std::string heard = R"("device":"A1","function":"off","brightness":0,"origin":"heard")";
    ASSERT_TRUE(WaitFor([&] { return rig.Watched().find(heard) != std::string::npos; }, 20s)) << rig.Diagnostics();
    // What was heard is kept by the broker, beside the device's discovery entry.
    ASSERT_TRUE(WaitFor([&] { return rig.Watched().find(kPrefix + "/A1/state OFF") != std::string::npos; }, 20s));
    std::string retained = rig.Retained("#");
    EXPECT_NE(retained.find("1 " + kPrefix + "/A1/state OFF\n"), std::string::npos) << retained;
    const std::size_t config = retained.find("homeassistant/light/quorvel_ff008700_a1/config {");
    ASSERT_NE(config, std::string::npos) << retained;
    EXPECT_NE(retained.find("\"command_topic\":\"" + kPrefix + "/A1/set\"", config), std::string::npos) << retained;
    rig.control().Command("clear-log");
    rig.Publish(kPrefix + "/A1/set", "50");
    ASSERT_TRUE(rig.WaitForState("A1 on 50", 20s)) << rig.Diagnostics();
    EXPECT_EQ(Count(ByteLines(rig.SimLog()), "rx 06 62"), 1) << rig.SimLog();
    EXPECT_TRUE(WaitFor([&] { return rig.Watched().find(kPrefix + "/A1/brightness 50\n") != std::string::npos; }, 20s))
        << rig.Diagnostics();  // the level reaches Home Assistant's brightness

    // A broker restart is survived and no later command is lost.
    rig.Publish(kPrefix + "/C1/set", "on");
    ASSERT_TRUE(rig.WaitForState("C1 on 100", 20s)) << rig.Diagnostics();

    rig.StopBroker();  // no persistence: its retained messages are gone with it
    ASSERT_TRUE(WaitFor([&] { return rig.Stderr().find("MQTT connection to") != std::string::npos; }, 20s))
        << rig.Diagnostics();
    ASSERT_TRUE(rig.StartBroker());
    ASSERT_TRUE(rig.Connected(2)) << rig.Diagnostics();
    EXPECT_EQ(Count(rig.Stderr(), "Quorvel | MQTT connection to"), 1) << "one report per outage";
    EXPECT_EQ(rig.Stderr().find("not-in-any-log"), std::string::npos) << "the password was logged";
    EXPECT_NE(rig.BrokerLog().find("as quorvel-ff008700"), std::string::npos) << "the client id is the UID's";

    // Everything is published again once the connector is back. A look taken while it is still
    // publishing ends at the first message that comes live, so look again until C1 is there.
    EXPECT_TRUE(WaitFor([&] {
        retained = rig.Retained("#");
        return retained.find("1 " + kPrefix + "/C1/state ON\n") != std::string::npos;
    }, 20s)) << retained;
    EXPECT_NE(retained.find("1 " + kPrefix + "/status online\n"), std::string::npos) << retained;

    for (const char* device : {"D1", "D2", "D3", "D4", "D5"}) rig.Publish(kPrefix + "/" + device + "/set", "ON");
    for (const char* device : {"D1", "D2", "D3", "D4", "D5"}) {
        EXPECT_TRUE(rig.WaitForState(std::string(device) + " on 100", 30s)) << device << "\n" << rig.Diagnostics();
    }
}

// Over TLS (to a host name, checked against the broker's certificate): the broker refuses the user.
TEST(MqttBridge, AWrongPasswordIsReportedOnceAndRetriedWithoutHarm) {
    MqttRig rig("wrong pw");
    if (!rig.Available()) GTEST_SKIP() << "mosquitto, mosquitto-clients or openssl is not installed";
    ASSERT_TRUE(rig.BrokerUp()) << rig.BrokerLog();
    if (!rig.HubUp()) GTEST_SKIP() << "UDP port 3639 is taken and no private network namespace";
    // Refused, then refused again 1 s and 2 s later: still one report, and the xAP side works.
    ASSERT_TRUE(WaitFor([&] { return Count(rig.Stderr(), "MQTTSendToCM11A") == 0 &&
                                     Count(rig.Stderr(), "ot authori") >= 1; }, 30s)) << rig.Diagnostics();
    std::this_thread::sleep_for(4s);  // a few retries go by
    EXPECT_EQ(Count(rig.Stderr(), "Quorvel | MQTT broker"), 1) << rig.Diagnostics();
    EXPECT_EQ(rig.Stderr().find("wrong pw"), std::string::npos) << "the password was logged";
    rig.client().SendMessage("xAP-X10.request", "", "xAP-X10.request", "device=F3\ncommand=on\n");
    EXPECT_TRUE(rig.WaitForState("F3 on 100", 30s)) << rig.Diagnostics();
}

// [Devices] kinds as Home Assistant entities, retained commands refused live and cleared, and
// the broker's session outliving the connector.
TEST(MqttBridge, KindsBecomeTheirEntitiesRetainedCommandsAreRefusedAndCommandsWaitForAStoppedConnector) {
    MqttRig rig("", "[Devices]\r\nB1=motion\r\n");
    if (!rig.Available()) GTEST_SKIP() << "mosquitto or mosquitto-clients is not installed";
    ASSERT_TRUE(rig.BrokerUp()) << rig.BrokerLog();
    REQUIRE_READY(rig);
    rig.control().Command("hear B1 on");
    ASSERT_TRUE(WaitFor([&] { return rig.Watched().find(kPrefix + "/B1/state ON") != std::string::npos; }, 20s))
        << rig.Diagnostics();
    const std::string retained = rig.Retained("homeassistant/#");
    EXPECT_NE(retained.find("homeassistant/binary_sensor/quorvel_ff008700_b1/config {"), std::string::npos) << retained;

    // A retained command, published while the connector listens, is refused and not carried out.
    rig.control().Command("clear-log");
    rig.Publish(kPrefix + "/A3/set", "ON", true);
    ASSERT_TRUE(WaitFor([&] { return rig.Stderr().find("retained command ignored") != std::string::npos; }, 20s))
        << rig.Diagnostics();
    rig.Publish(kPrefix + "/A3/set", "", true);  // cleared as the report says
    rig.Publish(kPrefix + "/A4/set", "ON");      // a fence: everything before it has been read
    ASSERT_TRUE(rig.WaitForState("A4 on 100", 20s)) << rig.Diagnostics();
    EXPECT_EQ(rig.SimState().find("A3 on"), std::string::npos) << rig.SimState();
    // The report itself, not the debug line that shows its xAP copy.
    int refusals = 0;
    std::istringstream lines(rig.Stderr());
    for (std::string l; std::getline(lines, l);) {
        refusals += l.find("retained command ignored") != std::string::npos && l.find("XapMessage") == std::string::npos;
    }
    EXPECT_EQ(refusals, 1) << rig.Diagnostics();
    EXPECT_EQ(rig.Retained(kPrefix + "/A3/set"), "");

    // The session outlives the connector: a command published while it is stopped is carried
    // out when it is back.
    rig.StopConnector();
    rig.Publish(kPrefix + "/A5/set", "ON");
    rig.StartConnector();
    EXPECT_TRUE(rig.WaitForState("A5 on 100", 60s)) << rig.Diagnostics();
}
