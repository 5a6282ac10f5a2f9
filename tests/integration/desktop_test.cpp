// The tray application under a virtual X server with a tray host, driven with real input: the
// connector's icon docks in the tray, a double-click opens System Status, a host's
// "Homeseer.Config" request opens "CM11A Setup", where a bad House is shown and not saved and
// Escape leaves the file alone, a second start says who runs, the icon's right-click menu
// stops it, and the end of the X session ends it so that the next start docks again.
#include "rig.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

using namespace std::chrono_literals;
using namespace quorvel::itest;

// Without a usable display, or when asked, the connector runs headless with one report saying
// why, and never maps the GUI libraries.
TEST(Desktop, HeadlessRunsSayWhyAndNeverLoadTheGuiLibraries) {
#ifdef QUORVEL_GUI
    constexpr bool kGui = true;  // only a build with a desktop has a reason to give without a display
#else
    constexpr bool kGui = false;
#endif
    struct Case { const char* name; const char* display; bool headless; bool reported; };
    const Case cases[] = {
        {"no display", nullptr, false, kGui},
        {"a display that cannot be opened", ":4095", false, true},
        {"asked for", ":4095", true, false},
    };
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
        const std::string maps = ReadFile("/proc/" + std::to_string(quorvel.Pid()) + "/maps");
        EXPECT_FALSE(maps.empty());
        EXPECT_EQ(maps.find("libQt6Gui"), std::string::npos);  // Widgets would bring it along
        ExpectCleanStop(quorvel);
        EXPECT_EQ(Count(quorvel.Stderr(), "running headless"), c.reported ? 1 : 0) << quorvel.Stderr();
    }
    ::unsetenv("DISPLAY");
}

#ifndef QUORVEL_GUI
TEST(Desktop, RealInputOnTheTraySetupAndASecondStartAndTheEndOfTheSession) {
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

// What trayer's windows hold, their windows' names one a line.
std::string TrayContents(const std::string& xdotool, const std::string& xwin) {
    std::istringstream ids(Output(xdotool + " search --class '^trayer$'"));
    std::string contents;
    for (std::string id; ids >> id;) contents += Output(xwin + " -tree -id " + id);
    return contents;
}

// The X window ids of the connectors' icons inside the tray. An icon's line names it three
// times (name, instance and class), so icons are counted by line.
std::vector<std::string> IconWindows(const std::string& xdotool, const std::string& xwin) {
    std::istringstream tree(TrayContents(xdotool, xwin));
    std::vector<std::string> icons;
    for (std::string line; std::getline(tree, line);) {
        if (line.find("\"quorvel\"") == std::string::npos) continue;
        std::istringstream words(line);
        std::string id;
        words >> id;
        if (id.rfind("0x", 0) == 0) icons.push_back(id);
    }
    return icons;
}

// A virtual X server with a tray host on it.
struct Display {
    Display(const std::string& xvfb, const std::string& trayer, const std::filesystem::path& dir, const std::string& tag)
        : x(xvfb, {"-displayfd", "1", "-screen", "0", "800x600x24", "-nolisten", "tcp", "-noreset"}, dir, "xvfb" + tag),
          trayer_(trayer), dir_(dir) {
        // Xvfb picks a free number and prints it once it takes connections. Without -noreset
        // the server resets whenever its last client leaves and refuses connections meanwhile.
        std::string number;
        if (!WaitFor([&] { return (number = x.Stdout()).find('\n') != std::string::npos || !x.Running(); }, 10s) ||
            number.find('\n') == std::string::npos) {
            return;
        }
        name = ":" + number.substr(0, number.find('\n'));
        ::setenv("DISPLAY", name.c_str(), 1);
        ::unsetenv("WAYLAND_DISPLAY");
    }
    bool StartTray(const std::string& xwin, const std::string& tag) {
        tray = std::make_unique<Process>(trayer_, std::vector<std::string>{"--edge", "top", "--align", "right", "--widthtype",
                                                                           "request", "--height", "32"},
                                         dir_, "trayer" + tag);
        return WaitFor([&] { return Output(xwin + " -root -tree").find("\"trayer\"") != std::string::npos; }, 30s);
    }
    Process x;
    std::string name;
    std::unique_ptr<Process> tray;
    std::string trayer_;
    std::filesystem::path dir_;
};

std::string ProcessName(Process& p) {
    std::string comm = ReadFile("/proc/" + std::to_string(p.Pid()) + "/comm");
    if (!comm.empty() && comm.back() == '\n') comm.pop_back();
    return comm;
}

}  // namespace

