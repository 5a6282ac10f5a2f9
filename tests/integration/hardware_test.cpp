// The connector against the simulated interface at the real device's speed: a power failure
// and stray bytes in the middle of a command, a serial device that disappears and comes
// back; and an interface that sprays garbage at full speed.
#include "rig.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

using namespace quorvel::itest;
using namespace std::chrono_literals;

namespace {

const std::vector<std::string> kRealSpeed = {"--speed", "1"};

// Resident memory (kB) and CPU time (clock ticks) of a process, from /proc.
long RssKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string l; std::getline(in, l);) {
        if (l.rfind("VmRSS:", 0) == 0) return std::stol(l.substr(6));
    }
    return -1;
}
long CpuTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string f;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14) utime = std::stol(f);
        if (i == 15) stime = std::stol(f);
    }
    return utime + stime;
}

}  // namespace

// At the real device's speed, through a serial device: a power failure while an address is on
// the power line, then a wrong checksum and garbage in the middle of another command's
// handshake; then the device goes away and comes back.
TEST(Hardware, PowerFailureAndStrayBytesCostOneResendAtMostAndASerialDeviceRecreatedAtTheSamePathIsReadAgain) {
    Rig rig(RigOptions{.pty = true, .comPort = ""}, kRealSpeed);
    REQUIRE_READY(rig);
    rig.control().Command("clear-log");
    rig.client().SendMessage("xAP-X10.request", "zeb.CM11A.*", "xAP-X10.request", "device=A1\ncommand=on\n");
    ASSERT_TRUE(WaitFor([&] { return rig.SimLog().find("rx 00") != std::string::npos; }, 20s)) << rig.Diagnostics();
    ASSERT_EQ(rig.control().Command("powerfail"), "ok\n");
    ASSERT_TRUE(rig.WaitForState("A1 on 100", 20s)) << rig.SimLog() << rig.Diagnostics();
    // 0x9B with the six clock bytes, the interface's checksum, at once 0x00, and 0x55.
    static const std::regex clockDone("rx 9B[ 0-9A-F]*\\n(rx [ 0-9A-F]*\\n)*tx [0-9A-F]{2}\\nrx 00\\ntx 55\\n");
    std::string log;
    EXPECT_TRUE(WaitFor([&] { return std::regex_search(log = rig.SimLog(), clockDone); }, 20s)) << log;
    EXPECT_EQ(Count(rig.control().Command("powerline"), "sent A on -> A1"), 1);

    rig.control().Command("clear-log");
    ASSERT_EQ(rig.control().Command("fault checksum 1"), "ok\n");  // a stray in place of the answer
    rig.client().SendMessage("xAP-X10.request", "zeb.CM11A.*", "xAP-X10.request", "device=C3\ncommand=off\n");
    ASSERT_TRUE(WaitFor([&] { return rig.SimLog().find("rx 00") != std::string::npos; }, 20s)) << rig.Diagnostics();
    ASSERT_EQ(rig.control().Command("garbage 13 77 00"), "ok\n");
    ASSERT_TRUE(WaitFor([&] { return rig.control().Command("powerline").find("sent C off") != std::string::npos; },
                        20s))
        << rig.SimLog() << rig.Diagnostics();
    std::this_thread::sleep_for(1500ms);  // anything sent once more would show by now
    log = rig.SimLog();
    EXPECT_EQ(Count(log, "rx 04 22"), 2) << log;  // the pair once more after the wrong checksum
    const std::string line = rig.control().Command("powerline");
    EXPECT_EQ(Count(line, "sent C3"), 1) << line;
    EXPECT_EQ(Count(line, "sent C off"), 1) << line;
    rig.client().WaitForClass("none", 200ms);
    EXPECT_EQ(rig.client().Matching("xAP-x10.Event", "\nDevice=A1\n").size(), 1u);
    EXPECT_EQ(rig.client().Matching("xAP-x10.Event", "\nDevice=C3\n").size(), 1u);

    // The device goes away (the simulator ends and removes its link) and a new one appears
    // at the same path.
    rig.ReplaceSimulator();
    ASSERT_TRUE(rig.client().WaitForClass("Homeseer.Event", 20s, "closed after error")) << rig.Diagnostics();
    ASSERT_TRUE(rig.control().Connected());
    const std::string path = (rig.folder() / "cm11a-pty").string();
    ASSERT_TRUE(rig.client().WaitForClass("Homeseer.Event", 40s, "CM11A link up on " + path)) << rig.Diagnostics();
    // A wall switch: broadcast without any request sent first.
    ASSERT_EQ(rig.control().Command("hear D7 on"), "ok\n");
    EXPECT_TRUE(rig.client().WaitForClass("xAP-x10.Event", 20s, "Device=D7")) << rig.Diagnostics() << rig.SimLog();
    // And commands go out whole through the new device.
    rig.client().SendMessage("xAP-X10.request", "", "xAP-X10.request", "device=E5\ncommand=off\n");
    EXPECT_TRUE(rig.WaitForState("E5 off 0", 20s)) << rig.SimState() << rig.Diagnostics();
    ExpectCleanStop(rig.quorvel());
}

