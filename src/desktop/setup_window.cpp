#include "desktop/setup_window.h"

#include <QCloseEvent>
#include <QFormLayout>
#include <QLabel>

#include <exception>

namespace quorvel::desktop {

namespace {

QString FromUtf8(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// Ignore is held with a comma at both ends; the window shows the list without them.
std::string IgnoreForDisplay(const std::string& held) {
    return held.size() >= 2 ? held.substr(1, held.size() - 2) : std::string();
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

SetupWindow::SetupWindow(const core::Settings& settings, SetupActions actions)
    : settings_(settings), actions_(std::move(actions)), aDebug_("Debug") {
    setWindowTitle(kCaption);
    aComPort_.setObjectName("aComPort");
    aUID_.setObjectName("aUID");
    aHouse_.setObjectName("aHouse");
    aHouse_.setText("ABCDEFGHIJKLMNOP");
    aIgnore_.setObjectName("aIgnore");
    aDebug_.setObjectName("aDebug");
    auto* layout = new QFormLayout(this);
    layout->addRow(new QLabel("Serial Port Number / IP Address:Port"), &aComPort_);
    layout->addRow(new QLabel("xAP UID"), &aUID_);
    layout->addRow(new QLabel("Include House"), &aHouse_);
    layout->addRow(new QLabel("Ignore HcUc (comma separated)"), &aIgnore_);
    layout->addRow(&aDebug_);
    aComPort_.setMinimumWidth(220);
}

void SetupWindow::Open() {
    if (!loaded_) Form_Load();
    show();
    raise();
    activateWindow();
}

void SetupWindow::Form_Load() {
    aComPort_.setText(FromUtf8(settings_.ComPort));
    aUID_.setText(FromUtf8(settings_.UID));
    aHouse_.setText(FromUtf8(settings_.House));
    aIgnore_.setText(FromUtf8(IgnoreForDisplay(settings_.Ignore)));
    aDebug_.setChecked(settings_.Debug);
    loaded_ = true;
}

void SetupWindow::closeEvent(QCloseEvent* event) {
    // Closing is never refused; every close writes the settings back.
    if (loaded_) Form_Unload();
    event->accept();
}

std::string SetupWindow::Field(const QLineEdit& edit, const char* key) {
    // Line breaks and other control characters would break the INI file: they are dropped.
    const std::string typed = edit.text().toStdString();
    std::string clean;
    clean.reserve(typed.size());
    for (char c : typed) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7f) clean.push_back(c);
    }
    if (clean.size() != typed.size() && actions_.Report) {
        actions_.Report(std::string("CM11A Setup: control characters removed from ") + key);
    }
    return std::string(core::Trim(clean));
}

void SetupWindow::Form_Unload() {
    loaded_ = false;
    const std::string comPort = Field(aComPort_, "ComPort");
    std::string ignore;
    // "A1, B2" is meant as "A1,B2": blanks inside the list would make entries never match.
    for (char c : Field(aIgnore_, "Ignore")) {
        if (!IsBlank(c)) ignore.push_back(c);
    }
    const std::pair<const char*, std::string> values[] = {
        {"ComPort", comPort},
        {"UID", Field(aUID_, "UID")},
        {"House", Field(aHouse_, "House")},
        {"Ignore", ignore},
        {"Debug", aDebug_.isChecked() ? "1" : "0"},
    };
    auto step = [this](const char* what, const std::function<void()>& action) {
        try {
            if (action) action();
        } catch (const std::exception& e) {
            if (actions_.Report) actions_.Report(std::string("SetupForm Form_Unload ") + what + ": " + e.what());
        }
    };
    for (const auto& [key, value] : values) {
        step(key, [&, k = key, v = value] { actions_.SaveSetting(k, v); });
    }
    // When the connector is stopping the settings are stored; opening the link again
    // would only delay the stop.
    if (actions_.ShuttingDown && actions_.ShuttingDown()) return;
    step("InitIniKeys", [&] { actions_.InitIniKeys(); });
}

}  // namespace quorvel::desktop
