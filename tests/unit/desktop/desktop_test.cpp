// The desktop's windows and tray on Qt's offscreen platform, joined to a main object that
// runs on the simulated platform.
#include "app/quorvel_form.h"
#include "desktop/desktop_session.h"
#include "platform/sim/sim_links.h"
#include "platform/sim/sim_platform.h"
#include "test_support/temp_dir.h"

#include <QApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using quorvel::desktop::DesktopSession;
using quorvel::desktop::SetupWindow;

namespace {

struct DesktopFixture : ::testing::Test {
    DesktopFixture() : form(sim, {dir.path(), (dir.path() / "quorvel").string(), false}), session(nullptr) {
        serial = sim.LastSerialPort();
        serial->AddDevice("/dev/ttyS0");
        serial->AddDevice("/dev/ttyS1");
        form.configuration().InitXap();
        session.Attach(form);
    }
    quorvel::test::TempDir dir;
    quorvel::platform::SimPlatform sim;
    quorvel::app::QuorvelForm form;
    DesktopSession session;
    quorvel::platform::SimSerialPort* serial = nullptr;
};

}  // namespace

TEST_F(DesktopFixture, SetupFieldsAreCleanedAndStoredOnEveryCloseThePortFollowsAndExitStoresThemAndQuits) {
    auto& hs = form.configuration().Homeseer();
    hs.SaveIniSetting("General", "Ignore", "A5,B16", "Quorvel.ini");
    hs.SaveIniSetting("General", "Debug", "1", "Quorvel.ini");
    (void)form.configuration().InitHW();  // the default port 1: /dev/ttyS0
    ASSERT_TRUE(serial->IsOpen());
    // The clock and status exchanges are over (the simulated interface stays silent).
    sim.Advance(1000 + quorvel::cm11a::Cm11aEngine::kStatusAnswerMs);
    int portReports = 0;
    form.reporter().SetConsole([&](const std::string& line) { portReports += line.find("ComPort") != line.npos; });
    form.MenuArray_Click(0);  // "Setup"
    SetupWindow* setup = session.Setup();
    ASSERT_NE(setup, nullptr);
    ASSERT_TRUE(setup->isVisible());
    EXPECT_EQ(setup->aIgnore().text().toStdString(), "A5,B16");  // without the edge commas
    EXPECT_TRUE(setup->aDebug().isChecked());
    setup->aComPort().setText(" 2\n");  // blanks go; the line break goes with a report
    setup->aUID().setText("FF00AB00");
    setup->aHouse().setText("CD");
    setup->aIgnore().setText(" a5 , b16 ");
    setup->aDebug().setChecked(false);
    setup->close();

    // The old port is closed before the settings are read again and the new one opened.
    EXPECT_EQ(serial->CloseCalls(), 1);
    EXPECT_TRUE(serial->IsOpen());
    ASSERT_FALSE(serial->Opens().empty());
    EXPECT_EQ(serial->Opens().back().first, "/dev/ttyS1");
    const auto ini = [&](const char* key) { return hs.GetIniSetting("General", key, "?", "Quorvel.ini"); };
    const std::string stored = ini("ComPort") + " " + ini("UID") + " " + ini("House") + " " + ini("Ignore");
    EXPECT_EQ(stored + " " + ini("Debug"), "2 FF00AB00 CD a5,b16 0");
    EXPECT_EQ(portReports, 1);
    form.reporter().SetConsole({});

    form.MenuArray_Click(0);
    setup->close();
    EXPECT_EQ(serial->CloseCalls(), 1);  // an unchanged port is not closed

    // Exit stores an open window's fields too, a cleared one included.
    form.MenuArray_Click(0);
    setup->aHouse().setText("");
    session.Menu().actions().back()->trigger();  // "Exit", carried out from the event loop
    QCoreApplication::processEvents();
    // Stored empty, which reads as the default (the main object's settings are released by now).
    EXPECT_EQ(form.configuration().Homeseer().GetIniSetting("General", "House", "?", "Quorvel.ini"), "?");
    EXPECT_TRUE(sim.QuitRequested());
    EXPECT_EQ(sim.ExitCode(), 0);
}

// Closing Setup on a serial server that does not answer is over at once: the connection
// is made in the background, and Setup can be opened again meanwhile.
TEST_F(DesktopFixture, ClosingSetupOnAServerThatDoesNotAnswerWaitsForNothing) {
    (void)form.configuration().InitHW();
    sim.Advance(1000 + quorvel::cm11a::Cm11aEngine::kStatusAnswerMs);
    form.MenuArray_Click(0);
    SetupWindow* setup = session.Setup();
    ASSERT_NE(setup, nullptr);
    setup->aComPort().setText("127.0.0.1:4001");  // the simulated server never answers
    const std::uint64_t before = sim.NowMs();
    setup->close();
    EXPECT_FALSE(setup->isVisible());
    EXPECT_EQ(sim.NowMs(), before);
    EXPECT_TRUE(form.link().Connecting());
    form.MenuArray_Click(0);
    EXPECT_TRUE(setup->isVisible());
    setup->hide();
}

