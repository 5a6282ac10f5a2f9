// The desktop's windows and tray on Qt's offscreen platform, joined to a main object that
// runs on the simulated platform.
#include "app/quorvel_form.h"
#include "desktop/desktop_session.h"
#include "platform/sim/sim_links.h"
#include "platform/sim/sim_platform.h"
#include "test_support/temp_dir.h"

#include <QApplication>
#include <QScrollBar>
#include <QTimer>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using quorvel::desktop::DesktopSession;
using quorvel::desktop::SetupActions;
using quorvel::desktop::SetupWindow;
using quorvel::desktop::TrayIcon;

namespace {

struct DesktopFixture : ::testing::Test {
    DesktopFixture() : form(sim, {dir.path(), (dir.path() / "quorvel").string(), false}), session(nullptr) {
        serial = sim.LastSerialPort();
        serial->AddDevice("/dev/ttyS0");
        serial->AddDevice("/dev/ttyS1");
        form.configuration().InitXap();
        session.Attach(form);
    }
    // Closes every popup menu shortly after it opens, a bounded number of times.
    void CloseMenusSoon() {
        QTimer::singleShot(20, [this] {
            if (auto* popup = QApplication::activePopupWidget()) popup->close();
            else if (++closeTries < 500) CloseMenusSoon();
        });
    }
    quorvel::test::TempDir dir;
    quorvel::platform::SimPlatform sim;
    quorvel::app::QuorvelForm form;
    DesktopSession session;
    quorvel::platform::SimSerialPort* serial = nullptr;
    int closeTries = 0;
};

}  // namespace

