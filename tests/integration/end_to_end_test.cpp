// The connector switching lamps end to end: xAP requests through the hub reach the
// simulated interface as the exact bytes (extended codes as whole frames), traffic heard on
// the power line comes back as events, and the link survives a dropped connection.
#include "rig.h"

#include <gtest/gtest.h>

using namespace quorvel::itest;
using namespace std::chrono_literals;

TEST(EndToEnd, RequestsQueriesAndHeardTrafficAreAnsweredAndADroppedConnectionComesBackOnceAndTheCommandCompletes) {
    Rig rig;
    REQUIRE_READY(rig);
    const auto request = [&](const std::string& items) {
        rig.client().SendMessage("xAP-X10.request", "zeb.CM11A.*", "xAP-X10.request", items);
    };
    rig.control().Command("clear-log");
    request("device=A1,A2\ncommand=ON\n");
    ASSERT_TRUE(rig.WaitForState("A2 on 100", 20s)) << rig.SimState() << rig.Diagnostics();
    // A1: 04 66 / 6A, 00 / 55, 06 62 / 68, 00 / 55; then A2 (address 0x6E).
    const std::string a1 = "rx 04 66\ntx 6A\nrx 00\ntx 55\nrx 06 62\ntx 68\nrx 00\ntx 55\n";
    const std::string a2 = "rx 04 6E\ntx 72\nrx 00\ntx 55\nrx 06 62\ntx 68\nrx 00\ntx 55\n";
    EXPECT_EQ(ByteLines(rig.SimLog()), a1 + a2);
    ASSERT_TRUE(rig.client().WaitForClass("xAP-x10.Event", 5s, "Device=A2"));
    auto events = rig.client().Matching("xAP-x10.Event");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_NE(events[0].find("xAP-x10.Event\n{\nEvent=on\nDevice=A1\n}\n"), std::string::npos) << events[0];
    EXPECT_NE(events[1].find("xAP-x10.Event\n{\nEvent=on\nDevice=A2\n}\n"), std::string::npos) << events[1];

    rig.client().SendMessage("Homeseer.Role", "", "Role.Query", "Role=any\n");
    const auto role = rig.client().WaitForClass("Homeseer.Role", 10s, "Role.Notification");
    ASSERT_TRUE(role) << rig.Diagnostics();
    const std::string exe = std::filesystem::canonical(BinDir() / "quorvel").string();
    EXPECT_NE(role->find("Role.Notification\n{\nRole=Application\nPath=" + exe + "\nForm=SetupForm\n}\n"),
              std::string::npos)
        << *role;

    // Extended codes: without their bytes refused; with them one whole frame, never an address
    // and a plain function; heard ones are announced with their bytes.
    rig.control().Command("clear-log");
    request("device=D1\ncommand=extended\n");
    ASSERT_TRUE(rig.client().WaitForClass("Homeseer.Event", 10s, "but no data")) << rig.Diagnostics();
    request("device=D1\ncommand=extended\ndata=63\nextcommand=0x31\n");  // preset dim to the full level
    ASSERT_TRUE(rig.WaitForState("D1 on 100", 20s)) << rig.control().Command("powerline") << rig.Diagnostics();
    const std::string line = rig.control().Command("powerline");
    EXPECT_EQ(Count(line, "sent extended D1 data 63 command 49"), 1) << line;
    EXPECT_EQ(Count(line, "sent D"), 0) << line;
    ASSERT_EQ(rig.control().Command("hear-extended B3 17 49"), "ok\n");
    EXPECT_TRUE(rig.client().WaitForClass("xAP-x10.Event", 10s, "Device=B3\nData=17\nExtCommand=49")) << rig.Diagnostics();

    // The connection drops while a command is on the power line: the drop is reported, the
    // link comes back (said once) and the command completes.
    rig.control().Command("fault late 1500");  // hold the command on the power line
    rig.control().Command("clear-log");
    request("device=C3\ncommand=on\n");
    ASSERT_TRUE(WaitFor([&] { return rig.SimLog().find("rx 00") != std::string::npos; }, 10s)) << rig.Diagnostics();
    EXPECT_EQ(rig.control().Command("drop"), "ok\n");
    rig.control().Command("fault late 0");

    EXPECT_TRUE(rig.client().WaitForClass("Homeseer.Event", 15s, "CM11A TCP Port Connect Closed"))
        << rig.Diagnostics();
    EXPECT_TRUE(rig.WaitForState("C3 on 100", 60s)) << rig.SimState() << rig.Diagnostics();
    const std::string up = "CM11A link up on 127.0.0.1:" + std::to_string(rig.control().tcpPort);
    ASSERT_TRUE(rig.client().WaitForClass("Homeseer.Event", 20s, up)) << rig.Diagnostics();
    rig.client().SendMessage("WDT.Echo", "", "Echo.Query", "Query=Fence\n");  // answered in lower case
    ASSERT_TRUE(rig.client().WaitForClass("WDT.Echo", 10s, "Response=fence"));
    EXPECT_EQ(rig.client().Matching("Homeseer.Event", up).size(), 1u);
}
