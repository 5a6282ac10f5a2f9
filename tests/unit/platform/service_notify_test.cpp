#include "platform/qt/service_notify.h"
#include "platform/sim/sim_platform.h"
#include "test_support/notify_socket.h"
#include "test_support/temp_dir.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

// Each test runs in a process of its own (CTest), so setting the environment stays local.
namespace {

using quorvel::platform::ServiceNotifier;
using quorvel::platform::SimPlatform;
using quorvel::test::NotifySocket;

TEST(ServiceNotify, WatchdogIntervalIsHalfThePeriodAskedForThisProcessOnly) {
    struct Case { const char* name; const char* usec; bool ownPid; const char* pid; std::optional<int> expected; };
    const Case cases[] = {
        {"ThirtySecondsForThisProcess", "30000000", true, nullptr, 15000},
        {"NoPidGiven", "30000000", false, nullptr, 15000},
        {"AnotherProcess", "30000000", false, "1", std::nullopt},
        {"NoWatchdog", nullptr, false, nullptr, std::nullopt},
        {"NotANumber", "30s", false, nullptr, std::nullopt},
        {"BelowOneMillisecond", "900", false, nullptr, 1},
    };
    const std::string self = std::to_string(::getpid());
    for (const auto& c : cases) {
        EXPECT_EQ(quorvel::platform::WatchdogFeedIntervalMs(c.usec, c.ownPid ? self.c_str() : c.pid, ::getpid()),
                  c.expected) << c.name;
    }
}

TEST(ServiceNotify, ReadinessReachesAManagerAtAPathOrAnAbstractNameAndAFailureIsReportedOnce) {
    quorvel::test::TempDir dir;
    SimPlatform sim;
    std::vector<std::string> reports;
    const auto report = [&](const std::string& r) { reports.push_back(r); };
    ::setenv("WATCHDOG_USEC", "2000000", 1);
    // A manager that went away: the watchdog keeps trying, the failure is reported once; a
    // socket form this build cannot use is reported too, never a crash.
    for (const std::string& name : {(dir.path() / "gone").string(), std::string("vsock:2:1234")}) {
        reports.clear();
        ::setenv("NOTIFY_SOCKET", name.c_str(), 1);
        ServiceNotifier notifier(sim, report);
        notifier.Ready();
        sim.Advance(10'000);
        ASSERT_EQ(reports.size(), 1u) << name;
        EXPECT_NE(reports[0].find(name), std::string::npos) << reports[0];
    }

    ::unsetenv("WATCHDOG_USEC");
    reports.clear();
    for (const std::string& name : {(dir.path() / "notify").string(), "@quorvel-test-" + std::to_string(::getpid())}) {
        NotifySocket manager(name);
        ASSERT_TRUE(manager.Bound()) << name;
        ::setenv("NOTIFY_SOCKET", name.c_str(), 1);
        ServiceNotifier notifier(sim, report);
        notifier.Ready();
        sim.Advance(60'000);  // no watchdog asked for: nothing after READY=1
        EXPECT_EQ(manager.Received(), std::vector<std::string>{"READY=1"}) << name;
    }
    EXPECT_TRUE(reports.empty());
}

// systemctl status shows the link's state from start-up on; systemctl reload waits for the
// reload (RELOADING=1 ... READY=1), which only a running connector announces.
TEST(ServiceNotify, TheStatusComesWithReadinessAndAReloadIsAnnouncedFromStartToEnd) {
    quorvel::test::TempDir dir;
    SimPlatform sim;
    const std::string name = (dir.path() / "notify").string();
    NotifySocket manager(name);
    ASSERT_TRUE(manager.Bound());
    ::setenv("NOTIFY_SOCKET", name.c_str(), 1);
    ServiceNotifier notifier(sim, {});
    notifier.Reloading();  // a SIGHUP during start-up: the start-up reads the settings anyway
    notifier.Reloaded();
    notifier.Status("CM11A link down: CM11A OpenPort ");
    notifier.Status("CM11A link up on /dev/ttyUSB0");
    EXPECT_EQ(manager.Received(200), std::vector<std::string>{}) << "nothing before readiness";
    notifier.Ready();
    notifier.Status("CM11A link up on /dev/ttyUSB0");  // unchanged: not sent again
    notifier.Reloading();
    notifier.Reloaded();
    const auto got = manager.Received();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], "READY=1");
    EXPECT_EQ(got[1], "STATUS=CM11A link up on /dev/ttyUSB0");
    EXPECT_EQ(got[2].rfind("RELOADING=1\nMONOTONIC_USEC=", 0), 0u) << got[2];
    EXPECT_GT(std::stoull(got[2].substr(got[2].find('=', 12) + 1)), 0u);
    EXPECT_EQ(got[3], "READY=1");
}

// (Standard error named by JOURNAL_STREAM is the journal: see the service manager's end to end.)
TEST(ServiceNotify, StandardErrorIsNotTheJournalWhenJournalStreamNamesAnotherFileOrNothing) {
    struct stat st {};
    ASSERT_EQ(::fstat(STDERR_FILENO, &st), 0);
    const std::string other = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + 1);
    for (const char* stream : {other.c_str(), "junk"}) {  // inherited by a program whose stderr went elsewhere
        ::setenv("JOURNAL_STREAM", stream, 1);
        EXPECT_FALSE(quorvel::platform::StderrIsJournal()) << stream;
    }
    ::unsetenv("JOURNAL_STREAM");
}

}  // namespace
