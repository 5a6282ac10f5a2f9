#include "host/ini_tool.h"
#include "host/settings_support.h"
#include "platform/sim/sim_platform.h"
#include "test_support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using quorvel::host::IniTool;
using quorvel::test::ReadBytes;
using quorvel::test::Reports;
using quorvel::test::WriteBytes;
namespace fs = std::filesystem;

namespace {

struct HostIniTool : ::testing::Test {
    quorvel::test::TempDir dir;
    quorvel::platform::SimPlatform sim;
    quorvel::core::Reporter reporter{sim};
    IniTool ini{reporter, sim};
    std::string Path(const std::string& name) const { return (dir.path() / name).string(); }
};

// Comments, mixed case, a duplicate key, an empty section, blanks around "=", keys before
// the first header, a header with trailing text, ";" inside a value, LF-only line ends and a
// last line without any line end.
const std::string kHandWritten =
    "top=first\r\n; a comment\r\n  ;indented comment\r\n[Empty]\r\n[General]\r\nComPort=2\r\ncomport=3\r\n"
    "  House = AB  \r\nNote=a;b=c\r\n# no equal sign\r\n\r\n[general]\r\nDebug=1\r\n[Zeta] ; trailing\r\n"
    "After=yes\nBlank=\n[alpha]\nb=2\r\nA=1";

}  // namespace

// The save writes a new file and renames it over the old name: a second name for the old
// file sees what a reader (or a crash) in the middle of the save would see, the old text whole.
TEST_F(HostIniTool, HandWrittenFileReadsAndIsSavedSortedThroughANewFileWithABackup) {
    const std::string path = Path("Quorvel.ini");
    WriteBytes(path, kHandWritten);
    fs::create_hard_link(path, dir.path() / "other-name");
    ini.Load(path);

    struct Case { const char* header; const char* key; const char* expected; };
    const std::vector<Case> reads = {
        {"", "TOP", "first"},          {"GENERAL", "comport", "2"},   // first occurrence wins
        {"General", "House", "dflt"},  {"General", "House ", " AB"},  // blanks belong to the names
        {"general", "note", "a;b=c"},  {"General", "Debug", "1"},     // case-only duplicate header
        {"General", "After", "yes"},   {"Zeta", "After", "dflt"},     // "[Zeta] ;..." is no header
        {"General", "Blank", "dflt"},  {"ALPHA", "a", "1"},           // empty value, last line
        {"Empty", "x", "dflt"},        {"Missing", "ComPort", "dflt"},
    };
    for (const auto& c : reads) EXPECT_EQ(ini.Read(c.header, c.key, "dflt"), c.expected) << c.header << "/" << c.key;

    EXPECT_EQ(ini.Headers(), (std::vector<std::string>{"Empty", "General", "alpha"}));
    const auto reports = Reports(reporter);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].first + reports[0].second, "IniTool Equal sign not found on line 10 of " + path + ": # no equal sign");
    EXPECT_EQ(reports[1].second, " Equal sign not found on line 14 of " + path + ": [Zeta] ; trailing");

    ini.Save();
    EXPECT_EQ(ReadBytes(path),
              "TOP=first\r\n"
              "[ALPHA]\r\nA=1\r\nB=2\r\n"
              "[GENERAL]\r\nAFTER=yes\r\nBLANK=\r\nCOMPORT=2\r\nDEBUG=1\r\nHOUSE = AB\r\nNOTE=a;b=c\r\n");
    EXPECT_EQ(ReadBytes(dir.path() / "other-name"), kHandWritten);
    EXPECT_EQ(ReadBytes(path + "_bck"), kHandWritten);
    EXPECT_EQ(quorvel::test::FileNames(dir.path()), (std::vector<std::string>{"Quorvel.ini", "Quorvel.ini_bck", "other-name"}));

    IniTool again(reporter, sim);
    again.Load(path);
    for (const auto& c : reads) EXPECT_EQ(again.Read(c.header, c.key, "dflt"), c.expected) << c.header << "/" << c.key;
    EXPECT_EQ(again.Headers(), (std::vector<std::string>{"ALPHA", "GENERAL"}));
}

