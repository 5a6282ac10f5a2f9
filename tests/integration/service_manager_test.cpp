// The connector under a service manager (systemd, Type=notify): readiness once start-up is
// over, then the watchdog fed while the event loop turns.
#include "rig.h"
#include "support.h"
#include "../unit/test_support/notify_socket.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <sys/stat.h>

using namespace quorvel::itest;
using namespace std::chrono_literals;

// systemctl status on a link that opens at once (no report says so): "CM11A link up on ...".
TEST(ServiceManager, ReadinessFollowsStartUpTheStatusTellsALinkThatCameUpAndTheWatchdogIsFedWhileRunning) {
    TempDir app;
    SimProcess sim(app.path());
    ASSERT_TRUE(sim.Connected()) << sim.proc().Stderr();
    const std::string where = "127.0.0.1:" + std::to_string(sim.tcpPort);
    WriteSafeIni(app.path(), where);
    const std::string path = (app.path() / "notify").string();
    quorvel::test::NotifySocket manager(path);
    ASSERT_TRUE(manager.Bound());

    // The child inherits these (each test runs in a process of its own).
    ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
    ::setenv("WATCHDOG_USEC", "1000000", 1);  // fed every 0.5 s
    Process q = Quorvel(app.path());
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");

    std::string first, stderrAtReady, status;
    const auto end = std::chrono::steady_clock::now() + 20s;
    int feeds = 0;
    while ((feeds < 3 || status != "STATUS=CM11A link up on " + where) && std::chrono::steady_clock::now() < end) {
        const std::string d = manager.Next(100);
        if (first.empty()) first = d;
        if (d == "READY=1") stderrAtReady = q.Stderr();
        if (d == "WATCHDOG=1") ++feeds;
        if (d.rfind("STATUS=", 0) == 0) status = d;
    }
    EXPECT_EQ(first, "READY=1") << q.Stderr();
    EXPECT_NE(stderrAtReady.find("Using xAP port "), std::string::npos)
        << "ready before the xAP node ran:\n" << stderrAtReady;
    EXPECT_EQ(feeds, 3) << q.Stderr();
    EXPECT_EQ(status, "STATUS=CM11A link up on " + where) << q.Stderr();
    ExpectCleanStop(q);
}

// Under systemd: the journal gets each line with its priority and without the program's
// name, systemctl status tells why the CM11A link is down, and a reload is announced from
// start to end; the unit's reload command returns once the reload is done.
TEST(ServiceManager, TheJournalRanksTheLinesTheStatusTellsTheLinkAndAReloadIsAnnounced) {
    TempDir app;
    WriteSafeIni(app.path());  // a serial device that does not exist
    const std::string path = (app.path() / "notify").string();
    quorvel::test::NotifySocket manager(path);
    ASSERT_TRUE(manager.Bound());
    const auto err = app.path() / "quorvel.err";  // opened again (same file) as the child's stderr
    WriteFile(err, "");
    struct stat st {};
    ASSERT_EQ(::stat(err.c_str(), &st), 0);
    const std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    const auto runtime = app.path() / "run";
    std::filesystem::create_directories(runtime);
    ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
    ::setenv("JOURNAL_STREAM", stream.c_str(), 1);
    ::setenv("RUNTIME_DIRECTORY", runtime.c_str(), 1);
    Process q = Quorvel(app.path());
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("JOURNAL_STREAM");

    std::vector<std::string> got;
    const auto next = [&](const std::string& prefix) {
        const auto end = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < end) {
            const std::string d = manager.Next(100);
            if (d.empty()) continue;
            got.push_back(d);
            if (d.rfind(prefix, 0) == 0) return true;
        }
        return false;
    };
    ASSERT_TRUE(next("READY=1")) << q.Stderr();
    ASSERT_TRUE(next("STATUS=")) << q.Stderr();
    EXPECT_EQ(got.back().rfind("STATUS=CM11A link down: CM11A OpenPort", 0), 0u) << got.back();
    EXPECT_NE(got.back().find(kNoSerialPort), std::string::npos) << got.back();
    got.clear();

    // systemctl reload: the unit's ExecReload command, as systemd runs it.
    const std::string unit = ReadFile(std::filesystem::path(QUORVEL_SOURCE_DIR) / "packaging/quorvel.service");
    const auto at = unit.find("\nExecReload=/bin/sh -c '");
    ASSERT_NE(at, std::string::npos);
    const auto from = unit.find('\'', at) + 1;
    std::string command = unit.substr(from, unit.find('\n', from) - 1 - from);
    for (auto d = command.find("$$"); d != std::string::npos; d = command.find("$$", d + 1)) command.erase(d, 1);
    WriteFile(app.path() / "reload.sh", command + "\n");
    ::setenv("MAINPID", std::to_string(q.Pid()).c_str(), 1);
    const int reload = std::system(("sh " + (app.path() / "reload.sh").string()).c_str());
    ::unsetenv("MAINPID");
    ::unsetenv("RUNTIME_DIRECTORY");
    EXPECT_EQ(reload, 0);
    EXPECT_NE(q.Stderr().find("<5>Settings reloaded: version "), std::string::npos)
        << "the reload command returned before the reload was done:\n" << q.Stderr();
    ASSERT_TRUE(next("RELOADING=1")) << q.Stderr();
    ASSERT_TRUE(next("READY=1")) << q.Stderr();
    ExpectCleanStop(q);

    const std::string journal = q.Stderr();
    EXPECT_EQ(journal.find("Quorvel |"), std::string::npos) << journal;
    EXPECT_EQ(journal.find("quorvel:"), std::string::npos) << journal;
    for (const char* line : {"<5>Starting: version ", "<3>CM11A OpenPort", "<5>Using xAP port ",
                             "<5>Settings reloaded: version ",
                             "<5>Stopping: signal SIGTERM"}) {
        EXPECT_NE(("\n" + journal).find(std::string("\n") + line), std::string::npos) << line << "\n" << journal;
    }
}
