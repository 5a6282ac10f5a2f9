#include "app/configuration.h"
#include "app/settings_check.h"
#include "app/quorvel_form.h"
#include "host/settings_support.h"
#include "platform/sim/sim_platform.h"
#include "test_support/temp_dir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace fs = std::filesystem;
using quorvel::app::Configuration;
using quorvel::test::Reports;
using quorvel::test::WriteBytes;

namespace {

struct AppConfiguration : ::testing::Test {
    quorvel::test::TempDir dir;
    quorvel::platform::SimPlatform sim;
    quorvel::core::Reporter reporter{sim};
    quorvel::core::Settings settings;
    Configuration config{settings, reporter, sim, dir.path(), (dir.path() / "quorvel").string(),
                         [] { return std::string("quorvelbox.example.org"); }};
    fs::path Config(const std::string& file) const { return dir.path() / "Config" / file; }
};

}  // namespace

TEST_F(AppConfiguration, MissingFilesGiveTheDefaultsAndStoredValuesAreReadAsWritten) {
    settings.ComPort = settings.House = settings.UID = "stale";
    config.InitXap();
    EXPECT_EQ(config.InitHW(), "");
    EXPECT_EQ(settings.ComPort + " " + settings.House + " " + settings.Ignore + " " + settings.UID, "1 ABCDEFGHIJKLMNOP ,, FF008700");
    EXPECT_EQ(settings.BroadcastAddress + " " + settings.InterfaceAddress + " " + settings.ComputerName,
              "Default Default quorvelbox");
    EXPECT_FALSE(settings.Debug);
    EXPECT_FALSE(config.CM11AReady());  // no CM11A subsystem joined: never a faked success
    EXPECT_TRUE(Reports(reporter).empty());

    struct Case { const char* file; std::string House, Ignore, UID, ComPort; bool Debug; };
    for (const Case& c : std::vector<Case>{
             {"[General]\r\nIgnore=,,,, ,\r\nDebug=yes\r\nHouse=ac\r\nComPort=198.51.100.5:10001\r\n",
              "ac", ",,,,,,,", "FF008700", "198.51.100.5:10001", false},
             {"[General]\r\nHouse=\r\nComPort=\r\nIgnore=A1, b2 ,\tC3\r\nDebug=\"true\"\r\nUID=FF123400\r\n",
              "ABCDEFGHIJKLMNOP", ",A1,b2,C3,", "FF123400", "1", true}}) {
        SCOPED_TRACE(c.file);
        WriteBytes(Config("Quorvel.ini"), c.file);
        WriteBytes(Config("zebXap.ini"), "[Interface]\r\nBroadcastAddress=127.255.255.255\r\n");
        config.InitXap();
        config.InitHW();
        EXPECT_EQ(settings.House + " " + settings.Ignore + " " + settings.UID + " " + settings.ComPort,
                  c.House + " " + c.Ignore + " " + c.UID + " " + c.ComPort);
        EXPECT_EQ(settings.BroadcastAddress, "127.255.255.255");
        EXPECT_EQ(settings.Debug, c.Debug);
        EXPECT_EQ(reporter.Debug(), c.Debug);
    }
    EXPECT_TRUE(settings.Ignored("a1") && settings.Ignored("B2") && !settings.Ignored("A11"));
}

TEST_F(AppConfiguration, OnlyAChangedComPortAfterTheStartReachesTheLinkAndInitApplicationAsksTheHook) {
    int portChanges = 0;
    config.SetPortChanged([&] { ++portChanges; });
    config.InitXap();
    WriteBytes(Config("Quorvel.ini"), "[General]\r\nComPort=3\r\n");
    config.SetIniValue("COMPORT", "1");  // before the start the CM11A start-up opens it
    EXPECT_EQ(settings.ComPort, "3");
    EXPECT_EQ(portChanges, 0);

    std::string askedPort;
    config.SetInitCM11A([&](const std::string& port) {
        askedPort = port;
        return true;
    });
    config.InitApplication();
    EXPECT_TRUE(config.CM11AReady());
    EXPECT_EQ(askedPort, "3");
    // Read again unchanged (a reload): nothing; changed: the link is told once.
    config.SetIniValue("comport", "1");
    EXPECT_EQ(portChanges, 0);
    WriteBytes(Config("Quorvel.ini"), "[General]\r\nComPort=127.0.0.1:4001\r\n");
    config.SetIniValue("comport", "1");
    config.SetIniValue("comport", "1");
    EXPECT_EQ(settings.ComPort, "127.0.0.1:4001");
    EXPECT_EQ(portChanges, 1);
    config.SetInitCM11A([](const std::string&) -> bool { throw std::runtime_error("no port"); });
    config.InitApplication();
    EXPECT_FALSE(config.CM11AReady());
    ASSERT_FALSE(Reports(reporter).empty());
    EXPECT_EQ(Reports(reporter).back().second, "InitApplication Line 0 no port");
}

