// The notification-area icon: shown, changed and removed on request; its button events go
// to one callback as the mouse message codes 514 (left release), 517 (right release) and
// 515 (double-click), on the event loop's next turn after the activation. A left click is
// passed on once the double-click time has passed without a second click, so that a
// double-click is not taken for a click (whose menu would swallow the second click).
#pragma once

#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>

#include <functional>
#include <string>

namespace quorvel::desktop {

class TrayIcon : public QObject {
public:
    using Callback = std::function<void(int msg)>;
    // Told once when no tray can be found and once when a tray takes the icon after all.
    using Notice = std::function<void(const std::string&)>;

    explicit TrayIcon(Notice notice = {});

    void SetCallback(Callback callback) { callback_ = std::move(callback); }
    // The tooltip; at most 63 characters are shown.
    void SetCaption(const QString& caption);
    // Shows or changes the icon (iconOn) or removes it.
    void Update(bool iconOn, const QIcon& picture);

    bool Shown() const { return shown_; }
    int LastMessage() const { return lastMessage_; }
    QSystemTrayIcon& icon() { return icon_; }

    // The code an activation of the icon is passed on as; 0 for none.
    static int MessageCode(QSystemTrayIcon::ActivationReason reason);
    // Handles one mouse event of the icon (also called by tests).
    void OnMouseMessage(int msg);

private:
    void CheckTray();
    void OnActivated(QSystemTrayIcon::ActivationReason reason);

    QSystemTrayIcon icon_;
    Callback callback_;
    Notice notice_;
    QTimer trayWatch_;
    QTimer singleClick_;  // a left click waiting to be told apart from a double-click
    bool shown_ = false;
    bool trayWasAvailable_ = true;
    bool missingReported_ = false;
    int lastMessage_ = 0;
};

}  // namespace quorvel::desktop
