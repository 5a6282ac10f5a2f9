// The connector as a service runs it: one per application folder, a folder it cannot use,
// signals (also while start-up still waits for the CM11A), a closed standard error, the settings
// check, a host name that resolves elsewhere, and requests sent while the serial server is awaited.
#include "rig.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace quorvel::itest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

bool StderrHas(Process& p, const std::string& text) { return p.Stderr().find(text) != std::string::npos; }

// Up to the settings line, which follows the xAP start.
bool Started(Process& p) {
    return WaitFor([&] { return StderrHas(p, "Starting: version ") || !p.Running(); }, 15s) && p.Running();
}

// A shell command run in a private mount namespace (root only); false when not possible here.
bool MountNamespaceAvailable() {
    return ::geteuid() == 0 && std::system("unshare -m true >/dev/null 2>&1") == 0;
}

std::unique_ptr<Process> QuorvelInMountNamespace(const fs::path& app, const std::string& setup) {
    return std::make_unique<Process>("/usr/bin/unshare",
                                     std::vector<std::string>{"-m", "--", "sh", "-c",
                                                              setup + " && exec " + (BinDir() / "quorvel").string() +
                                                                  " --headless --app-folder " + app.string()},
                                     app, "quorvel");
}

}  // namespace

TEST(Service, ASecondConnectorOnTheSameFolderExitsNamingTheFirstAndTheNextStartsAndStopsOnSigint) {
    TempDir app;
    WriteSafeIni(app.path(), "127.0.0.1:9");  // refused: the first waits for the CM11A's link (about 12 s)
    Process first = Quorvel(app.path());
    ASSERT_TRUE(Started(first)) << first.Stderr();
    Process second = Quorvel(app.path(), "second");
    ASSERT_TRUE(second.Wait(10s));
    EXPECT_EQ(second.ExitCode(), 1);
    EXPECT_NE(second.Stderr().find("is in use: held by process "), std::string::npos) << second.Stderr();
    EXPECT_FALSE(StderrHas(second, "Using xAP port"));
    // A stop asked for while start-up still waits for the link ends the process at once.
    ExpectCleanStop(first);
    // Once the first has stopped the folder is free again.
    WriteSafeIni(app.path());
    Process q = Quorvel(app.path(), "third");
    ASSERT_TRUE(Started(q)) << q.Stderr();
    ExpectCleanStop(q, SIGINT);
    const std::string log = ReadFile(app.path() / "Data" / "Quorvel.txt");
    EXPECT_NE(log.find("Quorvel Stopping: signal SIGINT"), std::string::npos) << log;
}

TEST(Service, AnUnusableApplicationFolderStopsTheStartWithOneMessage) {
    struct Case { const char* name; std::string blocker; const char* message; };
    for (const Case& c : {Case{"a file where Config belongs", "Config", "the settings folder"},
                          Case{"a folder where a settings file belongs", "Config/Quorvel.ini/x", "is a folder"}}) {
        SCOPED_TRACE(c.name);
        TempDir app;
        WriteFile(app.path() / c.blocker, "in the way");
        Process q = Quorvel(app.path());
        ASSERT_TRUE(q.Wait(10s));
        EXPECT_EQ(q.ExitCode(), 1);
        const std::string err = q.Stderr();
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(ReadFile(app.path() / c.blocker), "in the way");  // nothing is lost
    }
}

TEST(Service, AReadOnlySettingsFolderRunsAndSaysChangesCannotBeSaved) {
    TempDir app;
    WriteSafeIni(app.path());
    fs::create_directories(app.path() / "Data");
    const std::string config = (app.path() / "Config").string();
    std::unique_ptr<Process> q;
    if (::geteuid() != 0) {
        fs::permissions(config, fs::perms::owner_write, fs::perm_options::remove);
        q = std::make_unique<Process>(BinDir() / "quorvel", Headless(app.path()), app.path(), "quorvel");
    } else if (MountNamespaceAvailable()) {
        q = QuorvelInMountNamespace(app.path(),
                                    "mount --bind " + config + " " + config + " && mount -o remount,bind,ro " + config);
    } else {
        GTEST_SKIP() << "root without a private mount namespace: no read-only folder to be had";
    }
    ASSERT_TRUE(Started(*q)) << q->Stderr();
    const std::string err = q->Stderr();
    const std::string report = "Settings cannot be saved: the folder " + config + " is read-only";
    EXPECT_NE(err.find(report), std::string::npos) << err;
    ExpectCleanStop(*q);
    fs::permissions(config, fs::perms::owner_write, fs::perm_options::add);
}

