#include "desktop/desktop_session.h"

#include "app/quorvel_form.h"
#include "desktop/icons.h"

#include <QCursor>

namespace quorvel::desktop {

DesktopSession::DesktopSession(std::unique_ptr<QApplication> app)
    : app_(std::move(app)), idle_(TrayPicture(false)), activity_(TrayPicture(true)) {
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
}

DesktopSession::~DesktopSession() {
    // A main object that outlives the session must not reach its tray or windows any more.
    if (form_ != nullptr) {
        form_->SetTrayView(nullptr);
        form_->SetWindowOpener(nullptr);
    }
    // Windows go before the application object (app_ is destroyed last).
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
}

void DesktopSession::Update(bool iconOn, app::TrayPicture picture) {
    if (tray_ != nullptr) tray_->Update(iconOn, picture == app::TrayPicture::Activity ? activity_ : idle_);
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
    // An open setup window is closed, which writes its settings.
    if (setup_ != nullptr && setup_->isVisible()) setup_->close();
    if (comm_ != nullptr) comm_->hide();
    if (status_ != nullptr) status_->hide();
    if (about_ != nullptr) about_->hide();
}

void DesktopSession::OpenWindow(const std::string& name) {
    if (form_ == nullptr) return;
    if (name == "Setup") {
        if (setup_ == nullptr) {
            app::QuorvelForm& form = *form_;
            SetupActions actions;
            actions.SaveSetting = [&form](const std::string& key, const std::string& value) {
                form.configuration().Homeseer().SaveIniSetting("General", key, value, app::kMainIni);
            };
            actions.InitIniKeys = [&form] { form.configuration().InitIniKeys(); };
            actions.Report = [&form](const std::string& text) { form.reporter().ReportEvent(core::kAppName, text); };
            actions.ShuttingDown = [&form] { return form.ShuttingDown(); };
            setup_ = std::make_unique<SetupWindow>(form.settings(), std::move(actions));
        }
        setup_->Open();
    } else if (name == "Serial Comm") {
        if (comm_ == nullptr) comm_ = std::make_unique<CommWindow>(form_->commWindow());
        comm_->Open();
    } else if (name == "System Status") {
        if (status_ == nullptr) {
            app::QuorvelForm& form = *form_;
            status_ = std::make_unique<StatusWindow>([&form] { return form.StatusTable(); });
        }
        status_->Open();
    }
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
