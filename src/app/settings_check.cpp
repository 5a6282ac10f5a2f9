#include "app/settings_check.h"

#include "app/configuration.h"
#include "cm11a/cm11a_link.h"
#include "cm11a/codes.h"
#include "mqtt/mqtt_settings.h"
#include "platform/os.h"
#include "state/device_kinds.h"
#include "state/device_state.h"
#include "xap/xap_node.h"

#include <filesystem>
#include <system_error>

namespace quorvel::app {

namespace {

bool IsDottedIPv4(const std::string& text) {
    const auto parts = SplitCommas([&] {
        std::string t = text;
        for (char& c : t) c = c == '.' ? ',' : c;
        return t;
    }());
    if (parts.size() != 4) return false;
    for (const std::string& p : parts) {
        if (p.empty() || p.size() > 3) return false;
        int v = 0;
        for (char c : p) {
            if (c < '0' || c > '9') return false;
            v = v * 10 + (c - '0');
        }
        if (v > 255) return false;
    }
    return true;
}

bool IsDefault(const std::string& text) { return Lower(text) == "default"; }

}  // namespace

std::string HeldIgnore(const std::string& stored) {
    std::string held = ",";
    bool first = true;
    for (const std::string& entry : SplitCommas(stored)) {
        if (!first) held += ",";
        held += std::string(core::Trim(entry));
        first = false;
    }
    return held + ",";
}

SettingsSnapshot ReadSettings(host::Homeseer& hs) {
    SettingsSnapshot s;
    Settings& v = s.Values;
    v.UID = hs.GetIniSetting("General", "UID", "FF008700", kMainIni);
    v.InterfaceAddress = hs.GetIniSetting("Interface", "InterfaceAddress", "Default", kXapIni);
    v.BroadcastAddress = hs.GetIniSetting("Interface", "BroadcastAddress", "Default", kXapIni);
    const std::string comPort = hs.GetIniSetting("General", "ComPort", "", kMainIni);
    s.ComPortIsDefault = comPort.empty();
    v.ComPort = comPort.empty() ? "1" : comPort;
    v.House = hs.GetIniSetting("General", "House", "ABCDEFGHIJKLMNOP", kMainIni);
    s.StoredIgnore = hs.GetIniSetting("General", "Ignore", "", kMainIni);
    v.Ignore = HeldIgnore(s.StoredIgnore);
    s.StoredDebug = hs.GetIniSetting("General", "Debug", "", kMainIni);
    v.Debug = ParseBoolSetting(s.StoredDebug.empty() ? "false" : s.StoredDebug);
    return s;
}

std::string ComPortMeaning(const std::string& comPort) {
    const cm11a::ComPortTarget t = cm11a::ParseComPort(comPort);
    switch (t.kind) {
    case cm11a::ComPortTarget::Kind::Serial:
        return "serial port " + t.Device;
    case cm11a::ComPortTarget::Kind::Tcp:
        return "TCP serial server " + t.Host + ":" + std::to_string(t.Port);
    case cm11a::ComPortTarget::Kind::Invalid:
        break;
    }
    return "not usable: " + t.Problem;
}

std::vector<std::string> SettingsFields(const Settings& s, const std::vector<std::string>& hostAddresses) {
    const std::string broadcast = IsDefault(s.BroadcastAddress) ? std::string(xap::kLimitedBroadcast) : s.BroadcastAddress;
    std::string local = "none";
    if (!hostAddresses.empty()) {
        local = hostAddresses.front();
        for (const std::string& a : hostAddresses) {
            if (xap::XapNode::MatchInterfaceAddress(s.InterfaceAddress, a)) {
                local = a;
                break;
            }
        }
    }
    const std::string ignore = s.Ignore.size() >= 2 ? s.Ignore.substr(1, s.Ignore.size() - 2) : std::string();
    return {"ComPort=" + s.ComPort + " (" + ComPortMeaning(s.ComPort) + ")",
            "House=" + s.House,
            "Ignore=" + ignore,
            std::string("Debug=") + (s.Debug ? "1" : "0"),
            "UID=" + s.UID,
            "BroadcastAddress=" + s.BroadcastAddress + " (sends to " + broadcast + ":" + std::to_string(xap::kXapPort) + ")",
            "InterfaceAddress=" + s.InterfaceAddress + " (local address " + local + ")"};
}

std::string SettingsLine(const Settings& s, const std::vector<std::string>& hostAddresses) {
    std::string line = std::string("version ") + QUORVEL_VERSION + ", folder " + s.AppFolder.string();
    for (const std::string& field : SettingsFields(s, hostAddresses)) line += ", " + field;
    return line;
}

std::vector<std::string> CheckSettings(const SettingsSnapshot& snapshot,
                                       const std::function<bool(const std::string&)>& deviceExists) {
    std::vector<std::string> problems;
    const Settings& v = snapshot.Values;

    std::string outside;
    for (char c : v.House) {
        const char u = UpperAscii(c);
        if ((u < 'A' || u > 'P') && outside.find(c) == std::string::npos) outside += c;
    }
    if (!outside.empty()) {
        problems.push_back("House \"" + v.House + "\" holds characters that are no house letter (A to P): \"" +
                           outside + "\"");
    }

    bool uidHex = v.UID.size() == 8;
    for (char c : v.UID) {
        const char u = UpperAscii(c);
        if (!((u >= '0' && u <= '9') || (u >= 'A' && u <= 'F'))) uidHex = false;
    }
    if (!uidHex) problems.push_back("UID \"" + v.UID + "\" is not eight hex digits");

    if (!snapshot.StoredIgnore.empty()) {
        for (const std::string& entry : SplitCommas(snapshot.StoredIgnore)) {
            const std::string trimmed(core::Trim(entry));
            if (trimmed != entry) {
                problems.push_back("Ignore entry \"" + entry + "\" has blanks around it: taken as \"" + trimmed +
                                   "\"");
            }
            if (trimmed.empty() || !cm11a::AddressByte(trimmed) ||
                trimmed.find_first_not_of("0123456789", 1) != std::string::npos) {
                problems.push_back("Ignore entry \"" + trimmed + "\" is not a device code (A1 to P16)");
            }
        }
    }

    if (!snapshot.StoredDebug.empty()) {
        const std::string d = Lower(snapshot.StoredDebug);
        if (d != "0" && d != "1" && d != "true" && d != "false" && d != "\"true\"" && d != "\"false\"") {
            problems.push_back("Debug \"" + snapshot.StoredDebug + "\" is read as off (write 1 or 0)");
        }
    }

    const cm11a::ComPortTarget port = cm11a::ParseComPort(v.ComPort);
    if (port.kind == cm11a::ComPortTarget::Kind::Invalid) {
        problems.push_back("ComPort \"" + v.ComPort + "\" names no port: " + port.Problem);
    } else if (snapshot.ComPortIsDefault && port.kind == cm11a::ComPortTarget::Kind::Serial &&
               !(deviceExists && deviceExists(port.Device))) {
        problems.push_back("ComPort is not set: the default 1 means " + port.Device +
                           ", which does not exist on this machine");
    }

    if (!IsDefault(v.BroadcastAddress) && !IsDottedIPv4(v.BroadcastAddress)) {
        problems.push_back("BroadcastAddress \"" + v.BroadcastAddress + "\" is not an IPv4 address");
    }
    if (!IsDefault(v.InterfaceAddress) && !IsDottedIPv4(v.InterfaceAddress)) {
        problems.push_back("InterfaceAddress \"" + v.InterfaceAddress +
                           "\" is not an IPv4 address mask: the host's first address is used");
    }
    return problems;
}

std::vector<std::string> CheckDevices(host::Homeseer& homeseer, const Settings& served, std::string& described) {
    std::vector<std::string> problems;
    Settings kinds;
    state::ReadDeviceKinds(homeseer.GetINISection(state::kDevicesSection, kMainIni), kinds, problems);
    described = state::DescribeKinds(kinds);
    for (int i = 0; i < core::kAddressCount; ++i) {
        const std::string device = state::DeviceName(i);
        if (kinds.Listed[static_cast<std::size_t>(i)] && !served.Announced(device)) {
            problems.push_back("Devices: " + device + " is listed but not served (House, Ignore)");
        }
    }
    return problems;
}

bool PathExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

}  // namespace quorvel::app

