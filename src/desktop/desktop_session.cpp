#include "desktop/desktop_session.h"

#include "app/quorvel_form.h"
#include "app/settings_check.h"
#include "desktop/icons.h"
#include "host/ini_tool.h"
#include "state/device_kinds.h"
#include "state/device_state.h"

#include <QCursor>
#include <QLocalSocket>
#include <QPointer>

namespace quorvel::desktop {

namespace {

constexpr int kTooltipRefreshMs = 2000;
constexpr int kInstanceWaitMs = 1000;

// Setup's device kinds ("A1=light, B1 motion") as the INI engine gives a section: entries
// "key=value" separated by NUL bytes.
std::string DevicesSection(const std::string& text) {
    std::string section;
    std::string entry;
    auto finish = [&] {
        const std::string trimmed(core::Trim(entry));
        entry.clear();
        if (trimmed.empty()) return;
        std::string e = trimmed;
        if (e.find('=') == std::string::npos) {
            const auto blank = e.find_first_of(" \t");
            if (blank != std::string::npos) e = e.substr(0, blank) + "=" + std::string(core::Trim(e.substr(blank)));
        }
        if (!section.empty()) section.push_back('\0');
        section += e;
    };
    for (char c : text) {
        if (c == ',' || c == ';' || c == '\n') {
            finish();
        } else {
            entry.push_back(c);
        }
    }
    finish();
    return section;
}

std::string Join(const std::string& a, const std::string& b) { return a.empty() ? b : a + "; " + b; }

}  // namespace

std::map<std::string, std::string> CheckSetupValues(const SetupValues& v,
                                                    const std::function<bool(const std::string&)>& deviceExists) {
    app::SettingsSnapshot snapshot;
    snapshot.Values.ComPort = v.ComPort.empty() ? "1" : v.ComPort;
    snapshot.ComPortIsDefault = v.ComPort.empty();
    snapshot.Values.UID = v.UID;
    snapshot.Values.House = v.House.empty() ? "ABCDEFGHIJKLMNOP" : v.House;  // empty reads as every house
    snapshot.StoredIgnore = v.Ignore;
    snapshot.Values.Ignore = app::HeldIgnore(v.Ignore);
    snapshot.StoredDebug = v.Debug ? "1" : "0";
    snapshot.Values.BroadcastAddress = "Default";
    snapshot.Values.InterfaceAddress = "Default";
    std::map<std::string, std::string> found;
    for (const std::string& problem : app::CheckSettings(snapshot, deviceExists)) {
        for (const char* field : {"ComPort", "UID", "House", "Ignore"}) {
            if (problem.rfind(field, 0) == 0) found[field] = Join(found[field], problem);
        }
    }
    for (const std::string& p : app::CheckDevicesSection(DevicesSection(v.Devices), snapshot.Values)) {
        found["Devices"] = Join(found["Devices"], p);
    }
    return found;
}

QString LinkTooltip(const std::string& linkState) {
    return QString::fromUtf8(("CM11A: " + linkState).c_str()).left(63);
}

DesktopSession::DesktopSession(std::unique_ptr<QApplication> app)
    : app_(std::move(app)), idle_(TrayPicture(false)), activity_(TrayPicture(true)) {
    // Every window carries the bulb.
    QApplication::setWindowIcon(idle_);
    menu_.setTitle("CM11A");
    for (int i = 0; i < static_cast<int>(std::size(kMenuCaptions)); ++i) {
        if (std::string(kMenuCaptions[i]) == "-") {
            menu_.addSeparator();
            continue;
        }
        QAction* action = menu_.addAction(kMenuCaptions[i]);
        // Carried out on the next turn of the event loop, once the menu has closed: "Exit"
        // removes the icon and the menu's own handling must be over by then.
        QObject::connect(
            action, &QAction::triggered, &menu_,
            [this, i] {
                if (form_ != nullptr) form_->MenuArray_Click(i);
                if (i == 4) ShowAbout();
            },
            Qt::QueuedConnection);
    }
    tooltipTimer_.setInterval(kTooltipRefreshMs);
    QObject::connect(&tooltipTimer_, &QTimer::timeout, &menu_, [this] { RefreshTooltip(); });
    // Another start on the same folder asks this one to show itself.
    QObject::connect(&instanceServer_, &QLocalServer::newConnection, &menu_, [this] {
        while (QLocalSocket* peer = instanceServer_.nextPendingConnection()) {
            peer->disconnectFromServer();
            peer->deleteLater();
        }
        OpenWindow("System Status");
    });
}

DesktopSession::~DesktopSession() {
    // A main object that outlives the session must not reach its tray or windows any more.
    if (form_ != nullptr) {
        form_->SetTrayView(nullptr);
        form_->SetWindowOpener(nullptr);
    }
    // Windows go before the application object (app_ is destroyed last).
    inUse_.reset();
    about_.reset();
    status_.reset();
    comm_.reset();
    setup_.reset();
    tray_.reset();
}

void DesktopSession::Attach(app::QuorvelForm& form) {
    form_ = &form;
    tray_ = std::make_unique<TrayIcon>([this](const std::string& text) {
        if (form_ != nullptr) form_->reporter().ReportEvent(core::kAppName, text);
    });
    tray_->SetCaption("CM11A");
    tray_->SetCallback([this](int msg) {
        if (form_ != nullptr) form_->TrayIconCallback(msg);
    });
    form.SetTrayView(this);
    form.SetWindowOpener([this](const std::string& name) { OpenWindow(name); });
    // The model may outlive the windows and the windows the model (the main object goes
    // first at exit): the hook holds a guarded pointer and the windows never touch the model
    // on destruction.
    form.commWindow().SetChangeHook([this, guard = QPointer<QMenu>(&menu_)] {
        if (!guard) return;
        if (comm_ != nullptr) comm_->ScheduleRefresh();
        RefreshTooltip();
    });
}

void DesktopSession::RefreshTooltip() {
    if (tray_ != nullptr && form_ != nullptr) tray_->SetCaption(LinkTooltip(form_->link().LinkState()));
}

void DesktopSession::Update(bool iconOn, app::TrayPicture picture) {
    if (tray_ != nullptr) tray_->Update(iconOn, picture == app::TrayPicture::Activity ? activity_ : idle_);
    if (iconOn && !firstShown_) FirstShown();
    if (!iconOn) tooltipTimer_.stop();
}

void DesktopSession::FirstShown() {
    firstShown_ = true;
    RefreshTooltip();
    tooltipTimer_.start();
    if (form_ != nullptr) {
        // No other connector holds this folder (its lock is ours): a name left by one that
        // crashed can go.
        const QString name = QString::fromStdString(app::InstanceServerName(form_->settings().AppFolder.string()));
        QLocalServer::removeServer(name);
        if (!instanceServer_.listen(name)) {
            form_->reporter().DebugLog("Another start cannot reach this one: " +
                                       instanceServer_.errorString().toStdString());
        }
    }
    // Without a tray host the icon is nowhere to be seen: the status window stands in for it.
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        OpenWindow("System Status");
        if (status_ != nullptr) status_->SetKeepReachable(true);
    }
}

