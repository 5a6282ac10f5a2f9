#include "host/homeseer.h"
#include "host/ini_tool.h"
#include "host/settings_support.h"
#include "platform/sim/sim_platform.h"
#include "test_support/temp_dir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace fs = std::filesystem;
using quorvel::host::Homeseer;
using quorvel::test::ReadBytes;
using quorvel::test::Reports;
using quorvel::test::WriteBytes;

namespace quorvel::host {
// Reaches the private step that fills the device store from zebTemperature.ini.
class HomeseerProbe {
public:
    static void LoadDevices(Homeseer& hs) { hs.LoadDevices(); }
};
}  // namespace quorvel::host

namespace {

struct HostHomeseer : ::testing::Test {
    quorvel::test::TempDir dir;
    quorvel::platform::SimPlatform sim;
    quorvel::core::Reporter reporter{sim};
    Homeseer hs{reporter, sim, dir.path()};
    fs::path Config(const std::string& file) const { return dir.path() / "Config" / file; }
};

}  // namespace

TEST_F(HostHomeseer, SettingsAreReadFreshEachTimeAndSavedWithABackup) {
    // A missing file gives the default and is left behind empty, with its folder.
    EXPECT_EQ(hs.GetIniSetting("General", "ComPort", "1", "Quorvel.ini"), "1");
    EXPECT_TRUE(fs::is_regular_file(Config("Quorvel.ini")));

    const std::string before = "; settings\r\n[General]\r\nHouse=AB\r\nEmpty=\r\nzeta=z\r\n";
    WriteBytes(Config("Quorvel.ini"), before);
    EXPECT_EQ(hs.GetIniSetting("general", "HOUSE", "dflt", "Quorvel.ini"), "AB");
    EXPECT_EQ(hs.GetIniSetting("General", "Empty", "dflt", "Quorvel.ini"), "dflt");
    // Keys in file order, upper case, joined by the character 0; "=" for a missing section.
    EXPECT_EQ(hs.GetINISection("General", "Quorvel.ini"), std::string("HOUSE=AB\0EMPTY=\0ZETA=z", 22));
    EXPECT_EQ(hs.GetINISection("Nowhere", "Quorvel.ini"), "=");

    hs.SaveIniSetting("General", "ComPort", "192.0.2.9:10001", "Quorvel.ini");
    EXPECT_EQ(ReadBytes(Config("Quorvel.ini")), "[GENERAL]\r\nCOMPORT=192.0.2.9:10001\r\nEMPTY=\r\nHOUSE=AB\r\nZETA=z\r\n");
    EXPECT_EQ(ReadBytes(Config("Quorvel.ini_bck")), before);
    // Nothing is cached: a hand edit is seen by the next read; a long section keeps every key.
    std::string many = "[Many]\r\n", expected;
    for (int i = 0; i < 40; ++i) {
        many += "k" + std::to_string(i) + "=" + std::to_string(i) + "\r\n";
        expected += std::string(i ? 1 : 0, '\0') + "K" + std::to_string(i) + "=" + std::to_string(i);
    }
    WriteBytes(Config("Quorvel.ini"), "[General]\r\nHouse=P\r\n" + many);
    EXPECT_EQ(hs.GetIniSetting("General", "House", "", "Quorvel.ini"), "P");
    EXPECT_EQ(hs.GetINISection("Many", "Quorvel.ini"), expected);

    // Read-only: a missing file is read as defaults and nothing is made.
    Homeseer ro(reporter, sim, dir.path() / "ro");
    ro.SetReadOnly(true);
    EXPECT_EQ(ro.GetIniSetting("General", "ComPort", "1", "Quorvel.ini"), "1");
    EXPECT_FALSE(fs::exists(dir.path() / "ro"));
}

