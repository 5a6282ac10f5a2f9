// The connector under a service manager (systemd, Type=notify): readiness once start-up is
// over, then the watchdog fed while the event loop turns.
#include "support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

using namespace quorvel::itest;
using namespace std::chrono_literals;

TEST(ServiceManager, ReadinessFollowsStartUpAndTheWatchdogIsFedWhileRunning) {
    TempDir app;
    WriteSafeIni(app.path());
    const std::string path = (app.path() / "notify").string();
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

    // The child inherits these (each test runs in a process of its own).
    ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
    ::setenv("WATCHDOG_USEC", "1000000", 1);  // fed every 0.5 s
    Process q = Quorvel(app.path());
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");

    std::vector<std::string> got;
    std::string stderrAtReady;
    const auto end = std::chrono::steady_clock::now() + 20s;
    int feeds = 0;
    while (feeds < 3 && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) != 1) continue;
        char buf[256];
        const auto n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) continue;
        got.emplace_back(buf, static_cast<std::size_t>(n));
        if (got.back() == "READY=1") stderrAtReady = q.Stderr();
        if (got.back() == "WATCHDOG=1") ++feeds;
    }
    ::close(fd);
    ASSERT_FALSE(got.empty()) << "nothing sent to NOTIFY_SOCKET\n" << q.Stderr();
    EXPECT_EQ(got.front(), "READY=1") << q.Stderr();
    EXPECT_NE(stderrAtReady.find("Using xAP port "), std::string::npos)
        << "ready before the xAP node ran:\n" << stderrAtReady;
    EXPECT_EQ(feeds, 3) << q.Stderr();
    ExpectCleanStop(q);
}
