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
using quorvel::host::IniTool;
using quorvel::test::ReadBytes;
using quorvel::test::Reports;
using quorvel::test::WriteBytes;

namespace {

struct HostFiles : ::testing::Test {
    quorvel::test::TempDir dir;
    quorvel::platform::SimPlatform sim;
    quorvel::core::Reporter reporter{sim};
};

struct HostHomeseer : HostFiles {
    Homeseer hs{reporter, sim, dir.path()};
    fs::path Config(const std::string& file) const { return dir.path() / "Config" / file; }
};

struct Read { std::string header, key, expected; };

struct HostIniTool : HostFiles {
    IniTool ini{reporter, sim};
    std::string Path(const std::string& name) const { return (dir.path() / name).string(); }
    // Each key as a fresh tool reads it from the file, as the next start would.
    void ExpectReadBack(const std::string& path, const std::vector<Read>& reads) {
        IniTool again(reporter, sim);
        again.Load(path);
        for (const auto& r : reads) EXPECT_EQ(again.Read(r.header, r.key, "dflt"), r.expected) << r.header << "/" << r.key;
    }
};

// Comments, mixed case, a duplicate key, an empty section, blanks around "=", keys before
// the first header, a header with trailing text, ";" inside a value, LF-only line ends and a
// last line without any line end.
const std::string kHandWritten =
    "top=first\r\n; a comment\r\n  ;indented comment\r\n[Empty]\r\n[General]\r\nComPort=2\r\ncomport=3\r\n"
    "  House = AB  \r\nNote=a;b=c\r\n# no equal sign\r\n\r\n[general]\r\nDebug=1\r\n[Zeta] ; trailing\r\n"
    "After=yes\nBlank=\n[alpha]\nb=2\r\nA=1";

}  // namespace

TEST_F(HostHomeseer, SettingsAreReadFreshEachTimeAndSavedSorted) {
    // A missing file gives the default and is left behind empty, with its folder; a hand edit
    // made after that is seen by the next read.
    EXPECT_EQ(hs.GetIniSetting("General", "ComPort", "1", "Quorvel.ini"), "1");
    EXPECT_TRUE(fs::is_regular_file(Config("Quorvel.ini")));
    WriteBytes(Config("Quorvel.ini"), "; settings\r\n[General]\r\nHouse=AB\r\nEmpty=\r\nzeta=z\r\n");
    EXPECT_EQ(hs.GetIniSetting("general", "HOUSE", "dflt", "Quorvel.ini"), "AB");

    hs.SaveIniSetting("General", "ComPort", "192.0.2.9:10001", "Quorvel.ini");
    EXPECT_EQ(ReadBytes(Config("Quorvel.ini")), "[GENERAL]\r\nCOMPORT=192.0.2.9:10001\r\nEMPTY=\r\nHOUSE=AB\r\nZETA=z\r\n");
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

    hs.ForgetReportedProblems();
    sim.Advance(61000);  // past the minute in which repeated reports of one kind collapse
    hs.GetIniSetting("General", "House", "d", "Quorvel.ini");
    EXPECT_EQ(Reports(reporter).size(), 2 * reports.size());
    WriteBytes(Config("Quorvel.ini"), "[General]\r\nbroken\r\n");
    hs.GetIniSetting("General", "House", "d", "Quorvel.ini");
    EXPECT_EQ(Reports(reporter).back().second, " Equal sign not found on line 2 of " + file + ": broken");
}

// The save writes a new file and renames it over the old name: a second name for the old
// file sees what a reader (or a crash) in the middle of the save would see, the old text whole.
TEST_F(HostIniTool, HandWrittenFileReadsAndIsSavedSortedThroughANewFileWithABackup) {
    const std::string path = Path("Quorvel.ini");
    WriteBytes(path, kHandWritten);
    fs::create_hard_link(path, dir.path() / "other-name");
    ini.Load(path);

    const std::vector<Read> reads = {
        {"", "TOP", "first"},          {"GENERAL", "comport", "2"},   // first occurrence wins
        {"General", "House", "dflt"},  {"General", "House ", " AB"},  // blanks belong to the names
        {"general", "note", "a;b=c"},  {"General", "Debug", "1"},     // case-only duplicate header
        {"General", "After", "yes"},   {"Zeta", "After", "dflt"},     // "[Zeta] ;..." is no header
        {"General", "Blank", "dflt"},  {"ALPHA", "a", "1"},           // empty value, last line
        {"Empty", "x", "dflt"},        {"Missing", "ComPort", "dflt"},
    };
    for (const auto& c : reads) EXPECT_EQ(ini.Read(c.header, c.key, "dflt"), c.expected) << c.header << "/" << c.key;

    const auto reports = Reports(reporter);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].first + reports[0].second, "IniTool Equal sign not found on line 10 of " + path + ": # no equal sign");

    ini.Save();
    EXPECT_EQ(ReadBytes(path),
              "TOP=first\r\n"
              "[ALPHA]\r\nA=1\r\nB=2\r\n"
              "[GENERAL]\r\nAFTER=yes\r\nBLANK=\r\nCOMPORT=2\r\nDEBUG=1\r\nHOUSE = AB\r\nNOTE=a;b=c\r\n");
    EXPECT_EQ(ReadBytes(dir.path() / "other-name"), kHandWritten);
    EXPECT_EQ(ReadBytes(path + "_bck"), kHandWritten);
    EXPECT_EQ(quorvel::test::FileNames(dir.path()), (std::vector<std::string>{"Quorvel.ini", "Quorvel.ini_bck", "other-name"}));
    ExpectReadBack(path, reads);
}

