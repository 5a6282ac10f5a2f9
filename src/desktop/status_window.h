// "System Status": the table of X10 devices with their last known state, level, last change
// and origin. It reads the table afresh when opened and every two seconds while shown.
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
    QPlainTextEdit& Table() { return table_; }

private:
    std::function<std::string()> source_;
    QPlainTextEdit table_;
    QPushButton close_;
    QTimer refresh_;
};

}  // namespace quorvel::desktop
