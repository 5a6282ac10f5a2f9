#include "app/quorvel_form.h"
#include "platform/sim/sim_links.h"
#include "platform/sim/sim_platform.h"
#include "test_support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

using quorvel::app::QuorvelForm;
using Strings = std::vector<std::string>;

namespace {

class QueueSource : public quorvel::xap::MessageSource {
public:
    std::string GetMessage() override {
        if (queue.empty()) return "";
        std::string m = queue.front();
        queue.pop_front();
        return m;
    }
    std::deque<std::string> queue;
};

struct FormFixture : ::testing::Test {
    FormFixture() { form.SetHostAddresses([] { return Strings{"127.0.0.1"}; }); }
    void WriteSettings(const std::string& quorvelIni) {
        quorvel::test::WriteBytes(dir.path() / "Config" / "zebXap.ini", "[Interface]\r\nBroadcastAddress=127.255.255.255\r\n");
        quorvel::test::WriteBytes(dir.path() / "Config" / "Quorvel.ini", quorvelIni);
    }
    std::string Log() const { return quorvel::test::ReadBytes(dir.path() / "Data" / "Quorvel.txt"); }
    quorvel::test::TempDir dir;
    quorvel::platform::SimPlatform sim;
    QuorvelForm form{sim, {dir.path(), (dir.path() / "quorvel").string(), true}};
    QueueSource source;
};

struct FormStartUp : FormFixture {
    FormStartUp() { WriteSettings("[General]\r\nComPort=127.0.0.1:4001\r\n"); }
};

struct XapStartup : FormFixture {
    XapStartup() {
        quorvel::test::WriteBytes(dir.path() / "Config" / "zebXap.ini",
                                  "[General]\r\nBroadcastAddress=198.51.100.255\r\n[Interface]\r\nInterfaceAddress=Default\r\n"
                                  "BroadcastAddress=127.255.255.255\r\n");
        form.reporter().ReportEvent("Quorvel", "early one");
    }
};

std::string Message(const std::string& cls, const std::string& block, const std::string& items) {
    return "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=" + cls + "\nsource=acme.host.box\n}\n" + block +
           "\n{\n" + items + "}\n";
}

}  // namespace

// A backlog gives way to other events after a slice of about 50 ms, keeps its order, and no
// slice runs after shutdown.
TEST_F(FormFixture, ABacklogIsHandedOverInSlicesInOrderAndNoSliceRunsAfterShutdown) {
    form.SetMessageSource(&source);
    for (int i = 0; i < 100; ++i) source.queue.push_back("m" + std::to_string(i));
    Strings handled;
    form.SetMessageHandler([&](const std::string& m) {
        handled.push_back(m);
        sim.SetNow(sim.NowMs() + 10);  // every message takes 10 ms
    });
    form.onMessage();
    EXPECT_GE(handled.size(), 4u);
    EXPECT_LE(handled.size(), 6u);
    for (int i = 0; i < 100 && !source.queue.empty(); ++i) sim.Advance(1);
    ASSERT_EQ(handled.size(), 100u);
    for (std::size_t i = 0; i < handled.size(); ++i) EXPECT_EQ(handled[i], "m" + std::to_string(i));

    source.queue = {"x1", "x2", "x3", "x4", "x5", "x6", "x7", "x8", "x9"};
    form.onMessage();
    form.Exit();
    sim.Advance(1000);
    EXPECT_EQ(handled.size(), 105u);
    EXPECT_TRUE(sim.QuitRequested());
}

TEST_F(FormFixture, AFailingHandlerEndsTheDrainWithALogLineAndTheNextCallDrainsAgain) {
    form.SetMessageSource(&source);
    source.queue = {"bad", "good"};
    Strings handled;
    form.SetMessageHandler([&](const std::string& m) {
        if (m == "bad") throw std::runtime_error("boom");
        handled.push_back(m);
    });
    form.onMessage();
    EXPECT_TRUE(handled.empty());
    form.onMessage();
    EXPECT_EQ(handled, Strings{"good"});
}

// The start-up does not wait for a serial server: an echo is answered at once, and an X10
// request that comes while the server is being connected waits for the link, then goes out.
TEST_F(FormStartUp, TheStartUpDoesNotWaitForTheSerialServerAndARequestMeanwhileWaitsForTheLink) {
    auto* socket = sim.LastTcpSocket();
    socket->SetAnswer(quorvel::platform::SimTcpSocket::Answer::Accept, 1500);
    ASSERT_FALSE(form.Form_Load().has_value());
    EXPECT_EQ(sim.NowMs(), 0u);
    sim.InjectDatagram("127.0.0.1", 32768, Message("xAP-X10.request", "xAP-X10.request", "device=A1\ncommand=on\n"));
    sim.InjectDatagram("127.0.0.1", 32768, Message("WDT.Echo", "Echo.Query", "Query=ping\n"));
    sim.Advance(100);
    bool echoed = false;
    for (const auto& d : sim.SentDatagrams()) echoed |= d.Data.find("Response=ping") != std::string::npos;
    EXPECT_TRUE(echoed);
    EXPECT_EQ(form.cm11a().TransmitQueue().size(), 1u);
    EXPECT_TRUE(socket->Writes().empty());
    // The clock message and the status request go unanswered first.
    sim.Advance(2000 + quorvel::cm11a::Cm11aEngine::kStatusAnswerMs);
    const auto& writes = socket->Writes();
    EXPECT_NE(std::find(writes.begin(), writes.end(), std::string("\x04\x66", 2)), writes.end());
}