TEST_F(HostIniTool, LookAlikeSectionsKeepTheirKeysThroughASave) {
    EXPECT_EQ(ini.Keys("General"), std::vector<std::string>{""});
    WriteBytes(Path("k.ini"), "[a.b]\r\none=1\r\n[aXb]\r\nwrong=1\r\n[General]\r\nx=1\r\ny=2\r\n[Generally]\r\nz=3\r\n"
                              "[x(1]\r\np=1\r\n[Blank]\r\n =v\r\n[Tilde~X]\r\nk~y=5\r\n");
    ini.Load(Path("k.ini"));
    struct Case { const char* header; std::vector<std::string> keys; };
    for (const auto& c : std::vector<Case>{{"general", {"X", "Y"}}, {"Gen", {""}},     {"a.b", {"ONE"}}, {"x(1", {"P"}},
                                           {"(", {""}},             {"Blank", {""}},   {"Tilde~X", {"K~Y"}}, {"Tilde", {""}}}) {
        EXPECT_EQ(ini.Keys(c.header), c.keys) << c.header;
    }
    ini.Save();
    IniTool again(reporter, sim);
    again.Load(Path("k.ini"));
    EXPECT_EQ(again.Read("Tilde~X", "k~y", ""), "5");
    EXPECT_EQ(again.Keys("Tilde"), std::vector<std::string>{""});
}

TEST_F(HostIniTool, WritesAndRemovalsAreSavedAndALineBreakInAValueInjectsNothing) {
    ini.Load(Path("w.ini"));
    ini.WriteKey("Mixed", "Key", "MIXED~KEY");  // a value equal to its own upper-cased place
    ini.WriteKey("mixed", "other", "v");
    ini.Remove("MIXED", "OTHER");
    ini.Remove("mixed", "absent");
    EXPECT_EQ(ini.Headers(), std::vector<std::string>{"Mixed"});  // the section stays
    ini.Save();
    EXPECT_EQ(ReadBytes(Path("w.ini")), "[MIXED]\r\nKEY=MIXED~KEY\r\n");

    ini.WriteKey("Mixed", "Key", "x\r\n[Evil]\r\nInjected=1");
    ini.Save();
    IniTool again(reporter, sim);
    again.Load(Path("w.ini"));
    EXPECT_EQ(again.Headers(), std::vector<std::string>{"MIXED"});
    EXPECT_EQ(again.Read("Mixed", "Key", ""), "x  [Evil]  Injected=1");
    ASSERT_FALSE(Reports(reporter).empty());
    EXPECT_EQ(Reports(reporter).back().second.rfind("IniTool Save " + Path("w.ini"), 0), 0u);

    // A lone CR ends a line too: "\rcomport" would otherwise be a key of its own that, saved
    // with the CR made a space, reads back as "ComPort" and shadows the real one.
    WriteBytes(Path("cr.ini"), "[General]\r\nComPort=4\n\rcomport=3\r\nHouse=B\rDebug=1\r\n");
    ini.Load(Path("cr.ini"));
    ini.Save();
    again.Load(Path("cr.ini"));
    EXPECT_EQ(again.Read("General", "ComPort", ""), "4");
    EXPECT_EQ(again.Read("General", "House", ""), "B");
    EXPECT_EQ(again.Read("General", "Debug", ""), "1");

    ini.Clear();
    EXPECT_EQ(ini.Read("Mixed", "Key", "d"), "d");
}