TEST_F(DesktopFixture, TypedCommandsReachTheInterfaceTheOpenStatusTableFollowsAndTrafficIsKeptUntilTheWindowOpens) {
    form.settings().ComPort = "1";
    ASSERT_TRUE(form.link().OpenPort("1"));
    sim.Advance(1000 + quorvel::cm11a::Cm11aEngine::kStatusAnswerMs);  // clock and status go unanswered
    form.MenuArray_Click(2);  // "System Status"
    ASSERT_NE(session.Status(), nullptr);
    EXPECT_TRUE(session.Status()->isVisible());
    // Traffic before the window exists is kept and shown when it opens.
    form.commWindow().EchoMessage("Command not recognized");
    form.MenuArray_Click(3);  // "Serial Comm"
    auto* window = session.Comm();
    ASSERT_NE(window, nullptr);
    EXPECT_NE(window->CommData().toPlainText().indexOf("Command not recognized"), -1);

    window->SendString().setText("a1 on");
    window->SendToRain8().click();
    ASSERT_FALSE(serial->Writes().empty());
    EXPECT_EQ(serial->Writes().back(), std::string("\x04\x66", 2));  // header and address of A1

    // A1 on, confirmed by the interface: checksums 6A and 68, each followed by ready.
    for (const char reply : {'\x6A', '\x55', '\x68', '\x55'}) {
        serial->Deliver(std::string(1, reply));
        sim.Advance(100);
    }
    session.Status()->Refresh();  // as its timer does
    const QString table = session.Status()->Table().toPlainText();
    EXPECT_NE(table.indexOf("A1"), -1) << table.toStdString();
    EXPECT_EQ(table.toStdString(), form.StatusTable());

    // A long run of traffic: the pane holds the tail and shows its newest line.
    for (int i = 0; i < 400; ++i) form.commWindow().EchoMessage("line " + std::to_string(i) + " of a long run");
    window->Refresh();
    const QString shown = window->CommData().toPlainText();
    EXPECT_LE(shown.size(), 10000);
    EXPECT_TRUE(shown.trimmed().endsWith("line 399 of a long run"));
    window->CommClose().click();
    EXPECT_FALSE(window->isVisible());
}

TEST_F(DesktopFixture, TrayClicksOpenTheMenuWithoutWaitingAndExitRunsOnlyAfterTheMenuHasHandledTheClick) {
    std::vector<std::string> captions;
    for (QAction* a : session.Menu().actions()) captions.push_back(a->isSeparator() ? "-" : a->text().toStdString());
    EXPECT_EQ(captions, (std::vector<std::string>{"Setup", "System Config", "System Status", "Serial Comm", "Help",
                                                  "-", "Exit"}));
    // Left and right releases open the menu; a double-click and the middle button do not.
    // Nothing runs inside the icon's signal, and showing the menu does not wait for it.
    struct Case { QSystemTrayIcon::ActivationReason reason; int menus; };
    for (const Case c : {Case{QSystemTrayIcon::Trigger, 1}, Case{QSystemTrayIcon::Context, 1},
                         Case{QSystemTrayIcon::DoubleClick, 0}, Case{QSystemTrayIcon::MiddleClick, 0}}) {
        SCOPED_TRACE(c.reason);
        const int before = session.MenuShows();
        emit session.Tray().icon().activated(c.reason);
        EXPECT_EQ(session.MenuShows(), before);
        QCoreApplication::processEvents();
        EXPECT_EQ(session.MenuShows() - before, c.menus);
        EXPECT_EQ(session.Menu().isVisible(), c.menus > 0);
        session.Menu().hide();
    }

    // "Exit" chosen in the open menu removes the icon only once the menu is done with the
    // click: a right-click menu that lost its icon underneath it crashed the process.
    emit session.Tray().icon().activated(QSystemTrayIcon::Context);
    QCoreApplication::processEvents();
    ASSERT_TRUE(session.Menu().isVisible());
    session.Menu().actions().back()->trigger();
    EXPECT_FALSE(form.Unloaded());
    QCoreApplication::processEvents();
    EXPECT_TRUE(form.Unloaded());
    EXPECT_TRUE(sim.QuitRequested());
}
