#include "support.h"

#include <gtest/gtest.h>

using namespace quorvel::itest;
using namespace std::chrono_literals;

TEST(Startup, HeadlessRunStopsCleanlyOnSigtermAndSigint) {
    for (int signo : {SIGTERM, SIGINT}) {
        TempDir app;
        WriteLoopbackXapIni(app.path());
        WriteHarmlessComPort(app.path());
        Process q(BinDir() / "quorvel", {"--headless", "--app-folder", app.path().string()},
                  app.path(), "quorvel");
        std::this_thread::sleep_for(300ms);
        ASSERT_TRUE(q.Running()) << q.Stderr();
        q.Signal(signo);
        ASSERT_TRUE(q.Wait(10s)) << "still running after signal " << signo;
        EXPECT_EQ(q.ExitCode(), 0) << q.Stderr();
    }
}

TEST(Startup, CommandLine) {
    TempDir dir;
    Process version(BinDir() / "quorvel", {"--version"}, dir.path(), "version");
    ASSERT_TRUE(version.Wait(10s));
    EXPECT_EQ(version.ExitCode(), 0);
    EXPECT_EQ(version.Stdout().rfind("quorvel ", 0), 0u);

    Process help(BinDir() / "quorvel", {"--help"}, dir.path(), "help");
    ASSERT_TRUE(help.Wait(10s));
    EXPECT_EQ(help.ExitCode(), 0);
    EXPECT_NE(help.Stdout().find("--app-folder"), std::string::npos);

    Process bad(BinDir() / "quorvel", {"--frobnicate"}, dir.path(), "bad");
    ASSERT_TRUE(bad.Wait(10s));
    EXPECT_EQ(bad.ExitCode(), 2);
    EXPECT_NE(bad.Stderr().find("unknown argument"), std::string::npos);
}

// A stop asked for while start-up still waits for the CM11A's serial server (the wait lets
// events run) ends the process at once instead of leaving it running without its loop's
// quit, or opening the link again.
TEST(Startup, SignalDuringTheLinkWaitAtStartUpStopsTheProcess) {
    TempDir app;
    WriteLoopbackXapIni(app.path());
    WriteFile(app.path() / "Config" / "Quorvel.ini", "[General]\r\nComPort=127.0.0.1:9\r\n");  // refused
    Process q(BinDir() / "quorvel", {"--headless", "--app-folder", app.path().string()}, app.path(), "quorvel");
    ASSERT_TRUE(WaitFor([&] { return q.Stderr().find("Using xAP port ") != std::string::npos; }, 10s)) << q.Stderr();
    std::this_thread::sleep_for(500ms);  // inside the connect wait (it lasts about 12 s)
    ASSERT_TRUE(q.Running()) << q.Stderr();
    q.Signal(SIGTERM);
    ASSERT_TRUE(q.Wait(8s)) << "still running after SIGTERM\n" << q.Stderr();
    EXPECT_EQ(q.ExitCode(), 0) << q.Stderr();
}