TEST_F(HostIniTool, HugeAndBinaryValuesSurviveASaveAndMissingFoldersAreMade) {
    const std::string big(1 << 20, 'v');
    const std::string binary("a\0\xff\x01 b", 6);
    WriteBytes(Path("h.ini"), "[S]\r\nlong=" + big + "\r\n" + std::string(1 << 20, 'k') + "\r\nbin=" + binary +
                                  "\r\n\t[Tab]\r\nafter=1\r\n");
    ini.Load(Path("h.ini"));
    EXPECT_EQ(ini.Read("S", "after", ""), "1");  // tabs are not trimmed: no header
    const auto reports = Reports(reporter);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_LT(reports[0].second.size(), 200u + Path("h.ini").size());  // long lines are cut in the report
    EXPECT_EQ(reports[1].second, " Equal sign not found on line 5 of " + Path("h.ini") + ": \\x09[Tab]");
    ini.Save();
    IniTool again(reporter, sim);
    again.Load(Path("h.ini"));
    EXPECT_EQ(again.Read("S", "long", ""), big);
    EXPECT_EQ(again.Read("S", "bin", ""), binary);

    const std::string deep = Path("one/two/three.ini");
    ini.Load(deep);
    EXPECT_EQ(fs::file_size(deep), 0u);
    EXPECT_EQ(ini.Read("Any", "Key", "default"), "default");
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
    const auto reports = Reports(reporter);
    ASSERT_GE(reports.size(), 1u);
    for (const auto& r : reports) EXPECT_EQ(r.second.rfind("IniTool Save " + path, 0), 0u) << r.second;

    // Names wider than the sort table's columns are reported and still written in full.
    fs::remove_all(path);
    const std::string longKey(70, 'K');
    ini.WriteKey("A", longKey, "kept");
    ini.Save();
    IniTool again(reporter, sim);
    again.Load(path);
    EXPECT_EQ(again.Read("A", longKey, ""), "kept");
    EXPECT_EQ(again.Read("A", "k", ""), "2");
    EXPECT_GT(Reports(reporter).size(), reports.size());

    // Save before any Load reports and writes nothing.
    IniTool unloaded(reporter, sim);
    unloaded.WriteKey("A", "k", "1");
    unloaded.Save();
    EXPECT_EQ(Reports(reporter).back().second, "IniTool Save  Line 0 no file loaded");
}

TEST_F(HostIniTool, InstallOperationsRewriteMatchingLinesWithEscapedNames) {
    const fs::path folder = dir.path() / "my.project";  // a "." in a folder name
    const std::string iniPath = (folder / "consts.ini").string();
    WriteBytes(iniPath,
               "[Consts]\r\nPORT=7\r\nP.RT=8\r\nX(1=9\r\n[Arr]\r\none=1 ' note\r\ntwo= 2 \r\n[Str]\r\nGreeting= \"hi\"\r\n");
    const std::string src = (folder / "module.bas").string();
    WriteBytes(src, "Const Port = 1 ' old\r\nConst Portable = 2\r\n  port=3\r\nConst PXRT = 4\r\nConst Port As Integer = 5\r\n"
                    "Names = Array(\"x\")\r\nVals = Array(0)\r\n  Greeting old text\nlast");
    ini.Load(iniPath);
    const std::string stamp = "\t'Installed From .ini dated " + quorvel::host::FileModifiedText(iniPath);

    ini.InstallKeys(src, "Consts");
    ini.InstallArray(src, "Arr", "Names", "Vals");
    ini.InstallStrings(src, "Str");
    ini.InstallConstant(src, "Last", "ignored: no match");
    EXPECT_EQ(ReadBytes(src), "Const Port = 7" + stamp + "\r\nConst Portable = 2\r\n  port= 7" + stamp +
                                  "\r\nConst PXRT = 4\r\nConst Port As Integer = 5\r\nNames = Array(\"ONE\",\"TWO\")" + stamp +
                                  "\r\nVals = Array(1,2)" + stamp + "\r\n  Greeting \"hi\"\nlast");

    // One log line per operation, beside the INI file, named after it.
    const std::string log = ReadBytes(folder / "consts_IniLog.txt");
    EXPECT_EQ(log.rfind("Run Date   /   Ini File   /   Date of Ini File    /   File Modified    /  Header Modified\r\n", 0), 0u);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 5);
    EXPECT_NE(log.find("\t" + src + "\tConsts\r\n"), std::string::npos);
    EXPECT_NE(log.find("\t" + src + "\tLast\r\n"), std::string::npos);

    // Failures pass to the caller: a missing target, or no INI file loaded.
    EXPECT_ANY_THROW(ini.InstallKeys((folder / "absent.bas").string(), "Consts"));
    IniTool unloaded(reporter, sim);
    EXPECT_ANY_THROW(unloaded.InstallKeys(src, "Consts"));
}
