// The connector and tools/xap-hub on loopback: heartbeats, the start-up report, LF-only
// datagrams, the hub's forwarding, and a start that finds no free port.
#include "support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>
#include <regex>

using namespace quorvel::itest;
using namespace std::chrono_literals;

namespace {

std::filesystem::path HubBin() { return BinDir() / "tools" / "xap-hub" / "xap-hub"; }

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

std::string Field(const std::string& text, const std::string& name) {
    const std::size_t p = text.find("\n" + name + "=");
    if (p == std::string::npos) return "<none>";
    const std::size_t start = p + name.size() + 2;
    return text.substr(start, text.find('\n', start) - start);
}

// Starts the hub on 3639 and waits until it listens; null when the port is not free here.
std::unique_ptr<Process> StartHub(const std::filesystem::path& dir, std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), "--verbose");
    auto hub = std::make_unique<Process>(HubBin(), extra, dir, "hub");
    const bool up = WaitFor([&] { return hub->Stdout().find("listening 127.255.255.255:3639") != std::string::npos; }, 10s);
    if (!up) return nullptr;
    return hub;
}

int UdpSocketOn(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void SendTo(int fd, std::uint16_t port, const std::string& text) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

std::string Receive(int fd, std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<long>(timeout.count() / 1000);
    tv.tv_usec = static_cast<long>((timeout.count() % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[70000];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    return n < 0 ? std::string() : std::string(buf, static_cast<std::size_t>(n));
}

}  // namespace

TEST(XapIntegration, FirstHeartbeatThenStartupReportsThenThePortReport) {
    TempDir app;
    WriteLoopbackXapIni(app.path());
    WriteHarmlessComPort(app.path());
    std::filesystem::create_directories(app.path() / "Data");
    auto hub = StartHub(app.path());
    if (!hub) GTEST_SKIP() << "port 3639 not free here (no private network namespace)";

    Process q(BinDir() / "quorvel", {"--headless", "--app-folder", app.path().string()}, app.path(), "quorvel");
    ASSERT_TRUE(WaitFor([&] { return hub->Stdout().find("Using xAP port ") != std::string::npos; }, 20s))
        << hub->Stdout() << q.Stderr();

    const auto datagrams = HubDatagrams(hub->Stdout());
    ASSERT_FALSE(datagrams.empty());
    const HubDatagram& hb = datagrams.front();
    EXPECT_EQ(hb.text.rfind("xap-hbeat\n{\n", 0), 0u) << hb.text;
    EXPECT_EQ(Field(hb.text, "class"), "xap-hbeat.alive");
    std::string host = quorvel::itest::ReadFile("/proc/sys/kernel/hostname");
    host = host.substr(0, host.find_first_of(".\n"));
    EXPECT_EQ(Field(hb.text, "source"), "zeb.CM11A." + (host.empty() ? std::string("localhost") : host));
    EXPECT_EQ(Field(hb.text, "interval"), "600");
    EXPECT_EQ(Field(hb.text, "port"), std::to_string(hb.fromPort));
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
        if (Field(d.text, "class") == "Homeseer.Event") events.push_back(Field(d.text, "Data"));
    }
    ASSERT_GE(events.size(), reported.size());
    events.resize(reported.size());
    EXPECT_EQ(events, reported);

    q.Signal(SIGTERM);
    ASSERT_TRUE(q.Wait(10s));
    EXPECT_EQ(q.ExitCode(), 0) << q.Stderr();
    hub->Signal(SIGINT);
    ASSERT_TRUE(hub->Wait(10s));
    EXPECT_EQ(hub->ExitCode(), 0);
    EXPECT_NE(hub->Stdout().find("stopping"), std::string::npos);
}

TEST(XapIntegration, NoFreePortEndsWithTheLogLineAndNonZeroStatus) {
    TempDir app;
    WriteLoopbackXapIni(app.path());
    WriteHarmlessComPort(app.path());
    std::filesystem::create_directories(app.path() / "Data");
    std::vector<int> held;
    for (int p = 32768; p < 32968; ++p) {
        const int fd = UdpSocketOn(static_cast<std::uint16_t>(p));
        if (fd >= 0) held.push_back(fd);  // a port we cannot bind is taken already
    }
    Process q(BinDir() / "quorvel", {"--headless", "--app-folder", app.path().string()}, app.path(), "quorvel");
    const bool ended = q.Wait(20s);
    for (int fd : held) ::close(fd);
    ASSERT_TRUE(ended);
    EXPECT_NE(q.ExitCode(), 0);
    const std::string log = ReadFile(app.path() / "Data" / "Quorvel.txt");
    EXPECT_NE(log.find("Quorvel xAP.Init port search for host 127.255.255.255 failed with Error State="),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Quorvel xAP Init Error -1 occurred"), std::string::npos) << log;
}

TEST(XapIntegration, TakenPortsAreSkipped) {
    TempDir app;
    WriteLoopbackXapIni(app.path());
    WriteHarmlessComPort(app.path());
    auto hub = StartHub(app.path());
    if (!hub) GTEST_SKIP() << "port 3639 not free here (no private network namespace)";
    const int first = UdpSocketOn(32768);
    const int second = UdpSocketOn(32769);
    if (first < 0 || second < 0) GTEST_SKIP() << "ports 32768/32769 not free here";
    Process q(BinDir() / "quorvel", {"--headless", "--app-folder", app.path().string()}, app.path(), "quorvel");
    ASSERT_TRUE(WaitFor([&] { return hub->Stdout().find("Using xAP port ") != std::string::npos; }, 20s))
        << hub->Stdout() << q.Stderr();
    const auto datagrams = HubDatagrams(hub->Stdout());
    ASSERT_FALSE(datagrams.empty());
    EXPECT_EQ(Field(datagrams.front().text, "port"), "32770");
    EXPECT_NE(q.Stderr().find("Using xAP port 32770"), std::string::npos) << q.Stderr();
    ::close(first);
    ::close(second);
    q.Signal(SIGTERM);
    ASSERT_TRUE(q.Wait(10s));
    EXPECT_EQ(q.ExitCode(), 0);
}

TEST(XapIntegration, HubForwardsToLiveClientsOnlyAndForgetsSilentOnes) {
    TempDir dir;
    Process help(HubBin(), {"--help"}, dir.path(), "help");
    ASSERT_TRUE(help.Wait(10s));
    EXPECT_EQ(help.ExitCode(), 0);
    EXPECT_NE(help.Stdout().find("--verbose"), std::string::npos);

    auto hub = StartHub(dir.path());
    if (!hub) GTEST_SKIP() << "port 3639 not free here (no private network namespace)";
    const int a = UdpSocketOn(40001);
    const int b = UdpSocketOn(40002);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);

    // Nothing is forwarded to a client that has not announced itself.
    SendTo(a, 3639, "xap-header\n{\nclass=x\n}\n");
    EXPECT_EQ(Receive(b, 300ms), "");

    const std::string hbA = "xap-hbeat\n{\nv=12\nhop=1\nuid=FF000100\nclass=xap-hbeat.alive\nsource=t.a.x\ninterval=1\nport=40001\n}\n";
    const std::string hbB = "xap-hbeat\r\n{\r\nclass=xap-hbeat.alive\r\ninterval=60\r\nport=40002\r\n}\r\n";
    SendTo(a, 3639, hbA);
    EXPECT_EQ(Receive(a, 5s), hbA);  // the sender hears its own heartbeat
    SendTo(b, 3639, hbB);
    EXPECT_EQ(Receive(a, 5s), hbB);
    EXPECT_EQ(Receive(b, 5s), hbB);

    const std::string msg = "xap-header\n{\nclass=y\n}\nb\n{\nk=v\n}\n";
    SendTo(b, 3639, msg);
    EXPECT_EQ(Receive(a, 5s), msg);
    EXPECT_EQ(Receive(b, 5s), msg);

    // Client a announced a one-second interval and falls silent: it is forgotten.
    ASSERT_TRUE(WaitFor([&] { return hub->Stdout().find("client - 40001") != std::string::npos; }, 20s));
    SendTo(b, 3639, msg);
    EXPECT_EQ(Receive(b, 5s), msg);
    EXPECT_EQ(Receive(a, 300ms), "");
    ::close(a);
    ::close(b);

    hub->Signal(SIGTERM);
    ASSERT_TRUE(hub->Wait(10s));
    EXPECT_EQ(hub->ExitCode(), 0);
}
