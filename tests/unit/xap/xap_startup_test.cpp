#include "app/quorvel_form.h"
#include "platform/sim/sim_platform.h"
#include "test_support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using quorvel::app::QuorvelForm;

namespace {

struct XapStartup : ::testing::Test {
    XapStartup() : form(sim, {dir.path(), (dir.path() / "quorvel").string(), true}) {
        std::filesystem::create_directories(dir.path() / "Config");
        std::filesystem::create_directories(dir.path() / "Data");
        std::ofstream(dir.path() / "Config" / "zebXap.ini", std::ios::binary)
            << "[General]\r\nBroadcastAddress=10.0.0.255\r\n[Interface]\r\nInterfaceAddress=Default\r\n"
               "BroadcastAddress=127.255.255.255\r\n";
        form.SetHostAddresses([] { return std::vector<std::string>{"127.0.0.1"}; });
    }
    std::string Log() {
        std::ifstream in(dir.path() / "Data" / "Quorvel.txt", std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    quorvel::test::TempDir dir;
    quorvel::platform::SimPlatform sim;
    QuorvelForm form;
};

}  // namespace

TEST_F(XapStartup, HeartbeatThenQueuedReportsThenThePortReport) {
    form.reporter().ReportEvent("Quorvel", "early one");
    form.reporter().ReportEvent("Quorvel", "early two");
    ASSERT_FALSE(form.Form_Load().has_value());
    EXPECT_TRUE(form.XapRunning());
    EXPECT_TRUE(form.reporter().PendingXap().empty());

    const auto& sent = sim.SentDatagrams();
    ASSERT_GE(sent.size(), 4u);  // the CM11A start-up may report after these
    for (const auto& d : sent) {
        EXPECT_EQ(d.ToHost, "127.255.255.255");  // [Interface] only, not [General]
        EXPECT_EQ(d.ToPort, 3639);
        EXPECT_EQ(d.FromPort, 32768);
    }
    EXPECT_EQ(sent[0].Data.rfind("xap-hbeat\n", 0), 0u);
    EXPECT_NE(sent[0].Data.find("\nsource=zeb.CM11A."), std::string::npos);
    EXPECT_NE(sent[0].Data.find("\nuid=FF008700\n"), std::string::npos);
    EXPECT_NE(sent[0].Data.find("\ninterval=600\nport=32768\n"), std::string::npos);
    EXPECT_NE(sent[1].Data.find("Data=early one\n"), std::string::npos);
    EXPECT_NE(sent[2].Data.find("Data=early two\n"), std::string::npos);
    EXPECT_NE(sent[3].Data.find("Data=Using xAP port 32768\n"), std::string::npos);
    EXPECT_NE(sent[3].Data.find("class=Homeseer.Event\n"), std::string::npos);
}

TEST_F(XapStartup, ReceivedMessagesReachTheHandler) {
    std::vector<std::string> handled;
    form.SetMessageHandler([&](const std::string& m) { handled.push_back(m); });
    ASSERT_FALSE(form.Form_Load().has_value());
    sim.InjectDatagram("127.0.0.1", 32768, "xap-header\nm1");
    sim.InjectDatagram("127.0.0.1", 32768, "xap-hbeat\nhb", 10);
    sim.InjectDatagram("127.0.0.1", 32768, "xap-header\nm2", 20);
    sim.Advance(69);
    EXPECT_TRUE(handled.empty());
    sim.Advance(1);
    EXPECT_EQ(handled, (std::vector<std::string>{"xap-header\nm1", "xap-header\nm2"}));
}

TEST_F(XapStartup, NoFreePortLogsAndEndsWithNonZeroStatus) {
    for (int p = 32768; p < 32768 + 200; ++p) sim.TakeUdpPort("127.0.0.1", static_cast<std::uint16_t>(p));
    form.reporter().ReportEvent("Quorvel", "early");
    const auto status = form.Form_Load();
    ASSERT_TRUE(status.has_value());
    EXPECT_NE(*status, 0);
    EXPECT_FALSE(form.XapRunning());
    EXPECT_TRUE(sim.SentDatagrams().empty());
    const std::string log = Log();
    EXPECT_NE(log.find("Quorvel xAP.Init port search for host 127.255.255.255 failed with Error State="),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("\r\nQuorvel xAP Init Error -1 occurred 0 \r\n"), std::string::npos) << log;
}

TEST_F(XapStartup, ExitClosesTheNode) {
    ASSERT_FALSE(form.Form_Load().has_value());
    form.Exit();
    auto probe = sim.CreateUdpSocket();
    EXPECT_TRUE(probe->Bind("127.0.0.1", 32768));
    sim.ClearSentDatagrams();
    sim.Advance(1000000);
    EXPECT_TRUE(sim.SentDatagrams().empty());
}
