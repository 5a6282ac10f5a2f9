// The connector and tools/xap-hub on loopback: heartbeats, the start-up report, LF-only
// datagrams and the hub's forwarding.
#include "rig.h"

#include <gtest/gtest.h>

using namespace quorvel::itest;
using namespace std::chrono_literals;

namespace {

struct HubDatagram {
    int fromPort = 0;
    std::string text;
};

std::string Unescape(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            out += s[i];
            continue;
        }
        const char c = s[++i];
        if (c == 'n') out += '\n';
        else if (c == 'r') out += '\r';
        else if (c == '\\') out += '\\';
        else if (c == 'x' && i + 2 < s.size()) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        }
    }
    return out;
}

std::vector<HubDatagram> HubDatagrams(const std::string& log) {
    static const std::regex re(R"(^datagram from 127\.0\.0\.1:(\d+) to \d+ client\(s\) \d+ bytes: (.*)$)");
    std::vector<HubDatagram> out;
    std::istringstream in(log);
    std::string line;
    std::smatch m;
    while (std::getline(in, line)) {
        if (std::regex_match(line, m, re)) out.push_back({std::stoi(m[1]), Unescape(m[2])});
    }
    return out;
}

}  // namespace

// On an application folder that holds nothing but the loopback xAP settings and a serial port
// that does not exist.
TEST(XapIntegration, FirstHeartbeatThenStartupReportsThenThePortReportAndTheSettingsFilesAreLeftAlone) {
    TempDir app;
    WriteSafeIni(app.path());
    const std::string general = ReadFile(app.path() / "Config" / "Quorvel.ini");
    auto hub = StartHub(app.path());
    if (!hub) GTEST_SKIP() << "port 3639 not free here (no private network namespace)";

    Process q = Quorvel(app.path());
    ASSERT_TRUE(WaitFor([&] { return hub->Stdout().find("Using xAP port ") != std::string::npos; }, 20s))
        << hub->Stdout() << q.Stderr();

    const auto datagrams = HubDatagrams(hub->Stdout());
    ASSERT_FALSE(datagrams.empty());
    const HubDatagram& hb = datagrams.front();
    std::string host = ReadFile("/proc/sys/kernel/hostname");
    host = host.substr(0, host.find_first_of(".\n"));
    EXPECT_EQ(XapField(hb.text, "source"), "zeb.CM11A." + (host.empty() ? std::string("localhost") : host));
    EXPECT_EQ(XapField(hb.text, "interval"), "600");
    EXPECT_EQ(XapField(hb.text, "port"), std::to_string(hb.fromPort));
    EXPECT_GE(hb.fromPort, 32768);
    EXPECT_LE(hb.fromPort, 32967);

    // Reports raised during start-up (shown on stderr) reach the network in order, and
    // the port report follows them.
    std::vector<std::string> reported;
    {
        std::istringstream err(q.Stderr());
        std::string line;
        while (std::getline(err, line)) {
            const std::string tag = "quorvel: Quorvel | ";
            if (line.rfind(tag, 0) != 0) continue;
            reported.push_back(line.substr(tag.size()));
            if (line.find("Using xAP port ") != std::string::npos) break;
        }
    }
    ASSERT_FALSE(reported.empty());
    EXPECT_EQ(reported.back(), "Using xAP port " + std::to_string(hb.fromPort));
    std::vector<std::string> events;
    for (const auto& d : datagrams) {
        EXPECT_EQ(d.fromPort, hb.fromPort);
        EXPECT_EQ(d.text.find('\r'), std::string::npos) << "CR in datagram: " << d.text;
        if (XapField(d.text, "class") == "Homeseer.Event") events.push_back(XapField(d.text, "Data"));
    }
    ASSERT_GE(events.size(), reported.size());
    events.resize(reported.size());
    EXPECT_EQ(events, reported);

    ExpectCleanStop(q);
    EXPECT_TRUE(std::filesystem::is_directory(app.path() / "Data"));
    // The loopback settings were only read, never rewritten.
    EXPECT_EQ(ReadFile(app.path() / "Config" / "zebXap.ini"), kLoopbackXapIni);
    EXPECT_FALSE(std::filesystem::exists(app.path() / "Config" / "zebXap.ini_bck"));
    EXPECT_EQ(ReadFile(app.path() / "Config" / "Quorvel.ini"), general);
    EXPECT_NE(q.Stderr().find(kNoSerialPort), std::string::npos);  // the link failure is reported
    hub->Signal(SIGINT);
    ASSERT_TRUE(hub->Wait(10s));
    EXPECT_EQ(hub->ExitCode(), 0);
    EXPECT_NE(hub->Stdout().find("stopping"), std::string::npos);
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
