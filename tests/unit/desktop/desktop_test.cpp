// The desktop's windows and tray on Qt's offscreen platform, joined to a main object that
// runs on the simulated platform.
#include "app/quorvel_form.h"
#include "desktop/desktop_session.h"
#include "platform/sim/sim_links.h"
#include "platform/sim/sim_platform.h"
#include "test_support/temp_dir.h"

#include "state/device_state.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QPushButton>
#include <QScrollBar>

#include <gtest/gtest.h>

#include <string>

using quorvel::desktop::DesktopSession;
using quorvel::test::ReadBytes;
using quorvel::desktop::SetupWindow;
using quorvel::desktop::StatusWindow;

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

// Lets the event loop run until done() or about two seconds have passed.
template <typename Done>
bool RunUntil(Done done) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 2000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

}  // namespace

// Setup checks each field as --check-config does and shows the problem under it: nothing
// is written until every field is right. Escape, Cancel and Exit leave the file as it is;
// Save writes what changed, the device kinds included, and the port follows without waiting
// for a serial server.
TEST_F(DesktopFixture, SetupShowsEachProblemBesideItsFieldWritesOnlyOnSaveWaitsForNoServerAndTheKindsCanBeEdited) {
    auto& hs = form.configuration().Homeseer();
    hs.SaveIniSetting("General", "Ignore", "A5,B16", "Quorvel.ini");
    hs.SaveIniSetting("General", "Debug", "1", "Quorvel.ini");
    hs.SaveIniSetting("Devices", "B1", "motion", "Quorvel.ini");
    (void)form.configuration().InitHW();  // the default port 1: /dev/ttyS0
    ASSERT_TRUE(serial->IsOpen());
    // The clock and status exchanges are over (the simulated interface stays silent).
    sim.Advance(1000 + quorvel::cm11a::Cm11aEngine::kStatusAnswerMs);
    const auto file = dir.path() / "Config" / "Quorvel.ini";
    const std::string original = ReadBytes(file);

    form.MenuArray_Click(0);  // "Setup"
    SetupWindow* setup = session.Setup();
    ASSERT_NE(setup, nullptr);
    ASSERT_TRUE(setup->isVisible());
    EXPECT_EQ(setup->aIgnore().text().toStdString(), "A5,B16");  // without the edge commas
    EXPECT_TRUE(setup->aDebug().isChecked());
    EXPECT_EQ(setup->aDevices().text().toStdString(), "B1=motion");

    // A host:port typed into House, a short UID, a kind that does not exist: each shown
    // under its own field, nothing written, the window stays.
    setup->aHouse().setText("127.0.0.1:1");
    setup->aUID().setText("FF00");
    setup->aDevices().setText("B1=motion, C2=lamp");
    setup->Buttons().button(QDialogButtonBox::Save)->click();
    EXPECT_TRUE(setup->isVisible());
    EXPECT_NE(setup->Problem("House").indexOf("no house letter"), -1) << setup->Problem("House").toStdString();
    EXPECT_NE(setup->Problem("UID").indexOf("eight hex digits"), -1);
    EXPECT_NE(setup->Problem("Devices").indexOf("C2"), -1);
    EXPECT_TRUE(setup->Problem("ComPort").isEmpty());
    EXPECT_EQ(ReadBytes(file), original);

    // Escape: gone, nothing written, nothing applied; opened again it shows memory.
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(setup, &escape);
    EXPECT_FALSE(setup->isVisible());
    EXPECT_EQ(ReadBytes(file), original);
    form.MenuArray_Click(0);
    EXPECT_EQ(setup->aHouse().text().toStdString(), form.settings().House);
    EXPECT_TRUE(setup->Problem("House").isEmpty());

    int portReports = 0;
    form.reporter().SetConsole([&](const std::string& line) { portReports += line.find("ComPort") != line.npos; });
    setup->aComPort().setText(" 2\n");  // blanks go; the line break goes with a report
    setup->aUID().setText("FF00AB00");
    setup->aHouse().setText("CD");
    setup->aIgnore().setText(" c5 , d16 ");
    setup->aDebug().setChecked(false);
    setup->aDevices().setText("c1 switch; D2=remote");
    EXPECT_TRUE(setup->Save());
    EXPECT_FALSE(setup->isVisible());
    EXPECT_EQ(portReports, 2);  // the control character, and the "saved" line naming ComPort
    form.reporter().SetConsole({});

    // The port is changed between commands, without a word from this window to the old one.
    EXPECT_TRUE(serial->IsOpen());
    ASSERT_FALSE(serial->Opens().empty());
    EXPECT_EQ(serial->Opens().back().first, "/dev/ttyS1");
    const auto ini = [&](const char* key) { return hs.GetIniSetting("General", key, "?", "Quorvel.ini"); };
    EXPECT_EQ(ini("ComPort") + " " + ini("UID") + " " + ini("House") + " " + ini("Ignore") + " " + ini("Debug"),
              "2 FF00AB00 CD c5,d16 0");
    EXPECT_EQ(hs.GetIniSetting("Devices", "B1", "?", "Quorvel.ini"), "?");  // taken off the list
    EXPECT_EQ(hs.GetIniSetting("Devices", "C1", "?", "Quorvel.ini"), "switch");
    EXPECT_EQ(form.settings().Kinds[*quorvel::state::DeviceIndex("D2")], quorvel::core::DeviceKind::Remote);

    // A serial server that does not answer: Save is over at once, the connection is made in
    // the background; then Save without a change writes nothing.
    sim.Advance(1000 + quorvel::cm11a::Cm11aEngine::kStatusAnswerMs);  // the exchanges on ttyS1 are over
    form.MenuArray_Click(0);
    setup->aComPort().setText("127.0.0.1:4001");
    const std::uint64_t before = sim.NowMs();
    EXPECT_TRUE(setup->Save());
    EXPECT_EQ(sim.NowMs(), before);
    EXPECT_TRUE(form.link().Connecting());
    const std::string saved = ReadBytes(file);
    form.MenuArray_Click(0);
    EXPECT_TRUE(setup->isVisible());
    EXPECT_TRUE(setup->Save());
    EXPECT_EQ(ReadBytes(file), saved);

    // Exit with the window open and edited: as Cancel.
    form.MenuArray_Click(0);
    setup->aHouse().setText("");
    session.Menu().actions().back()->trigger();  // "Exit", carried out from the event loop
    QCoreApplication::processEvents();
    EXPECT_FALSE(setup->isVisible());
    EXPECT_EQ(ReadBytes(file), saved);
    EXPECT_TRUE(sim.QuitRequested());
    EXPECT_EQ(sim.ExitCode(), 0);
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
    window->Refresh();
    EXPECT_NE(window->CommData().toPlainText().indexOf("Queued A1 ON: sends 04 66, then 06 62"), -1);

    // A1 on, confirmed by the interface: checksums 6A and 68, each followed by ready.
    for (const char reply : {'\x6A', '\x55', '\x68', '\x55'}) {
        serial->Deliver(std::string(1, reply));
        sim.Advance(100);
    }
    // The interface's status, once read, shows under the devices.
    form.cm11a().RequestStatus();
    quorvel::cm11a::InterfaceStatus status;
    status.BatteryTimer = 77;
    serial->Deliver(quorvel::cm11a::EncodeStatus(status));
    sim.Advance(100);
    session.Status()->Refresh();  // as its timer does
    const QString table = session.Status()->Table().toPlainText();
    EXPECT_NE(table.indexOf("A1"), -1) << table.toStdString();
    EXPECT_NE(table.indexOf("Battery timer: 77 minutes"), -1) << table.toStdString();

    // A long run of traffic: the pane holds the tail and shows its newest line.
    for (int i = 0; i < 400; ++i) form.commWindow().EchoMessage("line " + std::to_string(i) + " of a long run");
    window->Refresh();
    const QString shown = window->CommData().toPlainText();
    EXPECT_LE(shown.size(), 10000);
    EXPECT_TRUE(shown.trimmed().endsWith("line 399 of a long run"));
    QScrollBar& bar = *window->CommData().verticalScrollBar();
    EXPECT_EQ(bar.value(), bar.maximum());
    // A reader who scrolled back stays where he is while traffic comes in; back at the end,
    // the view follows again.
    bar.setValue(bar.maximum() / 2);
    const int reading = bar.value();
    form.commWindow().EchoMessage("one more line");
    window->Refresh();
    EXPECT_EQ(bar.value(), reading);
    bar.setValue(bar.maximum());
    form.commWindow().EchoMessage("and another");
    window->Refresh();
    EXPECT_EQ(bar.value(), bar.maximum());
    window->CommClose().click();
    EXPECT_FALSE(window->isVisible());
}