void DesktopSession::ShowMenu() {
    ++menuShows_;
    // Shown and left to the event loop: this returns at once, and the chosen entry arrives
    // as a queued call.
    // Below the icon when the pointer is on it, so the menu does not hide the icon.
    QPoint at = QCursor::pos();
    const QRect icon = tray_ != nullptr ? tray_->icon().geometry() : QRect();
    if (icon.isValid() && icon.contains(at)) at.setY(icon.bottom() + 1);
    menu_.popup(at);
}

void DesktopSession::UnloadWindows() {
    // An open setup window is closed as by "Cancel": only "Save" writes.
    if (setup_ != nullptr && setup_->isVisible()) setup_->reject();
    if (comm_ != nullptr) comm_->hide();
    if (status_ != nullptr) status_->hide();
    if (about_ != nullptr) about_->hide();
}

SetupActions DesktopSession::MakeSetupActions() {
    app::QuorvelForm& form = *form_;
    SetupActions actions;
    actions.Current = [&form] {
        const core::Settings& s = form.settings();
        SetupValues v;
        v.ComPort = s.ComPort;
        v.UID = s.UID;
        v.House = s.House;
        // Ignore is held with a comma at both ends; the window shows the list without them.
        v.Ignore = s.Ignore.size() >= 2 ? s.Ignore.substr(1, s.Ignore.size() - 2) : std::string();
        v.Debug = s.Debug;
        v.Devices = state::DescribeKinds(s, '=');
        return v;
    };
    actions.Check = [](const SetupValues& v) { return CheckSetupValues(v, app::PathExists); };
    actions.Save = [&form](const SetupValues& before, const SetupValues& after) {
        // One load and one save of Quorvel.ini for everything that changed.
        host::IniTool ini(form.reporter(), form.clock());
        ini.Load((form.settings().AppFolder / "Config" / app::kMainIni).string());
        std::string changed;
        auto put = [&](const char* key, const std::string& was, const std::string& now) {
            if (was == now) return;
            ini.WriteKey("General", key, now);
            changed += std::string(changed.empty() ? "" : ", ") + key;
        };
        put("ComPort", before.ComPort, after.ComPort);
        put("UID", before.UID, after.UID);
        put("House", before.House, after.House);
        put("Ignore", before.Ignore, after.Ignore);
        put("Debug", before.Debug ? "1" : "0", after.Debug ? "1" : "0");
        if (before.Devices != after.Devices) {
            for (const std::string& key : ini.Keys(state::kDevicesSection)) {
                if (!key.empty()) ini.Remove(state::kDevicesSection, key);
            }
            core::Settings kinds;
            std::vector<std::string> ignored;  // checked before saving
            state::ReadDeviceKinds(DevicesSection(after.Devices), kinds, ignored);
            for (int i = 0; i < core::kAddressCount; ++i) {
                const auto u = static_cast<std::size_t>(i);
                if (kinds.Listed[u]) ini.WriteKey(state::kDevicesSection, state::DeviceName(i), std::string(state::KindText(kinds.Kinds[u])));
            }
            changed += std::string(changed.empty() ? "" : ", ") + "Devices";
        }
        ini.Save();
        form.reporter().ReportEvent(core::kAppName, "CM11A Setup saved " + changed);
        // Read back; a changed port is taken up between two commands.
        if (!form.ShuttingDown()) form.configuration().InitIniKeys();
    };
    actions.Report = [&form](const std::string& text) { form.reporter().ReportEvent(core::kAppName, text); };
    return actions;
}

