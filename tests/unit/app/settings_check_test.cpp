// quorvel --check-config on what users get wrong: names the connector does not read,
// blanks around "=", a serial device that is missing or closed to the service's user, a
// missing zebXap.ini, a BSC word it does not understand. Each problem tells what applies.
#include "app/settings_check.h"
#include "platform/sim/sim_platform.h"
#include "test_support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using quorvel::app::CheckNames;
using quorvel::test::WriteBytes;

namespace {

std::string CheckConfigText(const std::filesystem::path& folder, int& status) {
    quorvel::platform::SimPlatform sim;
    std::FILE* out = std::tmpfile();
    status = quorvel::app::RunCheckConfig(folder, sim, {"192.0.2.20"}, out);
    std::rewind(out);
    std::string text;
    for (int ch = std::fgetc(out); ch != EOF; ch = std::fgetc(out)) text += static_cast<char>(ch);
    std::fclose(out);
    return text;
}

}  // namespace

TEST(SettingsCheck, NamesTheConnectorDoesNotReadAreShownWithTheClosestKnownOneAndWhatApplies) {
    const auto applied = [](const std::string& key) {
        return key == "House" ? "House=ABCDEFGHIJKLMNOP" : key == "ComPort" ? "ComPort=1" : "";
    };
    const std::string file =
        "Stray=1\r\n"                         // 1: before any section
        "[Genral]\r\nComPort=2\r\n"           // 2, 3: the section is named, not its keys
        "[general]\r\nHosue=AB\r\n"           // 4, 5
        "ComPort = 127.0.0.1:40123\r\n"       // 6
        "Debug= 1\r\n"                        // 7
        "Frobnicate=3\r\n"                    // 8: nothing close
        "; Hosue=comment\r\n"
        "[MQTT]\r\nTopicPrefx=home\r\n"       // 10, 11
        "[Devices]\r\nA1=lamp\r\n";           // 12, 13: keys of its own
    EXPECT_EQ(CheckNames("Quorvel.ini", file, applied),
              (std::vector<std::string>{
                  "Quorvel.ini line 1: key Stray is outside any section: it is not read (Quorvel.ini has [General], "
                  "[MQTT], [Devices])",
                  "Quorvel.ini line 2: section [Genral] is not read (did you mean [General]?): the keys in it are not read",
                  "Quorvel.ini line 5: key Hosue in [General] is not read (did you mean House? House=ABCDEFGHIJKLMNOP "
                  "applies)",
                  "Quorvel.ini line 6: blanks around \"=\" in \"ComPort = 127.0.0.1:40123\": the key read is \"ComPort \", "
                  "not ComPort, so ComPort=1 applies; write ComPort=127.0.0.1:40123",
                  "Quorvel.ini line 7: blank after \"=\" in \"Debug= 1\": the value is taken with it (\" 1\"); write Debug=1",
                  "Quorvel.ini line 8: key Frobnicate in [General] is not read (the keys of [General]: ComPort, House, "
                  "Ignore, Debug, UID, BSC)",
                  "Quorvel.ini line 11: key TopicPrefx in [MQTT] is not read (did you mean TopicPrefix?)",
              }));
    EXPECT_EQ(CheckNames("zebXap.ini", "[Interface]\nBroadcastAdress=127.255.255.255\nInterfaceAddress=Default\n", {}),
              std::vector<std::string>{"zebXap.ini line 2: key BroadcastAdress in [Interface] is not read (did you "
                                       "mean BroadcastAddress?)"});
    // The example files name nothing unknown.
    for (const char* name : {"Quorvel.ini", "zebXap.ini"}) {
        const auto text = quorvel::test::ReadBytes(std::filesystem::path(QUORVEL_SOURCE_DIR) / "packaging/examples" / name);
        ASSERT_FALSE(text.empty()) << name;
        EXPECT_EQ(CheckNames(name, text, {}), std::vector<std::string>{}) << name;
    }
}

TEST(SettingsCheck, ASerialDeviceMustBeReadableAndWritableByTheServiceUser) {
    using quorvel::app::DeviceAccess;
    using quorvel::app::DeviceAccessProblem;
    using quorvel::app::ServiceUser;
    const DeviceAccess dialout{0660, 0, 20, "root", "dialout"};
    const ServiceUser member{"quorvel", 990, {990, 20}};
    const ServiceUser outsider{"quorvel", 990, {990}};
    EXPECT_EQ(DeviceAccessProblem("/dev/ttyUSB0", dialout, member), "");
    EXPECT_EQ(DeviceAccessProblem("/dev/ttyUSB0", dialout, outsider),
              "quorvel cannot open /dev/ttyUSB0 for reading and writing (owner root, group dialout, mode 0660): add "
              "quorvel to the group dialout");
    EXPECT_EQ(DeviceAccessProblem("/dev/ttyS0", {0600, 0, 0, "root", "root"}, outsider),
              "quorvel cannot open /dev/ttyS0 for reading and writing (owner root, group root, mode 0600)");
    EXPECT_EQ(DeviceAccessProblem("/dev/ttyS0", {0600, 990, 0, "quorvel", "root"}, outsider), "");
    EXPECT_EQ(DeviceAccessProblem("/dev/ttyS0", {0660, 0, 5, "root", "tty"}, {"root", 0, {0}}), "");
    EXPECT_EQ(DeviceAccessProblem("/dev/ttyS0", {0604, 0, 5, "root", "tty"}, outsider).empty(), false)
        << "read-only for others";
}

TEST(SettingsCheck, AMissingDeviceOrXapFileADamagedLineAndAnUnknownBscWordAreProblemsWithWhatAppliesInstead) {
    quorvel::test::TempDir dir;
    const auto config = dir.path() / "Config";
    WriteBytes(config / "Quorvel.ini", "[General]\r\nComPort=/dev/quorvel-test-no-such-tty\r\nBSC=maybe\r\n\x01garbage\r\n");
    int status = 0;
    std::string text = CheckConfigText(dir.path(), status);
    EXPECT_EQ(status, 1);
    for (const char* expected :
         {"  BSC=maybe (BSC endpoints on)\n",
          "problem: BSC \"maybe\" is not understood: BSC endpoints stay on (write 1 or 0)\n",
          "problem: ComPort=/dev/quorvel-test-no-such-tty: the serial device /dev/quorvel-test-no-such-tty does not exist",
          "problem: zebXap.ini is missing from " , "BroadcastAddress=Default applies, so xAP messages go to ",
          "Equal sign not found on line 4", "\n4 problems found\n"}) {
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
    }

    // Sound settings: nothing to say.
    WriteBytes(config / "Quorvel.ini", "[General]\r\nComPort=127.0.0.1:4001\r\nBSC=0\r\n[MQTT]\r\nBroker=\r\n");
    WriteBytes(config / "zebXap.ini", "[Interface]\r\nBroadcastAddress=127.255.255.255\r\n");
    text = CheckConfigText(dir.path(), status);
    EXPECT_EQ(status, 0) << text;
    EXPECT_NE(text.find("  BSC=0 (BSC endpoints off)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("no problems found\n"), std::string::npos) << text;
    quorvel::test::TempDir empty;  // a folder without settings is only read
    CheckConfigText(empty.path(), status);
    EXPECT_TRUE(std::filesystem::is_empty(empty.path()));
}