TEST_F(DesktopFixture, TrayClicksOpenTheMenuWithoutWaitingAndExitRunsOnlyAfterTheMenuHasHandledTheClick) {
    // A right release opens the menu on the next turn of the event loop; the middle button
    // nothing. Nothing runs inside the icon's signal.
    struct Case { QSystemTrayIcon::ActivationReason reason; int menus; };
    for (const Case c : {Case{QSystemTrayIcon::Context, 1}, Case{QSystemTrayIcon::MiddleClick, 0}}) {
        SCOPED_TRACE(c.reason);
        const int before = session.MenuShows();
        emit session.Tray().icon().activated(c.reason);
        EXPECT_EQ(session.MenuShows(), before);
        QCoreApplication::processEvents();
        EXPECT_EQ(session.MenuShows() - before, c.menus);
        EXPECT_EQ(session.Menu().isVisible(), c.menus > 0);
        session.Menu().hide();
    }
    // A left click opens the menu once it cannot be the start of a double-click any more...
    int before = session.MenuShows();
    emit session.Tray().icon().activated(QSystemTrayIcon::Trigger);
    QCoreApplication::processEvents();
    EXPECT_EQ(session.MenuShows(), before);
    EXPECT_TRUE(RunUntil([&] { return session.MenuShows() > before; }));
    session.Menu().hide();
    // ...and a double-click opens System Status, with no menu in the way.
    before = session.MenuShows();
    emit session.Tray().icon().activated(QSystemTrayIcon::Trigger);
    emit session.Tray().icon().activated(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(RunUntil([&] { return session.Status() != nullptr && session.Status()->isVisible(); }));
    RunUntil([] { return false; });  // the double-click time passes
    EXPECT_EQ(session.MenuShows(), before);
    session.Status()->hide();

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

// The tooltip tells the link's state, every window carries the bulb, and without a tray host
// the status window opens on start with Setup, Serial Comm and Exit on it.
TEST_F(DesktopFixture, TheTooltipTellsTheLinkStateAndWithoutATrayTheStatusWindowStandsInForTheIcon) {
    form.settings().ComPort = "/dev/ttyS9";  // not there
    (void)form.link().OpenPort("/dev/ttyS9");
    form.Timer1_Timer();  // the icon is shown, as at the end of the start-up
    const QString down = session.Tray().icon().toolTip();
    EXPECT_TRUE(down.startsWith("CM11A: no link: ")) << down.toStdString();
    EXPECT_NE(down.indexOf("ttyS9"), -1) << down.toStdString();
    ASSERT_TRUE(form.link().OpenPort("/dev/ttyS1"));
    EXPECT_EQ(session.Tray().icon().toolTip(), "CM11A: link up on /dev/ttyS1");
    EXPECT_FALSE(QApplication::windowIcon().isNull());

    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());  // the offscreen platform has none
    StatusWindow* status = session.Status();
    ASSERT_NE(status, nullptr);
    EXPECT_TRUE(status->isVisible());
    EXPECT_FALSE(status->windowIcon().isNull());
    status->close();  // only minimized: it is the way back to the connector
    EXPECT_TRUE(status->isVisible());
    status->SetupButton().click();
    EXPECT_TRUE(RunUntil([&] { return session.Setup() != nullptr && session.Setup()->isVisible(); }));
    status->CommButton().click();
    EXPECT_TRUE(RunUntil([&] { return session.Comm() != nullptr && session.Comm()->isVisible(); }));
    status->ExitButton().click();
    EXPECT_TRUE(RunUntil([&] { return form.Unloaded(); }));
    EXPECT_TRUE(sim.QuitRequested());
}
