#include "state/device_kinds.h"

#include "state/device_state.h"

namespace quorvel::state {

namespace {
constexpr DeviceKind kKinds[] = {DeviceKind::Light, DeviceKind::Switch, DeviceKind::Motion, DeviceKind::Remote,
                                 DeviceKind::Preset};

std::string Shown(std::string_view text) {
    std::string out;
    for (const unsigned char c : text.substr(0, 40)) out.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
    return out;
}
}  // namespace

std::string_view KindText(DeviceKind kind) {
    switch (kind) {
    case DeviceKind::Switch: return "switch";
    case DeviceKind::Motion: return "motion";
    case DeviceKind::Remote: return "remote";
    case DeviceKind::Preset: return "preset";
    default: return "light";
    }
}

std::optional<DeviceKind> KindFromText(std::string_view text) {
    const std::string t = core::Lower(core::Trim(core::Trim(text, " \t\r"), "\""));
    for (const DeviceKind k : kKinds) {
        if (t == KindText(k)) return k;
    }
    return std::nullopt;
}

void ReadDeviceKinds(std::string_view section, core::Settings& settings, std::vector<std::string>& problems) {
    settings.Kinds.fill(DeviceKind::Light);
    settings.Listed.fill(false);
    std::size_t start = 0;
    while (start < section.size()) {
        const std::size_t end = std::min(section.find('\0', start), section.size());
        const std::string_view entry = section.substr(start, end - start);
        start = end + 1;
        const std::size_t eq = entry.find('=');
        if (core::Trim(entry, " \t\r=").empty()) continue;  // an empty section reads as "="
        const std::string_view key = core::Trim(entry.substr(0, eq), " \t\r");
        const std::string_view value = eq == std::string_view::npos ? std::string_view{} : entry.substr(eq + 1);
        const auto index = DeviceIndex(key);
        const auto kind = KindFromText(value);
        if (!index) {
            problems.push_back("Devices: '" + Shown(key) + "' is not an X10 device A1..P16; left out");
        } else if (!kind) {
            problems.push_back("Devices: " + DeviceName(*index) + "='" + Shown(core::Trim(value, " \t\r")) +
                               "' is not light, switch, motion, remote or preset; " + DeviceName(*index) + " is a light");
        } else {
            const auto i = static_cast<std::size_t>(*index);
            settings.Kinds[i] = *kind;
            settings.Listed[i] = true;
        }
    }
}

std::string DescribeKinds(const core::Settings& settings, char between) {
    std::string out;
    for (int i = 0; i < core::kAddressCount; ++i) {
        const auto u = static_cast<std::size_t>(i);
        if (!settings.Listed[u]) continue;
        if (!out.empty()) out += ", ";
        out += DeviceName(i) + between + std::string(KindText(settings.Kinds[u]));
    }
    return out;
}

}  // namespace quorvel::state
