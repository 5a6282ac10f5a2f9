// The interface's own status and reports at the real device's speed: the status asked for
// at start-up and kept for --status, a macro report announced and followed by a new status
// request that corrects the device state, and a preset light's level in one extended command.
#include "rig.h"

#include <gtest/gtest.h>

using namespace quorvel::itest;
using namespace std::chrono_literals;

TEST(InterfaceStatus, ReadAtStartUpShownByStatusAndRefreshedAfterAMacroReport) {
    Rig rig({.pty = false, .comPort = "", .start = false}, {"--speed", "1", "--mains", "50"});
    if (!rig.HubUp()) GTEST_SKIP() << "UDP port 3639 is taken and no private network namespace";
    ASSERT_EQ(rig.control().Command("battery 321"), "ok\n");
    const auto ini = rig.folder() / "Config" / "Quorvel.ini";
    WriteFile(ini, ReadFile(ini) + "\r\n[Devices]\r\nA5=preset\r\n");
    rig.StartConnector();
    ASSERT_TRUE(rig.Ready()) << rig.Diagnostics();
    const auto file = rig.folder() / "Data" / "InterfaceStatus.txt";
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(file); }, 10s)) << rig.SimLog() << rig.Diagnostics();
    EXPECT_EQ(Count(ByteLines(rig.SimLog()), "rx 8B"), 1);

    Process status(BinDir() / "quorvel", {"--app-folder", rig.folder().string(), "--status"}, rig.folder(), "status");
    ASSERT_TRUE(status.Wait(20s));
    const std::string out = status.Stdout();
    EXPECT_NE(out.find("Battery timer: 321 minutes"), std::string::npos) << out;
    EXPECT_NE(out.find("Firmware revision: 1"), std::string::npos) << out;
    EXPECT_NE(out.find("Clock: "), std::string::npos) << out;
    EXPECT_NE(out.find("Monitored house: A"), std::string::npos) << out;

    // Announced once on xAP; the interface's clock was set just before: nothing to report about it.
    EXPECT_TRUE(rig.client().WaitForClass("Homeseer.Event", 10s, "CM11A status: battery timer 321 minutes"));
    EXPECT_EQ(rig.client().Matching("Homeseer.Event", "CM11A clock").size(), 0u);

    // A1 on, then a macro of the interface's own switches it off and A2 on: nothing is heard,
    // the status read after the report tells. A2 was never known here and stays unknown.
    rig.client().SendMessage("xAP-X10.request", "zeb.CM11A.*", "xAP-X10.request", "device=A1\ncommand=on\n");
    ASSERT_TRUE(rig.client().WaitForClass("xAPBSC.event", 20s, "State=on")) << rig.SimLog() << rig.Diagnostics();
    ASSERT_EQ(rig.control().Command("macro 90 A1 off"), "ok\n");
    ASSERT_EQ(rig.control().Command("macro 91 A2 on"), "ok\n");
    ASSERT_TRUE(rig.client().WaitForClass("xAP-x10.Macro", 10s, "Address=005A")) << rig.Diagnostics();
    EXPECT_TRUE(rig.client().WaitForClass("xAPBSC.event", 20s, "State=off")) << rig.SimLog() << rig.Diagnostics();
    EXPECT_EQ(rig.client().Matching("xAPBSC.event", ":A2\n").size(), 0u);
    const auto states = rig.folder() / "Data" / "DeviceState.txt";
    EXPECT_TRUE(WaitFor([&] { return ReadFile(states).find("A1\toff\t") != std::string::npos; }, 10s));
    EXPECT_NE(ReadFile(states).find("\tinterface\t"), std::string::npos) << ReadFile(states);

    // A preset light takes a BSC level in one extended command (63 levels: 50 % is 32).
    const std::string source =
        XapField(rig.client().WaitForClass("Homeseer.Event", 0ms, "Using xAP port ").value_or(""), "source");
    rig.client().SendMessage("xAPBSC.cmd", source + ":A5", "output.state.1", "ID=*\nLevel=50%\n");
    EXPECT_TRUE(rig.client().WaitForClass("xAPBSC.event", 20s, "Level=51%")) << rig.Diagnostics();
    EXPECT_EQ(Count(rig.control().Command("powerline"), "sent extended A5 data 32 command 49"), 1);
}
