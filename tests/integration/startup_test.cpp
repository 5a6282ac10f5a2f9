#include "support.h"

#include <gtest/gtest.h>

using namespace quorvel::itest;
using namespace std::chrono_literals;

TEST(Startup, HeadlessRunStopsCleanlyOnSigtermAndSigint) {
    for (int signo : {SIGTERM, SIGINT}) {
        TempDir app;
        WriteSafeIni(app.path());
        Process q = Quorvel(app.path());
        std::this_thread::sleep_for(300ms);
        ExpectCleanStop(q, signo);
    }
}

TEST(Startup, CommandLine) {
    struct Case { const char* arg; int exitCode; bool toStdout; const char* text; };
    for (const Case& c : {Case{"--version", 0, true, "quorvel "}, Case{"--help", 0, true, "--app-folder"},
                          Case{"--frobnicate", 2, false, "unknown argument"}}) {
        TempDir dir;
        Process p(BinDir() / "quorvel", {c.arg}, dir.path(), "run");
        ASSERT_TRUE(p.Wait(10s)) << c.arg;
        EXPECT_EQ(p.ExitCode(), c.exitCode) << c.arg;
        EXPECT_NE((c.toStdout ? p.Stdout() : p.Stderr()).find(c.text), std::string::npos) << c.arg;
    }
}

// A stop asked for while start-up still waits for the CM11A's serial server (the wait lets
// events run) ends the process at once instead of leaving it running without its loop's
// quit, or opening the link again.
TEST(Startup, SignalDuringTheLinkWaitAtStartUpStopsTheProcess) {
    TempDir app;
    WriteSafeIni(app.path(), "127.0.0.1:9");  // refused
    Process q = Quorvel(app.path());
    ASSERT_TRUE(WaitFor([&] { return q.Stderr().find("Using xAP port ") != std::string::npos; }, 10s)) << q.Stderr();
    std::this_thread::sleep_for(500ms);  // inside the connect wait (it lasts about 12 s)
    ExpectCleanStop(q);
}
