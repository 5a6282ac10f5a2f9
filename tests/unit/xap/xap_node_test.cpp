#include "core/reporting.h"
#include "platform/sim/sim_platform.h"
#include "test_support/temp_dir.h"
#include "xap/xap_node.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using quorvel::platform::SimPlatform;
using quorvel::xap::XapNode;
using Strings = std::vector<std::string>;

namespace {

// A node on its own simulated platform, logging into a temporary folder; the addresses of
// the host name can change while it runs.
struct Node {
    explicit Node(Strings names = {"127.0.0.1"}) : addresses(std::move(names)) {
        reporter.SetLogPath(dir.path() / "log.txt");
        node.SetXapSource("zeb.CM11A.MYPC");
        node.SetXapUID("FF008700");
        node.SetBroadcastAddress("127.255.255.255");
    }
    Strings LogLines() const { return quorvel::test::ReadLines(dir.path() / "log.txt"); }
    Strings Sent() {
        Strings out;
        for (const auto& d : sim.SentDatagrams()) out.push_back(d.Data);
        return out;
    }
    void Inject(int port, const std::string& data, std::uint64_t at = 0) {
        sim.InjectDatagram("127.0.0.1", static_cast<std::uint16_t>(port), data, at);
    }
    // Hands every queued message to drain on each call.
    template <typename F>
    void OnMessages(F drain) {
        node.RegisterNewMessageCallback([this, drain] {
            for (std::string m = node.GetMessage(); !m.empty(); m = node.GetMessage()) drain(m);
        });
    }

    Strings addresses;
    quorvel::test::TempDir dir;
    SimPlatform sim;
    quorvel::core::Reporter reporter{sim};
    XapNode node{sim, reporter, [this] { return addresses; }};
};

std::string Heartbeat(const std::string& interval, int port) {
    return "xap-hbeat\n{\nv=12\nhop=1\nuid=FF008700\nclass=xap-hbeat.alive\nsource=zeb.CM11A.MYPC\ninterval=" +
           interval + "\nport=" + std::to_string(port) + "\n}\n";
}

}  // namespace

TEST(XapNodeTest, PortSearchSkipsTakenPortsAndBothSocketsUseTheFoundOne) {
    Node n({"192.0.2.20"});
    n.sim.TakeUdpPort("127.0.0.1", 32768);
    n.sim.TakeUdpPort("", 32769);  // bound to every address: blocks 127.0.0.1 too
    EXPECT_EQ(n.node.Init(), 32770);
    EXPECT_FALSE(n.node.SingleSocket());
    n.node.SendHeartbeat(60);
    ASSERT_EQ(n.sim.SentDatagrams().size(), 1u);
    const auto& d = n.sim.SentDatagrams()[0];
    EXPECT_EQ(d.FromAddress + ":" + std::to_string(d.FromPort) + " to " + d.ToHost + ":" + std::to_string(d.ToPort),
              "192.0.2.20:32770 to 127.255.255.255:3639");
    EXPECT_EQ(d.Data, Heartbeat("600", 32770));
    // Both sockets receive: what the hub forwards to 127.0.0.1 and what reaches the address.
    n.Inject(32770, "xap-header\n1");
    n.sim.InjectDatagram("192.0.2.20", 32770, "xap-header\n2");
    n.sim.Advance(1);
    EXPECT_EQ(n.node.QueuedCount(), 2u);
}

// The host name resolving to an address this machine does not have (a stale hosts entry),
// or an address that leaves while running: the node keeps sending from 127.0.0.1, says so
// once with the address, binds the address again when it comes back, and writes failed
// sends to the log at most once a minute.
TEST(XapNodeTest, SendingSurvivesAnAddressThatIsNotOrNoLongerOnThisMachine) {
    Node n({"198.51.100.99"});
    n.sim.TakeUdpPort("198.51.100.99", 32768);  // "not on this machine": the bind fails
    ASSERT_EQ(n.node.Init(), 32768);
    EXPECT_TRUE(n.node.SingleSocket());
    ASSERT_EQ(n.reporter.PendingXap().size(), 1u);
    EXPECT_NE(n.reporter.PendingXap()[0].MsgData.find("cannot send from 198.51.100.99"), std::string::npos);
    n.reporter.SetNode(&n.node);
    n.reporter.SetXapRunning(true);

    struct Step { const char* what; Strings addresses; std::string failingFrom; std::uint64_t advanceMs; std::string from; };
    for (const Step& st : std::vector<Step>{
             {"the address appears: sends move to it", {"192.0.2.30"}, "127.0.0.1", 0, "192.0.2.30"},
             {"it leaves for another one", {"192.0.2.40"}, "192.0.2.30", 6000, "192.0.2.40"},
             {"it leaves, none is left", {}, "192.0.2.40", 6000, "127.0.0.1"}}) {
        SCOPED_TRACE(st.what);
        n.addresses = st.addresses;
        n.sim.SetUdpSendFailsFrom(st.failingFrom);
        n.sim.Advance(st.advanceMs);
        n.sim.ClearSentDatagrams();
        n.node.SendXap("", "c", "s", "", "", "");
        ASSERT_FALSE(n.sim.SentDatagrams().empty());
        EXPECT_EQ(n.sim.SentDatagrams().back().FromAddress, st.from);
        EXPECT_NE(n.sim.SentDatagrams().back().Data.find("class=c\n"), std::string::npos);
    }
    EXPECT_TRUE(n.LogLines().empty());

    // Nothing can be sent at all: one log line a minute, counting the failures.
    n.sim.SetUdpSendFails(true);
    for (int i = 0; i < 50; ++i) n.node.SendXap("", "c", "s", "", "", "");
    n.sim.Advance(61000);
    n.node.SendXap("", "c", "s", "", "", "");
    const Strings lines = n.LogLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("(50 failed since the last report)"), std::string::npos) << lines[1];
}

