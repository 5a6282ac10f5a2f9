#include "desktop/tray_icon.h"

#include "app/tray_view.h"

#include <QApplication>

namespace quorvel::desktop {

namespace {
constexpr int kTooltipLimit = 63;
constexpr int kTrayWatchMs = 3000;
}  // namespace

TrayIcon::TrayIcon(Notice notice) : notice_(std::move(notice)) {
    // Handled on the next turn of the event loop, outside the icon's own signal.
    connect(
        &icon_, &QSystemTrayIcon::activated, this,
        [this](QSystemTrayIcon::ActivationReason reason) { OnActivated(reason); }, Qt::QueuedConnection);
    singleClick_.setSingleShot(true);
    connect(&singleClick_, &QTimer::timeout, this, [this] { OnMouseMessage(app::kTrayLeftButtonUp); });
    // A tray host that starts late or restarts takes the icon when it (re)appears.
    trayWatch_.setInterval(kTrayWatchMs);
    connect(&trayWatch_, &QTimer::timeout, this, [this] { CheckTray(); });
}

void TrayIcon::SetCaption(const QString& caption) { icon_.setToolTip(caption.left(kTooltipLimit)); }

int TrayIcon::MessageCode(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        return app::kTrayLeftButtonUp;
    case QSystemTrayIcon::Context:
        return app::kTrayRightButtonUp;
    case QSystemTrayIcon::DoubleClick:
        return app::kTrayLeftDoubleClick;
    default:
        return 0;  // middle button and unknown reasons are not passed on
    }
}

void TrayIcon::OnActivated(QSystemTrayIcon::ActivationReason reason) {
    const int msg = MessageCode(reason);
    if (msg == app::kTrayLeftButtonUp) {
        singleClick_.start(QApplication::doubleClickInterval());
        return;
    }
    if (msg == app::kTrayLeftDoubleClick) singleClick_.stop();
    OnMouseMessage(msg);
}

void TrayIcon::OnMouseMessage(int msg) {
    lastMessage_ = msg;
    try {
        if (msg >= 513 && msg <= 518 && callback_) callback_(msg);
    } catch (...) {
        // A failing callback is ignored; the icon stays usable.
    }
}

void TrayIcon::Update(bool iconOn, const QIcon& picture) {
    if (iconOn) {
        icon_.setIcon(picture);
        if (!shown_) {
            icon_.show();
            shown_ = true;
            trayWasAvailable_ = QSystemTrayIcon::isSystemTrayAvailable();
            if (!trayWasAvailable_ && !missingReported_ && notice_) {
                missingReported_ = true;
                notice_("No system tray is available: the CM11A icon appears when one starts");
            }
            trayWatch_.start();
        }
    } else if (shown_) {
        trayWatch_.stop();
        icon_.hide();
        shown_ = false;
    }
}

void TrayIcon::CheckTray() {
    const bool available = QSystemTrayIcon::isSystemTrayAvailable();
    if (available && !trayWasAvailable_ && shown_) {
        // Dock again in the tray that has just appeared.
        icon_.hide();
        icon_.show();
        if (missingReported_ && notice_) notice_("A system tray is available: the CM11A icon is shown");
        missingReported_ = false;
    }
    trayWasAvailable_ = available;
}

}  // namespace quorvel::desktop
