// X10 devices as xAP Basic Status and Control endpoints, end to end: the real connector, the
// loopback hub and the simulated CM11A. A BSC command reaches the power line as the same
// bytes as an X10 request, heard traffic and queries are answered from the device state, and
// the state outlives a restart.
#include "rig.h"

#include <gtest/gtest.h>

using namespace quorvel::itest;
using namespace std::chrono_literals;

TEST(Bsc, CommandsGoOutAsX10RequestsHeardTrafficAndQueriesFollowTheStateAndARestartKeepsIt) {
    Rig rig;
    REQUIRE_READY(rig);
    const std::string source =
        XapField(rig.client().WaitForClass("Homeseer.Event", 0ms, "Using xAP port ").value_or(""), "source");
    const auto bsc = [&](const std::string& cls, const std::string& sub, const std::string& items) {
        rig.client().SendMessage(cls, source + ":" + sub, cls == "xAPBSC.cmd" ? "output.state.1" : "request", items);
    };
    // Every datagram of class cls from endpoint sub so far, after reading what arrives for up
    // to timeout (less once one of them is there).
    const auto from = [&](const std::string& cls, const std::string& sub, std::chrono::milliseconds timeout) {
        rig.client().WaitForClass(cls, timeout, "\nsource=" + source + ":" + sub + "\n");
        rig.client().WaitForClass("(none)", 100ms);  // and whatever followed it
        return rig.client().Matching(cls, "\nsource=" + source + ":" + sub + "\n");
    };

    rig.control().Command("clear-log");
    bsc("xAPBSC.cmd", "A1", "ID=*\nState=on\n");
    ASSERT_TRUE(rig.WaitForState("A1 on 100", 20s)) << rig.Diagnostics();
    EXPECT_EQ(ByteLines(rig.SimLog()), "rx 04 66\ntx 6A\nrx 00\ntx 55\nrx 06 62\ntx 68\nrx 00\ntx 55\n");
    ASSERT_FALSE(from("xAPBSC.event", "A1", 10s).empty()) << rig.Diagnostics();
    // Nothing more follows: one event for the one change, and the X10 announcement as for a request.
    rig.client().SendMessage("WDT.Echo", "", "Echo.Query", "Query=fence\n");
    ASSERT_TRUE(rig.client().WaitForClass("WDT.Echo", 10s, "Response=fence"));
    const auto events = from("xAPBSC.event", "A1", 0ms);
    ASSERT_EQ(events.size(), 1u) << rig.Diagnostics();
    EXPECT_NE(events[0].find("output.state\n{\nState=on\nLevel=100%\n}\n"), std::string::npos) << events[0];
    EXPECT_EQ(rig.client().Matching("xAP-x10.Event").size(), 1u);

    // A wall switch dims B2.
    rig.client().SendMessage("xAP-X10.request", "", "xAP-X10.request", "device=B2\ncommand=on\n");
    ASSERT_TRUE(rig.WaitForState("B2 on 100", 20s)) << rig.Diagnostics();
    rig.control().Command("hear B2 dim 50");
    ASSERT_TRUE(WaitFor([&] { return from("xAPBSC.event", "B2", 0ms).size() == 2; }, 20s)) << rig.Diagnostics();
    const auto dimmed = from("xAPBSC.event", "B2", 0ms)[1];
    EXPECT_NE(dimmed.find("output.state\n{\nState=on\nLevel=50%\n}\n"), std::string::npos) << dimmed;
    EXPECT_EQ(XapField(dimmed, "uid"), "FF008712");  // B2 = 1 * 16 + 2

    // The state file, printed by --status, and read again by the next start.
    rig.StopConnector();
    Process status(BinDir() / "quorvel", {"--app-folder", rig.folder().string(), "--status"}, rig.folder(), "status");
    ASSERT_TRUE(status.Wait(10s));
    EXPECT_NE(status.Stdout().find("\nB2      on     50%    "), std::string::npos) << status.Stdout();
    rig.StartConnector();
    ASSERT_TRUE(rig.Ready()) << rig.Diagnostics();
    const std::size_t before = from("xAPBSC.info", "B2", 0ms).size();
    bsc("xAPBSC.query", "B2", "");
    ASSERT_TRUE(WaitFor([&] { return from("xAPBSC.info", "B2", 0ms).size() > before; }, 10s)) << rig.Diagnostics();
    EXPECT_NE(from("xAPBSC.info", "B2", 0ms).back().find("\nState=on\nLevel=50%\n"), std::string::npos);
}