// Only the choice of addresses is checked here: the node is bound on the simulated
// in-process network and sends nothing, so the "Default" broadcast address never goes out.
TEST(XapNodeTest, BroadcastAndInterfaceAddressChoice) {
    struct Case { std::string broadcast, inUse, pattern; Strings addresses; std::string local; };
    for (const Case& c : std::vector<Case>{
             {"DEFAULT", quorvel::xap::kLimitedBroadcast, "Default", {"198.51.100.5", "192.0.2.20"}, "198.51.100.5"},
             {"", "", "192.0.2.255", {"198.51.100.5", "192.0.2.20"}, "192.0.2.20"},
             {"127.255.255.255", "127.255.255.255", "198.51.100.255", {"192.0.2.20"}, "192.0.2.20"},
             {"127.0.0.1", "127.0.0.1", "255x.255.255.255", {"198.51.100.5"}, "198.51.100.5"}}) {
        Node n(c.addresses);
        n.node.SetBroadcastAddress(c.broadcast);
        n.node.SetInterfaceAddress(c.pattern);
        EXPECT_GT(n.node.Init(), 0);
        EXPECT_EQ(n.node.BroadcastInUse(), c.inUse) << c.broadcast;
        EXPECT_EQ(n.node.LocalAddress(), c.local) << c.pattern;
        EXPECT_TRUE(n.sim.SentDatagrams().empty());
    }
}

TEST(XapNodeTest, HeartbeatsAreFilteredOnlyWhenAskedAndEmptyDatagramsAreDropped) {
    struct Case { bool filter; std::string data; bool queued; };
    for (const Case& c : std::vector<Case>{
             {true, "xap-hbeat\n{\n}\n", false}, {true, "XAP-HEADER\n{\n}\n", true},
             {false, "xap-hbeat\n{\n}\n", true}, {true, std::string("xap-head\0\0\1", 11), true},
             {true, "xap", false},               {false, "", false}}) {
        Node n;
        n.node.SetFilterHeartbeats(c.filter);
        n.Inject(n.node.Init(), c.data);
        n.sim.Advance(1);
        EXPECT_EQ(n.node.QueuedCount(), c.queued ? 1u : 0u) << c.filter << " " << c.data;
        EXPECT_EQ(n.node.GetMessage(), c.queued ? c.data : "");
    }
}

TEST(XapNodeTest, ABurstIsHandedOverOnce50MsAfterItsLastDatagramAndAStreamWithin250MsOfEachArrival) {
    Node n;
    const int port = n.node.Init();
    int calls = 0;
    Strings drained;
    n.node.RegisterNewMessageCallback([&] {
        ++calls;
        for (std::string m = n.node.GetMessage(); !m.empty(); m = n.node.GetMessage()) {
            drained.push_back(std::to_string(n.sim.NowMs()) + " " + m);
        }
    });
    for (int i = 0; i < 3; ++i) n.Inject(port, "xap-header " + std::to_string(i), static_cast<std::uint64_t>(i) * 20);
    n.sim.Advance(1090);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(drained, (Strings{"90 xap-header 0", "90 xap-header 1", "90 xap-header 2"}));

    // However closely datagrams follow each other, every message is handed over no later than
    // 250 ms after it arrived: each new arrival must not push the quiet-time timer out.
    for (const std::uint64_t spacing : {1u, 2u, 30u}) {
        SCOPED_TRACE(spacing);
        Node stream;
        const int streamPort = stream.node.Init();
        std::map<std::string, std::uint64_t> arrived;
        std::uint64_t worst = 0;
        std::size_t handed = 0;
        stream.OnMessages([&](const std::string& m) {
            worst = std::max(worst, stream.sim.NowMs() - arrived.at(m));
            ++handed;
        });
        const std::uint64_t count = 3000 / spacing;
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::string m = "xap-header " + std::to_string(i);
            stream.Inject(streamPort, m, arrived[m] = i * spacing);
        }
        stream.sim.Advance(3100);
        EXPECT_EQ(handed, count);
        EXPECT_LE(worst, 250u);
    }
}

