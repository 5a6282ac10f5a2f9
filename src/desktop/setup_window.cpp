#include "desktop/setup_window.h"

#include "core/settings.h"

#include <QGridLayout>
#include <QPushButton>

#include <exception>

namespace quorvel::desktop {

namespace {

QString FromUtf8(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

SetupWindow::SetupWindow(SetupActions actions)
    : actions_(std::move(actions)), aDebug_("Debug"), buttons_(QDialogButtonBox::Save | QDialogButtonBox::Cancel) {
    setWindowTitle(kCaption);
    setModal(false);
    aComPort_.setObjectName("aComPort");
    aUID_.setObjectName("aUID");
    aHouse_.setObjectName("aHouse");
    aHouse_.setText("ABCDEFGHIJKLMNOP");
    aIgnore_.setObjectName("aIgnore");
    aDebug_.setObjectName("aDebug");
    aDevices_.setObjectName("aDevices");
    aDevices_.setPlaceholderText("e.g. A1=light, A2=switch, B1=motion, C1=remote");
    auto* layout = new QGridLayout(this);
    int row = 0;
    auto add = [&](const char* caption, QWidget* field, const char* key) {
        layout->addWidget(new QLabel(caption), row, 0);
        layout->addWidget(field, row++, 1);
        if (key == nullptr) return;
        auto* problem = new QLabel(this);
        problem->setObjectName(QString("problem") + key);
        problem->setWordWrap(true);
        problem->setStyleSheet("color: #b00020");
        problem->hide();
        layout->addWidget(problem, row++, 1);
        problems_[key] = problem;
    };
    add("Serial Port Number / IP Address:Port", &aComPort_, "ComPort");
    add("xAP UID", &aUID_, "UID");
    add("Include House", &aHouse_, "House");
    add("Ignore HcUc (comma separated)", &aIgnore_, "Ignore");
    layout->addWidget(&aDebug_, row++, 1);
    add("Device kinds", &aDevices_, "Devices");
    layout->addWidget(&buttons_, row, 0, 1, 2);
    layout->setColumnStretch(1, 1);
    aComPort_.setMinimumWidth(300);
    // Escape and closing the window reject: nothing is written.
    connect(&buttons_, &QDialogButtonBox::accepted, this, [this] { (void)Save(); });
    connect(&buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void SetupWindow::Open() {
    if (!isVisible()) Form_Load();
    show();
    raise();
    activateWindow();
}

void SetupWindow::Form_Load() {
    loaded_ = actions_.Current ? actions_.Current() : SetupValues{};
    aComPort_.setText(FromUtf8(loaded_.ComPort));
    aUID_.setText(FromUtf8(loaded_.UID));
    aHouse_.setText(FromUtf8(loaded_.House));
    aIgnore_.setText(FromUtf8(loaded_.Ignore));
    aDebug_.setChecked(loaded_.Debug);
    aDevices_.setText(FromUtf8(loaded_.Devices));
    for (auto& [key, label] : problems_) label->hide();
}

QString SetupWindow::Problem(const std::string& field) const {
    const auto it = problems_.find(field);
    return it == problems_.end() || it->second->isHidden() ? QString() : it->second->text();
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

SetupValues SetupWindow::Typed() {
    SetupValues v;
    v.ComPort = Field(aComPort_, "ComPort");
    v.UID = Field(aUID_, "UID");
    v.House = Field(aHouse_, "House");
    // "A1, B2" is meant as "A1,B2": blanks inside the list would make entries never match.
    for (char c : Field(aIgnore_, "Ignore")) {
        if (!IsBlank(c)) v.Ignore.push_back(c);
    }
    v.Debug = aDebug_.isChecked();
    v.Devices = Field(aDevices_, "Devices");
    return v;
}

bool SetupWindow::Save() {
    const SetupValues typed = Typed();
    std::map<std::string, std::string> found;
    try {
        if (actions_.Check) found = actions_.Check(typed);
    } catch (const std::exception& e) {
        found["ComPort"] = std::string("the settings cannot be checked: ") + e.what();
    }
    for (auto& [key, label] : problems_) {
        const auto it = found.find(key);
        label->setVisible(it != found.end());
        if (it == found.end()) continue;
        label->setText(FromUtf8(it->second));
    }
    // The window grows or shrinks with the problems shown.
    layout()->activate();
    resize(width(), heightForWidth(width()) > 0 ? heightForWidth(width()) : sizeHint().height());
    if (!found.empty()) {
        if (actions_.Report) {
            std::string text = "CM11A Setup not saved:";
            for (const auto& [key, problem] : found) text += " " + problem + ";";
            text.pop_back();
            actions_.Report(text);
        }
        // Nothing is written while a field holds a problem; the first one takes the focus.
        for (auto [key, edit] : {std::pair{"ComPort", &aComPort_}, {"UID", &aUID_}, {"House", &aHouse_},
                                 {"Ignore", &aIgnore_}, {"Devices", &aDevices_}}) {
            if (found.count(key) != 0) {
                edit->setFocus();
                break;
            }
        }
        return false;
    }
    try {
        if (typed != loaded_ && actions_.Save) actions_.Save(loaded_, typed);
    } catch (const std::exception& e) {
        if (actions_.Report) actions_.Report(std::string("CM11A Setup: the settings cannot be saved: ") + e.what());
    }
    accept();
    return true;
}

}  // namespace quorvel::desktop
