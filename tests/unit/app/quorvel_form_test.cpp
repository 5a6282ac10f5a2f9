#include "app/quorvel_form.h"
#include "platform/sim/sim_platform.h"
#include "test_support/temp_dir.h"
#include "platform/sim/sim_links.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

using quorvel::app::QuorvelForm;

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
    FormFixture() : form(sim, {dir.path(), (dir.path() / "quorvel").string(), true}) {}
    quorvel::test::TempDir dir;
    quorvel::platform::SimPlatform sim;
    QuorvelForm form;
};

}  // namespace

TEST_F(FormFixture, NestedDrainReadsNothingAndNoMessageIsLostOrHandledTwice) {
    QueueSource source;
    source.queue = {"m1", "m2", "m3"};
    std::vector<std::string> handled;
    form.SetMessageSource(&source);
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
    EXPECT_EQ(handled, (std::vector<std::string>{"m1", "after-nested", "m2", "m3", "m4"}));

    // A failing handler ends the drain with a log line; the next call drains again.
    form.reporter().SetLogPath(dir.path() / "log.txt");
    source.queue = {"bad", "good"};
    handled.clear();
    form.SetMessageHandler([&](const std::string& m) {
        if (m == "bad") throw std::runtime_error("boom");
        handled.push_back(m);
    });
    form.onMessage();
    EXPECT_TRUE(handled.empty());
    form.onMessage();
    EXPECT_EQ(handled, std::vector<std::string>{"good"});
}

// X10 requests that arrive while the CM11A start-up waits for its serial server are kept
// (up to a bound, reported when it is hit) and carried out in order once the start-up has
// run; echo queries are answered at once meanwhile.
TEST(FormStartUp, X10RequestsDuringTheCm11aStartUpAreKeptAndCarriedOutAfterIt) {
    quorvel::test::TempDir dir;
    quorvel::test::WriteBytes(dir.path() / "Config" / "zebXap.ini", "[Interface]\r\nBroadcastAddress=127.255.255.255\r\n");
    quorvel::test::WriteBytes(dir.path() / "Config" / "Quorvel.ini", "[General]\r\nComPort=127.0.0.1:4001\r\n");
    quorvel::platform::SimPlatform sim;
    QuorvelForm form(sim, {dir.path(), (dir.path() / "quorvel").string(), true});
    form.SetHostAddresses([] { return std::vector<std::string>{"127.0.0.1"}; });
    sim.LastTcpSocket()->SetAnswer(quorvel::platform::SimTcpSocket::Answer::Accept, 1500);

    const auto message = [](const std::string& cls, const std::string& block, const std::string& items) {
        return "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=" + cls + "\nsource=acme.host.box\n}\n" + block +
               "\n{\n" + items + "}\n";
    };
    // Sent once the node listens, while the start-up waits for the connection.
    const auto later = [&](const std::string& text, std::uint64_t at) {
        sim.Post([&sim, text] { sim.InjectDatagram("127.0.0.1", 32768, text); }, at);
    };
    const std::size_t extra = 3;
    for (std::size_t i = 0; i < QuorvelForm::kHeldRequestLimit + extra; ++i) {
        const std::string device = "A" + std::to_string(i % 16 + 1);
        later(message("xAP-X10.request", "xAP-X10.request", "device=" + device + "\ncommand=on\n"), 200 + i);
    }
    later(message("WDT.Echo", "Echo.Query", "Query=ping\n"), 1000);

    ASSERT_FALSE(form.Form_Load().has_value());
    ASSERT_TRUE(form.CM11AReady());
    EXPECT_EQ(form.HeldRequestCount(), 0u);
    const auto& queue = form.cm11a().TransmitQueue();
    ASSERT_EQ(queue.size(), QuorvelForm::kHeldRequestLimit);
    EXPECT_EQ(queue.front().DC, "A1");
    EXPECT_EQ(queue.back().DC, "A" + std::to_string((QuorvelForm::kHeldRequestLimit - 1) % 16 + 1));

    std::size_t echoAt = 0, boundAt = 0, droppedAt = 0;
    const auto& sent = sim.SentDatagrams();
    for (std::size_t i = 0; i < sent.size(); ++i) {
        if (sent[i].Data.find("Response=ping") != std::string::npos) echoAt = i;
        if (sent[i].Data.find("requests during the CM11A start-up; later ones are dropped") != std::string::npos) boundAt = i;
        if (sent[i].Data.find("Data=Readmessage: 3 X10 requests dropped during the CM11A start-up") != std::string::npos) droppedAt = i;
    }
    EXPECT_GT(echoAt, 0u);
    EXPECT_GT(boundAt, 0u);
    EXPECT_GT(droppedAt, echoAt);  // reported once the start-up is over
}

// SIGHUP: the settings are read again with a report; one asked for during the start-up is
// done once the start-up has read them.
TEST(FormStartUp, ReloadReadsTheSettingsAgainAndWaitsForTheEndOfTheStartUp) {
    quorvel::test::TempDir dir;
    const auto ini = dir.path() / "Config" / "Quorvel.ini";
    quorvel::test::WriteBytes(dir.path() / "Config" / "zebXap.ini", "[Interface]\r\nBroadcastAddress=127.255.255.255\r\n");
    quorvel::test::WriteBytes(ini, "[General]\r\nComPort=/nonexistent/q\r\nHouse=A\r\n");
    quorvel::platform::SimPlatform sim;
    QuorvelForm form(sim, {dir.path(), (dir.path() / "quorvel").string(), true});
    form.SetHostAddresses([] { return std::vector<std::string>{"127.0.0.1"}; });
    form.ReloadSettings();  // too early: held
    ASSERT_FALSE(form.Form_Load().has_value());
    std::string log = quorvel::test::ReadBytes(dir.path() / "Data" / "Quorvel.txt");
    const auto starting = log.find("Quorvel Starting: version ");
    ASSERT_NE(starting, std::string::npos) << log;
    EXPECT_NE(log.find("Quorvel Settings reloaded: ", starting), std::string::npos) << log;

    quorvel::test::WriteBytes(ini, "[General]\r\nComPort=/nonexistent/q\r\nHouse=BX\r\nIgnore= B2\r\n");
    form.ReloadSettings();
    EXPECT_EQ(form.settings().House, "BX");
    EXPECT_TRUE(form.settings().Ignored("B2"));
    log = quorvel::test::ReadBytes(dir.path() / "Data" / "Quorvel.txt");
    EXPECT_NE(log.find("Settings reloaded: version " QUORVEL_VERSION ", folder " + dir.path().string() +
                       ", ComPort=/nonexistent/q (serial port /nonexistent/q), House=BX, Ignore=B2, Debug=0, UID=FF008700, "
                       "BroadcastAddress=127.255.255.255 (sends to 127.255.255.255:3639), "
                       "InterfaceAddress=Default (local address 127.0.0.1)"),
              std::string::npos) << log;
    bool houseReported = false;
    for (const auto& d : sim.SentDatagrams()) houseReported |= d.Data.find("Data=Settings: House \"BX\"") != std::string::npos;
    EXPECT_TRUE(houseReported);
}
