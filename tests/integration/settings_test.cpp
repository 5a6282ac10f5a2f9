#include "support.h"

#include <gtest/gtest.h>

using namespace quorvel::itest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The real binary, started on an application folder that holds nothing but the loopback
// xAP settings and a serial port that does not exist, makes its folders, leaves the
// settings files as they were and stops cleanly on SIGTERM.
TEST(Settings, FreshApplicationFolderGetsConfigDataAndIniFiles) {
    TempDir app;
    WriteSafeIni(app.path());
    const std::string general = ReadFile(app.path() / "Config" / "Quorvel.ini");
    ASSERT_FALSE(fs::exists(app.path() / "Data"));

    Process q = Quorvel(app.path());
    ASSERT_TRUE(WaitFor([&] { return fs::is_directory(app.path() / "Data") &&
                                     q.Stderr().find("Using xAP port ") != std::string::npos; }, 10s)) << q.Stderr();
    ExpectCleanStop(q);

    EXPECT_TRUE(fs::is_directory(app.path() / "Config"));
    // The loopback settings were only read, never rewritten.
    EXPECT_EQ(ReadFile(app.path() / "Config" / "zebXap.ini"), kLoopbackXapIni);
    EXPECT_FALSE(fs::exists(app.path() / "Config" / "zebXap.ini_bck"));
    EXPECT_EQ(ReadFile(app.path() / "Config" / "Quorvel.ini"), general);
    EXPECT_NE(q.Stderr().find(kNoSerialPort), std::string::npos);  // the link failure is reported
    EXPECT_FALSE(fs::exists(app.path() / "Config" / "x"));
    EXPECT_FALSE(fs::exists(app.path() / "Data" / "x"));
}