TEST(SetupWindowTest, FillsFromMemoryAndWritesAllFiveSettingsInOrderOnEveryClose) {
    struct Case { const char* name; const char* comPort; const char* house; const char* ignore; bool shuttingDown;
                  std::vector<std::string> expected; };
    const std::vector<Case> cases = {
        {"port changed", "host:4001", "AB", "A5,B16", false,
         {"ClosePort 1", "ComPort=host:4001", "UID=FF008700", "House=AB", "Ignore=A5,B16", "Debug=1", "InitIniKeys"}},
        {"blanks, lower case and a line break", " 1\n", " ab ", " a5 , b16 ", false,
         {"ComPort=1", "UID=FF008700", "House=ab", "Ignore=a5,b16", "Debug=1", "InitIniKeys"}},
        {"a cleared field while stopping", "1", "", "A5,B16", true,
         {"ComPort=1", "UID=FF008700", "House=", "Ignore=A5,B16", "Debug=1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        quorvel::core::Settings settings;
        settings.ComPort = "1";
        settings.House = "AB";
        settings.Ignore = ",A5,B16,";
        settings.Debug = true;
        std::vector<std::string> calls;
        std::vector<std::string> reports;
        SetupActions actions;
        actions.SaveSetting = [&](const std::string& k, const std::string& v) { calls.push_back(k + "=" + v); };
        actions.ClosePort = [&](const std::string& port) { calls.push_back("ClosePort " + port); };
        actions.InitIniKeys = [&] { calls.push_back("InitIniKeys"); };
        actions.Report = [&](const std::string& text) { reports.push_back(text); };
        actions.ShuttingDown = [&] { return c.shuttingDown; };
        SetupWindow window(settings, actions);
        window.Open();
        EXPECT_EQ(window.aIgnore().text().toStdString(), "A5,B16");  // without the edge commas
        EXPECT_TRUE(window.aDebug().isChecked());
        window.aComPort().setText(QString::fromStdString(c.comPort));
        window.aHouse().setText(QString::fromStdString(c.house));
        window.aIgnore().setText(QString::fromStdString(c.ignore));
        window.close();
        EXPECT_EQ(calls, c.expected);
        EXPECT_EQ(reports.size(), std::string(c.comPort).find('\n') != std::string::npos ? 1u : 0u);
    }
}

TEST_F(DesktopFixture, SetupChangesAreStoredOnCloseAndOnExitWhichRemovesTheIconAndQuitsWithStatusZero) {
    (void)form.configuration().InitHW();  // the default port 1: /dev/ttyS0
    ASSERT_TRUE(serial->IsOpen());
    session.Update(true, quorvel::app::TrayPicture::Idle);
    form.MenuArray_Click(0);  // "Setup"
    ASSERT_NE(session.Setup(), nullptr);
    ASSERT_TRUE(session.Setup()->isVisible());
    session.Setup()->aComPort().setText("2");
    session.Setup()->aUID().setText(QString(10000, QChar('F')));  // a long paste is stored as it is
    session.Setup()->close();

    EXPECT_EQ(serial->CloseCalls(), 1);
    ASSERT_FALSE(serial->Opens().empty());
    EXPECT_EQ(serial->Opens().back().first, "/dev/ttyS1");
    auto& hs = form.configuration().Homeseer();
    EXPECT_EQ(hs.GetIniSetting("General", "ComPort", "", "Quorvel.ini"), "2");
    EXPECT_EQ(hs.GetIniSetting("General", "UID", "", "Quorvel.ini").size(), 10000u);

    form.MenuArray_Click(0);
    session.Setup()->aHouse().setText("CD");
    session.Menu().actions().back()->trigger();  // "Exit"
    EXPECT_FALSE(session.Setup()->isVisible());
    EXPECT_EQ(form.configuration().Homeseer().GetIniSetting("General", "House", "", "Quorvel.ini"), "CD");
    EXPECT_FALSE(session.Tray().Shown());
    EXPECT_TRUE(sim.QuitRequested());
    EXPECT_EQ(sim.ExitCode(), 0);
}

TEST_F(DesktopFixture, TypedCommandsReachTheEngineTheStatusTableFollowsAndTrafficIsShownAlsoWhenCollectedWhileHidden) {
    form.settings().ComPort = "1";
    ASSERT_TRUE(form.link().OpenPort("1"));
    form.MenuArray_Click(2);  // "System Status"
    auto* status = session.Status();
    ASSERT_NE(status, nullptr);
    EXPECT_TRUE(status->isVisible());
    EXPECT_EQ(status->Table().toPlainText().indexOf("A1"), -1);
    // Traffic before the window exists is kept and shown when it opens.
    form.commWindow().EchoMessage("Command not recognized");
    form.MenuArray_Click(3);  // "Serial Comm"
    auto* window = session.Comm();
    ASSERT_NE(window, nullptr);
    EXPECT_NE(window->CommData().toPlainText().indexOf("Command not recognized"), -1);

    window->SendString().setText("a1 on");
    window->SendToRain8().click();
    ASSERT_FALSE(serial->Writes().empty());
    EXPECT_EQ(serial->Writes().front(), std::string("\x04\x66", 2));  // header and address of A1
    window->Refresh();
    EXPECT_NE(window->CommData().toPlainText().indexOf("04 66"), -1);

    // A1 on, confirmed by the interface: checksums 6A and 68, each followed by ready.
    for (const char reply : {'\x6A', '\x55', '\x68', '\x55'}) {
        serial->Deliver(std::string(1, reply));
        sim.Advance(100);
    }
    sim.Advance(2500);  // the status window's next refresh
    QCoreApplication::processEvents();
    status->Refresh();
    const QString table = status->Table().toPlainText();
    EXPECT_NE(table.indexOf("A1"), -1) << table.toStdString();
    EXPECT_EQ(table.toStdString(), form.StatusTable());

    // A long run of traffic: the pane holds the tail and shows its newest line.
    for (int i = 0; i < 400; ++i) form.commWindow().EchoMessage("line " + std::to_string(i) + " of a long run");
    window->Refresh();
    const QString shown = window->CommData().toPlainText();
    EXPECT_LE(shown.size(), 10000);
    EXPECT_TRUE(shown.trimmed().endsWith("line 399 of a long run"));
    auto* bar = window->CommData().verticalScrollBar();
    EXPECT_EQ(bar->value(), bar->maximum());

    window->CommClose().click();
    EXPECT_FALSE(window->isVisible());
    form.commWindow().EchoMessage("collected while hidden");
    form.MenuArray_Click(3);
    EXPECT_NE(window->CommData().toPlainText().indexOf("collected while hidden"), -1);
}

TEST_F(DesktopFixture, ButtonReleasesOpenTheMenuOnceAndClicksWhileItIsOpenAreDropped) {
    std::vector<std::string> captions;
    for (QAction* a : session.Menu().actions()) captions.push_back(a->isSeparator() ? "-" : a->text().toStdString());
    EXPECT_EQ(captions, (std::vector<std::string>{"Setup", "System Config", "System Status", "Serial Comm", "Help",
                                                  "-", "Exit"}));
    EXPECT_EQ(TrayIcon::MessageCode(QSystemTrayIcon::Trigger), 514);
    EXPECT_EQ(TrayIcon::MessageCode(QSystemTrayIcon::Context), 517);
    EXPECT_EQ(TrayIcon::MessageCode(QSystemTrayIcon::DoubleClick), 515);  // opens no menu

    struct Case { const char* name; int msg; int menus; };
    const Case cases[] = {{"left release", 514, 1}, {"right release", 517, 1}, {"double-click", 515, 0},
                          {"pointer movement", 512, 0}, {"past the button codes", 519, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int before = session.MenuShows();
        if (c.menus > 0) CloseMenusSoon();  // no closer is left pending for the cases below
        session.Tray().OnMouseMessage(c.msg);
        EXPECT_EQ(session.MenuShows() - before, c.menus);
    }

    // A click while the menu is open opens no second menu.
    const int before = session.MenuShows();
    QTimer::singleShot(20, [this] {
        session.Tray().OnMouseMessage(514);
        CloseMenusSoon();
    });
    session.Tray().OnMouseMessage(517);
    EXPECT_EQ(session.MenuShows() - before, 1);
    EXPECT_EQ(session.Tray().LastMessage(), 514);
}