// Names that look alike never share a place in the table, and a value equal to its own
// upper-cased place is only a value.
TEST_F(HostIniTool, LookAlikeNamesKeepTheirOwnValuesThroughASave) {
    WriteBytes(Path("k.ini"), "[a.b]\r\none=1\r\n[aXb]\r\none=2\r\n[General]\r\nx=3\r\n[Generally]\r\nx=4\r\n"
                              "[x(1]\r\np=5\r\n[x]\r\n(1p=6\r\n[Tilde~X]\r\nk~y=7\r\n[Tilde]\r\nX~k~y=8\r\n");
    ini.Load(Path("k.ini"));
    ini.WriteKey("Mixed", "Key", "MIXED~KEY");
    ini.Save();
    ExpectReadBack(Path("k.ini"), {{"a.b", "one", "1"},     {"aXb", "one", "2"},     {"general", "X", "3"},
                                   {"Generally", "x", "4"}, {"x(1", "p", "5"},       {"x", "(1p", "6"},
                                   {"Tilde~X", "k~y", "7"}, {"Tilde", "x~k~y", "8"}, {"Mixed", "Key", "MIXED~KEY"}});
}

TEST_F(HostIniTool, ALineBreakInAValueInjectsNothingAndALoneCrEndsALine) {
    ini.Load(Path("w.ini"));
    ini.WriteKey("Mixed", "Key", "x\r\n[Evil]\r\nInjected=1");
    ini.Save();
    EXPECT_EQ(ReadBytes(Path("w.ini")), "[MIXED]\r\nKEY=x  [Evil]  Injected=1\r\n");
    ASSERT_FALSE(Reports(reporter).empty());
    EXPECT_EQ(Reports(reporter).back().second.rfind("IniTool Save " + Path("w.ini"), 0), 0u);

    // A lone CR ends a line too: "\rcomport" would otherwise be a key of its own that, saved
    // with the CR made a space, reads back as "ComPort" and shadows the real one.
    WriteBytes(Path("cr.ini"), "[General]\r\nComPort=4\n\rcomport=3\r\nHouse=B\rDebug=1\r\n");
    ini.Load(Path("cr.ini"));
    ini.Save();
    ExpectReadBack(Path("cr.ini"), {{"General", "ComPort", "4"}, {"General", "House", "B"}, {"General", "Debug", "1"}});
}

TEST_F(HostIniTool, HugeAndBinaryValuesAndLongNamesSurviveASave) {
    const std::string big(1 << 20, 'v');
    const std::string binary("a\0\xff\x01 b", 6);
    WriteBytes(Path("h.ini"), "[S]\r\nlong=" + big + "\r\n" + std::string(1 << 20, 'k') + "\r\nbin=" + binary +
                                  "\r\n\t[Tab]\r\nafter=1\r\n");
    ini.Load(Path("h.ini"));
    EXPECT_EQ(ini.Read("S", "after", ""), "1");  // tabs are not trimmed: no header
    const auto reports = Reports(reporter);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_LT(reports[0].second.size(), 200u + Path("h.ini").size());  // long lines are cut in the report
    ini.WriteKey("S", std::string(70, 'K'), "kept");
    ini.Save();
    ExpectReadBack(Path("h.ini"), {{"S", "long", big}, {"S", "bin", binary}, {"S", std::string(70, 'K'), "kept"}});
}

TEST_F(HostIniTool, FailedSaveReportsAndNeverLosesTheFile) {
    const std::string path = Path("s.ini");
    WriteBytes(path, "[A]\r\nk=1\r\n");
    ini.Load(path);
    ini.WriteKey("A", "k", "2");

    // The file turned into a folder that cannot be replaced: backup and write both fail.
    fs::remove(path);
    fs::create_directories(fs::path(path) / "inside");
    ini.Save();
    EXPECT_TRUE(fs::is_directory(fs::path(path) / "inside"));
    EXPECT_EQ(quorvel::test::FileNames(dir.path()), std::vector<std::string>{"s.ini"}) << "no temporary file is left behind";
    ASSERT_FALSE(Reports(reporter).empty());
    for (const auto& r : Reports(reporter)) EXPECT_EQ(r.second.rfind("IniTool Save " + path, 0), 0u) << r.second;

    // Once the way is clear again, the next save writes what the failed one could not.
    fs::remove_all(path);
    ini.Save();
    ExpectReadBack(path, {{"A", "k", "2"}});
}
