// The tray application under a virtual X server with a tray host: the connector's icon docks
// in the tray, and a host's "Homeseer.Config" request over the hub opens "CM11A Setup".
#include "rig.h"

#include <cstdio>
#include <cstdlib>

using namespace std::chrono_literals;
using namespace quorvel::itest;

// Without a usable display, or when asked, the connector runs headless with one report saying
// why, and never maps the GUI libraries.
TEST(Desktop, HeadlessRunsSayWhyAndNeverLoadTheGuiLibraries) {
    struct Case {
        const char* name;
        const char* display;  // nullptr: not set
        bool headless;
        const char* report;   // nullptr: none
    };
#ifdef QUORVEL_GUI
    const Case cases[] = {
        {"no display", nullptr, false, "No display (DISPLAY and WAYLAND_DISPLAY are not set): running headless"},
        {"a display that cannot be opened", ":4095", false, "No desktop: the display :4095 cannot be opened"},
        {"asked for", ":4095", true, nullptr},
    };
#else
    const Case cases[] = {
        {"no display", nullptr, false, nullptr},
        {"a display in a build without desktop", ":4095", false, "This build has no desktop: running headless"},
        {"asked for", ":4095", true, nullptr},
    };
#endif
    ::unsetenv("WAYLAND_DISPLAY");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        WriteSafeIni(dir.path());
        if (c.display != nullptr) ::setenv("DISPLAY", c.display, 1); else ::unsetenv("DISPLAY");
        std::vector<std::string> args{"--app-folder", dir.path().string()};
        if (c.headless) args.push_back("--headless");
        Process quorvel(BinDir() / "quorvel", args, dir.path(), "quorvel");
        ASSERT_TRUE(WaitFor([&] { return quorvel.Stderr().find("Using xAP port") != std::string::npos; }, 20s))
            << quorvel.Stderr();
        if (c.report != nullptr) {
            EXPECT_TRUE(WaitFor([&] { return quorvel.Stderr().find(c.report) != std::string::npos; }, 10s))
                << quorvel.Stderr();
        }
        const std::string maps = ReadFile("/proc/" + std::to_string(quorvel.Pid()) + "/maps");
        EXPECT_FALSE(maps.empty());
        EXPECT_EQ(maps.find("libQt6Widgets"), std::string::npos);
        EXPECT_EQ(maps.find("libQt6Gui"), std::string::npos);
        ExpectCleanStop(quorvel);
        const std::string err = quorvel.Stderr();
        EXPECT_EQ(err.find("running headless"), c.report != nullptr ? err.rfind("running headless") : std::string::npos)
            << "one report at most:\n" << err;
    }
    ::unsetenv("DISPLAY");
}