TEST_F(HostHomeseer, DevicesAreEnteredOnceAndNamedByTheTemperatureDatabase) {
    EXPECT_EQ(hs.NewDevice("a1"), 0);
    EXPECT_EQ(hs.DeviceExists("A1"), -1);  // codes are case-sensitive
    EXPECT_ANY_THROW(hs.NewDevice("a1"));
    struct Case { std::int16_t status; bool on; bool off; };
    for (const Case& c : std::vector<Case>{{2, true, false}, {3, false, true}, {0, false, false}}) {
        hs.SetDeviceStatus("a1", c.status);
        EXPECT_EQ(hs.DeviceStatus("a1"), c.status);
        EXPECT_EQ(hs.isOn("a1"), c.on) << c.status;
        EXPECT_EQ(hs.isOff("a1"), c.off) << c.status;
    }
    // Unknown codes: setters change nothing and nothing is entered.
    hs.SetDeviceValue("Z9", 5);
    EXPECT_EQ(hs.DeviceValue("Z9"), 0);
    EXPECT_EQ(hs.DeviceExists("Z9"), -1);

    // "/[" stands for "[" and names become upper case.
    WriteBytes(Config("zebTemperature.ini"), "[Database]\r\nt/[1]=x\r\nT[1]=dup\r\nout=y\r\n");
    quorvel::host::HomeseerProbe::LoadDevices(hs);
    EXPECT_EQ(hs.DeviceExists("T[1]"), 1);
    EXPECT_EQ(hs.DeviceExists("OUT"), 1);
    EXPECT_EQ(hs.DeviceCount(), 3u);
}

TEST_F(HostHomeseer, StringItemPicksTheNthPieceAndWritelogOnlyAppends) {
    struct Case { const char* text; int pos; const char* delim; const char* expected; };
    for (const auto& c : std::vector<Case>{{"a,b,c", 3, ",", "c"}, {"a,b,c", 4, ",", ""}, {"a,b,c", 1, ";", "a,b,c"},
                                           {"a,,c", 2, ",", ""},   {"a::b::c", 3, "::", "c"}, {"abc", 2, "", ""},
                                           {"a,b", 0, ",", ""}}) {
        EXPECT_EQ(Homeseer::StringItem(c.text, c.pos, c.delim), c.expected) << c.text << " " << c.pos;
    }
    EXPECT_ANY_THROW(hs.Writelog("one", "two"));  // the log is not created by Writelog
    WriteBytes(hs.LogPath(), "old\r\n");
    sim.SetLocalDateTime("2026-03-04 05:06:07");
    hs.Writelog("one", "two");
    EXPECT_EQ(ReadBytes(dir.path() / "Data" / "Quorvel.txt"), "old\r\n2026-03-04 05:06:07\tone\ttwo\r\n");
}

// A damaged settings file (100,000 lines without "=", binary among them) read by every
// setting at start-up: a few reports in all, each naming file and line, bytes escaped; the
// same damage is not reported again until the file changes or a reload forgets it.
TEST_F(HostHomeseer, DamagedSettingsFileIsReportedOnceInAFewLines) {
    std::string text = "[General]\r\nComPort=7\r\n";
    text += std::string("\x01\xff", 2) + std::string(5000, 'z') + "\r\n";
    for (int i = 0; i < 100000; ++i) text += "junk line " + std::to_string(i) + "\r\n";
    WriteBytes(Config("Quorvel.ini"), text);
    for (const char* key : {"UID", "House", "Ignore", "Debug"}) hs.GetIniSetting("General", key, "d", "Quorvel.ini");
    EXPECT_EQ(hs.GetIniSetting("General", "ComPort", "1", "Quorvel.ini"), "7");

    const auto reports = Reports(reporter);
    ASSERT_EQ(reports.size(), quorvel::host::IniTool::kReportedBadLines + 1);
    const std::string file = Config("Quorvel.ini").string();
    EXPECT_EQ(reports[0].second, " Equal sign not found on line 3 of " + file + ": \\x01\\xff" + std::string(78, 'z') + "...");
    EXPECT_EQ(reports[1].second, " Equal sign not found on line 4 of " + file + ": junk line 0");
    EXPECT_EQ(reports[3].second, " Equal sign not found on 99998 more lines of " + file);

    hs.ForgetReportedProblems();
    sim.Advance(61000);  // past the minute in which repeated reports of one kind collapse
    hs.GetIniSetting("General", "House", "d", "Quorvel.ini");
    EXPECT_EQ(Reports(reporter).size(), 2 * reports.size());
    WriteBytes(Config("Quorvel.ini"), "[General]\r\nbroken\r\n");
    hs.GetIniSetting("General", "House", "d", "Quorvel.ini");
    EXPECT_EQ(Reports(reporter).back().second, " Equal sign not found on line 2 of " + file + ": broken");
}
