#include "app/app_folder.h"
#include "app/configuration.h"
#include "app/settings_check.h"
#include "app/quorvel_form.h"
#include "cm11a/link_port.h"
#include "host/settings_support.h"
#include "platform/sim/sim_platform.h"
#include "test_support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;
using quorvel::app::Configuration;
using quorvel::app::ParseBoolSetting;
using quorvel::test::ReadBytes;
using quorvel::test::Reports;
using quorvel::test::WriteBytes;

namespace {

class ScriptedLink : public quorvel::cm11a::LinkPort {
public:
    bool PortOpen(const std::string& port) override {
        opened.push_back(port);
        return openResult;
    }
    void WriteToCM11A(const std::string& bytes) override { written += bytes; }
    void AnswerPowerFail() override { ++powerFailAnswers; }
    std::vector<std::string> opened;
    std::string written;
    int powerFailAnswers = 0;
    bool openResult = true;
};

struct AppConfiguration : ::testing::Test {
    quorvel::test::TempDir dir;
    quorvel::platform::SimPlatform sim;
    quorvel::core::Reporter reporter{sim};
    quorvel::core::Settings settings;
    int hostQueries = 0;
    std::string hostName = "quorvelbox.example.org";
    Configuration config{settings, reporter, sim, dir.path(), (dir.path() / "quorvel").string(), [this] {
                             ++hostQueries;
                             return hostName;
                         }};
    fs::path Config(const std::string& file) const { return dir.path() / "Config" / file; }
};

}  // namespace

TEST_F(AppConfiguration, NoIniFilesGivesTheDefaults) {
    settings.ComPort = settings.House = settings.UID = "stale";
    config.InitXap();
    EXPECT_EQ(config.InitHW(), "");
    EXPECT_TRUE(fs::is_directory(dir.path() / "Config"));
    EXPECT_TRUE(fs::is_directory(dir.path() / "Data"));
    EXPECT_FALSE(fs::exists(dir.path() / "Config" / "x"));
    EXPECT_TRUE(fs::is_regular_file(Config("Quorvel.ini")));
    EXPECT_TRUE(fs::is_regular_file(Config("zebXap.ini")));
    EXPECT_EQ(settings.ComPort, "1");
    EXPECT_EQ(settings.House, "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(settings.Ignore, ",,");
    EXPECT_FALSE(settings.Debug);
    EXPECT_FALSE(reporter.Debug());
    EXPECT_EQ(settings.UID, "FF008700");
    EXPECT_EQ(settings.InterfaceAddress, "Default");
    EXPECT_EQ(settings.BroadcastAddress, "Default");
    EXPECT_EQ(settings.ComputerName, "quorvelbox");
    EXPECT_EQ(reporter.LogPath(), dir.path() / "Data" / "Quorvel.txt");
    EXPECT_FALSE(config.CM11AReady());  // no CM11A subsystem joined: never a faked success
    EXPECT_TRUE(Reports(reporter).empty());
}

TEST_F(AppConfiguration, StoredValuesAreReadAsWritten) {
    struct Case {
        const char* file;
        std::string House, Ignore, UID, ComPort, Broadcast;
        bool Debug;
        std::vector<std::pair<const char*, bool>> ignored;  // device -> ignored
    };
    const std::vector<Case> cases = {
        {"[General]\r\nHouse=\r\nComPort=\r\nIgnore=A1,b2\r\nDebug=True\r\nUID=FF123400\r\n",
         "ABCDEFGHIJKLMNOP", ",A1,b2,", "FF123400", "1", "Default", true, {{"a1", true}, {"B2", true}, {"A11", false}}},
        // Blanks around entries are dropped.
        {"[General]\r\nIgnore=A1, B2 ,\tC3\r\nDebug=\"true\"\r\nHouse=ac\r\n",
         "ac", ",A1,B2,C3,", "FF008700", "1", "Default", true, {{"A1", true}, {"B2", true}, {"c3", true}, {"B", false}}},
        {"[General]\r\nIgnore=,,,, ,\r\nDebug=yes\r\nComPort=10.0.0.5:10001\r\n",
         "ABCDEFGHIJKLMNOP", ",,,,,,,", "FF008700", "10.0.0.5:10001", "Default", false, {{"A1", false}}},
        {"[General]\r\nDebug=1\r\nComPort=/dev/serial/by-path/pci-0:1\r\n",
         "ABCDEFGHIJKLMNOP", ",,", "FF008700", "/dev/serial/by-path/pci-0:1", "Default", true, {}},
    };
    for (const Case& c : cases) {
        WriteBytes(Config("Quorvel.ini"), c.file);
        WriteBytes(Config("zebXap.ini"), "[Interface]\r\nBroadcastAddress=127.255.255.255\r\n");
        config.InitXap();
        config.InitHW();
        EXPECT_EQ(settings.House, c.House) << c.file;
        EXPECT_EQ(settings.Ignore, c.Ignore) << c.file;
        EXPECT_EQ(settings.UID, c.UID) << c.file;
        EXPECT_EQ(settings.ComPort, c.ComPort) << c.file;
        EXPECT_EQ(settings.BroadcastAddress, "127.255.255.255");
        EXPECT_EQ(settings.InterfaceAddress, "Default");
        EXPECT_EQ(settings.Debug, c.Debug) << c.file;
        EXPECT_EQ(reporter.Debug(), c.Debug) << c.file;
        for (const auto& [device, ignored] : c.ignored) EXPECT_EQ(settings.Ignored(device), ignored) << device;
    }
}

TEST_F(AppConfiguration, ParseBoolSetting) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"1", true},   {"true", true},  {"True", true},   {"\"true\"", true}, {"TRUE\"", true},
        {"yes", false}, {"-1", false},  {"", false},      {"0", false},       {" true", false},
        {"false", false}, {"\"1\"", true}, {"11", false},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(ParseBoolSetting(text), expected) << text;
}

