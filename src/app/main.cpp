// quorvel: joins an xAP home-automation network to an X10 CM11A power-line interface.

#include "app/app_folder.h"
#include "app/qt/desktop_loader.h"
#include "app/mqtt/mqtt_service.h"
#include "app/quorvel_form.h"
#include "app/service_status.h"
#include "app/settings_check.h"
#include "platform/host_addresses.h"
#include "platform/os.h"
#include "platform/qt/qt_platform.h"
#include "platform/qt/service_notify.h"
#include "state/state_file.h"

#include <QCoreApplication>
#include <QScopeGuard>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

namespace {

void PrintUsage(std::FILE* to) {
    std::fputs(
        "Usage: quorvel [--app-folder DIR] [--headless]\n"
        "       quorvel [--app-folder DIR] --check-config\n"
        "       quorvel [--app-folder DIR] --status\n"
        "       quorvel --help | --version\n"
        "\n"
        "Joins an xAP network (through the local hub on UDP port 3639) to an X10 CM11A\n"
        "interface on a serial port or behind a TCP serial server.\n"
        "\n"
        "  --app-folder DIR  folder holding Config/ (settings) and Data/ (log);\n"
        "                    default: the folder of the executable\n"
        "  --headless        no tray icon and no windows\n"
        "  --check-config    print the settings in effect and every problem found,\n"
        "                    open nothing; exit status 0 (no problem) or 1\n"
        "  --status          print the devices' last known state (DIR/Data/DeviceState.txt)\n"
        "                    and the interface's last status (DIR/Data/InterfaceStatus.txt)\n"
        "  --help            show this text\n"
        "  --version         show the version\n"
        "\n"
        "All settings live in DIR/Config/Quorvel.ini and DIR/Config/zebXap.ini.\n",
        to);
}

std::string ExecutablePath(const char* argv0) {
    std::error_code ec;
    auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) return p.string();
    p = std::filesystem::absolute(argv0, ec);
    return ec ? std::string(argv0) : p.lexically_normal().string();
}

// The application folder must carry the run, and only one connector may use it. Returns an
// exit status when the start must stop; keeps the folder's lock in lock.
std::optional<int> ClaimAppFolder(const std::filesystem::path& folder,
                                  std::unique_ptr<quorvel::platform::InstanceLock>& lock,
                                  quorvel::app::AppFolderState& state) {
    state = quorvel::app::PrepareAppFolder(folder);
    if (!state.Fatal.empty()) {
        std::fprintf(stderr, "quorvel: cannot use the application folder %s: %s\n", folder.string().c_str(),
                     state.Fatal.c_str());
        return 1;
    }
    std::string problem;
    const auto data = folder / "Data";
    lock = quorvel::platform::InstanceLock::Acquire((data / "Quorvel.lock").string(),
                                                    std::filesystem::is_directory(data) ? data.string()
                                                                                        : (folder / "Config").string(),
                                                    problem);
    if (!lock) {
        std::fprintf(stderr, "quorvel: the application folder %s is in use: %s\n", folder.string().c_str(),
                     problem.c_str());
        return 1;
    }
    return std::nullopt;
}

// SIGINT and SIGTERM stop in order, SIGHUP reads the settings again (once for a burst; the
// service manager hears when the reload starts, and from the form when it is done).
void OnSignal(quorvel::app::QuorvelForm& form, quorvel::platform::ServiceNotifier& service, int signo) {
    if (signo == SIGHUP) {
        service.Reloading();
        form.RequestReload();
        return;
    }
    form.SetStopReason(signo == SIGINT ? "signal SIGINT" : signo == SIGTERM ? "signal SIGTERM"
                                                                            : "signal " + std::to_string(signo));
    form.Exit();
}

}  // namespace

