// The connector switching lamps end to end: xAP requests through the hub reach the
// simulated interface as the exact bytes, traffic heard on the power line comes back as
// events, and the link survives a dropped connection.
#include "rig.h"

#include <gtest/gtest.h>

using namespace quorvel::itest;
using namespace std::chrono_literals;

TEST(EndToEnd, RequestsQueriesAndHeardTrafficAreAnsweredAndADroppedConnectionComesBackOnceAndTheCommandCompletes) {
    Rig rig;
    REQUIRE_READY(rig);
    rig.control().Command("clear-log");
    rig.client().SendMessage("xAP-X10.request", "zeb.CM11A.*", "xAP-X10.request", "device=A1,A2\ncommand=ON\n");
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

    EXPECT_EQ(rig.control().Command("hear B1 off"), "ok\n");
    const auto heard = rig.client().WaitForClass("xAP-x10.Event", 20s, "Device=B1");
    ASSERT_TRUE(heard) << rig.Diagnostics();
    EXPECT_NE(heard->find("\nEvent=off\nDevice=B1\n"), std::string::npos) << *heard;

    // The connection drops while a command is on the power line: the drop is reported, the
    // link comes back (said once) and the command completes.
    rig.control().Command("fault late 1500");  // hold the command on the power line
    rig.control().Command("clear-log");
    rig.client().SendMessage("xAP-X10.request", "", "xAP-X10.request", "device=C3\ncommand=on\n");
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
