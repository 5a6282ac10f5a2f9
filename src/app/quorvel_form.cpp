#include "app/quorvel_form.h"

#include "app/settings_check.h"
#include "cm11a/codes.h"
#include "cm11a/extended.h"
#include "xap/xap_message.h"

#include <cassert>

namespace quorvel::app {

namespace {
constexpr int kActivityFlashMs = 200;
// One drain handles messages for at most this long, then lets other events (a signal, the
// interface's bytes, timers) run before it goes on.
constexpr std::uint64_t kDrainSliceMs = 50;
// A reload waits this long for further SIGHUPs, so that a burst of them is one reload.
constexpr int kReloadDelayMs = 100;
}

QuorvelForm::QuorvelForm(platform::Platform& platform, StartOptions options)
    : platform_(platform),
      options_(std::move(options)),
      reporter_(platform),
      configuration_(settings_, reporter_, platform_, options_.AppFolder, options_.ExePath),
      comm_(platform_, reporter_),
      link_(platform_, reporter_, settings_, [this] { return shuttingDown_; }),
      engine_(platform_, reporter_, settings_, comm_, link_),
      requests_(reporter_, settings_, MakeRequestActions()),
      bsc_(platform_, reporter_, settings_,
           {[this](const std::string& dc, int command, int steps, const std::string& sender) {
                engine_.SendCM11A(dc, command, steps, cm11a::X10Origin::BscCommand, -1, 0, sender);
            },
            [this](const std::string& dc, int data, const std::string& sender) {
                engine_.SendCM11A(dc, cm11a::kFunctionExtended, 0, cm11a::X10Origin::BscCommand, data,
                                  cm11a::kExtendedPresetDim, sender);
            },
            [this] { return configuration_.CM11AStarted(); },
            [this](const std::string& sender) { return engine_.QueueRoom(sender); }}) {
    // The CM11A link feeds the protocol engine and the communications window.
    link_.SetChunkSink([this](const std::string& bytes, int code) { engine_.CM11ADataArrival(bytes, code); });
    link_.SetEchoSink([this](const std::string& bytes) { comm_.EchoHex(bytes); });
    link_.SetStatusSink([this](const std::string& text) { comm_.SetOpenStatus(text); });
    link_.SetOpenedSink([this] { engine_.LinkOpened(); });
    comm_.SetSendCommand([this](const std::string& dc, int command, int brightness) {
        return engine_.SendTyped(dc, command, brightness, cm11a::X10Origin::Typed);
    });
    engine_.SetActivityObserver([this](const cm11a::X10Activity& a) {
        bsc_.OnActivity(a);
        if (activityListener_) activityListener_(a);
    });
    engine_.SetStatusObserver([this](const cm11a::InterfaceStatus& s) {
        interfaceStatus_ = cm11a::StatusText(s, platform_.LocalDateTime());
        state::SaveInterfaceStatus(settings_.AppFolder / "Data", interfaceStatus_, reporter_);
        if (bsc_.OnInterfaceStatus(s) && statesListener_) statesListener_();
    });
    configuration_.SetPortChanged([this] { engine_.PortChanged(); });
    configuration_.SetInitCM11A([this](const std::string& port) { return engine_.InitCM11A(port); });
    SetMessageHandler([this](const std::string& message) {
        requests_.Readmessage(message);
        bsc_.Readmessage(message);
    });

    timer1_ = platform_.CreateTimer();
    timer1_->SetInterval(0);  // enabled but idle until SwapIcons arms it
    timer1_->SetEnabled(true);
    timer1_->SetHandler([this] { Timer1_Timer(); });
    drainTimer_ = platform_.CreateTimer();
    drainTimer_->SetHandler([this] {
        drainTimer_->SetEnabled(false);
        onMessage();
    });
    reloadTimer_ = platform_.CreateTimer();
    reloadTimer_->SetHandler([this] {
        reloadTimer_->SetEnabled(false);
        ReloadSettings();
    });
}

QuorvelForm::~QuorvelForm() {
    if (!unloaded_) Form_Unload();
}

std::optional<int> QuorvelForm::Form_Load() {
    // 1. Flags.
    reporter_.SetXapRunning(false);
    shuttingDown_ = false;

    // 2. Folders, identity and the log file's place.
    configuration_.InitXap();
    bsc_.LoadState(settings_.AppFolder / "Data");

    // 3-4. The xAP node, with this window as its receiver.
    xap_ = std::make_unique<xap::XapNode>(platform_, reporter_, hostAddresses_);
    xap_->RegisterNewMessageCallback([this] { onMessage(); });
    SetMessageSource(xap_.get());
    reporter_.SetNode(xap_.get());
    // 5. Identity.
    xap_->SetXapSource(std::string(kXapSourcePrefix) + "." + settings_.ComputerName);
    xap_->SetXapUID(settings_.UID);
    xap_->SetBroadcastAddress(settings_.BroadcastAddress);
    xap_->SetInterfaceAddress(settings_.InterfaceAddress);
    xap_->SetFilterHeartbeats(true);
    // 6-8. Bind; announce ourselves, or give up.
    const int port = xap_->Init();
    if (port <= 0) {
        reporter_.LogToFile(kAppName, "xAP Init Error " + std::to_string(port) + " occurred");
        reporter_.LogToFile(kAppName, "Stopping: the xAP node could not start");
        return 1;
    }
    xap_->SendHeartbeat(60);
    reporter_.SetXapRunning(true);
    // The first report also sends everything queued so far.
    reporter_.ReportEvent(kAppName, "Using xAP port " + std::to_string(port));

    ReportSettingsInEffect("Starting: ");

    // 9. Hardware settings and the CM11A start-up; the result is of no interest.
    (void)configuration_.InitHW();
    Guarded(reporter_, "BSC", [&] {
        const std::string text = configuration_.Homeseer().GetIniSetting("General", "BSC", "1", kMainIni);
        bool understood = true;
        const bool on = bsc::BscSettingOn(text, understood);
        if (!understood) reporter_.ReportEvent(kAppName, "BSC=" + text.substr(0, 40) + " not understood: BSC endpoints on");
        bsc_.Start(xap_.get(), xap_->XapSource(), settings_.UID, on);
    });
    startUpDone_ = true;

    // 10. There is no visible main window to hide.
    // 11-12. The tray shows the idle picture; Timer1 stays idle until the next flash.
    Timer1_Timer();
    return std::nullopt;
}

RequestActions QuorvelForm::MakeRequestActions() {
    RequestActions a;
    // Requests are taken once the CM11A subsystem has started, also when its link could
    // not be opened then: each request opens the link again (a serial adapter plugged in
    // later, a serial server that came up after the connector).
    a.CM11AReady = [this] { return configuration_.CM11AStarted(); };
    a.XapSource = [this] { return xap_ ? xap_->XapSource() : std::string(); };
    a.HeaderOpening = [this] { return xap_ ? xap_->HeaderOpening() : std::string(); };
    a.SwapIcons = [this] { SwapIcons(); };
    a.SendCM11A = [this](const std::string& dc, int command, int count, const std::string& sender) {
        engine_.SendCM11A(dc, command, count, cm11a::X10Origin::XapRequest, -1, 0, sender);
    };
    a.SendExtended = [this](const std::string& dc, int data, int command, const std::string& sender) {
        engine_.SendCM11A(dc, cm11a::kFunctionExtended, 0, cm11a::X10Origin::XapRequest, data, command, sender);
    };
    a.ShowSetupForm = [this] { OpenWindow("Setup"); };
    a.QueueRoom = [this](const std::string& sender) { return engine_.QueueRoom(sender); };
    return a;
}

void QuorvelForm::onMessage() {
    if (messageSource_ == nullptr) return;
    // Nothing a handler does lets events run, so a drain is never entered again from inside.
    assert(!draining_);
    draining_ = true;
    const std::uint64_t sliceEnd = platform_.NowMs() + kDrainSliceMs;
    try {
        for (;;) {
            if (unloaded_) break;
            if (platform_.NowMs() >= sliceEnd) {
                drainTimer_->Arm(1);  // the rest after the events waiting meanwhile
                break;
            }
            const std::string message = messageSource_->GetMessage();
            if (message.empty()) break;
            if (readmessage_) readmessage_(message);
        }
    } catch (const std::exception& e) {
        reporter_.Fail(e);
        reporter_.LogToFile(kAppName, "Main OnMessage");
    }
    draining_ = false;
}

void QuorvelForm::SwapIcons() {
    timer1_->SetInterval(kActivityFlashMs);
    timer1_->SetEnabled(true);
    UpdateTray(true, TrayPicture::Activity);
}

void QuorvelForm::Timer1_Timer() {
    UpdateTray(true, TrayPicture::Idle);
    timer1_->SetEnabled(false);
}

void QuorvelForm::TrayIconCallback(int msg) {
    // Left (514) and right (517) button releases open the menu, a double-click (515) the
    // status window; other codes are ignored.
    if ((msg == kTrayLeftButtonUp || msg == kTrayRightButtonUp) && tray_ != nullptr) tray_->ShowMenu();
    if (msg == kTrayLeftDoubleClick) OpenWindow("System Status");
}

void QuorvelForm::MenuArray_Click(int index) {
    switch (index) {
    case 0:  // "Setup"
        OpenWindow("Setup");
        break;
    case 2:  // "System Status"
        OpenWindow("System Status");
        break;
    case 3:  // "Serial Comm"
        OpenWindow("Serial Comm");
        break;
    case 6:  // "Exit"
        Exit();
        break;
    default:  // "System Config", "Help" (shown by the desktop), separator: no action
        break;
    }
}

void QuorvelForm::Exit() {
    if (unloaded_) return;
    shuttingDown_ = true;
    const std::size_t queued = engine_.TransmitQueue().size();
    reporter_.LogToFile(kAppName, "Stopping: " + stopReason_ +
                                      (queued > 0 ? "; " + std::to_string(queued) + " commands still queued are dropped" : ""));
    try {
        if (tray_ != nullptr) tray_->UnloadWindows();
    } catch (const std::exception& e) {
        reporter_.Fail(e);
        reporter_.ReportEvent(kAppName, "Exit: closing the windows failed");
    }
    UpdateTray(false, TrayPicture::None);
    Form_Unload();
    platform_.Quit(0);
}

void QuorvelForm::Form_Unload() {
    // Every step is attempted, whatever happens to the others.
    unloaded_ = true;
    drainTimer_->SetEnabled(false);
    reloadTimer_->SetEnabled(false);
    reporter_.FlushRepeats();
    try {
        bsc_.Stop();
    } catch (...) {
    }
    try {
        link_.ClosePort(settings_.ComPort);
    } catch (...) {
    }
    try {
        UpdateTray(false, TrayPicture::None);
    } catch (...) {
    }
    timer1_->SetEnabled(false);
    configuration_.ReleaseHomeseer();
    try {
        if (xap_) xap_->Form_Unload();
    } catch (...) {
    }
}

void QuorvelForm::OpenWindow(const std::string& name) {
    if (openWindow_) {
        openWindow_(name);
    } else {
        reporter_.DebugLog(name + " window not available (headless)");
    }
}

void QuorvelForm::UpdateTray(bool iconOn, TrayPicture picture) {
    trayPicture_ = iconOn ? picture : TrayPicture::None;
    if (tray_ != nullptr) tray_->Update(iconOn, picture);
}

// ---------------------------------------------------------------- unattended running

void QuorvelForm::ReportSettingsInEffect(const std::string& heading) {
    try {
        const SettingsSnapshot snapshot = ReadSettings(configuration_.Homeseer());
        Settings shown = snapshot.Values;
        if (startUpDone_) {  // what the connector runs on now; before InitHW the file's values
            shown.ComPort = settings_.ComPort;
            shown.House = settings_.House;
            shown.Ignore = settings_.Ignore;
            shown.Debug = settings_.Debug;
        }
        shown.UID = settings_.UID;  // read at start-up only
        shown.InterfaceAddress = settings_.InterfaceAddress;
        shown.BroadcastAddress = settings_.BroadcastAddress;
        shown.AppFolder = settings_.AppFolder;
        // The address the node sends from: one socket on 127.0.0.1 serves both roles when the
        // host's address is loopback, missing or not on this machine.
        std::vector<std::string> local;
        if (xap_) local.push_back(xap_->SingleSocket() ? std::string("127.0.0.1") : xap_->LocalAddress());
        reporter_.LogToFile(kAppName, heading + SettingsLine(shown, local));
        for (const std::string& problem : CheckSettings(snapshot, PathExists)) {
            reporter_.ReportEvent(kAppName, "Settings: " + problem);
        }
    } catch (const std::exception& e) {
        reporter_.Fail(e);
        reporter_.ReportEvent(kAppName, "Settings");
    }
}

void QuorvelForm::RequestReload() {
    // Signals that come while a reload is waiting are answered by that reload.
    if (unloaded_ || reloadTimer_->Enabled()) return;
    reloadTimer_->Arm(kReloadDelayMs);
}

void QuorvelForm::ReloadSettings() {
    if (unloaded_) return;
    assert(startUpDone_);  // signals are read by the event loop, which runs after the start-up
    configuration_.Homeseer().ForgetReportedProblems();
    configuration_.InitIniKeys();
    reporter_.ReportEvent(kAppName, "InitIniKeys: settings reloaded");
    ReportSettingsInEffect("Settings reloaded: ");
    if (reloaded_) reloaded_();
}

}  // namespace quorvel::app