// A storm of SIGHUPs is one reload (or two): an unchanged port writes nothing to the
// interface; a changed one is taken up only once the command in progress has ended.
TEST_F(FormFixture, ABurstOfReloadsIsOneAndANewPortWaitsForTheEndOfTheCommandInProgress) {
    WriteSettings("[General]\r\nComPort=/dev/ttyS7\r\nHouse=A\r\n");
    auto* serial = sim.LastSerialPort();
    serial->AddDevice("/dev/ttyS7");
    serial->AddDevice("/dev/ttyS8");
    ASSERT_FALSE(form.Form_Load().has_value());
    ASSERT_TRUE(serial->IsOpen());
    sim.Advance(quorvel::cm11a::Cm11aEngine::kClockAnswerMs + quorvel::cm11a::Cm11aEngine::kStatusAnswerMs);
    const std::size_t writes = serial->Writes().size();
    const auto reloads = [&] {
        const std::string log = Log();
        int n = 0;
        for (auto p = log.find("Settings reloaded: "); p != std::string::npos; p = log.find("Settings reloaded: ", p + 1)) ++n;
        return n;
    };
    for (int i = 0; i < 1000; ++i) {  // 1,000 in 100 ms
        form.RequestReload();
        if (i % 10 == 9) sim.Advance(1);
    }
    sim.Advance(1000);
    EXPECT_GE(reloads(), 1);
    EXPECT_LE(reloads(), 2);
    EXPECT_EQ(serial->Writes().size(), writes);

    // A1 on is in its handshake when the port changes: the old port carries it to its end.
    form.cm11a().SendCM11A("A1", 2);
    ASSERT_EQ(serial->Writes().back(), std::string("\x04\x66", 2));
    WriteSettings("[General]\r\nComPort=/dev/ttyS8\r\nHouse=BX\r\nIgnore= B2\r\n");
    form.RequestReload();
    sim.Advance(200);
    EXPECT_EQ(form.settings().House, "BX");
    EXPECT_TRUE(form.settings().Ignored("B2"));
    EXPECT_EQ(serial->Device(), "/dev/ttyS7");  // each step of the handshake: the engine's own test
    for (const char* reply : {"\x6A", "\x55", "\x68", "\x55"}) {
        serial->Deliver(reply);
        sim.Advance(10);
    }
    EXPECT_EQ(serial->Opens().back().first, "/dev/ttyS8");
    EXPECT_TRUE(serial->IsOpen());
}

// The broadcast address comes from [Interface] only; heartbeats of others never reach the
// handler; after Exit the port is free and nothing more is sent.
TEST_F(XapStartup, BroadcastAddressFromInterfaceHeartbeatsFilteredAndExitClosesTheNode) {
    Strings handled;
    form.SetMessageHandler([&](const std::string& m) { handled.push_back(m); });
    ASSERT_FALSE(form.Form_Load().has_value());
    const auto& sent = sim.SentDatagrams();
    ASSERT_GE(sent.size(), 3u);  // the heartbeat, the early report, the port report and maybe more
    for (const auto& d : sent) EXPECT_EQ(d.ToHost + ":" + std::to_string(d.ToPort), "127.255.255.255:3639");

    sim.InjectDatagram("127.0.0.1", 32768, "xap-hbeat\nhb");
    sim.InjectDatagram("127.0.0.1", 32768, "xap-header\nm1");
    sim.Advance(100);
    EXPECT_EQ(handled, Strings{"xap-header\nm1"});

    form.Exit();
    EXPECT_TRUE(sim.CreateUdpSocket()->Bind("127.0.0.1", 32768));
    sim.ClearSentDatagrams();
    sim.Advance(1000000);
    EXPECT_TRUE(sim.SentDatagrams().empty());
}

TEST_F(XapStartup, NoFreePortLogsAndEndsWithNonZeroStatus) {
    for (int p = 32768; p < 32768 + 200; ++p) sim.TakeUdpPort("127.0.0.1", static_cast<std::uint16_t>(p));
    const auto status = form.Form_Load();
    ASSERT_TRUE(status.has_value());
    EXPECT_NE(*status, 0);
    EXPECT_FALSE(form.XapRunning());
    EXPECT_TRUE(sim.SentDatagrams().empty());
    const std::string log = Log();
    EXPECT_NE(log.find("Quorvel xAP.Init port search for host 127.255.255.255 failed with Error State=0, "
                       "Error=8:The bound address is already in use"), std::string::npos) << log;
}
