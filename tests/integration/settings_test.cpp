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
    WriteLoopbackXapIni(app.path());
    WriteHarmlessComPort(app.path());
    const std::string general = ReadFile(app.path() / "Config" / "Quorvel.ini");
    ASSERT_FALSE(fs::exists(app.path() / "Data"));

    Process q(BinDir() / "quorvel", {"--headless", "--app-folder", app.path().string()}, app.path(), "quorvel");
    const bool created = WaitFor(
        [&] {
            return fs::is_directory(app.path() / "Data") &&
                   q.Stderr().find("Using xAP port ") != std::string::npos;
        },
        10s);
    ASSERT_TRUE(created) << q.Stderr();
    ASSERT_TRUE(q.Running()) << q.Stderr();
    q.Signal(SIGTERM);
    ASSERT_TRUE(q.Wait(10s)) << "still running after SIGTERM";
    EXPECT_EQ(q.ExitCode(), 0) << q.Stderr();

    EXPECT_TRUE(fs::is_directory(app.path() / "Config"));
    // The loopback settings were only read, never rewritten.
    EXPECT_EQ(ReadFile(app.path() / "Config" / "zebXap.ini"),
              "[Interface]\r\nInterfaceAddress=Default\r\nBroadcastAddress=127.255.255.255\r\n");
    EXPECT_FALSE(fs::exists(app.path() / "Config" / "zebXap.ini_bck"));
    EXPECT_EQ(ReadFile(app.path() / "Config" / "Quorvel.ini"), general);
    EXPECT_NE(q.Stderr().find(kNoSerialPort), std::string::npos);  // the link failure is reported
    EXPECT_FALSE(fs::exists(app.path() / "Config" / "x"));
    EXPECT_FALSE(fs::exists(app.path() / "Data" / "x"));
}