TEST(XapNodeTest, MessagesWaitForAReceiverAndTheQueueIsBoundedInCountAndBytes) {
    Node n;
    const int port = n.node.Init();
    for (int i = 0; i < 10005; ++i) n.Inject(port, "xap-header " + std::to_string(i));
    n.sim.Advance(300);
    EXPECT_EQ(n.node.QueuedCount(), XapNode::kQueueLimit);
    ASSERT_EQ(n.LogLines().size(), 1u);  // one report for the whole burst
    EXPECT_NE(n.LogLines()[0].find("receive queue full"), std::string::npos);

    Strings drained;
    n.OnMessages([&](const std::string& m) { drained.push_back(m); });
    n.Inject(port, "xap-header last");
    n.sim.Advance(60);
    ASSERT_EQ(drained.size(), XapNode::kQueueLimit);
    EXPECT_EQ(drained[0], "xap-header 6");  // the six oldest went to make room
    // A later overflow is a new burst with its own report.
    n.node.RegisterNewMessageCallback(nullptr);
    for (int i = 0; i < 10001; ++i) n.Inject(port, "xap-header again");
    n.sim.Advance(300);
    EXPECT_EQ(n.LogLines().size(), 2u);

    Node big;
    const std::string largest = "xap-header\n" + std::string(65507 - 11, 'x');
    const int bigPort = big.node.Init();
    for (int i = 0; i < 1100; ++i) big.Inject(bigPort, largest);
    big.sim.Advance(300);
    EXPECT_LE(big.node.QueuedCount() * largest.size(), XapNode::kQueueByteLimit);
    EXPECT_GT(big.node.QueuedCount(), 900u);
}

// A watchdog's echo query is handed over ahead of a backlog of other messages.
TEST(XapNodeTest, EchoQueriesGoAheadOfTheBacklog) {
    Node n;
    const int port = n.node.Init();
    for (int i = 0; i < 500; ++i) n.Inject(port, "xap-header\n{\nclass=xAPBSC.cmd\n}\n" + std::to_string(i));
    const std::string echo = "xap-header\n{\nclass=WDT.Echo\n}\nEcho.Query\n{\nQuery=1\n}\n";
    n.Inject(port, echo);
    Strings drained;
    n.OnMessages([&](const std::string& m) { drained.push_back(m); });
    n.sim.Advance(300);
    ASSERT_EQ(drained.size(), 501u);
    EXPECT_EQ(drained[0], echo);
}

TEST(XapNodeTest, HeartbeatIntervalIsClampedBetweenFiveAndSixtySecondsAndOneGoesOutInEveryTenTicks) {
    Node n;
    const int port = n.node.Init();
    // Unconfigured: the preset 20 s timer sends the first heartbeat on its tenth tick.
    n.sim.Advance(199999);
    EXPECT_TRUE(n.Sent().empty());
    n.sim.Advance(1);
    EXPECT_EQ(n.Sent(), Strings{Heartbeat("200", port)});

    struct Case { long arg; int timerMs; const char* field; };
    for (const Case& c : std::vector<Case>{{60, 60000, "600"}, {61, 60000, "600"}, {59, 59000, "590"}, {6, 6000, "60"},
                                           {5, 5000, "50"}, {4, 5000, "50"}, {0, 0, "00"}, {-5, 0, "00"}}) {
        n.sim.ClearSentDatagrams();
        n.node.SendHeartbeat(c.arg);
        EXPECT_EQ(n.node.HBeatTimer().Interval(), c.timerMs) << c.arg;
        EXPECT_EQ(n.node.HBeatTimer().Enabled(), c.timerMs > 0) << c.arg;
        EXPECT_EQ(n.Sent(), Strings{Heartbeat(c.field, port)}) << c.arg;
    }
    n.node.SendHeartbeat(5);
    n.sim.ClearSentDatagrams();
    n.sim.Advance(10 * 5000 * 3);
    EXPECT_EQ(n.Sent(), Strings(3, Heartbeat("50", port)));
}

TEST(XapNodeTest, SendXapBuildsTheMessage) {
    Node n;
    n.node.Init();
    struct Case { std::string target, cls, section, data, sub, uid, expected; };
    using quorvel::xap::ItemList;
    const std::string h = "xap-header\n{\nv=12\nhop=1\nuid=";
    for (const Case& c : std::vector<Case>{
             {"acme.x.y", "c", "s", ItemList({{"k", "v=w\1z"}}) + std::string(1, '\0'), "kitchen", "FF00AB00",
              h + "FF00AB00\nclass=c\nsource=zeb.CM11A.MYPC:kitchen\ntarget=acme.x.y\n}\ns\n{\nk=v=w\1z\n}\n"},
             {"", "c", "s", std::string("noseparator\0a\1b", 15), "", "",
              h + "FF008700\nclass=c\nsource=zeb.CM11A.MYPC\n}\ns\n{\na=b\n}\n"}}) {
        n.sim.ClearSentDatagrams();
        EXPECT_EQ(n.node.SendXap(c.target, c.cls, c.section, c.data, c.sub, c.uid), "");
        EXPECT_EQ(n.Sent(), Strings{c.expected});
    }
}
