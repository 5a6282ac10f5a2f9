// The connector under a service manager (systemd, Type=notify): readiness once start-up is
// over, then the watchdog fed while the event loop turns.
#include "support.h"
#include "../unit/test_support/notify_socket.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace quorvel::itest;
using namespace std::chrono_literals;

TEST(ServiceManager, ReadinessFollowsStartUpAndTheWatchdogIsFedWhileRunning) {
    TempDir app;
    WriteSafeIni(app.path());
    const std::string path = (app.path() / "notify").string();
    quorvel::test::NotifySocket manager(path);
    ASSERT_TRUE(manager.Bound());

    // The child inherits these (each test runs in a process of its own).
    ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
    ::setenv("WATCHDOG_USEC", "1000000", 1);  // fed every 0.5 s
    Process q = Quorvel(app.path());
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");

    std::string first, stderrAtReady;
    const auto end = std::chrono::steady_clock::now() + 20s;
    int feeds = 0;
    while (feeds < 3 && std::chrono::steady_clock::now() < end) {
        const std::string d = manager.Next(100);
        if (first.empty()) first = d;
        if (d == "READY=1") stderrAtReady = q.Stderr();
        if (d == "WATCHDOG=1") ++feeds;
    }
    EXPECT_EQ(first, "READY=1") << q.Stderr();
    EXPECT_NE(stderrAtReady.find("Using xAP port "), std::string::npos)
        << "ready before the xAP node ran:\n" << stderrAtReady;
    EXPECT_EQ(feeds, 3) << q.Stderr();
    ExpectCleanStop(q);
}
