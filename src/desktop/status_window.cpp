#include "desktop/status_window.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QVBoxLayout>

namespace quorvel::desktop {

namespace {
constexpr int kRefreshMs = 2000;
// The tray menu entries the buttons stand for.
constexpr int kSetupEntry = 0;
constexpr int kCommEntry = 3;
constexpr int kExitEntry = 6;
}  // namespace

StatusWindow::StatusWindow(std::function<std::string()> table)
    : source_(std::move(table)), setup_("Setup"), comm_("Serial Comm"), exit_("Exit"), close_("Close") {
    setWindowTitle("CM11A System Status");
    table_.setReadOnly(true);
    table_.setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    table_.setLineWrapMode(QPlainTextEdit::NoWrap);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(&table_);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(&setup_);
    buttons->addWidget(&comm_);
    buttons->addWidget(&exit_);
    buttons->addStretch(1);
    buttons->addWidget(&close_);
    layout->addLayout(buttons);
    resize(560, 360);
    auto entry = [this](int index) {
        return [this, index] {
            if (menu_) menu_(index);
        };
    };
    QObject::connect(&setup_, &QPushButton::clicked, this, entry(kSetupEntry));
    QObject::connect(&comm_, &QPushButton::clicked, this, entry(kCommEntry));
    QObject::connect(&exit_, &QPushButton::clicked, this, entry(kExitEntry));
    QObject::connect(&close_, &QPushButton::clicked, this, [this] { Close(); });
    refresh_.setInterval(kRefreshMs);
    QObject::connect(&refresh_, &QTimer::timeout, this, [this] {
        if (isVisible() && !isMinimized()) {
            Refresh();
        } else if (!isVisible()) {
            refresh_.stop();
        }
    });
}

void StatusWindow::Open() {
    Refresh();
    if (isMinimized()) showNormal();
    show();
    raise();
    activateWindow();
    refresh_.start();
}

void StatusWindow::Close() {
    if (keepReachable_) {
        showMinimized();
    } else {
        hide();
    }
}

void StatusWindow::closeEvent(QCloseEvent* event) {
    if (keepReachable_) {
        event->ignore();
        showMinimized();
        return;
    }
    QWidget::closeEvent(event);
}

void StatusWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        Close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void StatusWindow::Refresh() {
    const std::string text = source_ ? source_() : std::string();
    const QString shown = text.empty() ? QString("No X10 device has been sent to or heard yet.")
                                       : QString::fromStdString(text);
    if (table_.toPlainText() != shown) table_.setPlainText(shown);
}

}  // namespace quorvel::desktop
