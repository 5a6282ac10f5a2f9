#include "app/reporting.h"
#include "platform/sim/sim_platform.h"
#include "test_support/temp_dir.h"
#include "xap/xap_node.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

using quorvel::platform::SimPlatform;
using quorvel::xap::XapNode;

namespace {

std::vector<std::string> Addresses(std::vector<std::string> a) { return a; }

struct XapNodeTest : ::testing::Test {
    XapNodeTest() : reporter(sim) { reporter.SetLogPath(dir.path() / "log.txt"); }

    std::unique_ptr<XapNode> MakeNode(std::vector<std::string> addresses = {"127.0.0.1"}) {
        auto node = std::make_unique<XapNode>(sim, reporter, [addresses] { return Addresses(addresses); });
        node->SetXapSource("zeb.CM11A.MYPC");
        node->SetXapUID("FF008700");
        node->SetBroadcastAddress("127.255.255.255");
        return node;
    }
    std::vector<std::string> LogLines() {
        std::ifstream in(dir.path() / "log.txt", std::ios::binary);
        std::vector<std::string> lines;
        std::string line;
        while (std::getline(in, line)) lines.push_back(line);
        return lines;
    }
    std::vector<std::string> Sent() {
        std::vector<std::string> out;
        for (const auto& d : sim.SentDatagrams()) out.push_back(d.Data);
        return out;
    }

    quorvel::test::TempDir dir;
    SimPlatform sim;
    quorvel::app::Reporter reporter;
};

std::string Heartbeat(const std::string& interval, int port) {
    return "xap-hbeat\n{\nv=12\nhop=1\nuid=FF008700\nclass=xap-hbeat.alive\nsource=zeb.CM11A.MYPC\ninterval=" +
           interval + "\nport=" + std::to_string(port) + "\n}\n";
}

}  // namespace

TEST_F(XapNodeTest, PortSearchSkipsTakenPortsAndBothSocketsUseTheFoundOne) {
    sim.TakeUdpPort("127.0.0.1", 32768);
    sim.TakeUdpPort("", 32769);  // bound to every address: blocks 127.0.0.1 too
    auto node = MakeNode({"192.168.1.20"});
    EXPECT_EQ(node->Init(), 32770);
    EXPECT_FALSE(node->SingleSocket());
    EXPECT_EQ(node->LocalAddress(), "192.168.1.20");
    node->SendHeartbeat(60);
    ASSERT_EQ(sim.SentDatagrams().size(), 1u);
    const auto& d = sim.SentDatagrams()[0];
    EXPECT_EQ(d.FromAddress, "192.168.1.20");
    EXPECT_EQ(d.FromPort, 32770);
    EXPECT_EQ(d.ToHost, "127.255.255.255");
    EXPECT_EQ(d.ToPort, 3639);
    EXPECT_EQ(d.Data, Heartbeat("600", 32770));

    // Both sockets receive: what the hub forwards to 127.0.0.1 and what reaches the address.
    sim.InjectDatagram("127.0.0.1", 32770, "xap-header\n1");
    sim.InjectDatagram("192.168.1.20", 32770, "xap-header\n2");
    sim.Advance(1);
    EXPECT_EQ(node->QueuedCount(), 2u);
}

TEST_F(XapNodeTest, LoopbackHostNameMeansOneSocketServesBoth) {
    for (const auto& addresses : {std::vector<std::string>{"127.0.0.1"}, std::vector<std::string>{}}) {
        SimPlatform local;
        quorvel::app::Reporter rep(local);
        XapNode node(local, rep, [addresses] { return addresses; });
        node.SetBroadcastAddress("127.255.255.255");
        ASSERT_EQ(node.Init(), 32768);
        EXPECT_TRUE(node.SingleSocket());
        node.SendXap("", "c", "b", "", "", "");
        ASSERT_EQ(local.SentDatagrams().size(), 1u);
        EXPECT_EQ(local.SentDatagrams()[0].FromAddress, "127.0.0.1");
        EXPECT_EQ(local.SentDatagrams()[0].FromPort, 32768);
    }
}

