// The CM11A link in simulated time, against the scripted serial port and TCP socket.
#include "cm11a/cm11a_link.h"
#include "platform/sim/sim_platform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

using quorvel::cm11a::Cm11aLink;
using quorvel::cm11a::ComPortTarget;
using quorvel::cm11a::ParseComPort;
using quorvel::platform::SimPlatform;
using quorvel::platform::SimTcpSocket;
using Answer = quorvel::platform::SimTcpSocket::Answer;

namespace {

constexpr const char* kServer = "127.0.0.1:10001";

struct Cm11aLinkTest : ::testing::Test {
    Cm11aLinkTest() : reporter(sim), link(sim, reporter, settings, [this] { return shuttingDown; }) {
        reporter.SetConsole([this](const std::string& line) { reports.push_back(line); });
        serial = sim.LastSerialPort();
        socket = sim.LastTcpSocket();
        link.SetChunkSink([this](const std::string& bytes, int code) { chunks.emplace_back(bytes, code); });
    }

    // Reports whose text starts with text ("Quorvel | " is the console prefix).
    int Reports(const std::string& text) const {
        int n = 0;
        for (const auto& line : reports) n += line.rfind("Quorvel | " + text, 0) == 0 ? 1 : 0;
        return n;
    }

    SimPlatform sim;
    quorvel::core::Settings settings;
    quorvel::core::Reporter reporter;
    bool shuttingDown = false;
    Cm11aLink link;
    quorvel::platform::SimSerialPort* serial = nullptr;
    SimTcpSocket* socket = nullptr;
    std::vector<std::string> reports;
    std::vector<std::pair<std::string, int>> chunks;
};

}  // namespace

TEST(Cm11aLinkComPort, FormsAreParsed) {
    // Kind, then the device or host and port, then the problem.
    const auto parsed = [](const std::string& text) {
        const ComPortTarget t = ParseComPort(text);
        const char* kinds[] = {"serial", "tcp", "invalid"};
        return kinds[static_cast<int>(t.kind)] + (" " + t.Device + t.Host + ":" + std::to_string(t.Port)) + t.Problem;
    };
    const std::pair<std::string, std::string> cases[] = {
        {"1", "serial /dev/ttyS0:0"},
        {"/dev/ttyUSB0", "serial /dev/ttyUSB0:0"},
        {"192.0.2.50:4001", "tcp 192.0.2.50:4001"},
        {"", "invalid :0No port given"},
        {"COM1", "invalid :0Invalid port number \"COM1\""},
        {"host:70000", "invalid :0Invalid TCP port in \"host:70000\""},
        {":4001", "invalid :0No TCP address in \":4001\""},
    };
    for (const auto& [text, target] : cases) EXPECT_EQ(parsed(text), target) << text;
}

TEST_F(Cm11aLinkTest, ServerThatNeverAnswersIsConnectedInTheBackgroundWithFiveRetriesThenTheReport) {
    EXPECT_FALSE(link.PortOpen(kServer));
    EXPECT_EQ(sim.NowMs(), 0u);  // nothing waits for the connection
    EXPECT_TRUE(link.Connecting());
    sim.Advance(12000);
    EXPECT_EQ(socket->Connects().size(), 6u);  // the open and five reconnects
    EXPECT_EQ(Reports("Unable to connect to CM11A via TCP 127.0.0.1:10001"), 1);
    // One reconnect follows in the background (further ones come with the socket's error);
    // before and while it is under way, testing the link starts nothing new.
    EXPECT_FALSE(link.PortOpen(kServer));
    sim.Advance(Cm11aLink::kReconnectMinMs * 2);
    EXPECT_TRUE(link.Connecting());
    EXPECT_FALSE(link.PortOpen(kServer));
    EXPECT_EQ(socket->Connects().size(), 7u);
    sim.Advance(120000);
    EXPECT_EQ(socket->Connects().size(), 7u);
    EXPECT_EQ(Reports("Unable to connect to CM11A via TCP 127.0.0.1:10001"), 1);
}

TEST_F(Cm11aLinkTest, TestsWhileTheServerIsBeingConnectedStartNothingAndTheOpenIsToldWhenItIsUp) {
    settings.ComPort = kServer;
    int opened = 0;
    link.SetOpenedSink([&] { ++opened; });
    sim.Post([this] { socket->Accept(); }, 5000);
    EXPECT_FALSE(link.PortOpen(kServer));
    sim.Advance(3000);
    EXPECT_FALSE(link.PortOpen(kServer));
    link.WriteToCM11A(std::string("\x04\x66", 2));
    EXPECT_EQ(opened, 0);
    sim.Advance(2000);
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(socket->Connects().size(), 3u);  // the open and two ticks: no connect of the tests
    EXPECT_TRUE(link.PortOpen(kServer));  // connected: a further test starts nothing
    EXPECT_EQ(socket->Connects().size(), 3u);
    EXPECT_EQ(Reports("Unable to Send to CM11A, Port not open"), 1);
    EXPECT_TRUE(socket->Writes().empty());
}

