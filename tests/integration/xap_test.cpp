// The connector and tools/xap-hub on loopback: heartbeats, the port report, LF-only datagrams
// and the hub's forwarding.
#include "rig.h"

#include <gtest/gtest.h>

using namespace quorvel::itest;
using namespace std::chrono_literals;

// On an application folder that holds nothing but the loopback xAP settings and a serial port
// that does not exist.
TEST(XapIntegration, FirstHeartbeatThenThePortReportAllFromTheAnnouncedPortAndTheSettingsFilesAreLeftAlone) {
    TempDir app;
    WriteSafeIni(app.path());
    const std::string general = ReadFile(app.path() / "Config" / "Quorvel.ini");
    auto hub = StartHub(app.path());
    if (!hub) GTEST_SKIP() << "port 3639 not free here (no private network namespace)";

    // A client of the hub sees every datagram as sent; the hub's log tells the port each came from.
    XapClient client;
    client.Heartbeat();
    ASSERT_TRUE(WaitFor([&] { return hub->Stdout().find("client + ") != std::string::npos; }, 10s));
    Process q = Quorvel(app.path());
    ASSERT_TRUE(client.WaitForClass("Homeseer.Event", 20s, "Using xAP port ")) << q.Stderr();
    ASSERT_TRUE(WaitFor([&] { return hub->Stdout().find("Using xAP port ") != std::string::npos; }, 20s));

    const auto datagrams = client.Matching("", "\nsource=zeb.CM11A.");
    ASSERT_FALSE(datagrams.empty());
    const std::string& hb = datagrams.front();
    EXPECT_EQ(XapField(hb, "class"), "xap-hbeat.alive");
    std::string host = ReadFile("/proc/sys/kernel/hostname");
    host = host.substr(0, host.find_first_of(".\n"));
    EXPECT_EQ(XapField(hb, "source"), "zeb.CM11A." + (host.empty() ? std::string("localhost") : host));
    EXPECT_EQ(XapField(hb, "interval"), "600");
    const std::string port = XapField(hb, "port");
    EXPECT_GE(std::stoi(port), 32768);
    EXPECT_LE(std::stoi(port), 32967);
    // Every datagram of the connector leaves from the port its heartbeat announced.
    const std::string hubLog = hub->Stdout();
    EXPECT_GE(Count(hubLog, "source=zeb.CM11A."), static_cast<int>(datagrams.size()));
    EXPECT_EQ(Count(hubLog, "datagram from 127.0.0.1:" + port + " "), Count(hubLog, "source=zeb.CM11A.")) << hubLog;

    // No datagram holds a CR, and the first event is the port report.
    for (const auto& d : datagrams) EXPECT_EQ(d.find('\r'), std::string::npos) << "CR in datagram: " << d;
    EXPECT_EQ(XapField(client.WaitForClass("Homeseer.Event", 0ms).value_or(""), "Data"), "Using xAP port " + port);

    ExpectCleanStop(q);
    // The loopback settings were only read, never rewritten.
    EXPECT_EQ(ReadFile(app.path() / "Config" / "zebXap.ini"), kLoopbackXapIni);
    EXPECT_FALSE(std::filesystem::exists(app.path() / "Config" / "zebXap.ini_bck"));
    EXPECT_EQ(ReadFile(app.path() / "Config" / "Quorvel.ini"), general);
    EXPECT_NE(q.Stderr().find(kNoSerialPort), std::string::npos);  // the link failure is reported
}

TEST(XapIntegration, HubForwardsToLiveClientsOnlyAndForgetsSilentOnes) {
    TempDir dir;
    auto hub = StartHub(dir.path());
    if (!hub) GTEST_SKIP() << "port 3639 not free here (no private network namespace)";
    Socket a = Socket::Udp(40001), b = Socket::Udp(40002);
    ASSERT_TRUE(a.ok() && b.ok());

    // Nothing is forwarded to a client that has not announced itself.
    a.SendTo(3639, "xap-header\n{\nclass=x\n}\n");
    EXPECT_EQ(b.Read(300ms), "");

    const std::string hbA = "xap-hbeat\n{\nv=12\nhop=1\nuid=FF000100\nclass=xap-hbeat.alive\nsource=t.a.x\ninterval=1\nport=40001\n}\n";
    const std::string hbB = "xap-hbeat\r\n{\r\nclass=xap-hbeat.alive\r\ninterval=60\r\nport=40002\r\n}\r\n";
    a.SendTo(3639, hbA);
    EXPECT_EQ(a.Read(5s), hbA);  // the sender hears its own heartbeat
    b.SendTo(3639, hbB);
    EXPECT_EQ(a.Read(5s), hbB);
    EXPECT_EQ(b.Read(5s), hbB);

    const std::string msg = "xap-header\n{\nclass=y\n}\nb\n{\nk=v\n}\n";
    b.SendTo(3639, msg);
    EXPECT_EQ(a.Read(5s), msg);
    EXPECT_EQ(b.Read(5s), msg);

    // Client a announced a one-second interval and falls silent: it is forgotten.
    ASSERT_TRUE(WaitFor([&] { return hub->Stdout().find("client - 40001") != std::string::npos; }, 20s));
    b.SendTo(3639, msg);
    EXPECT_EQ(b.Read(5s), msg);
    EXPECT_EQ(a.Read(300ms), "");

    hub->Signal(SIGTERM);
    ASSERT_TRUE(hub->Wait(10s));
    EXPECT_EQ(hub->ExitCode(), 0);
}
