#include "app/quorvel_form.h"
#include "platform/sim/sim_platform.h"
#include "test_support/temp_dir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct XapStartup : ::testing::Test {
    XapStartup() {
        quorvel::test::WriteBytes(dir.path() / "Config" / "zebXap.ini",
                                  "[General]\r\nBroadcastAddress=198.51.100.255\r\n[Interface]\r\nInterfaceAddress=Default\r\n"
                                  "BroadcastAddress=127.255.255.255\r\n");
        form.SetHostAddresses([] { return std::vector<std::string>{"127.0.0.1"}; });
        form.reporter().ReportEvent("Quorvel", "early one");
    }
    quorvel::test::TempDir dir;
    quorvel::platform::SimPlatform sim;
    quorvel::app::QuorvelForm form{sim, {dir.path(), (dir.path() / "quorvel").string(), true}};
};

}  // namespace

// The broadcast address comes from [Interface] only; reports raised before the node runs
// follow the first heartbeat; heartbeats of others never reach the handler; after Exit the
// port is free and nothing more is sent.
TEST_F(XapStartup, HeartbeatThenQueuedReportsThenThePortReportAndExitClosesTheNode) {
    std::vector<std::string> handled;
    form.SetMessageHandler([&](const std::string& m) { handled.push_back(m); });
    ASSERT_FALSE(form.Form_Load().has_value());
    EXPECT_TRUE(form.XapRunning());
    const auto& sent = sim.SentDatagrams();
    ASSERT_GE(sent.size(), 3u);  // the CM11A start-up may report after these
    for (const auto& d : sent) EXPECT_EQ(d.ToHost + ":" + std::to_string(d.ToPort), "127.255.255.255:3639");
    EXPECT_EQ(sent[0].Data.rfind("xap-hbeat\n", 0), 0u);
    EXPECT_NE(sent[0].Data.find("\ninterval=600\nport=32768\n"), std::string::npos);
    EXPECT_NE(sent[1].Data.find("Data=early one\n"), std::string::npos);
    EXPECT_NE(sent[2].Data.find("Data=Using xAP port 32768\n"), std::string::npos);

    sim.InjectDatagram("127.0.0.1", 32768, "xap-hbeat\nhb");
    sim.InjectDatagram("127.0.0.1", 32768, "xap-header\nm1");
    sim.Advance(100);
    EXPECT_EQ(handled, std::vector<std::string>{"xap-header\nm1"});

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
    const std::string log = quorvel::test::ReadBytes(dir.path() / "Data" / "Quorvel.txt");
    EXPECT_NE(log.find("Quorvel xAP.Init port search for host 127.255.255.255 failed with Error State=0, "
                       "Error=8:The bound address is already in use"), std::string::npos) << log;
    EXPECT_NE(log.find("\r\nQuorvel xAP Init Error -1 occurred 0 \r\n"), std::string::npos) << log;
}
