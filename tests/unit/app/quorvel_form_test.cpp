#include "app/quorvel_form.h"
#include "platform/sim/sim_links.h"
#include "platform/sim/sim_platform.h"
#include "test_support/temp_dir.h"

#include <gtest/gtest.h>

#include <deque>
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

TEST_F(FormFixture, NestedDrainReadsNothingAndNoMessageIsLostOrHandledTwice) {
    form.SetMessageSource(&source);
    source.queue = {"m1", "m2", "m3"};
    Strings handled;
    form.SetMessageHandler([&](const std::string& m) {
        handled.push_back(m);
        if (m == "m1") {
            // A handler that lets events run: more messages arrive and the node calls back.
            source.queue.push_back("m4");
            form.onMessage();
            handled.push_back("after-nested");
        }
    });
    form.onMessage();
    EXPECT_EQ(handled, (Strings{"m1", "after-nested", "m2", "m3", "m4"}));

    // A failing handler ends the drain with a log line; the next call drains again.
    source.queue = {"bad", "good"};
    handled.clear();
    form.SetMessageHandler([&](const std::string& m) {
        if (m == "bad") throw std::runtime_error("boom");
        handled.push_back(m);
    });
    form.onMessage();
    EXPECT_TRUE(handled.empty());
    form.onMessage();
    EXPECT_EQ(handled, Strings{"good"});
}

// X10 requests that arrive while the start-up waits for the serial server are kept up to a
// bound and carried out in order afterwards; echo queries are answered at once meanwhile.
TEST_F(FormStartUp, X10RequestsDuringTheCm11aStartUpAreKeptAndCarriedOutAfterIt) {
    sim.LastTcpSocket()->SetAnswer(quorvel::platform::SimTcpSocket::Answer::Accept, 1500);
    const auto later = [&](const std::string& text, std::uint64_t at) {
        sim.Post([this, text] { sim.InjectDatagram("127.0.0.1", 32768, text); }, at);
    };
    for (std::size_t i = 0; i < QuorvelForm::kHeldRequestLimit + 3; ++i) {
        const std::string device = "A" + std::to_string(i % 16 + 1);
        later(Message("xAP-X10.request", "xAP-X10.request", "device=" + device + "\ncommand=on\n"), 200 + i);
    }
    later(Message("WDT.Echo", "Echo.Query", "Query=ping\n"), 1000);

    ASSERT_FALSE(form.Form_Load().has_value());
    ASSERT_TRUE(form.CM11AReady());
    EXPECT_EQ(form.HeldRequestCount(), 0u);
    const auto& queue = form.cm11a().TransmitQueue();
    ASSERT_EQ(queue.size(), QuorvelForm::kHeldRequestLimit);
    EXPECT_EQ(queue.front().DC, "A1");
    EXPECT_EQ(queue.back().DC, "A" + std::to_string((QuorvelForm::kHeldRequestLimit - 1) % 16 + 1));

    std::size_t echoAt = 0, droppedAt = 0;
    const auto& sent = sim.SentDatagrams();
    for (std::size_t i = 0; i < sent.size(); ++i) {
        if (sent[i].Data.find("Response=ping") != std::string::npos) echoAt = i;
        if (sent[i].Data.find("Data=Readmessage: 3 X10 requests dropped during the CM11A start-up") != std::string::npos) droppedAt = i;
    }
    EXPECT_GT(echoAt, 0u);
    EXPECT_GT(droppedAt, echoAt);  // reported once the start-up is over
}

// A reload asked for during the start-up is done once the start-up has read the settings.
TEST_F(FormFixture, ReloadReadsTheSettingsAgainAndWaitsForTheEndOfTheStartUp) {
    WriteSettings("[General]\r\nComPort=/nonexistent/q\r\nHouse=A\r\n");
    form.ReloadSettings();  // too early: held
    ASSERT_FALSE(form.Form_Load().has_value());
    const auto starting = Log().find("Quorvel Starting: version ");
    ASSERT_NE(starting, std::string::npos) << Log();
    EXPECT_NE(Log().find("Quorvel Settings reloaded: ", starting), std::string::npos) << Log();

    WriteSettings("[General]\r\nComPort=/nonexistent/q\r\nHouse=BX\r\nIgnore= B2\r\n");
    form.ReloadSettings();
    EXPECT_EQ(form.settings().House, "BX");
    EXPECT_TRUE(form.settings().Ignored("B2"));
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
