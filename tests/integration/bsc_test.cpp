// X10 devices as xAP Basic Status and Control endpoints, end to end: the real connector, the
// loopback hub and the simulated CM11A. A BSC command reaches the power line as the same
// bytes as an X10 request, heard traffic and queries are answered from the device state, and
// the state outlives a restart.
#include "rig.h"

#include <gtest/gtest.h>

using namespace quorvel::itest;
using namespace std::chrono_literals;

namespace {

// The connector, hub and simulator on one application folder; the connector can be stopped
// and started again on the same folder.
class BscRig {
public:
    BscRig() {
        hub_ = StartHub(app_.path());
        sim_ = std::make_unique<SimProcess>(app_.path());
        WriteSafeIni(app_.path(), "127.0.0.1:" + std::to_string(sim_->tcpPort) + "\r\nDebug=1");
        client_.Heartbeat();
    }
    ~BscRig() {
        for (Process* p : {quorvel_.get(), &sim_->proc(), hub_.get()}) {
            if (p == nullptr) continue;
            p->Signal(SIGTERM);
            p->Wait(10s);
        }
    }
    bool HubUp() const { return hub_ != nullptr; }

    // Starts the connector and waits until its link is open; its xAP source address is
    // then known.
    ::testing::AssertionResult Start() {
        if (!sim_->Connected()) return ::testing::AssertionFailure() << "simulator not running";
        sim_->Command("clear-log");
        quorvel_ = std::make_unique<Process>(BinDir() / "quorvel", Headless(app_.path()), app_.path(),
                                             "quorvel" + std::to_string(++starts_));
        const auto hello = WaitFor([&] { return quorvel_->Stderr().find("Using xAP port ") != std::string::npos; }, 30s);
        // The connector answers a possible power failure twice while it starts.
        const auto answers = [&] {
            const std::string log = sim_->Command("log");
            const auto first = log.find("rx 9B");
            return first != std::string::npos && log.find("rx 9B", first + 1) != std::string::npos;
        };
        const auto linked = hello && WaitFor(answers, 20s);
        if (!linked) return ::testing::AssertionFailure() << Diagnostics();
        const auto report = client_.WaitForClass("Homeseer.Event", 10s, "Using xAP port ");
        if (!report) return ::testing::AssertionFailure() << "no start report\n" << Diagnostics();
        source_ = XapField(*report, "source");
        return ::testing::AssertionSuccess();
    }
    void Stop() {
        quorvel_->Signal(SIGTERM);
        ASSERT_TRUE(quorvel_->Wait(10s));
        EXPECT_EQ(quorvel_->ExitCode(), 0) << quorvel_->Stderr();
    }

    void Bsc(const std::string& cls, const std::string& sub, const std::string& block, const std::string& items) {
        client_.SendMessage(cls, source_ + ":" + sub, block, items);
    }
    // Every datagram of class cls from endpoint sub so far, after reading what arrives for
    // up to timeout (less once one of them is there).
    std::vector<std::string> From(const std::string& cls, const std::string& sub, std::chrono::milliseconds timeout) {
        client_.WaitForClass(cls, timeout, "\nsource=" + source_ + ":" + sub + "\n");
        client_.WaitForClass("(none)", 100ms);  // and whatever followed it
        std::vector<std::string> out;
        for (const auto& d : client_.Matching(cls)) {
            if (XapField(d, "source") == source_ + ":" + sub) out.push_back(d);
        }
        return out;
    }
    std::string Diagnostics() {
        return "--- quorvel stderr\n" + (quorvel_ ? quorvel_->Stderr() : "") + "\n--- sim stderr\n" +
               sim_->proc().Stderr();
    }
    bool WaitForState(const std::string& line, std::chrono::milliseconds timeout) {
        return WaitFor([&] { return sim_->Command("state").find(line + "\n") != std::string::npos; }, timeout);
    }

    TempDir app_;
    XapClient client_;
    std::unique_ptr<Process> hub_, quorvel_;
    std::unique_ptr<SimProcess> sim_;
    std::string source_;
    int starts_ = 0;
};

#define REQUIRE_HUB(rig) \
    if (!(rig).HubUp()) GTEST_SKIP() << "UDP port 3639 is taken and no private network namespace"

std::string Bytes(const std::string& log) {
    std::istringstream in(log);
    std::string out;
    for (std::string l; std::getline(in, l);) {
        if (l.rfind("rx ", 0) == 0 || l.rfind("tx ", 0) == 0) out += l + "\n";
    }
    return out;
}

}  // namespace

