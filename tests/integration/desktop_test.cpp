// The tray application under a virtual X server with a tray host: the connector's icon docks
// in the tray, a host's "Homeseer.Config" request over the hub opens "CM11A Setup", and the
// icon's right-click menu stops it.
#include "rig.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

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
TEST(Desktop, IconDocksInTheTrayAConfigRequestOpensSetupAndALostDisplayLeavesItHeadless) {
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

// The X window id of the connector's icon inside the tray, or "".
std::string IconWindow(const std::string& xdotool, const std::string& xwin) {
    std::istringstream tree(TrayContents(xdotool, xwin));
    for (std::string line; std::getline(tree, line);) {
        if (line.find("\"quorvel\"") == std::string::npos) continue;
        std::istringstream words(line);
        std::string id;
        words >> id;
        if (id.rfind("0x", 0) == 0) return id;
    }
    return "";
}

}  // namespace

TEST(Desktop, IconDocksInTheTrayAConfigRequestOpensSetupAndALostDisplayLeavesItHeadless) {
    const std::string xvfb = FindProgram("Xvfb"), trayer = FindProgram("trayer"),
                      xwininfo = FindProgram("xwininfo"), xdotool = FindProgram("xdotool");
    if (xvfb.empty() || trayer.empty() || xwininfo.empty() || xdotool.empty()) {
        GTEST_SKIP() << "needs Xvfb, trayer, xwininfo and xdotool (scripts/install-deps.sh installs them)";
    }
    TempDir dir;
    // A display of our own: Xvfb picks a free number and prints it once it takes connections.
    // Without -noreset the server resets whenever its last client leaves and refuses connections meanwhile.
    Process x(xvfb, {"-displayfd", "1", "-screen", "0", "800x600x24", "-nolisten", "tcp", "-noreset"}, dir.path(),
              "xvfb");
    std::string number;
    if (!WaitFor([&] { return (number = x.Stdout()).find('\n') != std::string::npos || !x.Running(); }, 10s) ||
        number.find('\n') == std::string::npos) {
        GTEST_SKIP() << "Xvfb could not start a display here: " << x.Stderr();
    }
    const std::string name = ":" + number.substr(0, number.find('\n'));
    ::setenv("DISPLAY", name.c_str(), 1);
    ::unsetenv("WAYLAND_DISPLAY");
    const std::string xwin = xwininfo + " -display " + name;

    const std::vector<std::string> trayArgs{"--edge",      "top",     "--align",  "right",
                                            "--widthtype", "request", "--height", "32"};
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

    EXPECT_TRUE(WaitFor([&] { return TrayContents(xdotool, xwin).find("\"quorvel\"") != std::string::npos; }, 30s))
        << "no icon in the tray:\n" << Output(xwin + " -root -tree") << quorvel.Stderr();

    // The tray host restarts: the connector carries on and its icon goes into the new tray.
    tray->Signal(SIGTERM);
    ASSERT_TRUE(tray->Wait(10s));
    ASSERT_TRUE(WaitFor([&] { return TrayContents(xdotool, xwin).empty(); }, 10s));
    tray = std::make_unique<Process>(trayer, trayArgs, dir.path(), "trayer2");
    EXPECT_TRUE(WaitFor([&] { return TrayContents(xdotool, xwin).find("\"quorvel\"") != std::string::npos; }, 30s))
        << "no icon in the restarted tray:\n" << Output(xwin + " -root -tree") << quorvel.Stderr();

    ASSERT_TRUE(client.WaitForClass("xap-hbeat.alive", 20s, "zeb.CM11A.")) << quorvel.Stderr();
    const std::string exe = std::filesystem::canonical(BinDir() / "quorvel").string();
    const std::string find = xdotool + " search --name '^CM11A Setup$'";
    EXPECT_TRUE(Output(find).empty());
    client.SendMessage("Homeseer.Config", "zeb.CM11A.*", "Config.Form", "Form=SetupForm\nPath=" + exe + "\n");
    EXPECT_TRUE(WaitFor([&] { return !Output(find).empty(); }, 20s)) << "no window titled CM11A Setup\n" << quorvel.Stderr();

    // A real right-click on the icon opens the menu, and "Exit" chosen in it stops the
    // connector in order (it used to remove the icon from under the open menu and crash).
    const std::string icon = IconWindow(xdotool, xwin);
    ASSERT_FALSE(icon.empty()) << TrayContents(xdotool, xwin);
    for (int attempt = 0; attempt < 5 && quorvel.Running(); ++attempt) {
        Output(xdotool + " mousemove --window " + icon + " 6 6 click 3");
        std::this_thread::sleep_for(1s);  // the menu opens and takes the keyboard
        Output(xdotool + " key Up Return");  // the last entry: "Exit"
        quorvel.Wait(5s);
    }
    ASSERT_TRUE(quorvel.Wait(5s)) << "Exit from the right-click menu did not stop it\n" << quorvel.Stderr();
    EXPECT_EQ(quorvel.ExitCode(), 0) << quorvel.Stderr();
    EXPECT_NE(ReadFile(app / "Data" / "Quorvel.txt").find("Stopping: Exit"), std::string::npos);
    // The orderly stop writes the open window's settings.
    const std::string ini = ReadFile(app / "Config" / "Quorvel.ini");
    EXPECT_NE(ini.find(std::string("COMPORT=") + kNoSerialPort), std::string::npos) << ini;  // keys as written
    EXPECT_NE(ini.find("DEBUG=0"), std::string::npos) << ini;

    // The display goes away under a running tray application: it carries on headless.
    Process second(BinDir() / "quorvel", {"--app-folder", app.string()}, app, "second");
    ASSERT_TRUE(WaitFor([&] { return TrayContents(xdotool, xwin).find("\"quorvel\"") != std::string::npos; }, 30s))
        << second.Stderr();
    x.Signal(SIGTERM);
    ASSERT_TRUE(x.Wait(10s));
    EXPECT_TRUE(WaitFor([&] { return second.Stderr().find("The display went away: running headless") !=
                                     std::string::npos; }, 20s)) << second.Stderr();
    const std::string maps = ReadFile("/proc/" + std::to_string(second.Pid()) + "/maps");
    EXPECT_EQ(maps.find("libQt6Gui"), std::string::npos);
    ExpectCleanStop(second);
}
#endif