void DesktopSession::OpenWindow(const std::string& name) {
    if (form_ == nullptr) return;
    if (name == "Setup") {
        if (setup_ == nullptr) setup_ = std::make_unique<SetupWindow>(MakeSetupActions());
        setup_->Open();
    } else if (name == "Serial Comm") {
        if (comm_ == nullptr) comm_ = std::make_unique<CommWindow>(form_->commWindow());
        comm_->Open();
    } else if (name == "System Status") {
        if (status_ == nullptr) {
            app::QuorvelForm& form = *form_;
            status_ = std::make_unique<StatusWindow>([&form] { return form.StatusTable(); });
            // Its buttons stand in for the menu where there is no tray; queued like the menu's.
            status_->SetMenu([this](int index) {
                QTimer::singleShot(0, &menu_, [this, index] {
                    if (form_ != nullptr) form_->MenuArray_Click(index);
                });
            });
        }
        status_->Open();
    }
}

int DesktopSession::AlreadyRunning(const std::string& folder, const std::string& holder) {
    // The running connector is asked to show its status window; a short, bounded wait.
    QLocalSocket peer;
    peer.connectToServer(QString::fromStdString(app::InstanceServerName(folder)));
    const bool reached = peer.waitForConnected(kInstanceWaitMs);
    if (reached) peer.disconnectFromServer();
    QString text = QString("Quorvel is already running for the folder %1.\n\nThe folder is %2.")
                       .arg(QString::fromStdString(folder), QString::fromStdString(holder));
    text += reached ? "\n\nIts status window has been brought up." : "\n\nThis start ends here.";
    inUse_ = std::make_unique<QMessageBox>(QMessageBox::Information, "Quorvel is already running", text,
                                           QMessageBox::Ok);
    inUse_->setIconPixmap(DrawTrayPicture(false, 48));
    QObject::connect(inUse_.get(), &QMessageBox::finished, inUse_.get(), [] { QCoreApplication::exit(1); });
    inUse_->show();
    inUse_->raise();
    inUse_->activateWindow();
    QApplication::exec();
    return 1;
}

void DesktopSession::ShowAbout() {
    if (about_ == nullptr) {
        about_ = std::make_unique<QMessageBox>();
        about_->setWindowTitle("About Quorvel");
        about_->setIconPixmap(DrawTrayPicture(false, 48));
        about_->setModal(false);
    }
    if (form_ == nullptr) return;
    const core::Settings& s = form_->settings();
    const QString folder = QString::fromStdString(s.AppFolder.string());
    about_->setText(QString("Quorvel %1\nxAP to X10 CM11A connector\n\nSettings: %2/Config/Quorvel.ini\nLog: %2/Data/Quorvel.txt")
                        .arg(QUORVEL_VERSION, folder));
    about_->show();
    about_->raise();
}

}  // namespace quorvel::desktop
