#include "app/settings_check.h"

#include "app/configuration.h"
#include "bsc/bsc_service.h"
#include "cm11a/cm11a_link.h"
#include "cm11a/codes.h"
#include "mqtt/mqtt_settings.h"
#include "platform/os.h"
#include "state/device_kinds.h"
#include "state/device_state.h"
#include "xap/xap_node.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <system_error>

#if defined(__unix__)
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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
    return CheckDevicesSection(homeseer.GetINISection(state::kDevicesSection, kMainIni), served, &described);
}

bool PathExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

}  // namespace quorvel::app

namespace quorvel::app {

namespace {

// The sections of a settings file and the keys the connector reads in each; a section
// without a key list has keys of its own making (device codes) with a check of their own.
struct KnownSection {
    std::string Name;
    std::vector<std::string> Keys;
};

std::vector<KnownSection> KnownSections(const std::string& fileName) {
    if (Lower(fileName) == Lower(kXapIni)) return {{"Interface", {"BroadcastAddress", "InterfaceAddress"}}};
    return {{"General", {"ComPort", "House", "Ignore", "Debug", "UID", "BSC"}},
            {mqtt::kMqttSection, {"Broker", "TopicPrefix", "Username", "Password", "CAFile", "Discovery", "DiscoveryPrefix"}},
            {state::kDevicesSection, {}}};
}

// Edits (a letter added, left out, changed, or two swapped) between a and b, any case.
std::size_t Distance(const std::string& a, const std::string& b) {
    const std::string x = Lower(a), y = Lower(b);
    std::vector<std::vector<std::size_t>> d(x.size() + 1, std::vector<std::size_t>(y.size() + 1));
    for (std::size_t i = 0; i <= x.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= y.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= x.size(); ++i) {
        for (std::size_t j = 1; j <= y.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (x[i - 1] == y[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && x[i - 1] == y[j - 2] && x[i - 2] == y[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[x.size()][y.size()];
}

std::string JoinNames(const std::vector<std::string>& names, const std::string& open, const std::string& close) {
    std::string out;
    for (const std::string& n : names) out += (out.empty() ? "" : ", ") + open + n + close;
    return out;
}

}  // namespace

std::string ClosestName(const std::string& name, const std::vector<std::string>& known) {
    const std::size_t allowed = name.size() <= 4 ? 1 : name.size() <= 8 ? 2 : 3;
    std::string best;
    std::size_t bestDistance = allowed + 1;
    for (const std::string& k : known) {
        const std::size_t d = Distance(name, k);
        if (d < bestDistance) {
            bestDistance = d;
            best = k;
        }
    }
    return best;
}

std::vector<std::string> CheckNames(const std::string& fileName, const std::string& text,
                                    const std::function<std::string(const std::string& key)>& applied) {
    const std::vector<KnownSection> sections = KnownSections(fileName);
    std::vector<std::string> sectionNames;
    for (const KnownSection& k : sections) sectionNames.push_back(k.Name);
    std::vector<std::string> problems;
    const KnownSection* section = nullptr;
    bool outsideNamed = false;  // keys before the first section: the first one is named
    std::istringstream in(text);
    std::string raw;
    for (int number = 1; std::getline(in, raw); ++number) {
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        const std::string line(core::Trim(raw, " "));
        if (line.empty() || line.front() == ';') continue;
        const std::string where = fileName + " line " + std::to_string(number) + ": ";
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            const std::string name = line.substr(1, line.size() - 2);
            const auto it = std::find_if(sections.begin(), sections.end(),
                                         [&](const KnownSection& k) { return Lower(k.Name) == Lower(name); });
            section = it == sections.end() ? nullptr : &*it;
            outsideNamed = true;  // the keys of an unknown section go with its report
            if (section == nullptr) {
                const std::string close = ClosestName(name, sectionNames);
                problems.push_back(where + "section [" + name + "] is not read" +
                                   (close.empty() ? " (" + fileName + " has " + JoinNames(sectionNames, "[", "]") + ")"
                                                  : " (did you mean [" + close + "]?)") +
                                   ": the keys in it are not read");
            }
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;  // the INI engine names these
        const std::string rawKey = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        const std::string key(core::Trim(rawKey, " \t"));
        const std::string trimmedValue(core::Trim(value, " \t"));
        const bool blankBefore = rawKey != key;
        const bool blankAfter = !value.empty() && (value.front() == ' ' || value.front() == '\t');
        if (blankBefore || blankAfter) {
            const std::string fix = key + "=" + trimmedValue;
            if (blankBefore) {
                const std::string now = applied ? applied(key) : std::string();
                problems.push_back(where + "blanks around \"=\" in \"" + line + "\": the key read is \"" + rawKey +
                                   "\", not " + key + (now.empty() ? "" : ", so " + now + " applies") + "; write " + fix);
            } else {
                problems.push_back(where + "blank after \"=\" in \"" + line + "\": the value is taken with it (\"" +
                                   value + "\"); write " + fix);
            }
            continue;
        }
        if (section == nullptr) {
            if (!outsideNamed) {
                problems.push_back(where + "key " + key + " is outside any section: it is not read (" + fileName +
                                   " has " + JoinNames(sectionNames, "[", "]") + ")");
            }
            outsideNamed = true;
            continue;
        }
        if (section->Keys.empty()) continue;
        const bool known = std::any_of(section->Keys.begin(), section->Keys.end(),
                                       [&](const std::string& k) { return Lower(k) == Lower(key); });
        if (known) continue;
        const std::string close = ClosestName(key, section->Keys);
        const std::string now = close.empty() || !applied ? std::string() : applied(close);
        problems.push_back(where + "key " + key + " in [" + section->Name + "] is not read" +
                           (close.empty() ? " (the keys of [" + section->Name + "]: " + JoinNames(section->Keys, "", "") + ")"
                                          : " (did you mean " + close + "?" + (now.empty() ? "" : " " + now + " applies") + ")"));
    }
    return problems;
}

std::string DeviceAccessProblem(const std::string& device, const DeviceAccess& access, const ServiceUser& user) {
    unsigned bits = access.Mode & 07;
    if (user.Uid == access.Uid) {
        bits = (access.Mode >> 6) & 07;
    } else if (std::find(user.Gids.begin(), user.Gids.end(), access.Gid) != user.Gids.end()) {
        bits = (access.Mode >> 3) & 07;
    }
    if (user.Uid == 0 || (bits & 06) == 06) return {};
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", access.Mode & 07777);
    std::string text = user.Name + " cannot open " + device + " for reading and writing (owner " + access.Owner +
                       ", group " + access.Group + ", mode " + mode + ")";
    if (((access.Mode >> 3) & 06) == 06 && user.Uid != access.Uid) text += ": add " + user.Name + " to the group " + access.Group;
    return text;
}

namespace {

#if defined(__unix__)
// The user the connector of appFolder runs as: the folder's owner (the service's folder
// belongs to its user), or whoever runs this check when there is no folder yet. The service
// unit adds the group dialout to its user.
std::optional<ServiceUser> FolderUser(const std::filesystem::path& appFolder) {
    struct stat st {};
    const uid_t uid = ::stat(appFolder.c_str(), &st) == 0 ? st.st_uid : ::geteuid();
    const passwd* pw = ::getpwuid(uid);
    if (pw == nullptr) return std::nullopt;
    ServiceUser user{pw->pw_name, uid, {}};
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    if (::getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &count) >= 0) {
        for (int i = 0; i < count; ++i) user.Gids.push_back(groups[static_cast<std::size_t>(i)]);
    } else {
        user.Gids.push_back(pw->pw_gid);
    }
    if (user.Name == "quorvel") {
        if (const group* dialout = ::getgrnam("dialout")) user.Gids.push_back(dialout->gr_gid);
    }
    return user;
}

std::optional<DeviceAccess> AccessOf(const std::string& device) {
    struct stat st {};
    if (::stat(device.c_str(), &st) != 0) return std::nullopt;
    DeviceAccess a{static_cast<unsigned>(st.st_mode & 07777), st.st_uid, st.st_gid, std::to_string(st.st_uid),
                   std::to_string(st.st_gid)};
    if (const passwd* pw = ::getpwuid(st.st_uid)) a.Owner = pw->pw_name;
    if (const group* gr = ::getgrgid(st.st_gid)) a.Group = gr->gr_name;
    return a;
}
#endif

// The serial device a set ComPort names: present, and open to the connector's user.
std::optional<std::string> SerialDeviceProblem(const SettingsSnapshot& snapshot, const std::filesystem::path& appFolder) {
    const cm11a::ComPortTarget port = cm11a::ParseComPort(snapshot.Values.ComPort);
    if (port.kind != cm11a::ComPortTarget::Kind::Serial) return std::nullopt;
    const std::string name = "ComPort=" + snapshot.Values.ComPort + ": ";
    if (!PathExists(port.Device)) {
        if (snapshot.ComPortIsDefault) return std::nullopt;  // named as the default's problem
        return name + "the serial device " + port.Device +
               " does not exist (unplugged, or named otherwise; see ls -l /dev/serial/by-id): the connector "
               "keeps trying to open it";
    }
#if defined(__unix__)
    const auto user = FolderUser(appFolder);
    const auto access = AccessOf(port.Device);
    if (user && access) {
        const std::string problem = DeviceAccessProblem(port.Device, *access, *user);
        if (!problem.empty()) return name + problem;
    }
#else
    (void)appFolder;
#endif
    return std::nullopt;
}

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

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

    std::string bscText;
    try {
        bscText = homeseer.GetIniSetting("General", "BSC", "1", kMainIni);
    } catch (const std::exception&) {
        bscText = "1";  // the failure is named above
    }
    bool bscUnderstood = true;
    const bool bscOn = bsc::BscSettingOn(bscText, bscUnderstood);

    std::fprintf(out, "Quorvel %s settings of %s\n", QUORVEL_VERSION, appFolder.string().c_str());
    std::map<std::string, std::string> applied;  // by key in lower case: "Name=value (meaning)"
    for (const std::string& field : SettingsFields(snapshot.Values, hostAddresses)) {
        std::fprintf(out, "  %s\n", field.c_str());
        applied[Lower(field.substr(0, field.find('=')))] = field;
    }
    applied["bsc"] = "BSC=" + bscText + (bscOn ? " (BSC endpoints on)" : " (BSC endpoints off)");
    std::fprintf(out, "  %s\n", applied["bsc"].c_str());

    for (const std::string& p : CheckSettings(snapshot, PathExists)) problems.push_back(p);
    if (auto p = SerialDeviceProblem(snapshot, appFolder)) problems.push_back(*p);
    if (!bscUnderstood) {
        problems.push_back("BSC \"" + bscText + "\" is not understood: BSC endpoints stay on (write 1 or 0)");
    }
    const auto appliedOf = [&applied](const std::string& key) {
        const auto it = applied.find(Lower(key));
        return it == applied.end() ? std::string() : it->second;
    };
    for (const char* file : {kMainIni, kXapIni}) {
        const fs::path path = config / file;
        if (!fs::exists(path, ec)) continue;
        for (const std::string& p : CheckNames(file, ReadText(path), appliedOf)) problems.push_back(p);
    }
    if (!fs::exists(config / kXapIni, ec)) {
        problems.push_back(std::string(kXapIni) + " is missing from " + config.string() +
                           ": BroadcastAddress=Default applies, so xAP messages go to " + xap::kLimitedBroadcast +
                           " (every host of the local network); write [Interface] with BroadcastAddress=, e.g. "
                           "127.255.255.255 for this machine only or the network's broadcast address");
    }
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

std::vector<std::string> CheckDevicesSection(std::string_view section, const Settings& served,
                                             std::string* described) {
    std::vector<std::string> problems;
    Settings kinds;
    state::ReadDeviceKinds(section, kinds, problems);
    if (described) {
        *described = state::DescribeKinds(kinds);
        if (described->empty()) *described = "none";
    }
    for (int i = 0; i < core::kAddressCount; ++i) {
        const std::string device = state::DeviceName(i);
        if (kinds.Listed[static_cast<std::size_t>(i)] && !served.Announced(device)) {
            problems.push_back("Devices: " + device + " is listed but not served (House, Ignore)");
        }
    }
    return problems;
}

}  // namespace quorvel::app