TEST_F(XapNodeTest, AllPortsTakenGivesMinusOneAndTheLogLine) {
    for (int p = 32768; p < 32768 + 200; ++p) sim.TakeUdpPort("127.0.0.1", static_cast<std::uint16_t>(p));
    auto node = MakeNode();
    EXPECT_EQ(node->Init(), -1);
    EXPECT_EQ(node->HeartbeatSuffix(), "0\nport=32968\n}\n");
    const auto lines = LogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Quorvel xAP.Init port search for host 127.255.255.255 failed with Error "
                             "State=0, Error=8:The bound address is already in use",
                             0),
              0u)
        << lines[0];
}

TEST_F(XapNodeTest, SecondSocketBindFailureIsTheNegatedErrorNumber) {
    sim.TakeUdpPort("192.168.1.20", 32768);
    auto node = MakeNode({"192.168.1.20"});
    EXPECT_EQ(node->Init(), -8);
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(XapNodeTest, BroadcastAndInterfaceAddressChoice) {
    struct Case {
        std::string broadcast, inUse, pattern;
        std::vector<std::string> addresses;
        std::string local;
    };
    const std::vector<Case> cases = {
        {"DEFAULT", "255.255.255.255", "Default", {"10.0.0.5", "192.168.1.20"}, "10.0.0.5"},
        {"default", "255.255.255.255", "192.168.1.255", {"10.0.0.5", "192.168.1.20"}, "192.168.1.20"},
        {"", "", "255.255.255.255", {"10.0.0.5", "192.168.1.20"}, "10.0.0.5"},
        {"127.255.255.255", "127.255.255.255", "10.0.0.255", {"192.168.1.20"}, "192.168.1.20"},
        {"127.0.0.1", "127.0.0.1", "Default", {}, ""},
    };
    for (const Case& c : cases) {
        SimPlatform local;
        quorvel::app::Reporter rep(local);
        XapNode node(local, rep, [c] { return c.addresses; });
        node.SetBroadcastAddress(c.broadcast);
        node.SetInterfaceAddress(c.pattern);
        EXPECT_GT(node.Init(), 0);
        EXPECT_EQ(node.BroadcastInUse(), c.inUse) << c.broadcast;
        EXPECT_EQ(node.LocalAddress(), c.local) << c.pattern;
    }
    struct Match {
        const char* pattern;
        const char* address;
        bool expected;
    };
    for (const Match& m : std::vector<Match>{{"255.255.255.255", "192.168.1.20", true},
                                             {"192.168.1.255", "192.168.2.20", false},
                                             {"Default", "192.168.1.20", false},
                                             {"192.168.1.255", "192.168.1", false},
                                             {"255x.255.255.255", "1.2.3.4", true},
                                             {"0.0.0.0", "0.0.0.1", false}}) {
        EXPECT_EQ(XapNode::MatchInterfaceAddress(m.pattern, m.address), m.expected) << m.pattern << " " << m.address;
    }
}

TEST_F(XapNodeTest, HeartbeatFilterAndEmptyDatagrams) {
    struct Case {
        bool filter;
        std::string data;
        bool queued;
    };
    const std::vector<Case> cases = {
        {true, "xap-hbeat\n{\n}\n", false}, {true, "XAP-HEADER\n{\n}\n", true},
        {false, "xap-hbeat\n{\n}\n", true}, {false, "XAP-HEADER\n{\n}\n", true},
        {true, "xap", false},               {true, std::string("xap-head\0\0\1", 11), true},
        {false, "", false},                 {true, "", false},
    };
    for (const Case& c : cases) {
        SimPlatform local;
        quorvel::app::Reporter rep(local);
        XapNode node(local, rep, [] { return std::vector<std::string>{"127.0.0.1"}; });
        node.SetFilterHeartbeats(c.filter);
        const int port = node.Init();
        local.InjectDatagram("127.0.0.1", static_cast<std::uint16_t>(port), c.data);
        local.Advance(1);
        EXPECT_EQ(node.QueuedCount(), c.queued ? 1u : 0u) << c.filter << " " << c.data;
        if (c.queued) {
            EXPECT_EQ(node.GetMessage(), c.data);
        }
    }
}

TEST_F(XapNodeTest, BurstIsHandedOverOnceFiftyMillisecondsAfterItsLastDatagram) {
    auto node = MakeNode();
    const int port = node->Init();
    int calls = 0;
    std::vector<std::string> drained;
    std::vector<std::uint64_t> at;
    node->RegisterNewMessageCallback([&] {
        ++calls;
        at.push_back(sim.NowMs());
        for (std::string m = node->GetMessage(); !m.empty(); m = node->GetMessage()) drained.push_back(m);
    });
    for (int i = 0; i < 3; ++i) {
        sim.InjectDatagram("127.0.0.1", static_cast<std::uint16_t>(port), "xap-header " + std::to_string(i),
                           static_cast<std::uint64_t>(i) * 20);
    }
    sim.Advance(89);
    EXPECT_EQ(calls, 0);
    sim.Advance(1);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(drained, (std::vector<std::string>{"xap-header 0", "xap-header 1", "xap-header 2"}));
    EXPECT_EQ(node->GetMessage(), "");
    EXPECT_FALSE(node->ReceiveTimer().Enabled());
    sim.Advance(1000);
    EXPECT_EQ(calls, 1);
}

TEST_F(XapNodeTest, SteadyStreamIsHandedOverWithinTheBound) {
    auto node = MakeNode();
    const auto port = static_cast<std::uint16_t>(node->Init());
    std::map<std::string, std::uint64_t> arrived;
    std::uint64_t worst = 0;
    std::size_t handed = 0;
    node->RegisterNewMessageCallback([&] {
        for (std::string m = node->GetMessage(); !m.empty(); m = node->GetMessage()) {
            worst = std::max(worst, sim.NowMs() - arrived.at(m));
            ++handed;
        }
    });
    // One datagram every 30 ms for three seconds: never 50 ms of quiet.
    for (int i = 0; i < 100; ++i) {
        const std::string m = "xap-header " + std::to_string(i);
        arrived[m] = static_cast<std::uint64_t>(i) * 30;
        sim.InjectDatagram("127.0.0.1", port, m, static_cast<std::uint64_t>(i) * 30);
    }
    sim.Advance(2980);
    EXPECT_GE(handed, 90u);
    EXPECT_LE(worst, 250u);
    sim.Advance(100);
    EXPECT_EQ(handed, 100u);
    EXPECT_LE(worst, 250u);
    EXPECT_EQ(node->QueuedCount(), 0u);
}

TEST_F(XapNodeTest, MessagesWaitForAReceiverAndTheQueueIsBounded) {
    auto node = MakeNode();
    const auto port = static_cast<std::uint16_t>(node->Init());
    for (int i = 0; i < 10005; ++i) sim.InjectDatagram("127.0.0.1", port, "xap-header " + std::to_string(i));
    sim.Advance(300);
    EXPECT_EQ(node->QueuedCount(), XapNode::kQueueLimit);
    auto lines = LogLines();
    ASSERT_EQ(lines.size(), 1u);  // one report for the whole burst
    EXPECT_NE(lines[0].find("receive queue full"), std::string::npos);

    std::size_t drained = 0;
    std::string first;
    node->RegisterNewMessageCallback([&] {
        for (std::string m = node->GetMessage(); !m.empty(); m = node->GetMessage()) {
            if (drained++ == 0) first = m;
        }
    });
    sim.InjectDatagram("127.0.0.1", port, "xap-header last");
    sim.Advance(60);
    EXPECT_EQ(first, "xap-header 6");  // the six oldest went to make room
    EXPECT_EQ(drained, XapNode::kQueueLimit);
    // A later overflow is a new burst with its own report.
    node->RegisterNewMessageCallback(nullptr);
    for (int i = 0; i < 10001; ++i) sim.InjectDatagram("127.0.0.1", port, "xap-header again");
    sim.Advance(300);
    EXPECT_EQ(LogLines().size(), 2u);
}

TEST_F(XapNodeTest, QueueMemoryIsBoundedForLargeDatagrams) {
    auto node = MakeNode();
    const auto port = static_cast<std::uint16_t>(node->Init());
    const std::string big = "xap-header\n" + std::string(65507 - 11, 'x');
    for (int i = 0; i < 1100; ++i) sim.InjectDatagram("127.0.0.1", port, big);
    sim.Advance(300);
    EXPECT_LE(node->QueuedCount() * big.size(), XapNode::kQueueByteLimit);
    EXPECT_GT(node->QueuedCount(), 900u);
}

TEST_F(XapNodeTest, HeartbeatIntervalClamping) {
    struct Case {
        long arg;
        int timerMs;
        bool enabled;
        const char* field;
    };
    const std::vector<Case> cases = {{60, 60000, true, "600"}, {3, 5000, true, "50"},    {0, 0, false, "00"},
                                     {-5, 0, false, "00"},     {100, 60000, true, "600"}, {30, 30000, true, "300"}};
    auto node = MakeNode();
    const int port = node->Init();
    for (const Case& c : cases) {
        sim.ClearSentDatagrams();
        node->SendHeartbeat(c.arg);
        EXPECT_EQ(node->HBeatTimer().Interval(), c.timerMs) << c.arg;
        EXPECT_EQ(node->HBeatTimer().Enabled(), c.enabled) << c.arg;
        EXPECT_EQ(Sent(), std::vector<std::string>{Heartbeat(c.field, port)}) << c.arg;
    }
}

TEST_F(XapNodeTest, OneHeartbeatInEveryTenTicks) {
    auto node = MakeNode();
    const int port = node->Init();
    // Unconfigured: the preset 20 s timer sends the first heartbeat on its tenth tick.
    sim.Advance(199999);
    EXPECT_TRUE(Sent().empty());
    sim.Advance(1);
    EXPECT_EQ(Sent(), std::vector<std::string>{Heartbeat("200", port)});

    node->SendHeartbeat(5);  // the tick count is not reset
    for (int start : {0, 3, 7}) {
        sim.Advance(static_cast<std::uint64_t>(start) * 5000);
        node->SendHeartbeat(5);
        sim.ClearSentDatagrams();
        for (int window = 0; window < 3; ++window) {
            const std::size_t before = Sent().size();
            sim.Advance(10 * 5000);
            EXPECT_EQ(Sent().size() - before, 1u) << "start " << start << " window " << window;
        }
        for (const auto& s : Sent()) EXPECT_EQ(s, Heartbeat("50", port));
    }
}

TEST_F(XapNodeTest, SendXapBuildsTheMessage) {
    auto node = MakeNode();
    node->Init();
    struct Case {
        std::string target, cls, section, data, sub, uid, expected;
    };
    using quorvel::xap::ItemList;
    const std::string h = "xap-header\n{\nv=12\nhop=1\nuid=";
    const std::vector<Case> cases = {
        {"", "xAP-x10.Event", "xAP-x10.Event", ItemList({{"Device", "A1"}, {"Event", "on"}}), "", "",
         h + "FF008700\nclass=xAP-x10.Event\nsource=zeb.CM11A.MYPC\n}\nxAP-x10.Event\n{\nDevice=A1\nEvent=on\n}\n"},
        {"acme.x.y", "c", "s", ItemList({{"k", "v=w\1z"}}) + std::string(1, '\0'), "kitchen", "FF00AB00",
         h + "FF00AB00\nclass=c\nsource=zeb.CM11A.MYPC:kitchen\ntarget=acme.x.y\n}\ns\n{\nk=v=w\1z\n}\n"},
        {"", "", "", "", "", "", h + "FF008700\nclass=\nsource=zeb.CM11A.MYPC\n}\n\n{\n}\n"},
        {"", "c", "s", std::string("noseparator\0a\1b", 15), "", "",
         h + "FF008700\nclass=c\nsource=zeb.CM11A.MYPC\n}\ns\n{\na=b\n}\n"},
    };
    for (const Case& c : cases) {
        sim.ClearSentDatagrams();
        EXPECT_EQ(node->SendXap(c.target, c.cls, c.section, c.data, c.sub, c.uid), "");
        ASSERT_EQ(sim.SentDatagrams().size(), 1u);
        EXPECT_EQ(sim.SentDatagrams()[0].Data, c.expected);
        EXPECT_EQ(sim.SentDatagrams()[0].ToHost, "127.255.255.255");
        EXPECT_EQ(sim.SentDatagrams()[0].ToPort, 3639);
    }
    // A send that fails is lost quietly.
    sim.SetUdpSendFails(true);
    EXPECT_EQ(node->SendXap("", "c", "s", "", "", ""), "");
    EXPECT_TRUE(LogLines().empty());
}