TEST(Service, AClosedStandardErrorDoesNotEndTheConnector) {
    TempDir app;
    WriteSafeIni(app.path());
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    Process q(BinDir() / "quorvel", Headless(app.path()), app.path(), "quorvel", fds[1]);
    ::close(fds[1]);
    // Like "quorvel ... 2>&1 | head -c 10": the reader goes away after a few bytes.
    char buf[10];
    ASSERT_GT(::read(fds[0], buf, sizeof buf), 0);
    ::close(fds[0]);
    // More output: the reports of a reload (the log file shows when they have been written).
    q.Signal(SIGHUP);
    const fs::path log = app.path() / "Data" / "Quorvel.txt";
    EXPECT_TRUE(WaitFor([&] { return ReadFile(log).find("Settings reloaded: ") != std::string::npos; }, 10s));
    std::this_thread::sleep_for(200ms);
    ExpectCleanStop(q);  // a write to the closed pipe would have ended it with SIGPIPE
}

// A stale hosts entry: the host name resolves to an address this machine does not have.
// The connector starts anyway (instead of "xAP Init Error") and says so once with the
// address.
TEST(Service, AHostNameResolvingToAnotherMachineStillStartsAndSends) {
    if (!MountNamespaceAvailable()) GTEST_SKIP() << "needs root and a private mount namespace for /etc/hosts";
    TempDir app;
    WriteSafeIni(app.path());
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    const fs::path hosts = app.path() / "hosts";
    WriteFile(hosts, "127.0.0.1 localhost\n198.51.100.99 " + std::string(host) + "\n");
    auto q = QuorvelInMountNamespace(app.path(), "mount --bind " + hosts.string() + " /etc/hosts");
    ASSERT_TRUE(Started(*q)) << q->Stderr();
    EXPECT_TRUE(StderrHas(*q, "cannot send from 198.51.100.99")) << q->Stderr();
    EXPECT_FALSE(StderrHas(*q, "xAP Init Error")) << q->Stderr();
    ExpectCleanStop(*q);
}

TEST(Service, X10RequestsSentWhileTheSerialServerIsAwaitedAreCarriedOut) {
    const int port = FreeTcpPort();
    Rig rig({.pty = false, .comPort = "127.0.0.1:" + std::to_string(port) + "\r\nDebug=1"});  // debug lines tell a failure
    if (!rig.HubUp()) GTEST_SKIP() << "UDP port 3639 is taken here";
    ASSERT_TRUE(Started(rig.quorvel())) << rig.Diagnostics();
    // The start-up does not wait for the serial server (it tries again every 2 s). An echo
    // answered first shows that the hub forwards to the connector (it learns the connector
    // from its first heartbeat, which may reach the hub after a request sent at once).
    int echoes = 0;
    ASSERT_TRUE(WaitFor([&] {
        rig.client().SendMessage("WDT.Echo", "", "Echo.Query", "Query=early" + std::to_string(++echoes) + "\n");
        return rig.client().WaitForClass("WDT.Echo", 1s, "Response=early").has_value();
    }, 20s)) << rig.Diagnostics();
    rig.client().SendMessage("xAP-X10.request", "zeb.CM11A.*", "xAP-X10.request", "device=C3\ncommand=on\n");
    std::this_thread::sleep_for(1500ms);
    SimProcess sim(rig.folder(), {"--tcp-port", std::to_string(port)});
    ASSERT_TRUE(sim.Connected()) << sim.proc().Stderr();
    EXPECT_TRUE(WaitFor([&] { return sim.Command("state").find("C3 on 100\n") != std::string::npos; }, 30s))
        << sim.Command("state") << rig.Diagnostics();
    ExpectCleanStop(rig.quorvel());
}

// Runs that end at once: they start nothing and make nothing in the folder. --status on a
// folder without state says so instead of printing an empty table.
TEST(Service, TheSettingsCheckAndAnUnknownArgumentEndAtOnceAndMakeNothing) {
    struct Case { const char* arg; int exitCode; const char* text; };
    for (const Case& c : {Case{"--frobnicate", 2, "unknown argument"},
                          Case{"--check-config", 1, "problem: UID \"12\" is not eight hex digits\n"},
                          Case{"--status", 1, "no device state: "}}) {
        TempDir app;
        WriteSafeIni(app.path(), "127.0.0.1:4001\r\nUID=12");
        Process p(BinDir() / "quorvel", {"--app-folder", app.path().string(), c.arg}, app.path(), "run");
        ASSERT_TRUE(p.Wait(10s)) << c.arg;
        EXPECT_EQ(p.ExitCode(), c.exitCode) << c.arg << p.Stdout();
        EXPECT_NE((p.Stdout() + p.Stderr()).find(c.text), std::string::npos) << c.arg << p.Stdout() << p.Stderr();
        EXPECT_FALSE(fs::exists(app.path() / "Data")) << c.arg;  // no log, no lock
    }
}