TEST_F(Cm11aLinkTest, BadPortsAreReportedWithoutAnAttempt) {
    EXPECT_FALSE(link.PortOpen("3"));
    EXPECT_FALSE(link.PortOpen("abc"));
    EXPECT_EQ(Reports("CM11A OpenPort "), 2);
    EXPECT_TRUE(socket->Connects().empty());
    EXPECT_EQ(sim.NowMs(), 0u);  // no connect wait
}

TEST_F(Cm11aLinkTest, SerialPortIsConfiguredBeforeOpenLeftAloneWhenOpenAndReopenedWhenDeaf) {
    settings.ComPort = "1";
    serial->AddDevice("/dev/ttyS0");
    EXPECT_TRUE(link.PortOpen("1"));
    ASSERT_EQ(serial->Opens().size(), 1u);
    EXPECT_EQ(serial->Opens()[0].first, "/dev/ttyS0");
    const quorvel::platform::SerialSettings line = serial->Opens()[0].second;
    EXPECT_TRUE(line.BaudRate == 4800 && line.DataBits == 8 && line.StopBits == 1);
    EXPECT_TRUE(line.LineParity == quorvel::platform::Parity::None && line.Flow == quorvel::platform::FlowControl::None);
    EXPECT_TRUE(link.PortOpen("1"));
    EXPECT_TRUE(link.OpenPort("1"));
    EXPECT_EQ(serial->ConfigureCalls(), 1);
    EXPECT_EQ(serial->Opens().size(), 1u);
    EXPECT_EQ(serial->CloseCalls(), 0);
    link.Reopen("no answer");
    EXPECT_EQ(serial->CloseCalls(), 1);
    EXPECT_TRUE(serial->IsOpen());
    EXPECT_EQ(serial->Opens().size(), 2u);
    EXPECT_EQ(reports.size(), 1u);
    EXPECT_EQ(Reports("CM11A serial port /dev/ttyS0 closed and opened again"), 1);
}

TEST_F(Cm11aLinkTest, LostSerialAdapterIsReportedOncePerOutageAndReopenedAtAPacedRate) {
    int opened = 0;
    link.SetOpenedSink([&] { ++opened; });
    settings.ComPort = "/dev/ttyUSB0";
    // Two outages: missing at start-up, then unplugged while running.
    EXPECT_FALSE(link.PortOpen(settings.ComPort));
    for (int outage = 1; outage <= 2; ++outage) {
        SCOPED_TRACE(outage);
        const std::size_t opensBefore = serial->Opens().size(), reportsBefore = reports.size();
        sim.Advance(120000);  // two minutes without the device: 1, 2, 4 ... 30 s apart
        EXPECT_GE(serial->Opens().size() - opensBefore, 5u);
        EXPECT_LE(serial->Opens().size() - opensBefore, 9u);
        EXPECT_EQ(reports.size(), reportsBefore) << "no report per attempt";
        for (int i = 0; i < 24; ++i) link.WriteToCM11A("\x5A");
        EXPECT_EQ(Reports("Unable to Send to CM11A, Port not open"), outage);
        EXPECT_EQ(Reports("CM11A OpenPort "), 1);
        // The device comes back: opened without any command, said once, and writes.
        serial->AddDevice("/dev/ttyUSB0");
        sim.Advance(Cm11aLink::kReopenMaxMs);
        EXPECT_TRUE(serial->IsOpen());
        EXPECT_EQ(opened, outage);
        EXPECT_EQ(Reports("CM11A link up on /dev/ttyUSB0"), outage);
        link.WriteToCM11A("\xC3");
        EXPECT_EQ(serial->Writes().size(), static_cast<std::size_t>(outage));
        serial->Unplug("/dev/ttyUSB0");
        sim.Advance(1);
        EXPECT_EQ(chunks.back(), (std::pair<std::string, int>{"", 1006}));
        EXPECT_FALSE(serial->IsOpen());
    }
    EXPECT_EQ(Reports("CM11A serial port /dev/ttyUSB0 closed after error 1006 Line 0 Device removed"), 2);
}

