#include "desktop/comm_window.h"

#include <QGridLayout>

#include <algorithm>
#include <QScrollBar>
#include <QTimer>

namespace quorvel::desktop {

namespace {
QString FromUtf8(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }
// The panes hold CR LF line ends; the text widget wants LF alone.
QString PaneText(const std::string& text) {
    QString shown = FromUtf8(text);
    shown.remove(QChar('\r'));
    return shown;
}
}  // namespace

CommWindow::CommWindow(cm11a::CommWindowModel& model)
    : model_(model), sendButton_(cm11a::CommWindowModel::kSendCaption), closeButton_("Close") {
    setWindowTitle(cm11a::CommWindowModel::kCaption);
    sendString_.setObjectName("SendString");
    sendButton_.setObjectName("SendToRain8");
    commStatus_.setObjectName("CommStatus");
    commData_.setObjectName("CommData");
    closeButton_.setObjectName("CommClose");
    openStatus_.setObjectName("aOpenStatus");
    for (QPlainTextEdit* pane : {&commStatus_, &commData_}) {
        pane->setReadOnly(true);
        // Wrapped, so that a long sent-bytes line shows its bytes at any width.
        pane->setLineWrapMode(QPlainTextEdit::WidgetWidth);
        pane->setFont(QFont("monospace"));
    }
    commStatus_.setMaximumWidth(140);

    auto* layout = new QGridLayout(this);
    layout->addWidget(&sendString_, 0, 0, 1, 2);
    layout->addWidget(&sendButton_, 0, 2);
    layout->addWidget(new QLabel(cm11a::CommWindowModel::kHint), 1, 0, 1, 3);
    layout->addWidget(new QLabel("Status"), 2, 0);
    layout->addWidget(&commStatus_, 3, 0);
    layout->addWidget(&commData_, 3, 1, 1, 2);
    layout->addWidget(&openStatus_, 4, 0, 1, 2);
    layout->addWidget(&closeButton_, 4, 2);
    layout->setColumnStretch(1, 1);
    layout->setRowStretch(3, 1);
    resize(760, 420);

    auto send = [this] { model_.SendToRain8_Click(sendString_.text().toStdString()); };
    connect(&sendButton_, &QPushButton::clicked, this, send);
    connect(&sendString_, &QLineEdit::returnPressed, this, send);
    connect(&closeButton_, &QPushButton::clicked, this, [this] { hide(); });
}

void CommWindow::Open() {
    show();
    raise();
    activateWindow();
}

void CommWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    Refresh();
}

void CommWindow::ScheduleRefresh() {
    // A burst of traffic is shown once, from the event loop; hidden, nothing is drawn.
    if (refreshPending_ || !isVisible()) return;
    refreshPending_ = true;
    QTimer::singleShot(0, this, [this] { Refresh(); });
}

void CommWindow::ShowPane(QPlainTextEdit& pane, const std::string& text) {
    const QString shown = PaneText(text);
    QScrollBar& bar = *pane.verticalScrollBar();
    // A reader who scrolled back keeps his place; at the end the view follows new lines.
    const bool following = bar.value() >= bar.maximum();
    const int at = bar.value();
    if (pane.toPlainText() != shown) pane.setPlainText(shown);
    bar.setValue(following ? bar.maximum() : std::min(at, bar.maximum()));
}

void CommWindow::Refresh() {
    refreshPending_ = false;
    ShowPane(commStatus_, model_.CommStatus());
    ShowPane(commData_, model_.CommData());
    openStatus_.setText(FromUtf8(model_.aOpenStatus()));
}

}  // namespace quorvel::desktop