TEST_F(AppConfiguration, ComPortOpensTheLinkAndInitApplicationAsksTheHook) {
    ScriptedLink link;
    config.SetLinkPort(&link);
    config.InitXap();
    WriteBytes(Config("Quorvel.ini"), "[General]\r\nComPort=3\r\n");
    config.SetIniValue("COMPORT", "1");
    EXPECT_EQ(link.opened, std::vector<std::string>{"3"});
    EXPECT_EQ(link.powerFailAnswers, 1);
    link.openResult = false;
    config.SetIniValue("comport", "1");
    EXPECT_EQ(link.powerFailAnswers, 1);  // no answer on a link that did not open
    config.SetIniValue("unknown", "x");
    EXPECT_EQ(link.opened.size(), 2u);

    config.InitApplication();
    EXPECT_FALSE(config.CM11AReady());
    std::string askedPort;
    config.SetInitCM11A([&](const std::string& port) {
        askedPort = port;
        return true;
    });
    config.InitApplication();
    EXPECT_TRUE(config.CM11AReady());
    EXPECT_EQ(askedPort, "3");
    config.SetInitCM11A([](const std::string&) -> bool { throw std::runtime_error("no port"); });
    config.InitApplication();
    EXPECT_FALSE(config.CM11AReady());
    ASSERT_FALSE(Reports(reporter).empty());
    EXPECT_EQ(Reports(reporter).back().second, "InitApplication Line 0 no port");
}

TEST_F(AppConfiguration, CreateFoldersAndUnusableConfigFolder) {
    // A file where the Config folder belongs: the folder is reported, every setting keeps
    // its default, the log tells what failed and nothing crashes.
    WriteBytes(dir.path() / "Config", "not a folder");
    config.InitXap();
    config.InitHW();
    const auto reports = Reports(reporter);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.front().second.rfind(" CreateFolders " + (dir.path() / "Config").string(), 0), 0u);
    EXPECT_EQ(settings.UID, "FF008700");
    EXPECT_EQ(settings.BroadcastAddress, "Default");
    EXPECT_EQ(settings.House, "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(settings.ComPort, "1");
    EXPECT_EQ(ReadBytes(dir.path() / "Config"), "not a folder");
    const std::string log = ReadBytes(dir.path() / "Data" / "Quorvel.txt");
    EXPECT_NE(log.find("Quorvel InitXap 0 "), std::string::npos) << log;
    bool setIniValueReported = false;
    for (const auto& r : reports) setIniValueReported |= r.second.rfind("SetIniValue", 0) == 0;
    EXPECT_TRUE(setIniValueReported);
}