TEST(Desktop, RealInputOnTheTraySetupAndASecondStartAndTheEndOfTheSession) {
    const std::string xvfb = FindProgram("Xvfb"), trayer = FindProgram("trayer"),
                      xwininfo = FindProgram("xwininfo"), xdotool = FindProgram("xdotool");
    if (xvfb.empty() || trayer.empty() || xwininfo.empty() || xdotool.empty()) {
        GTEST_SKIP() << "needs Xvfb, trayer, xwininfo and xdotool (scripts/install-deps.sh installs them)";
    }
    TempDir dir;
    auto display = std::make_unique<Display>(xvfb, trayer, dir.path(), "1");
    if (display->name.empty()) GTEST_SKIP() << "Xvfb could not start a display here: " << display->x.Stderr();
    std::string xwin = xwininfo + " -display " + display->name;
    ASSERT_TRUE(display->StartTray(xwin, "1")) << "trayer shows no panel: " << display->tray->Stderr();

    auto hub = StartHub(dir.path());
    ASSERT_TRUE(hub) << "xAP port 3639 is not free here";
    XapClient client;
    client.Heartbeat();
    const auto app = dir.path() / "app";
    WriteSafeIni(app);
    auto quorvel = std::make_unique<Process>(BinDir() / "quorvel", std::vector<std::string>{"--app-folder", app.string()},
                                             app, "quorvel");
    EXPECT_TRUE(WaitFor([&] { return TrayContents(xdotool, xwin).find("\"quorvel\"") != std::string::npos; }, 30s))
        << "no icon in the tray:\n" << Output(xwin + " -root -tree") << quorvel->Stderr();

    // The tray host restarts: the connector carries on and its icon goes into the new tray.
    display->tray->Signal(SIGTERM);
    ASSERT_TRUE(display->tray->Wait(10s));
    ASSERT_TRUE(WaitFor([&] { return TrayContents(xdotool, xwin).empty(); }, 10s));
    ASSERT_TRUE(display->StartTray(xwin, "2"));
    EXPECT_TRUE(WaitFor([&] { return TrayContents(xdotool, xwin).find("\"quorvel\"") != std::string::npos; }, 30s))
        << "no icon in the restarted tray:\n" << Output(xwin + " -root -tree") << quorvel->Stderr();
    const std::vector<std::string> icons = IconWindows(xdotool, xwin);
    ASSERT_EQ(icons.size(), 1u) << TrayContents(xdotool, xwin);
    const std::string icon = icons.front();

    // A double-click on the icon opens System Status (the first click's menu no longer takes
    // the second click); Escape closes it again.
    const std::string status = xdotool + " search --onlyvisible --name '^CM11A System Status$'";
    for (int attempt = 0; attempt < 3 && Output(status).empty(); ++attempt) {
        Output(xdotool + " mousemove --window " + icon + " 6 6 click --repeat 2 --delay 80 1");
        WaitFor([&] { return !Output(status).empty(); }, 5s);
    }
    std::istringstream statusIds(Output(status));
    std::string statusId;
    ASSERT_TRUE(statusIds >> statusId) << "a double-click opened no status window\n" << quorvel->Stderr();
    Output(xdotool + " windowfocus --sync " + statusId + " key Escape");
    EXPECT_TRUE(WaitFor([&] { return Output(status).empty(); }, 10s));

    // A second start on the same folder: a message box names the running connector, which
    // brings up its status window; the box closed, the second start ends with status 1.
    Process second(BinDir() / "quorvel", {"--app-folder", app.string()}, app, "second");
    const std::string box = xdotool + " search --onlyvisible --name '^Quorvel is already running$'";
    EXPECT_TRUE(WaitFor([&] { return !Output(box).empty(); }, 20s)) << second.Stderr();
    EXPECT_TRUE(WaitFor([&] { return !Output(status).empty(); }, 10s)) << quorvel->Stderr();
    EXPECT_TRUE(second.Running());
    std::istringstream boxIds(Output(box));
    std::string boxId;
    if (boxIds >> boxId) Output(xdotool + " windowfocus --sync " + boxId + " key Return");
    ASSERT_TRUE(second.Wait(10s)) << second.Stderr();
    EXPECT_EQ(second.ExitCode(), 1);
    EXPECT_NE(second.Stderr().find("is in use: held by"), std::string::npos) << second.Stderr();

    // Setup, opened by a host's request: a host:port typed into House is shown and not
    // saved; Escape closes the window and the file stays as it was.
    ASSERT_TRUE(client.WaitForClass("xap-hbeat.alive", 20s, "zeb.CM11A.")) << quorvel->Stderr();
    const std::string iniBefore = ReadFile(app / "Config" / "Quorvel.ini");
    const std::string exe = std::filesystem::canonical(BinDir() / "quorvel").string();
    const std::string setup = xdotool + " search --onlyvisible --name '^CM11A Setup$'";
    EXPECT_TRUE(Output(setup).empty());
    client.SendMessage("Homeseer.Config", "zeb.CM11A.*", "Config.Form", "Form=SetupForm\nPath=" + exe + "\n");
    EXPECT_TRUE(WaitFor([&] { return !Output(setup).empty(); }, 20s)) << "no window titled CM11A Setup\n"
                                                                       << quorvel->Stderr();
    std::istringstream setupIds(Output(setup));
    std::string setupId;
    ASSERT_TRUE(setupIds >> setupId);
    // ComPort has the focus; two tabs on is House, whose text a tab selects.
    Output(xdotool + " windowfocus --sync " + setupId + " key Tab Tab type 127.0.0.1:1");
    Output(xdotool + " windowfocus --sync " + setupId + " key Return");
    EXPECT_TRUE(WaitFor([&] { return quorvel->Stderr().find("CM11A Setup not saved: House \"127.0.0.1:1\"") !=
                                     std::string::npos; }, 10s)) << quorvel->Stderr();
    EXPECT_FALSE(Output(setup).empty());  // still open, the problem under the field
    EXPECT_EQ(ReadFile(app / "Config" / "Quorvel.ini"), iniBefore);
    Output(xdotool + " windowfocus --sync " + setupId + " key Escape");
    EXPECT_TRUE(WaitFor([&] { return Output(setup).empty(); }, 10s));
    EXPECT_EQ(ReadFile(app / "Config" / "Quorvel.ini"), iniBefore);

    // A real right-click on the icon opens the menu, and "Exit" chosen in it stops the
    // connector in order (it used to remove the icon from under the open menu and crash).
    for (int attempt = 0; attempt < 5 && quorvel->Running(); ++attempt) {
        Output(xdotool + " mousemove --window " + icon + " 6 6 click 3");
        std::this_thread::sleep_for(1s);  // the menu opens and takes the keyboard
        Output(xdotool + " key Up Return");  // the last entry: "Exit"
        quorvel->Wait(5s);
    }
    ASSERT_TRUE(quorvel->Wait(5s)) << "Exit from the right-click menu did not stop it\n" << quorvel->Stderr();
    EXPECT_EQ(quorvel->ExitCode(), 0) << quorvel->Stderr();
    EXPECT_NE(ReadFile(app / "Data" / "Quorvel.txt").find("Stopping: Exit"), std::string::npos);
    EXPECT_EQ(ReadFile(app / "Config" / "Quorvel.ini"), iniBefore);

    // The X session ends under two running tray applications. The one started on the
    // desktop ends in order (status 0, its name kept to the end); the one run by the service
    // manager carries on headless under its own name.
    quorvel = std::make_unique<Process>(BinDir() / "quorvel", std::vector<std::string>{"--app-folder", app.string()},
                                        app, "desktop");
    const auto serviceApp = dir.path() / "service";
    WriteSafeIni(serviceApp);
    ::setenv("NOTIFY_SOCKET", "@quorvel-desktop-test-no-manager", 1);
    Process service(BinDir() / "quorvel", {"--app-folder", serviceApp.string()}, serviceApp, "service");
    ::unsetenv("NOTIFY_SOCKET");
    ASSERT_TRUE(WaitFor([&] { return IconWindows(xdotool, xwin).size() == 2; }, 30s))
        << quorvel->Stderr() << service.Stderr();
    EXPECT_EQ(ProcessName(*quorvel), "quorvel");
    display->tray.reset();
    display->x.Signal(SIGTERM);
    ASSERT_TRUE(display->x.Wait(10s));
    ASSERT_TRUE(quorvel->Wait(20s)) << "still running after the display went away\n" << quorvel->Stderr();
    EXPECT_EQ(quorvel->ExitCode(), 0) << quorvel->Stderr();
    EXPECT_NE(ReadFile(app / "Data" / "Quorvel.txt").find("Stopping: the desktop session ended"), std::string::npos);
    EXPECT_TRUE(WaitFor([&] { return service.Stderr().find("The display went away: running headless") !=
                                     std::string::npos; }, 20s)) << service.Stderr();
    EXPECT_EQ(ProcessName(service), "quorvel");
    EXPECT_EQ(ReadFile("/proc/" + std::to_string(service.Pid()) + "/maps").find("libQt6Gui"), std::string::npos);
    ExpectCleanStop(service);

    // The next session: a new start on the same folder docks its icon.
    display = std::make_unique<Display>(xvfb, trayer, dir.path(), "2");
    ASSERT_FALSE(display->name.empty()) << display->x.Stderr();
    xwin = xwininfo + " -display " + display->name;
    ASSERT_TRUE(display->StartTray(xwin, "3"));
    Process next(BinDir() / "quorvel", {"--app-folder", app.string()}, app, "next");
    EXPECT_TRUE(WaitFor([&] { return TrayContents(xdotool, xwin).find("\"quorvel\"") != std::string::npos; }, 30s))
        << "the next session's start docks no icon\n" << next.Stderr();
    ExpectCleanStop(next);
    ::unsetenv("DISPLAY");
}
#endif
