// "CM11A Setup": the five [General] settings, filled from memory when the window opens and
// written back, in a fixed order, whenever it closes; then the settings are read back, and a
// changed port is taken up between two commands (a serial server is connected in the
// background: the window is gone at once).
#pragma once

#include "core/settings.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QWidget>

#include <functional>
#include <string>

namespace quorvel::desktop {

struct SetupActions {
    std::function<void(const std::string& key, const std::string& value)> SaveSetting;  // [General] of Quorvel.ini
    std::function<void()> InitIniKeys;
    std::function<void(const std::string& text)> Report;
    std::function<bool()> ShuttingDown;
};

class SetupWindow : public QWidget {
public:
    static constexpr const char* kCaption = "CM11A Setup";

    SetupWindow(const core::Settings& settings, SetupActions actions);

    // Opens the window (filled afresh when it was closed) or brings it to the front.
    void Open();
    bool Loaded() const { return loaded_; }

    QLineEdit& aComPort() { return aComPort_; }
    QLineEdit& aUID() { return aUID_; }
    QLineEdit& aHouse() { return aHouse_; }
    QLineEdit& aIgnore() { return aIgnore_; }
    QCheckBox& aDebug() { return aDebug_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void Form_Load();
    void Form_Unload();
    std::string Field(const QLineEdit& edit, const char* key);

    const core::Settings& settings_;
    SetupActions actions_;
    QLineEdit aComPort_;
    QLineEdit aUID_;
    QLineEdit aHouse_;
    QLineEdit aIgnore_;
    QCheckBox aDebug_;
    bool loaded_ = false;
};

}  // namespace quorvel::desktop