// Settings that cannot be what the user meant: one clear text each, none for sound ones.
TEST_F(AppConfiguration, SettingsThatCannotBeMeantAreNamedOneByOne) {
    using quorvel::app::CheckSettings;
    struct Case { const char* name; std::string general, xap; std::vector<std::string> problems; };
    const std::vector<Case> cases = {
        {"sound settings", "ComPort=/dev/ttyUSB0\r\nHouse=ap\r\nIgnore=A1,p16\r\nDebug=1\r\nUID=ff00ab12\r\n",
         "BroadcastAddress=127.255.255.255\r\n", {}},
        {"house letters outside A to P", "ComPort=2\r\nHouse=ABQZ\r\n", "", {"House \"ABQZ\" holds characters that are no house letter (A to P): \"QZ\""}},
        {"UID not eight hex digits", "ComPort=2\r\nUID=FF0087\r\n", "", {"UID \"FF0087\" is not eight hex digits"}},
        {"UID with a non-hex digit", "ComPort=2\r\nUID=FF00870G\r\n", "", {"UID \"FF00870G\" is not eight hex digits"}},
        {"blanks around an Ignore entry", "ComPort=2\r\nIgnore=A1, A2 ,B3\r\n", "",
         {"Ignore entry \" A2 \" has blanks around it: taken as \"A2\""}},
        {"Ignore entries that name no device", "ComPort=2\r\nIgnore=A17,Q1,,B2x\r\n", "",
         {"Ignore entry \"A17\" is not a device code (A1 to P16)", "Ignore entry \"Q1\" is not a device code (A1 to P16)",
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

// What the INI engine finds in a damaged file is listed with the other problems; a folder
// without settings is only read (the CLI itself: the service integration test).
TEST_F(AppConfiguration, CheckConfigListsDamagedLinesAndMakesNothing) {
    WriteBytes(Config("Quorvel.ini"), "[General]\r\nComPort=/dev/ttyUSB7\r\nIgnore=A1, B2\r\n\x01garbage\r\n");
    quorvel::test::TempDir empty;
    for (const fs::path& folder : {dir.path(), empty.path()}) {
        std::FILE* out = std::tmpfile();
        ASSERT_NE(out, nullptr);
        const int status = quorvel::app::RunCheckConfig(folder, sim, {"192.168.1.20"}, out);
        std::rewind(out);
        std::string text;
        for (int ch = std::fgetc(out); ch != EOF; ch = std::fgetc(out)) text += static_cast<char>(ch);
        std::fclose(out);
        if (folder == empty.path()) {
            EXPECT_TRUE(fs::is_empty(empty.path())) << text;
            continue;
        }
        EXPECT_EQ(status, 1);
        for (const std::string& line : std::vector<std::string>
             {"  Ignore=A1,B2\n", "  InterfaceAddress=Default (local address 192.168.1.20)\n",
              "problem: Equal sign not found on line 4 of " + Config("Quorvel.ini").string() + ": \\x01garbage\n",
              "problem: Ignore entry \" B2\" has blanks around it: taken as \"B2\"\n", "2 problems found\n"}) {
            EXPECT_NE(text.find(line), std::string::npos) << line << "\nin\n" << text;
        }
    }
}

TEST_F(AppConfiguration, AnApplicationFolderThatCannotCarryARunStopsTheStart) {
    using quorvel::app::PrepareAppFolder;
    // Fresh: folders and empty settings files are made.
    auto state = PrepareAppFolder(dir.path() / "fresh");
    EXPECT_TRUE(state.Fatal.empty()) << state.Fatal;
    EXPECT_FALSE(state.SettingsReadOnly);
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "fresh" / "Config" / "Quorvel.ini"));
    EXPECT_TRUE(fs::is_directory(dir.path() / "fresh" / "Data"));

    // A file where the Config folder belongs, a folder where a settings file belongs.
    WriteBytes(dir.path() / "blocked" / "Config", "not a folder");
    state = PrepareAppFolder(dir.path() / "blocked");
    EXPECT_NE(state.Fatal.find("the settings folder " + (dir.path() / "blocked" / "Config").string() + " cannot be created"),
              std::string::npos) << state.Fatal;
    fs::create_directories(dir.path() / "odd" / "Config" / "zebXap.ini");
    state = PrepareAppFolder(dir.path() / "odd");
    EXPECT_NE(state.Fatal.find("zebXap.ini is a folder"), std::string::npos) << state.Fatal;

}

TEST_F(AppConfiguration, AReadOnlySettingsFolderRunsOnlyWhenItHoldsBothFiles) {
    using quorvel::app::PrepareAppFolder;
    if (::geteuid() == 0) GTEST_SKIP() << "read-only folders do not stop root (an integration test covers them)";
    auto state = PrepareAppFolder(dir.path() / "fresh");
    const fs::path ro = dir.path() / "ro";
    PrepareAppFolder(ro);
    fs::remove(ro / "Config" / "zebXap.ini");
    fs::permissions(ro / "Config", fs::perms::owner_write, fs::perm_options::remove);
    state = PrepareAppFolder(ro);
    EXPECT_NE(state.Fatal.find("zebXap.ini is missing and cannot be created"), std::string::npos) << state.Fatal;
    fs::permissions(ro / "Config", fs::perms::owner_write, fs::perm_options::add);
    WriteBytes(ro / "Config" / "zebXap.ini", "");
    fs::permissions(ro / "Config", fs::perms::owner_write, fs::perm_options::remove);
    state = PrepareAppFolder(ro);
    EXPECT_TRUE(state.Fatal.empty()) << state.Fatal;
    EXPECT_TRUE(state.SettingsReadOnly);
    fs::permissions(ro / "Config", fs::perms::owner_write, fs::perm_options::add);
}
