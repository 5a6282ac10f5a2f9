// "CM11A Setup": the five [General] settings and the kinds of [Devices], filled from memory
// when the window opens. "Save" checks every field as `quorvel --check-config` does and
// shows each problem under its field; only values without a problem are written, and only
// those that changed. "Cancel", Escape and closing the window leave the files as they are.
// A changed port is taken up between two commands (a serial server is connected in the
// background: the window is gone at once).
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>

#include <functional>
#include <map>
#include <string>

namespace quorvel::desktop {

// What the window edits, as stored: Ignore as written ("A5,B16"), Devices as
// "A1=light, B1=motion".
struct SetupValues {
    std::string ComPort;
    std::string UID;
    std::string House;
    std::string Ignore;
    bool Debug = false;
    std::string Devices;
    bool operator==(const SetupValues&) const = default;
};

struct SetupActions {
    std::function<SetupValues()> Current;
    // One problem text per field name ("ComPort", "UID", "House", "Ignore", "Devices").
    std::function<std::map<std::string, std::string>(const SetupValues&)> Check;
    // Writes the values that differ from before and applies them.
    std::function<void(const SetupValues& before, const SetupValues& after)> Save;
    std::function<void(const std::string& text)> Report;
};

class SetupWindow : public QDialog {
public:
    static constexpr const char* kCaption = "CM11A Setup";

    explicit SetupWindow(SetupActions actions);

    // Opens the window (filled afresh when it was closed) or brings it to the front.
    void Open();

    QLineEdit& aComPort() { return aComPort_; }
    QLineEdit& aUID() { return aUID_; }
    QLineEdit& aHouse() { return aHouse_; }
    QLineEdit& aIgnore() { return aIgnore_; }
    QCheckBox& aDebug() { return aDebug_; }
    QLineEdit& aDevices() { return aDevices_; }
    QDialogButtonBox& Buttons() { return buttons_; }
    // The problem shown under a field, empty when none.
    QString Problem(const std::string& field) const;

    // "Save": checks, and writes and closes when nothing is wrong. False when a problem is shown.
    bool Save();

private:
    void Form_Load();
    SetupValues Typed();
    std::string Field(const QLineEdit& edit, const char* key);

    SetupActions actions_;
    QLineEdit aComPort_;
    QLineEdit aUID_;
    QLineEdit aHouse_;
    QLineEdit aIgnore_;
    QCheckBox aDebug_;
    QLineEdit aDevices_;
    std::map<std::string, QLabel*> problems_;
    QDialogButtonBox buttons_;
    SetupValues loaded_;
};

}  // namespace quorvel::desktop