namespace quorvel::app {

int RunCheckConfig(const std::filesystem::path& appFolder, const platform::Clock& clock,
                   const std::vector<std::string>& hostAddresses, std::FILE* out) {
    namespace fs = std::filesystem;
    std::vector<std::string> problems;
    std::vector<std::string> notes;
    Reporter reporter(clock);
    // What the INI engine reports (damaged lines) is a problem of the settings.
    reporter.SetConsole([&problems](const std::string& line) {
        const auto bar = line.find(" | ");
        std::string text = bar == std::string::npos ? line : line.substr(bar + 3);
        const auto first = text.find_first_not_of(' ');
        problems.push_back(first == std::string::npos ? text : text.substr(first));
    });

    const fs::path config = appFolder / "Config";
    std::error_code ec;
    if (!fs::exists(config, ec)) {
        notes.push_back("the settings folder " + config.string() +
                        " does not exist: the connector makes it and runs on the defaults");
    } else if (!fs::is_directory(config, ec)) {
        problems.push_back("the settings folder " + config.string() + " is not a folder: the connector cannot start");
    }

    host::Homeseer homeseer(reporter, clock, appFolder);
    homeseer.SetReadOnly(true);
    SettingsSnapshot snapshot;
    try {
        snapshot = ReadSettings(homeseer);
    } catch (const std::exception& e) {
        problems.push_back(std::string("the settings cannot be read: ") + e.what());
    }
    snapshot.Values.AppFolder = appFolder;

    std::fprintf(out, "Quorvel %s settings of %s\n", QUORVEL_VERSION, appFolder.string().c_str());
    for (const std::string& field : SettingsFields(snapshot.Values, hostAddresses)) {
        std::fprintf(out, "  %s\n", field.c_str());
    }
    for (const std::string& p : CheckSettings(snapshot, PathExists)) problems.push_back(p);
    // The MQTT bridge: its line never shows the password.
    const mqtt::MqttSettings mqttSettings = mqtt::ReadMqttSettings(
        [&homeseer](const std::string& key, const std::string& def) {
            return homeseer.GetIniSetting(mqtt::kMqttSection, key, def, kMainIni);
        },
        [] {
            const std::string host = platform::HostName();
            const std::string name = host.substr(0, host.find('.'));
            return name.empty() ? std::string("localhost") : name;
        }(),
        problems);
    std::fprintf(out, "  MQTT=%s\n", mqttSettings.Enabled() ? mqtt::Describe(mqttSettings).c_str() : "off");
    std::string kinds;
    for (const std::string& p : CheckDevices(homeseer, snapshot.Values, kinds)) problems.push_back(p);
    std::fprintf(out, "  Devices=%s\n", kinds.c_str());
    for (const std::string& n : notes) std::fprintf(out, "note: %s\n", n.c_str());
    for (const std::string& p : problems) std::fprintf(out, "problem: %s\n", p.c_str());
    if (problems.empty()) {
        std::fprintf(out, "no problems found\n");
    } else {
        std::fprintf(out, "%zu problem%s found\n", problems.size(), problems.size() == 1 ? "" : "s");
    }
    return problems.empty() ? 0 : 1;
}

}  // namespace quorvel::app

namespace quorvel::app {

std::vector<std::string> CheckDevicesSection(std::string_view section, const Settings& served) {
    std::vector<std::string> problems;
    Settings kinds;
    state::ReadDeviceKinds(section, kinds, problems);
    for (int i = 0; i < core::kAddressCount; ++i) {
        const std::string device = state::DeviceName(i);
        if (kinds.Listed[static_cast<std::size_t>(i)] && !served.Announced(device)) {
            problems.push_back("Devices: " + device + " is listed but not served (House, Ignore)");
        }
    }
    return problems;
}

}  // namespace quorvel::app
