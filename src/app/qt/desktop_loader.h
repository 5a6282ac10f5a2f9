// The choice between the tray application and a headless run, made before any GUI object
// exists. The desktop (windows, tray icon, Qt Widgets and Gui) lives in a module of its own
// that is loaded only for the tray application, so a headless run never maps those
// libraries.
#pragma once

#include <QCoreApplication>

#include <memory>
#include <string>
#include <vector>

namespace quorvel::app {

class QuorvelForm;

// One desktop session: its application object, tray icon, menu and windows.
class Desktop {
public:
    virtual ~Desktop() = default;
    virtual QCoreApplication& Application() = 0;
    // Joins the session to the main object; before its start-up.
    virtual void Attach(QuorvelForm& form) = 0;
    // Another connector holds the application folder: tells the user in a message box
    // (holder names it), asks that connector to bring up its status window, and returns
    // the exit status once the box is closed.
    virtual int AlreadyRunning(const std::string& folder, const std::string& holder) = 0;
};

// The local name under which the tray application of a folder can be asked to show itself.
std::string InstanceServerName(const std::string& folder);

// The module's entry point: a session, or nullptr with the reason in problem.
using CreateDesktopFunction = Desktop* (*)(int& argc, char** argv, std::string& problem);
inline constexpr const char* kDesktopEntry = "quorvel_desktop_create";
inline constexpr const char* kDesktopModule = "quorvel_desktop";

class RunMode {
public:
    // The folder is in use by another connector: on a desktop a message box says so (and the
    // other connector shows its status window); the exit status is 1 either way.
    static int ReportInUse(int& argc, char** argv, bool headlessAsked, const std::string& exePath,
                           const std::string& folder, const std::string& holder);

    // Creates the application object: QApplication through the desktop module when a
    // desktop is wanted and can be had, QCoreApplication otherwise. A display that turns
    // out not to open restarts the process headless (the GUI libraries are loaded by then).
    RunMode(int& argc, char** argv, bool headlessAsked, const std::string& exePath);
    ~RunMode();
    RunMode(const RunMode&) = delete;
    RunMode& operator=(const RunMode&) = delete;

    bool HasDesktop() const { return desktop_ != nullptr; }
    // Before Form_Load: the tray and the windows join the main object.
    void Attach(QuorvelForm& form);
    // After Form_Load: one report when a desktop was wanted but the run is headless.
    void ReportHeadless(QuorvelForm& form);

private:
    static void OnProcessExit();

    std::string exePath_;
    std::vector<std::string> args_;  // the command line as given, for a headless restart
    QuorvelForm* form_ = nullptr;
    std::unique_ptr<QCoreApplication> core_;
    std::unique_ptr<Desktop> desktop_;
    std::string reason_;
};

}  // namespace quorvel::app