TEST(Bsc, CommandSwitchingA1OnSendsTheBytesOfTheX10RequestAndOneEvent) {
    BscRig rig;
    REQUIRE_HUB(rig);
    ASSERT_TRUE(rig.Start());

    // The X10 request first, for the reference bytes; then A1 off, then the BSC command.
    rig.sim_->Command("clear-log");
    rig.client_.SendMessage("xAP-X10.request", "", "xAP-X10.request", "device=A1\ncommand=on\n");
    ASSERT_TRUE(rig.WaitForState("A1 on 100", 20s)) << rig.Diagnostics();
    ASSERT_FALSE(rig.From("xAPBSC.event", "A1", 10s).empty()) << rig.Diagnostics();
    const std::string request = Bytes(rig.sim_->Command("log"));
    rig.client_.SendMessage("xAP-X10.request", "", "xAP-X10.request", "device=A1\ncommand=off\n");
    ASSERT_TRUE(rig.WaitForState("A1 off 0", 20s)) << rig.Diagnostics();
    ASSERT_EQ(rig.From("xAPBSC.event", "A1", 10s).size(), 2u) << rig.Diagnostics();

    rig.sim_->Command("clear-log");
    rig.Bsc("xAPBSC.cmd", "A1", "output.state.1", "ID=*\nState=on\n");
    ASSERT_TRUE(rig.WaitForState("A1 on 100", 20s)) << rig.Diagnostics();
    EXPECT_EQ(Bytes(rig.sim_->Command("log")), request);
    EXPECT_EQ(request, "rx 04 66\ntx 6A\nrx 00\ntx 55\nrx 06 62\ntx 68\nrx 00\ntx 55\n");

    ASSERT_TRUE(WaitFor([&] { return rig.From("xAPBSC.event", "A1", 0ms).size() >= 3; }, 10s)) << rig.Diagnostics();
    // Nothing more follows: one event for the one change.
    rig.client_.SendMessage("WDT.Echo", "", "Echo.Query", "Query=fence\n");
    ASSERT_TRUE(rig.client_.WaitForClass("WDT.Echo", 10s, "Response=fence"));
    const auto events = rig.From("xAPBSC.event", "A1", 0ms);
    ASSERT_EQ(events.size(), 3u) << rig.Diagnostics();
    EXPECT_NE(events[2].find("output.state\n{\nState=on\nLevel=100%\n}\n"), std::string::npos) << events[2];
    EXPECT_EQ(XapField(events[2], "uid"), "FF008701");
    // The X10 announcement is the same for both paths.
    EXPECT_EQ(rig.client_.Matching("xAP-x10.Event").size(), 3u);
}

// A wall switch dims B2; a query answers every known endpoint; the state outlives a restart.
TEST(Bsc, HeardTrafficChangesTheStateWhichQueriesAnswerAndARestartKeeps) {
    BscRig rig;
    REQUIRE_HUB(rig);
    ASSERT_TRUE(rig.Start());
    rig.client_.SendMessage("xAP-X10.request", "", "xAP-X10.request", "device=A1,B2\ncommand=on\n");
    ASSERT_TRUE(rig.WaitForState("B2 on 100", 20s)) << rig.Diagnostics();
    rig.sim_->Command("hear B2 dim 50");
    ASSERT_TRUE(WaitFor([&] { return rig.From("xAPBSC.event", "B2", 0ms).size() == 2; }, 20s)) << rig.Diagnostics();
    const auto dimmed = rig.From("xAPBSC.event", "B2", 0ms)[1];
    EXPECT_NE(dimmed.find("output.state\n{\nState=on\nLevel=50%\n}\n"), std::string::npos) << dimmed;
    EXPECT_EQ(XapField(dimmed, "uid"), "FF008712");  // B2 = 1 * 16 + 2

    rig.Bsc("xAPBSC.query", "*", "request", "");
    const auto a1 = rig.From("xAPBSC.info", "A1", 10s);
    const auto b2 = rig.From("xAPBSC.info", "B2", 10s);
    // (A periodic info may come as well: each endpoint has its slot every ten minutes.)
    ASSERT_FALSE(a1.empty()) << rig.Diagnostics();
    ASSERT_FALSE(b2.empty()) << rig.Diagnostics();
    EXPECT_NE(a1.back().find("\nState=on\nLevel=100%\n"), std::string::npos) << a1.back();
    EXPECT_NE(b2.back().find("\nState=on\nLevel=50%\n"), std::string::npos) << b2.back();
    for (const auto& info : rig.client_.Matching("xAPBSC.info")) {
        const std::string from = XapField(info, "source");
        EXPECT_TRUE(from == rig.source_ + ":A1" || from == rig.source_ + ":B2") << "only known endpoints: " << from;
    }

    rig.Stop();
    // The state file, printed by --status.
    Process status(BinDir() / "quorvel", {"--app-folder", rig.app_.path().string(), "--status"}, rig.app_.path(),
                   "status");
    ASSERT_TRUE(status.Wait(10s));
    EXPECT_EQ(status.ExitCode(), 0) << status.Stderr();
    EXPECT_NE(status.Stdout().find("\nA1      on     100%   "), std::string::npos) << status.Stdout();
    EXPECT_NE(status.Stdout().find("\nB2      on     50%    "), std::string::npos) << status.Stdout();
    EXPECT_NE(status.Stdout().find("power line"), std::string::npos) << status.Stdout();

    ASSERT_TRUE(rig.Start());
    const std::size_t before = rig.From("xAPBSC.info", "B2", 0ms).size();
    rig.Bsc("xAPBSC.query", "B2", "request", "");
    ASSERT_TRUE(WaitFor([&] { return rig.From("xAPBSC.info", "B2", 0ms).size() > before; }, 10s)) << rig.Diagnostics();
    EXPECT_NE(rig.From("xAPBSC.info", "B2", 0ms).back().find("\nState=on\nLevel=50%\n"), std::string::npos);
}
