#include "support.h"

#include <gtest/gtest.h>

using namespace quorvel::itest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The real binary, started on an application folder that holds nothing but the loopback
// xAP settings, makes its folders and settings files and stops cleanly on SIGTERM.
TEST(Settings, FreshApplicationFolderGetsConfigDataAndIniFiles) {
    TempDir app;
    WriteLoopbackXapIni(app.path());
    ASSERT_FALSE(fs::exists(app.path() / "Data"));
    ASSERT_FALSE(fs::exists(app.path() / "Config" / "Quorvel.ini"));

    Process q(BinDir() / "quorvel", {"--headless", "--app-folder", app.path().string()}, app.path(), "quorvel");
    const bool created = WaitFor(
        [&] {
            return fs::is_directory(app.path() / "Data") &&
                   fs::is_regular_file(app.path() / "Config" / "Quorvel.ini");
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
    EXPECT_EQ(ReadFile(app.path() / "Config" / "Quorvel.ini"), "");
    EXPECT_FALSE(fs::exists(app.path() / "Config" / "x"));
    EXPECT_FALSE(fs::exists(app.path() / "Data" / "x"));
}
