// The tray application: the icon and its popup menu "CM11A", the setup window, the status
// window and the communications window, joined to the main object through its tray view and
// window opener. Without a tray host the status window stands in for the icon.
#pragma once

#include "app/qt/desktop_loader.h"
#include "app/tray_view.h"
#include "desktop/comm_window.h"
#include "desktop/setup_window.h"
#include "desktop/status_window.h"
#include "desktop/tray_icon.h"

#include <QApplication>
#include <QIcon>
#include <QLocalServer>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace quorvel::app {
class QuorvelForm;
}

namespace quorvel::desktop {

// The checks of `quorvel --check-config` applied to what Setup holds: one problem per field.
// deviceExists answers whether a serial device path is present.
std::map<std::string, std::string> CheckSetupValues(const SetupValues& values,
                                                    const std::function<bool(const std::string&)>& deviceExists);

// The tooltip for a link state ("link up on /dev/ttyUSB0", "no link: ..."), at most 63 characters.
QString LinkTooltip(const std::string& linkState);

class DesktopSession : public app::Desktop, public app::TrayView {
public:
    // The captions of the menu entries, by index.
    static constexpr const char* kMenuCaptions[] = {"Setup", "System Config", "System Status", "Serial Comm",
                                                    "Help", "-", "Exit"};

    // app may be null when the caller owns the application object (tests).
    explicit DesktopSession(std::unique_ptr<QApplication> app);
    ~DesktopSession() override;

    QCoreApplication& Application() override { return *QCoreApplication::instance(); }
    void Attach(app::QuorvelForm& form) override;
    int AlreadyRunning(const std::string& folder, const std::string& holder) override;

    void Update(bool iconOn, app::TrayPicture picture) override;
    void ShowMenu() override;
    void UnloadWindows() override;

    void OpenWindow(const std::string& name);
    // The tooltip follows the link's state.
    void RefreshTooltip();

    TrayIcon& Tray() { return *tray_; }
    QMenu& Menu() { return menu_; }
    SetupWindow* Setup() { return setup_.get(); }
    CommWindow* Comm() { return comm_.get(); }
    StatusWindow* Status() { return status_.get(); }
    QLocalServer& InstanceServer() { return instanceServer_; }
    int MenuShows() const { return menuShows_; }

private:
    void ShowAbout();
    void FirstShown();
    SetupActions MakeSetupActions();

    std::unique_ptr<QApplication> app_;  // first member: outlives every widget below
    app::QuorvelForm* form_ = nullptr;
    QIcon idle_;
    QIcon activity_;
    std::unique_ptr<TrayIcon> tray_;
    QMenu menu_;
    std::unique_ptr<SetupWindow> setup_;
    std::unique_ptr<CommWindow> comm_;
    std::unique_ptr<StatusWindow> status_;
    std::unique_ptr<QMessageBox> about_;
    std::unique_ptr<QMessageBox> inUse_;
    QLocalServer instanceServer_;
    QTimer tooltipTimer_;
    bool firstShown_ = false;
    int menuShows_ = 0;
};

}  // namespace quorvel::desktop
