// The connector's main object: start-up in a fixed order, the drain of received xAP
// messages, the activity flash, the menu commands and the orderly shutdown. It owns the
// timers and, as they are created, every subsystem.
#pragma once

#include "app/configuration.h"
#include "app/core_names.h"
#include "app/request_handler.h"
#include "app/tray_view.h"
#include "bsc/bsc_service.h"
#include "cm11a/cm11a_engine.h"
#include "cm11a/cm11a_link.h"
#include "cm11a/comm_window_model.h"
#include "platform/platform.h"
#include "xap/xap_node.h"
#include "xap/xap_sender.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quorvel::app {

struct StartOptions {
    std::filesystem::path AppFolder;  // where Config/ and Data/ live
    std::string ExePath;              // absolute path of the running executable
    bool Headless = true;
};

class QuorvelForm {
public:
    QuorvelForm(platform::Platform& platform, StartOptions options);
    ~QuorvelForm();
    QuorvelForm(const QuorvelForm&) = delete;
    QuorvelForm& operator=(const QuorvelForm&) = delete;

    // Runs the start-up steps in order. Returns an exit status when the process must end
    // at once (the xAP node could not start), nothing when it goes on running.
    std::optional<int> Form_Load();
    // Orderly stop by command ("Exit") or by the system (SIGINT/SIGTERM).
    void Exit();

    // Drains the xAP receive queue into the request handler, for a bounded slice of time.
    void onMessage();
    void SwapIcons();
    void Timer1_Timer();
    void TrayIconCallback(int msg);
    void MenuArray_Click(int index);

    bool XapRunning() const { return reporter_.XapRunning(); }
    bool ShuttingDown() const { return shuttingDown_; }
    bool CM11AReady() const { return configuration_.CM11AReady(); }
    bool ActivityIconShown() const { return trayPicture_ == TrayPicture::Activity; }
    bool Unloaded() const { return unloaded_; }

    Reporter& reporter() { return reporter_; }
    const platform::Clock& clock() const { return platform_; }
    Settings& settings() { return settings_; }
    // Folders, settings and the Homeseer object; the CM11A subsystem plugs its link and
    // start-up in here.
    Configuration& configuration() { return configuration_; }
    platform::Timer& Timer1() { return *timer1_; }
    cm11a::Cm11aEngine& cm11a() { return engine_; }
    cm11a::Cm11aLink& link() { return link_; }
    cm11a::CommWindowModel& commWindow() { return comm_; }
    RequestHandler& requests() { return requests_; }
    // Device state and the BSC endpoints; StatusTable() is the "System Status" view's text:
    // the devices, then the interface's own status once it was read.
    bsc::BscService& bsc() { return bsc_; }
    std::string StatusTable() const {
        return interfaceStatus_.empty() ? bsc_.StatusTable() : bsc_.StatusTable() + "\n" + interfaceStatus_;
    }

    // Collaborators that later parts of the system plug in (tests use doubles).
    void SetMessageSource(xap::MessageSource* source) { messageSource_ = source; }
    void SetMessageHandler(std::function<void(const std::string&)> handler) {
        readmessage_ = std::move(handler);
    }
    void SetTrayView(TrayView* tray) { tray_ = tray; }
    // Also told of every X10 function carried out, heard or given up, once the device state has it.
    void SetActivityListener(std::function<void(const cm11a::X10Activity&)> listener) {
        activityListener_ = std::move(listener);
    }
    // Also told when the interface's status changed device states.
    void SetStatesListener(std::function<void()> listener) { statesListener_ = std::move(listener); }
    // Where the xAP node finds the host's addresses (tests choose them); before Form_Load.
    void SetHostAddresses(xap::XapNode::AddressLister lister) { hostAddresses_ = std::move(lister); }
    xap::XapNode* xap() { return xap_.get(); }
    // Called for the menu entries that open windows ("Setup", "Serial Comm").
    void SetWindowOpener(std::function<void(const std::string&)> opener) { openWindow_ = std::move(opener); }

    // ---- Unattended running.
    // Why the process stops, written to the log when it does ("Exit" when not told).
    void SetStopReason(std::string why) { stopReason_ = std::move(why); }
    // SIGHUP: a reload soon, one for any number of requests until it runs.
    void RequestReload();
    // Called when a reload of the settings is done (the service manager is told).
    void SetReloadedHook(std::function<void()> hook) { reloaded_ = std::move(hook); }
    // Reads the settings again as saving in the setup window does, and reports them. A changed
    // ComPort is taken up between two commands; an unchanged one is left alone.
    void ReloadSettings();

private:
    // One line with the settings in effect, and one report per setting that cannot be what
    // the user meant.
    void ReportSettingsInEffect(const std::string& heading);

    void Form_Unload();
    void OpenWindow(const std::string& name);
    RequestActions MakeRequestActions();
    void UpdateTray(bool iconOn, TrayPicture picture);

    platform::Platform& platform_;
    StartOptions options_;
    Reporter reporter_;
    Settings settings_;
    Configuration configuration_;
    cm11a::CommWindowModel comm_;
    cm11a::Cm11aLink link_;
    cm11a::Cm11aEngine engine_;
    RequestHandler requests_;
    bsc::BscService bsc_;

    bool shuttingDown_ = false;
    bool draining_ = false;  // inside onMessage (never entered again from inside)
    bool unloaded_ = false;

    std::unique_ptr<platform::Timer> timer1_;
    std::unique_ptr<platform::Timer> drainTimer_;  // continues a drain cut short
    std::unique_ptr<platform::Timer> reloadTimer_;  // a reload asked for by SIGHUP
    std::function<void()> reloaded_;
    xap::XapNode::AddressLister hostAddresses_ = platform::HostIPv4Addresses;
    std::unique_ptr<xap::XapNode> xap_;

    xap::MessageSource* messageSource_ = nullptr;
    std::function<void(const std::string&)> readmessage_;
    TrayView* tray_ = nullptr;
    TrayPicture trayPicture_ = TrayPicture::None;
    std::function<void(const std::string&)> openWindow_;

    bool startUpDone_ = false;
    std::string stopReason_ = "Exit";
    std::function<void(const cm11a::X10Activity&)> activityListener_;
    std::function<void()> statesListener_;
    std::string interfaceStatus_;  // the status last read, as lines for people
};

}  // namespace quorvel::app
