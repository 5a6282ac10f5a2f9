#include "platform/qt/service_notify.h"
#include "platform/sim/sim_platform.h"
#include "test_support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using quorvel::platform::ServiceNotifier;
using quorvel::platform::SimPlatform;
using quorvel::platform::WatchdogFeedIntervalMs;

// Sets environment variables for one test and puts the old values back.
class ScopedEnv {
public:
    void Set(const char* name, const std::optional<std::string>& value) {
        const char* old = std::getenv(name);
        saved_.push_back({name, old ? std::optional<std::string>(old) : std::nullopt});
        if (value) ::setenv(name, value->c_str(), 1);
        else ::unsetenv(name);
    }
    ~ScopedEnv() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second) ::setenv(it->first.c_str(), it->second->c_str(), 1);
            else ::unsetenv(it->first.c_str());
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// The service manager's end: a datagram socket at a path or an abstract name ("@...").
class ManagerSocket {
public:
    explicit ManagerSocket(const std::string& name) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, name.data(), name.size());
        if (name.front() == '@') addr.sun_path[0] = '\0';
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), length) == 0;
    }
    ~ManagerSocket() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool Bound() const { return bound_; }
    // Every datagram that has arrived; waits up to waitMs for the first one.
    std::vector<std::string> Received(int waitMs = 2000) {
        std::vector<std::string> out;
        pollfd p{fd_, POLLIN, 0};
        int timeout = waitMs;
        while (::poll(&p, 1, timeout) == 1) {
            char buf[512];
            const auto n = ::recv(fd_, buf, sizeof buf, 0);
            if (n < 0) break;
            out.emplace_back(buf, static_cast<std::size_t>(n));
            timeout = 0;
        }
        return out;
    }

private:
    int fd_ = -1;
    bool bound_ = false;
};

TEST(ServiceNotify, WatchdogIntervalIsHalfThePeriodAskedForThisProcessOnly) {
    struct Case {
        const char* name;
        const char* usec;
        const char* pid;  // "self" stands for this process
        std::optional<int> expected;
    };
    const Case cases[] = {
        {"ThirtySecondsForThisPid", "30000000", "self", 15000},
        {"NoPidGiven", "30000000", nullptr, 15000},
        {"AnotherProcess", "30000000", "1", std::nullopt},
        {"NoWatchdog", nullptr, nullptr, std::nullopt},
        {"Zero", "0", nullptr, std::nullopt},
        {"NotANumber", "30s", nullptr, std::nullopt},
        {"Negative", "-5", nullptr, std::nullopt},
        {"BelowOneMillisecond", "900", nullptr, 1},
        {"PidNotANumber", "30000000", "12x", std::nullopt},
    };
    const std::string self = std::to_string(::getpid());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const char* pid = c.pid && std::strcmp(c.pid, "self") == 0 ? self.c_str() : c.pid;
        EXPECT_EQ(WatchdogFeedIntervalMs(c.usec, pid, ::getpid()), c.expected);
    }
}

TEST(ServiceNotify, ReadinessReachesTheManagerAtAPathAndAtAnAbstractName) {
    quorvel::test::TempDir dir;
    const std::string names[] = {(dir.path() / "notify").string(),
                                 "@quorvel-notify-test-" + std::to_string(::getpid())};
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        ManagerSocket manager(name);
        ASSERT_TRUE(manager.Bound());
        ScopedEnv env;
        env.Set("NOTIFY_SOCKET", name);
        env.Set("WATCHDOG_USEC", std::nullopt);
        SimPlatform sim;
        std::vector<std::string> reports;
        ServiceNotifier notifier(sim, [&](const std::string& r) { reports.push_back(r); });
        EXPECT_TRUE(notifier.Enabled());
        notifier.Ready();
        EXPECT_EQ(manager.Received(), std::vector<std::string>{"READY=1"});
        sim.Advance(60'000);  // no watchdog asked for: nothing more
        EXPECT_TRUE(manager.Received(0).empty());
        EXPECT_TRUE(reports.empty());
    }
}

TEST(ServiceNotify, WatchdogIsFedFromTheEventLoopAfterStartUp) {
    quorvel::test::TempDir dir;
    const std::string name = (dir.path() / "notify").string();
    ManagerSocket manager(name);
    ASSERT_TRUE(manager.Bound());
    ScopedEnv env;
    env.Set("NOTIFY_SOCKET", name);
    env.Set("WATCHDOG_USEC", "2000000");
    env.Set("WATCHDOG_PID", std::to_string(::getpid()));
    SimPlatform sim;
    ServiceNotifier notifier(sim, nullptr);
    sim.Advance(5000);  // start-up still running: no watchdog yet
    EXPECT_TRUE(manager.Received(0).empty());
    notifier.Ready();
    sim.Advance(3000);  // one feed a second
    EXPECT_EQ(manager.Received(),
              (std::vector<std::string>{"READY=1", "WATCHDOG=1", "WATCHDOG=1", "WATCHDOG=1"}));
}

TEST(ServiceNotify, OutsideAServiceManagerNothingIsSentAndAFailureIsReportedOnce) {
    ScopedEnv env;
    env.Set("NOTIFY_SOCKET", std::nullopt);
    env.Set("WATCHDOG_USEC", "2000000");
    SimPlatform sim;
    std::vector<std::string> reports;
    {
        ServiceNotifier notifier(sim, [&](const std::string& r) { reports.push_back(r); });
        EXPECT_FALSE(notifier.Enabled());
        notifier.Ready();
        EXPECT_FALSE(notifier.Notify("STATUS=x"));
        sim.Advance(10'000);
    }
    EXPECT_TRUE(reports.empty());

    // A manager that went away: the watchdog keeps trying, the failure is reported once.
    quorvel::test::TempDir dir;
    env.Set("NOTIFY_SOCKET", (dir.path() / "gone").string());
    ServiceNotifier notifier(sim, [&](const std::string& r) { reports.push_back(r); });
    notifier.Ready();
    sim.Advance(10'000);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("Service notification failed"), std::string::npos) << reports[0];

    // A socket form this build cannot use is reported too, never a crash.
    reports.clear();
    env.Set("NOTIFY_SOCKET", "vsock:2:1234");
    ServiceNotifier other(sim, [&](const std::string& r) { reports.push_back(r); });
    other.Ready();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("vsock:2:1234"), std::string::npos) << reports[0];
}

}  // namespace
