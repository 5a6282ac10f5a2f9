// "System Status": the table of X10 devices with their last known state, level, last change
// and origin. It reads the table afresh when opened and every two seconds while shown. Its
// buttons reach Setup, Serial Comm and Exit, so that a desktop without a tray host still
// has them.
#pragma once

#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <string>

namespace quorvel::desktop {

class StatusWindow : public QWidget {
public:
    explicit StatusWindow(std::function<std::string()> table);

    void Open();
    void Refresh();
    // Told the index of the tray menu entry a button stands for.
    void SetMenu(std::function<void(int index)> menu) { menu_ = std::move(menu); }
    // With no tray icon, closing only minimizes: the window is the way back to the connector.
    void SetKeepReachable(bool keep) { keepReachable_ = keep; }
    QPlainTextEdit& Table() { return table_; }
    QPushButton& SetupButton() { return setup_; }
    QPushButton& CommButton() { return comm_; }
    QPushButton& ExitButton() { return exit_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Close();

    std::function<std::string()> source_;
    std::function<void(int)> menu_;
    QPlainTextEdit table_;
    QPushButton setup_;
    QPushButton comm_;
    QPushButton exit_;
    QPushButton close_;
    QTimer refresh_;
    bool keepReachable_ = false;
};

}  // namespace quorvel::desktop