int main(int argc, char** argv) {
    quorvel::app::StartOptions options;
    options.ExePath = ExecutablePath(argv[0]);
    options.AppFolder = std::filesystem::path(options.ExePath).parent_path();
    options.Headless = false;
    bool checkConfig = false;
    bool status = false;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("quorvel %s (%s)\n", QUORVEL_VERSION, QUORVEL_BUILD_VARIANT);
            return 0;
        }
        if (arg == "--headless") {
            options.Headless = true;
        } else if (arg == "--check-config") {
            checkConfig = true;
        } else if (arg == "--status") {
            status = true;
        } else if (arg == "--app-folder" && i + 1 < argc) {
            std::error_code ec;
            auto folder = std::filesystem::absolute(argv[++i], ec);
            options.AppFolder = ec ? std::filesystem::path(argv[i]) : folder.lexically_normal();
        } else if (arg.rfind("--app-folder=", 0) == 0) {
            std::error_code ec;
            auto folder = std::filesystem::absolute(arg.substr(13), ec);
            options.AppFolder = ec ? std::filesystem::path(arg.substr(13)) : folder.lexically_normal();
        } else {
            std::fprintf(stderr, "quorvel: unknown argument '%s'\n\n", arg.c_str());
            PrintUsage(stderr);
            return 2;
        }
    }

    if (status) {
        const auto file = options.AppFolder / "Data" / quorvel::state::kStateFileName;
        // The interface's last status follows the device table, and stands alone without one.
        const auto printInterface = [&] {
            if (const auto interface = quorvel::state::ReadInterfaceStatus(options.AppFolder / "Data")) {
                std::fputs(("\n" + *interface).c_str(), stdout);
            }
        };
        std::error_code ec;
        if (!std::filesystem::exists(file, ec)) {
            printInterface();
            std::fprintf(stderr, "quorvel: no device state: %s %s\n",
                         std::filesystem::is_directory(options.AppFolder, ec) ? file.string().c_str()
                                                                              : options.AppFolder.string().c_str(),
                         std::filesystem::is_directory(options.AppFolder, ec)
                             ? "does not exist yet (the connector writes it once it knows a device)"
                             : "is no application folder");
            return 1;
        }
        std::string error;
        const auto table = quorvel::state::StatusTableFromFile(file, error);
        if (!table) {
            std::fprintf(stderr, "quorvel: %s\n", error.c_str());
            return 1;
        }
        std::fputs(table->c_str(), stdout);
        printInterface();
        return 0;
    }
    if (checkConfig) {
        quorvel::platform::QtPlatform clock;
        return quorvel::app::RunCheckConfig(options.AppFolder, clock, quorvel::platform::HostIPv4Addresses(), stdout);
    }
    std::unique_ptr<quorvel::platform::InstanceLock> folderLock;
    quorvel::app::AppFolderState folderState;
    if (auto status = ClaimAppFolder(options.AppFolder, folderLock, folderState)) return *status;

    // Tray application or headless: chosen before any GUI object exists.
    quorvel::app::RunMode mode(argc, argv, options.Headless, options.ExePath);
    options.Headless = !mode.HasDesktop();
    QCoreApplication::setApplicationName("quorvel");

    quorvel::platform::QtPlatform platform;
    quorvel::app::QuorvelForm form(platform, options);
    if (quorvel::platform::StderrIsJournal()) {
        // The journal names the program; each line carries its priority instead.
        form.reporter().SetJournal([](quorvel::core::Priority priority, const std::string& line) {
            std::fprintf(stderr, "<%d>%s\n", static_cast<int>(priority), line.c_str());
            std::fflush(stderr);
        });
    } else {
        form.reporter().SetConsole([](const std::string& line) {
            std::fprintf(stderr, "quorvel: %s\n", line.c_str());
            std::fflush(stderr);
        });
    }
    quorvel::platform::ServiceNotifier service(
        platform, [&form](const std::string& text) { form.reporter().ReportEvent("Quorvel", text); });
    quorvel::app::LinkStatus linkStatus;
    form.reporter().SetReportWatcher([&linkStatus, &service](const std::string& report) {
        if (linkStatus.OnReport(report)) service.Status(linkStatus.Text());
    });
    const auto unwatch = qScopeGuard([&form] {
        form.reporter().SetReportWatcher({});
        form.SetReloadedHook({});
    });
    form.SetReloadedHook([&service] { service.Reloaded(); });
    quorvel::platform::InstallShutdownSignals([&form, &service](int signo) { OnSignal(form, service, signo); });
    mode.Attach(form);
    if (folderState.SettingsReadOnly) {
        form.reporter().ReportEvent(quorvel::core::kAppName,
                                    "Settings cannot be saved: " + folderState.ReadOnlyReason);
    }
    if (!folderState.DataProblem.empty()) {
        form.reporter().ReportEvent(quorvel::core::kAppName, "Data folder: " + folderState.DataProblem);
    }

    if (auto status = form.Form_Load()) return *status;
    mode.ReportHeadless(form);
    // Something in the start-up asked to stop: the loop is not entered.
    if (platform.QuitRequested()) return platform.ExitCode();
    const auto mqtt = quorvel::app::MqttService::Start(form, platform);  // off unless [MQTT] Broker is set
    const auto linkSettled = [&] {
        if (linkStatus.StartedUp(form.link().LinkDown(), form.link().Connecting(), form.settings().ComPort)) {
            service.Status(linkStatus.Text());
        }
    };
    linkSettled();
    // A serial server that answers at once gives no report: look again each second until the
    // connection is made or has failed.
    const auto linkPoll = platform.CreateTimer();
    linkPoll->SetHandler([&] {
        linkSettled();
        if (!form.link().Connecting()) linkPoll->SetEnabled(false);
    });
    if (form.link().Connecting()) linkPoll->Arm(1000);
    service.Ready();
    return QCoreApplication::exec();
}