TEST_F(Cm11aLinkTest, ServerThatKeepsFailingIsRetriedAtAGrowingPaceUntilShutDown) {
    socket->SetAnswer(Answer::Accept);
    EXPECT_FALSE(link.PortOpen(kServer));  // connected in the background
    sim.Advance(60000);  // a healthy connection
    ASSERT_TRUE(link.PortOpen(kServer));
    socket->SetAnswer(Answer::Refuse);
    socket->PeerClose();
    std::vector<std::uint64_t> attempts;
    std::size_t seen = socket->Connects().size();
    for (int step = 0; step < 600; ++step) {  // ten minutes in one-second steps
        sim.Advance(1000);
        for (; seen < socket->Connects().size(); ++seen) attempts.push_back(sim.NowMs());
    }
    // Immediate first retry, then 2 s doubling up to one a minute: a refusing server
    // neither spins the connector nor floods the log.
    EXPECT_EQ(Reports("CM11A TCP Port Connect Closed"), 1);
    ASSERT_GE(attempts.size(), 8u);
    EXPECT_LE(attempts.size(), 16u);
    EXPECT_LE(attempts.front(), 61000u);
    for (std::size_t i = 1; i < attempts.size(); ++i) {
        EXPECT_GE(attempts[i] - attempts[i - 1], 1000u);
        EXPECT_LE(attempts[i] - attempts[i - 1], 61000u);
    }
    EXPECT_EQ(Reports("CM11A Winsock1_Error"), static_cast<int>(attempts.size()));

    // The server comes back: the next retry connects, and nothing else happens.
    socket->SetAnswer(Answer::Accept);
    sim.Advance(61000);
    EXPECT_TRUE(socket->IsConnected());
    std::size_t connects = socket->Connects().size();
    sim.Advance(300000);
    EXPECT_EQ(socket->Connects().size(), connects);
    // A connection that lasted and then drops is retried at once, however the pace had grown.
    socket->RaiseError(10054, "Connection reset by peer");
    sim.Advance(100);
    EXPECT_EQ(socket->Connects().size(), ++connects);
    EXPECT_TRUE(socket->IsConnected());

    // A connection that worked, however briefly, starts the pace again from its shortest.
    socket->SetAnswer(Answer::Refuse);
    socket->PeerClose();
    sim.Advance(100000);  // refused again and again: the pace has grown to a minute
    socket->SetAnswer(Answer::Accept);
    for (int step = 0; step < 70 && !socket->IsConnected(); ++step) sim.Advance(1000);
    ASSERT_TRUE(socket->IsConnected());
    socket->PeerClose(1000);
    sim.Advance(1000);
    connects = socket->Connects().size();
    sim.Advance(Cm11aLink::kReconnectMinMs + 10);
    EXPECT_EQ(socket->Connects().size(), ++connects);

    // Shutting down: a close or an error is neither reported nor retried.
    shuttingDown = true;
    reports.clear();
    socket->PeerClose();
    socket->RaiseError(10053, "Software caused connection abort", 5);
    sim.Advance(120000);
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(socket->Connects().size(), connects);
}

// A peer that sends far more than the interface's 480 bytes a second: what fits the budget
// reaches the engine, the rest is dropped where it enters, with one report per episode.
TEST_F(Cm11aLinkTest, InputBeyondWhatTheInterfaceCanSendIsDroppedWithOneReportPerEpisode) {
    socket->SetAnswer(Answer::Accept);
    link.PortOpen(kServer);
    sim.Advance(10);
    ASSERT_TRUE(socket->IsConnected());
    const auto taken = [&] {
        std::size_t n = 0;
        for (const auto& c : chunks) n += c.first.size();
        return n;
    };
    socket->Deliver(std::string(300, '\x5A'));  // a real burst passes whole
    sim.Advance(1);
    EXPECT_EQ(taken(), 300u);
    for (int ms = 0; ms < 3000; ms += 10) {  // 3 s of 10 kB every 10 ms
        socket->Deliver(std::string(10000, '\xA5'));
        sim.Advance(10);
    }
    EXPECT_LE(taken(), 300u + 31 * Cm11aLink::kInputBudgetBytes);
    EXPECT_GE(taken(), 300u + 29 * Cm11aLink::kInputBudgetBytes);
    const char* report = "CM11A link delivers more than the interface can send";
    EXPECT_EQ(Reports(report), 1);
    sim.Advance(Cm11aLink::kInputEpisodeMs);
    socket->Deliver(std::string(10000, '\xA5'));
    sim.Advance(1);
    EXPECT_EQ(Reports(report), 2);
}
