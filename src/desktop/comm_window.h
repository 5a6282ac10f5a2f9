// "CM11A Communications Window": the status and traffic panes, the link status line and the
// entry field for typed X10 commands. The texts live in the CommWindowModel, which keeps
// collecting while the window is hidden or not yet created; the window shows them, wrapped to
// its width, and follows the newest line of a pane while that pane is scrolled to its end.
#pragma once

#include "cm11a/comm_window_model.h"

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QWidget>

namespace quorvel::desktop {

class CommWindow : public QWidget {
public:
    explicit CommWindow(cm11a::CommWindowModel& model);

    void Open();

    QLineEdit& SendString() { return sendString_; }
    QPushButton& SendToRain8() { return sendButton_; }
    QPlainTextEdit& CommStatus() { return commStatus_; }
    QPlainTextEdit& CommData() { return commData_; }
    QPushButton& CommClose() { return closeButton_; }
    QLabel& aOpenStatus() { return openStatus_; }

    // Brings the controls up to date with the model now (normally done from the event loop).
    void Refresh();
    // The model changed: a refresh on the event loop's next turn (once for a burst).
    void ScheduleRefresh();

protected:
    void showEvent(QShowEvent* event) override;

private:
    static void ShowPane(QPlainTextEdit& pane, const std::string& text);

    cm11a::CommWindowModel& model_;
    QLineEdit sendString_;
    QPushButton sendButton_;
    QPlainTextEdit commStatus_;
    QPlainTextEdit commData_;
    QPushButton closeButton_;
    QLabel openStatus_;
    bool refreshPending_ = false;
};

}  // namespace quorvel::desktop