TEST(Hardware, InterfaceSprayingRandomBytesNeitherExhaustsNorDeafensTheConnector) {
    // A "serial server" that sends random bytes as fast as it can.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    Rig rig({.pty = false, .comPort = "127.0.0.1:" + std::to_string(ntohs(a.sin_port))});
    if (!rig.HubUp()) GTEST_SKIP() << "UDP port 3639 is taken and no private network namespace";
    XapClient& client = rig.client();
    Process& quorvel = rig.quorvel();
    pollfd pf{listener, POLLIN, 0};
    ASSERT_EQ(::poll(&pf, 1, 20000), 1) << quorvel.Stderr();
    const int conn = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
    ASSERT_GE(conn, 0);
    ASSERT_TRUE(client.WaitForClass("Homeseer.Event", 30s, "Using xAP port ")) << quorvel.Stderr();

    std::mt19937 rng(14);
    std::string chunk(64 * 1024, '\0');
    long maxRss = 0;
    std::size_t sent = 0;
    const auto start = std::chrono::steady_clock::now();
    auto lastSample = start;
    bool echoAsked = false;
    char sink[65536];
    while (std::chrono::steady_clock::now() - start < 4s) {
        for (char& c : chunk) c = static_cast<char>(rng());
        const ssize_t n = ::send(conn, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) sent += static_cast<std::size_t>(n);
        while (::recv(conn, sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
        if (std::chrono::steady_clock::now() - lastSample > 100ms) {
            lastSample = std::chrono::steady_clock::now();
            maxRss = std::max(maxRss, RssKb(quorvel.Pid()));
            if (!echoAsked && lastSample - start > 2s) {
                echoAsked = true;
                client.SendMessage("WDT.Echo", "", "Echo.Query", "Query=spray\n");
            }
        }
        if (n <= 0) std::this_thread::sleep_for(1ms);
    }
    EXPECT_GT(sent, 1u << 20) << "the spray reached the connector";
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer's shadow memory and quarantine add a few hundred MB of their own.
    constexpr long kRssLimitKb = 1024 * 1024;
#else
    constexpr long kRssLimitKb = 100 * 1024;
#endif
    EXPECT_LT(maxRss, kRssLimitKb) << "resident memory under the spray (kB)";
    // The query sent during the spray is answered (the spray must not drown the xAP side in
    // events invented from garbage).
    EXPECT_TRUE(client.WaitForClass("WDT.Echo", 5s, "Response=spray")) << quorvel.Stderr().substr(0, 2000);

    // Back to idle within 3 s of the end of the spray.
    std::this_thread::sleep_for(3s);
    const long before = CpuTicks(quorvel.Pid());
    std::this_thread::sleep_for(1s);
    const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    EXPECT_LE(CpuTicks(quorvel.Pid()) - before, ticksPerSecond / 5) << "CPU time in one second after the spray";

    quorvel.Signal(SIGTERM);
    EXPECT_TRUE(quorvel.Wait(3s)) << "SIGTERM answered within 3 s";
    EXPECT_EQ(quorvel.ExitCode(), 0);
    ::close(conn);
}
