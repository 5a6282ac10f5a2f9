#include "desktop/status_window.h"

#include <QFontDatabase>
#include <QVBoxLayout>

namespace quorvel::desktop {

namespace {
constexpr int kRefreshMs = 2000;
}

StatusWindow::StatusWindow(std::function<std::string()> table) : source_(std::move(table)), close_("Close") {
    setWindowTitle("CM11A System Status");
    table_.setReadOnly(true);
    table_.setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    table_.setLineWrapMode(QPlainTextEdit::NoWrap);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(&table_);
    layout->addWidget(&close_, 0, Qt::AlignRight);
    resize(560, 360);
    QObject::connect(&close_, &QPushButton::clicked, this, &QWidget::hide);
    refresh_.setInterval(kRefreshMs);
    QObject::connect(&refresh_, &QTimer::timeout, this, [this] {
        if (isVisible()) {
            Refresh();
        } else {
            refresh_.stop();
        }
    });
}

void StatusWindow::Open() {
    Refresh();
    show();
    raise();
    refresh_.start();
}

void StatusWindow::Refresh() {
    const std::string text = source_ ? source_() : std::string();
    const QString shown = text.empty() ? QString("No X10 device has been sent to or heard yet.")
                                       : QString::fromStdString(text);
    if (table_.toPlainText() != shown) table_.setPlainText(shown);
}

}  // namespace quorvel::desktop
