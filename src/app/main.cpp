// quorvel: joins an xAP home-automation network to an X10 CM11A power-line interface.

#include "app/mqtt/mqtt_service.h"
#include "app/quorvel_form.h"
#include "platform/qt/qt_platform.h"
#include "state/state_file.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

void PrintUsage(std::FILE* to) {
    std::fputs(
        "Usage: quorvel [--app-folder DIR] [--headless]\n"
        "       quorvel [--app-folder DIR] --status\n"
        "       quorvel --help | --version\n"
        "\n"
        "Joins an xAP network (through the local hub on UDP port 3639) to an X10 CM11A\n"
        "interface on a serial port or behind a TCP serial server.\n"
        "\n"
        "  --app-folder DIR  folder holding Config/ (settings) and Data/ (log);\n"
        "                    default: the folder of the executable\n"
        "  --headless        no tray icon and no windows\n"
        "  --status          print the devices' last known state (DIR/Data/DeviceState.txt)\n"
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

}  // namespace

int main(int argc, char** argv) {
    quorvel::app::StartOptions options;
    options.ExePath = ExecutablePath(argv[0]);
    options.AppFolder = std::filesystem::path(options.ExePath).parent_path();
    options.Headless = true;  // the tray view is not part of this build yet
    bool status = false;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("quorvel %s\n", QUORVEL_VERSION);
            return 0;
        }
        if (arg == "--headless") {
            options.Headless = true;
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
        std::string error;
        const auto table = quorvel::state::StatusTableFromFile(
            options.AppFolder / "Data" / quorvel::state::kStateFileName, error);
        if (!table) {
            std::fprintf(stderr, "quorvel: %s\n", error.c_str());
            return 1;
        }
        std::fputs(table->c_str(), stdout);
        return 0;
    }

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("quorvel");

    quorvel::platform::QtPlatform platform;
    quorvel::app::QuorvelForm form(platform, options);
    form.reporter().SetConsole([](const std::string& line) {
        std::fprintf(stderr, "quorvel: %s\n", line.c_str());
        std::fflush(stderr);
    });
    quorvel::platform::InstallShutdownSignals([&form](int) { form.Exit(); });

    if (auto status = form.Form_Load()) return *status;
    // A signal handled while start-up let events run has already stopped everything.
    if (platform.QuitRequested()) return platform.ExitCode();
    const auto mqtt = quorvel::app::MqttService::Start(form, platform);  // off unless [MQTT] Broker is set
    return QCoreApplication::exec();
}