#ifndef QUORVEL_GUI
TEST(Desktop, IconDocksInTheTrayAgainAfterARestartAConfigRequestOpensSetupAndALostDisplayLeavesItHeadless) {
    GTEST_SKIP() << "this build has no desktop (QUORVEL_GUI=OFF)";
}
#else
namespace {

// Output of a short command (an X client that answers at once).
std::string Output(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen((command + " 2>/dev/null").c_str(), "r")) {
        char buf[4096];
        std::size_t n = 0;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0 && out.size() < 4'000'000) out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

// The window tree under trayer's panel, one line per window.
std::string TrayContents(const std::string& xwininfo) {
    const std::string tree = Output(xwininfo + " -root -tree");
    const std::size_t panel = tree.find("(\"panel\" \"trayer\")");
    if (panel == std::string::npos) return {};
    const std::size_t lineStart = tree.rfind('\n', panel) + 1;
    const std::size_t indent = tree.find_first_not_of(' ', lineStart) - lineStart;
    std::string contents;
    std::size_t pos = tree.find('\n', panel);
    while (pos != std::string::npos && pos + 1 < tree.size()) {
        const std::size_t next = tree.find('\n', pos + 1);
        const std::string line = tree.substr(pos + 1, next - pos - 1);
        const std::size_t lineIndent = line.find_first_not_of(' ');
        if (lineIndent == std::string::npos || lineIndent <= indent) break;  // back at the panel's level
        contents += line + "\n";
        pos = next;
    }
    return contents;
}

// Ends a process politely (an X server removes its lock file) before its PID is killed.
struct StopWithSigterm {
    Process* process;
    ~StopWithSigterm() {
        if (process != nullptr && process->Running()) {
            process->Signal(SIGTERM);
            process->Wait(std::chrono::seconds(10));
        }
    }
};

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

TEST(Desktop, IconDocksInTheTrayAgainAfterARestartAConfigRequestOpensSetupAndALostDisplayLeavesItHeadless) {
    const std::string xvfb = FindProgram("Xvfb"), trayer = FindProgram("trayer"),
                      xwininfo = FindProgram("xwininfo"), xdotool = FindProgram("xdotool");
    if (xvfb.empty() || trayer.empty() || xwininfo.empty() || xdotool.empty()) {
        GTEST_SKIP() << "needs Xvfb, trayer, xwininfo and xdotool (scripts/install-deps.sh installs them)";
    }
    TempDir dir;
    // A display number of our own: the first whose lock file is free. Without -noreset the
    // server resets whenever its last client leaves and refuses connections meanwhile.
    int display = 0;
    std::unique_ptr<Process> x;
    for (int n = 90 + ::getpid() % 400, tries = 0; tries < 20 && x == nullptr; ++n, ++tries) {
        if (std::filesystem::exists("/tmp/.X" + std::to_string(n) + "-lock")) continue;
        auto candidate = std::make_unique<Process>(
            xvfb,
            std::vector<std::string>{":" + std::to_string(n), "-screen", "0", "800x600x24", "-nolisten", "tcp",
                                     "-noreset"},
            dir.path(), "xvfb" + std::to_string(n));
        // Ready when it answers: a socket file may be left from an earlier server.
        const std::string probe = xwininfo + " -display :" + std::to_string(n) + " -root";
        if (WaitFor([&] { return !candidate->Running() || !Output(probe).empty(); }, 10s) && candidate->Running()) {
            display = n;
            x = std::move(candidate);
        }
    }
    if (x == nullptr) GTEST_SKIP() << "Xvfb could not start a display here";
    StopWithSigterm stopX{x.get()};
    const std::string name = ":" + std::to_string(display);
    ::setenv("DISPLAY", name.c_str(), 1);
    ::unsetenv("WAYLAND_DISPLAY");
    const std::string xwin = xwininfo + " -display " + name;

    const std::vector<std::string> trayArgs{"--edge", "top", "--align", "right", "--widthtype", "request",
                                            "--height", "32"};
    auto tray = std::make_unique<Process>(trayer, trayArgs, dir.path(), "trayer");
    ASSERT_TRUE(WaitFor([&] { return Output(xwin + " -root -tree").find("\"trayer\"") != std::string::npos; }, 30s))
        << "trayer shows no panel: " << tray->Stderr();

    auto hub = StartHub(dir.path());
    ASSERT_TRUE(hub) << "xAP port 3639 is not free here";
    XapClient client;
    client.Heartbeat();
    const auto app = dir.path() / "app";
    WriteSafeIni(app);
    Process quorvel(BinDir() / "quorvel", {"--app-folder", app.string()}, app, "quorvel");

    EXPECT_TRUE(WaitFor([&] { return TrayContents(xwin).find("\"quorvel\"") != std::string::npos; }, 30s))
        << "no icon in the tray:\n" << Output(xwin + " -root -tree") << quorvel.Stderr();

    // The tray host restarts: the icon goes into the new tray.
    tray->Signal(SIGTERM);
    ASSERT_TRUE(tray->Wait(10s));
    ASSERT_TRUE(WaitFor([&] { return TrayContents(xwin).empty(); }, 10s));
    tray = std::make_unique<Process>(trayer, trayArgs, dir.path(), "trayer2");
    EXPECT_TRUE(WaitFor([&] { return TrayContents(xwin).find("\"quorvel\"") != std::string::npos; }, 30s))
        << "no icon in the restarted tray:\n" << Output(xwin + " -root -tree") << quorvel.Stderr();

    ASSERT_TRUE(client.WaitForClass("xap-hbeat.alive", 20s, "zeb.CM11A.")) << quorvel.Stderr();
    const std::string exe = std::filesystem::canonical(BinDir() / "quorvel").string();
    const std::string find = xdotool + " search --name '^CM11A Setup$'";
    EXPECT_TRUE(Output(find).empty());
    client.SendMessage("Homeseer.Config", "zeb.CM11A.*", "Config.Form", "Form=SetupForm\nPath=" + exe + "\n");
    EXPECT_TRUE(WaitFor([&] { return !Output(find).empty(); }, 20s)) << "no window titled CM11A Setup\n" << quorvel.Stderr();

    // The orderly stop writes the open window's settings and removes the icon.
    ExpectCleanStop(quorvel);
    const std::string ini = Upper(ReadFile(app / "Config" / "Quorvel.ini"));
    EXPECT_NE(ini.find(Upper(std::string("ComPort=") + kNoSerialPort)), std::string::npos) << ini;
    EXPECT_NE(ini.find("DEBUG=0"), std::string::npos) << ini;

    // The display goes away under a running tray application: it carries on headless.
    Process second(BinDir() / "quorvel", {"--app-folder", app.string()}, app, "second");
    ASSERT_TRUE(WaitFor([&] { return TrayContents(xwin).find("\"quorvel\"") != std::string::npos; }, 30s))
        << second.Stderr();
    x->Signal(SIGTERM);
    ASSERT_TRUE(x->Wait(10s));
    EXPECT_TRUE(WaitFor([&] { return second.Stderr().find("The display went away: running headless") !=
                                     std::string::npos; }, 20s)) << second.Stderr();
    const std::string maps = ReadFile("/proc/" + std::to_string(second.Pid()) + "/maps");
    EXPECT_EQ(maps.find("libQt6Gui"), std::string::npos);
    ExpectCleanStop(second);
}
#endif