// Settings that cannot be what the user meant: one clear text each, none for sound ones.
TEST_F(AppConfiguration, SettingsThatCannotBeMeantAreNamedOneByOne) {
    using quorvel::app::CheckSettings;
    struct Case { const char* name; std::string general, xap; std::vector<std::string> problems; };
    const std::vector<Case> cases = {
        {"sound settings", "ComPort=/dev/ttyUSB0\r\nHouse=ap\r\nIgnore=A1,p16\r\nDebug=1\r\nUID=ff00ab12\r\n",
         "BroadcastAddress=127.255.255.255\r\n", {}},
        {"house letters outside A to P", "ComPort=2\r\nHouse=ABQZ\r\n", "", {"House \"ABQZ\" holds characters that are no house letter (A to P): \"QZ\""}},
        {"UID too short", "ComPort=2\r\nUID=FF0087\r\n", "", {"UID \"FF0087\" is not eight hex digits"}},
        {"Ignore entries that name no device", "ComPort=2\r\nIgnore=A17, A2 ,,B2x\r\n", "",
         {"Ignore entry \"A17\" is not a device code (A1 to P16)", "Ignore entry \" A2 \" has blanks around it: taken as \"A2\"",
          "Ignore entry \"\" is not a device code (A1 to P16)", "Ignore entry \"B2x\" is not a device code (A1 to P16)"}},
        {"default ComPort naming a missing port", "", "", {"ComPort is not set: the default 1 means /dev/ttyS0, which does not exist on this machine"}},
        {"ComPort naming nothing", "ComPort=host:99999\r\n", "", {"ComPort \"host:99999\" names no port: Invalid TCP port in \"host:99999\""}},
        {"Debug word not understood", "ComPort=2\r\nDebug=yes\r\n", "", {"Debug \"yes\" is read as off (write 1 or 0)"}},
        {"broadcast address no address", "ComPort=2\r\n", "BroadcastAddress=255.255.255\r\n",
         {"BroadcastAddress \"255.255.255\" is not an IPv4 address"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBytes(Config("Quorvel.ini"), "[General]\r\n" + c.general);
        WriteBytes(Config("zebXap.ini"), "[Interface]\r\n" + c.xap);
        quorvel::host::Homeseer hs(reporter, sim, dir.path());
        const auto snapshot = quorvel::app::ReadSettings(hs);
        EXPECT_EQ(CheckSettings(snapshot, [](const std::string& device) { return device != "/dev/ttyS0"; }), c.problems);
    }
}

// [Devices] names a kind per address; what cannot be used is named, the rest are lights.
TEST_F(AppConfiguration, DevicesKindsAreReadAndEntriesThatCannotBeUsedAreNamed) {
    using quorvel::core::DeviceKind;
    WriteBytes(Config("Quorvel.ini"), "[General]\r\nHouse=AB\r\n[Devices]\r\na2=Switch\r\nB1= \"motion\" \r\n"
                                      "C1=remote\r\nA3=dimmer\r\nZ9=light\r\nA1=light\r\n");
    config.InitXap();
    config.InitHW();
    EXPECT_EQ(settings.Kinds[1], DeviceKind::Switch);
    EXPECT_EQ(settings.Kinds[16], DeviceKind::Motion);
    EXPECT_EQ(settings.Kinds[32], DeviceKind::Remote);
    EXPECT_EQ(settings.Kinds[2], DeviceKind::Light);  // A3: not understood
    EXPECT_TRUE(settings.Listed[0] && settings.Listed[1] && !settings.Listed[2] && !settings.Listed[3]);
    std::vector<std::string> reported;
    for (const auto& r : Reports(reporter)) reported.push_back(r.second);
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_EQ(reported[0], "Settings: Devices: A3='dimmer' is not light, switch, motion, remote or preset; A3 is a light");
    EXPECT_EQ(reported[1], "Settings: Devices: 'Z9' is not an X10 device A1..P16; left out");

    quorvel::host::Homeseer hs(reporter, sim, dir.path());
    std::string described;
    const auto problems = quorvel::app::CheckDevices(hs, quorvel::app::ReadSettings(hs).Values, described);
    EXPECT_EQ(described, "A1 light, A2 switch, B1 motion, C1 remote");
    ASSERT_EQ(problems.size(), 3u);
    EXPECT_EQ(problems[2], "Devices: C1 is listed but not served (House, Ignore)");
}
