#include "app/configuration.h"

#include "app/settings_check.h"
#include "platform/os.h"
#include "state/device_kinds.h"

#include <algorithm>
#include <exception>
#include <system_error>

namespace quorvel::app {

namespace fs = std::filesystem;

namespace {

constexpr const char* kGeneral = "General";

}  // namespace

std::vector<std::string> SplitCommas(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const auto comma = text.find(',', start);
        out.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) return out;
        start = comma + 1;
    }
}

bool ParseBoolSetting(const std::string& text) {
    std::string s;
    s.reserve(text.size());
    for (char c : text) {
        if (c != '"') s += c;
    }
    s = Lower(s);
    return s == "1" || s == "true";
}

Configuration::Configuration(Settings& settings, Reporter& reporter, const platform::Clock& clock,
                             fs::path appFolder, std::string exePath, std::function<std::string()> hostName)
    : settings_(settings),
      reporter_(reporter),
      clock_(clock),
      startFolder_(std::move(appFolder)),
      startExePath_(std::move(exePath)),
      hostName_(hostName ? std::move(hostName) : std::function<std::string()>(platform::HostName)) {}

Configuration::~Configuration() = default;

std::string Configuration::LocalComputerName() {
    if (!computerNameKnown_) {
        std::string name;
        try {
            name = hostName_();
        } catch (const std::exception&) {
            name.clear();
        }
        name = name.substr(0, name.find('.'));
        computerName_ = name.empty() ? "localhost" : name;
        computerNameKnown_ = true;
    }
    return computerName_;
}

host::Homeseer& Configuration::Homeseer() {
    if (!homeseer_) homeseer_ = std::make_unique<host::Homeseer>(reporter_, clock_, settings_.AppFolder);
    return *homeseer_;
}

void Configuration::InitXap() {
    // Every step is attempted; a failing one is logged and the next one runs.
    auto step = [this](auto&& body) {
        try {
            body();
        } catch (const std::exception& e) {
            reporter_.Fail(e);
            reporter_.LogToFile(kAppName, "InitXap");
        }
    };
    step([&] { settings_.ComputerName = LocalComputerName(); });
    step([&] {
        settings_.AppFolder = startFolder_;
        reporter_.SetLogPath(settings_.AppFolder / "Data" / (std::string(kAppName) + ".txt"));
    });
    step([&] { settings_.ExePath = startExePath_; });
    step([&] { CreateFolders((settings_.AppFolder / "Config" / "x").string()); });
    step([&] { CreateFolders((settings_.AppFolder / "Data" / "x").string()); });
    step([&] {
        homeseer_.reset();
        Homeseer();
    });
    step([&] { settings_.UID = Homeseer().GetIniSetting(kGeneral, "UID", "FF008700", kMainIni); });
    step([&] {
        settings_.InterfaceAddress = Homeseer().GetIniSetting("Interface", "InterfaceAddress", "Default", kXapIni);
    });
    step([&] {
        settings_.BroadcastAddress = Homeseer().GetIniSetting("Interface", "BroadcastAddress", "Default", kXapIni);
    });
}

std::string Configuration::InitHW() {
    Guarded(reporter_, " InitHW: ", [&] {
        iniDefaults_ = {"1", "ABCDEFGHIJKLMNOP", "", "false"};
        iniKeys_ = SplitCommas("ComPort,House,Ignore,Debug");
    });
    Guarded(reporter_, " InitHW: ", [&] { InitIniKeys(); });
    Guarded(reporter_, " InitHW: ", [&] { InitApplication(); });
    return {};
}

void Configuration::InitIniKeys() {
    const std::size_t n = std::min(iniKeys_.size(), iniDefaults_.size());
    for (std::size_t i = 0; i < n; ++i) {
        Guarded(reporter_, "InitIniKeys", [&] { SetIniValue(iniKeys_[i], iniDefaults_[i]); });
    }
    Guarded(reporter_, "InitIniKeys", [&] { ReadDevices(); });
}

void Configuration::ReadDevices() {
    std::vector<std::string> problems;
    state::ReadDeviceKinds(Homeseer().GetINISection(state::kDevicesSection, kMainIni), settings_, problems);
    for (const std::string& p : problems) reporter_.ReportEvent(kAppName, "Settings: " + p);
}

void Configuration::SetIniValue(const std::string& key, const std::string& defaultValue) {
    try {
        const std::string k = Lower(key);
        if (k == "house") {
            settings_.House = Homeseer().GetIniSetting(kGeneral, "House", defaultValue, kMainIni);
        } else if (k == "ignore") {
            // Blanks around the entries are dropped: "A1, B2" ignores B2 as well.
            settings_.Ignore = HeldIgnore(Homeseer().GetIniSetting(kGeneral, "Ignore", defaultValue, kMainIni));
        } else if (k == "debug") {
            settings_.Debug = ParseBoolSetting(Homeseer().GetIniSetting(kGeneral, "Debug", defaultValue, kMainIni));
            reporter_.SetDebug(settings_.Debug);
        } else if (k == "comport") {
            const std::string port = Homeseer().GetIniSetting(kGeneral, "ComPort", defaultValue, kMainIni);
            const bool changed = port != settings_.ComPort;
            settings_.ComPort = port;
            // Once the CM11A has started, a new port is taken up between two commands; an
            // unchanged one is left alone, so reading the settings again writes nothing to
            // the interface.
            if (changed && cm11aStarted_ && portChanged_) portChanged_();
        }
    } catch (const std::exception& e) {
        reporter_.Fail(e);
        reporter_.ReportEvent(kAppName, "SetIniValue");
    }
}

void Configuration::InitApplication() {
    try {
        cm11aReady_ = false;
        if (initCM11A_) {
            cm11aReady_ = initCM11A_(settings_.ComPort);
            cm11aStarted_ = true;
        }
    } catch (const std::exception& e) {
        cm11aReady_ = false;
        reporter_.Fail(e);
        reporter_.ReportEvent(kAppName, "InitApplication");
    }
}

}  // namespace quorvel::app
