#include "app/qt/desktop_loader.h"

#include "app/quorvel_form.h"

#include <QLibrary>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace quorvel::app {

namespace {

constexpr const char* kReasonVariable = "QUORVEL_HEADLESS_REASON";

// The tray application whose process-exit hook is armed. Qt ends the process with exit(1)
// from inside the event loop when the X11 connection breaks; the hook (which gets no
// context) then stops the connector in order, or restarts it headless when it runs as a
// service. Set only while a desktop session runs.
RunMode* g_desktopRun = nullptr;

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

// Started by the service manager (it listens for our notifications): the connector outlives
// any desktop session.
[[maybe_unused]] bool RunsAsService() { return !Environment("NOTIFY_SOCKET").empty(); }

#ifdef QUORVEL_GUI
void RestartHeadless(const std::string& exePath, const std::vector<std::string>& args, const std::string& reason);

// Where the module may be: beside the executable, or in lib/quorvel of its prefix.
std::unique_ptr<Desktop> LoadDesktop(int& argc, char** argv, const std::string& exePath, std::string& problem) {
    const std::filesystem::path dir = std::filesystem::path(exePath).parent_path();
    const std::filesystem::path candidates[] = {dir / kDesktopModule, dir / ".." / "lib" / "quorvel" / kDesktopModule};
    QString errors;
    for (const auto& candidate : candidates) {
        QLibrary library(QString::fromStdString(candidate.string()));
        library.setLoadHints(QLibrary::ResolveAllSymbolsHint);
        if (!library.load()) {
            errors += (errors.isEmpty() ? "" : "; ") + library.errorString();
            continue;
        }
        auto create = reinterpret_cast<CreateDesktopFunction>(library.resolve(kDesktopEntry));
        if (create == nullptr) {
            problem = "the desktop module has no entry point: " + library.errorString().toStdString();
            return nullptr;
        }
        // The module stays loaded for the life of the process (the session's code is in it).
        return std::unique_ptr<Desktop>(create(argc, argv, problem));
    }
    problem = "the desktop module cannot be loaded (" + errors.toStdString() + ")";
    return nullptr;
}

// Runs this program again, headless, carrying the reason so that the new run reports it.
// The executable is named by its own path so that the process keeps its name.
void RestartHeadless(const std::string& exePath, const std::vector<std::string>& args, const std::string& reason) {
#ifdef Q_OS_UNIX
    ::setenv(kReasonVariable, reason.c_str(), 1);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    static char headless[] = "--headless";
    argv.push_back(headless);
    argv.push_back(nullptr);
    ::execv(exePath.c_str(), argv.data());
    ::unsetenv(kReasonVariable);  // exec failed: carry on in this process
#else
    (void)exePath;
    (void)args;
    (void)reason;
#endif
}
#endif

}  // namespace

std::string InstanceServerName(const std::string& folder) {
    // A short, fixed-length name: local socket paths are limited in length.
    std::uint64_t hash = 1469598103934665603ULL;  // FNV-1a
    for (const unsigned char c : folder) hash = (hash ^ c) * 1099511628211ULL;
    char name[40];
    std::snprintf(name, sizeof name, "quorvel-%016llx", static_cast<unsigned long long>(hash));
    return name;
}

int RunMode::ReportInUse(int& argc, char** argv, bool headlessAsked, const std::string& exePath,
                         const std::string& folder, const std::string& holder) {
#ifdef QUORVEL_GUI
    const bool display = !Environment("DISPLAY").empty() || !Environment("WAYLAND_DISPLAY").empty();
    if (headlessAsked || !display || RunsAsService()) return 1;
    std::string problem;
    std::unique_ptr<Desktop> desktop = LoadDesktop(argc, argv, exePath, problem);
    if (desktop == nullptr) return 1;
    return desktop->AlreadyRunning(folder, holder);
#else
    (void)argc;
    (void)argv;
    (void)headlessAsked;
    (void)exePath;
    (void)folder;
    (void)holder;
    return 1;
#endif
}

RunMode::RunMode(int& argc, char** argv, bool headlessAsked, const std::string& exePath) : exePath_(exePath) {
    // A run started again headless tells why.
    reason_ = Environment(kReasonVariable);
    if (!reason_.empty()) {
#ifdef Q_OS_UNIX
        ::unsetenv(kReasonVariable);
#endif
    }
    const bool display = !Environment("DISPLAY").empty() || !Environment("WAYLAND_DISPLAY").empty();
#ifdef QUORVEL_GUI
    if (!headlessAsked) {
        if (!display) {
            reason_ = "No display (DISPLAY and WAYLAND_DISPLAY are not set): running headless";
        } else {
            args_.assign(argv, argv + argc);
            std::string problem;
            desktop_ = LoadDesktop(argc, argv, exePath, problem);
            if (desktop_ == nullptr) {
                reason_ = "No desktop: " + problem + "; running headless";
                RestartHeadless(exePath_, args_, reason_);
            }
        }
    }
#else
    (void)exePath;
    if (!headlessAsked && display) reason_ = "This build has no desktop: running headless";
#endif
    if (desktop_ == nullptr) core_ = std::make_unique<QCoreApplication>(argc, argv);
}

RunMode::~RunMode() {
    if (g_desktopRun == this) g_desktopRun = nullptr;
}

void RunMode::Attach(QuorvelForm& form) {
    if (desktop_ == nullptr) return;
    desktop_->Attach(form);
    form_ = &form;
#ifdef QUORVEL_GUI
    static const bool registered = std::atexit(&RunMode::OnProcessExit) == 0;
    if (registered) g_desktopRun = this;
#endif
}

void RunMode::OnProcessExit() {
#ifdef QUORVEL_GUI
    RunMode* run = g_desktopRun;
    g_desktopRun = nullptr;
    // An orderly stop has set ShuttingDown; main's objects are gone once it has returned
    // (the destructor disarms the hook). What is left is an exit from inside the event
    // loop: the display went away.
    if (run == nullptr || run->form_ == nullptr || run->form_->ShuttingDown() || run->form_->Unloaded()) return;
    QuorvelForm& form = *run->form_;
    // The windows and the icon went with the display.
    form.SetTrayView(nullptr);
    form.SetWindowOpener(nullptr);
    if (RunsAsService()) {
        try {
            // The serial port's lock file must not outlive this image; sockets close on exec.
            form.link().ClosePort(form.settings().ComPort);
        } catch (...) {
        }
        std::fprintf(stderr, "quorvel: the display went away; restarting headless\n");
        RestartHeadless(run->exePath_, run->args_, "The display went away: running headless");
    }
    // The desktop session is over (logout): the connector ends with it, in order, and the
    // next login's start finds the folder free. Exit closes the link, says goodbye on xAP and
    // writes the log; the folder's lock goes with the process.
    form.SetStopReason("the desktop session ended");
    try {
        form.Exit();
    } catch (...) {
    }
    std::fflush(nullptr);
    std::_Exit(0);
#endif
}

void RunMode::ReportHeadless(QuorvelForm& form) {
    if (reason_.empty()) return;
    form.reporter().ReportEvent(kAppName, reason_);
    reason_.clear();
}

}  // namespace quorvel::app
