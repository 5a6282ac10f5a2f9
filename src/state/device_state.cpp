#include "state/device_state.h"

#include "cm11a/codes.h"
#include "core/settings.h"
#include "state/device_kinds.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace quorvel::state {

namespace {

constexpr int kOn = cm11a::kFunctionOn, kOff = cm11a::kFunctionOff, kDim = cm11a::kFunctionDim,
              kBright = cm11a::kFunctionBright;
constexpr int kAllUnitsOff = 0, kAllLightsOn = 1, kAllLightsOff = 6, kPresetDim1 = 10, kPresetDim2 = 11,
              kStatusOn = 13, kStatusOff = 14;

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        out.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return out;
        start = tab + 1;
    }
}

bool LooksLikeTime(const std::string& t) {
    if (t.empty()) return true;
    if (t.size() != 19) return false;
    for (std::size_t i = 0; i < t.size(); ++i) {
        const char c = t[i];
        const bool digit = c >= '0' && c <= '9';
        const char sep = i == 4 || i == 7 ? '-' : i == 10 ? ' ' : i == 13 || i == 16 ? ':' : '\0';
        if (sep != '\0' ? c != sep : !digit) return false;
    }
    return true;
}

std::string Pad(std::string s, std::size_t width) {
    if (s.size() < width) s.append(width - s.size(), ' ');
    return s;
}

}  // namespace

bool HouseWide(int function) {
    return function == kAllUnitsOff || function == kAllLightsOn || function == kAllLightsOff;
}

DeviceState Next(DeviceState s, int function, int amountPercent, DeviceKind kind) {
    if (!Dims(kind) && function != kOn && function != kOff && function != kAllUnitsOff &&
        function != kAllLightsOn && function != kAllLightsOff && function != kStatusOn && function != kStatusOff) {
        return s;
    }
    const int amount = std::clamp(amountPercent, 0, 100);
    auto set = [&](Power p, int level) {
        s.State = p;
        s.Level = level;
    };
    switch (function) {
    case kAllUnitsOff:
    case kOff:
    case kAllLightsOff:
    case kStatusOff:
        set(Power::Off, 0);
        break;
    case kAllLightsOn:
    case kOn:
        set(Power::On, 100);
        break;
    case kDim:
    case kBright: {
        // A lamp that is off lights up fully first, then moves by the amount.
        int from = s.State == Power::Off ? 100 : s.State == Power::On ? s.Level : kUnknownLevel;
        if (from == kUnknownLevel) {
            set(Power::On, kUnknownLevel);
            break;
        }
        const int to = std::clamp(function == kDim ? from - amount : from + amount, 0, 100);
        set(to == 0 ? Power::Off : Power::On, to);
        break;
    }
    case kPresetDim1:
    case kPresetDim2:
        set(Power::On, kUnknownLevel);
        break;
    case kStatusOn:
        // The device says it is on; its level is known only if it was known to be on.
        set(Power::On, s.State == Power::On ? s.Level : kUnknownLevel);
        break;
    default:  // extended, hail, data transfer, status request: the device does not change
        break;
    }
    return s;
}

std::optional<int> DeviceIndex(std::string_view device) {
    if (device.size() < 2 || device.size() > 3) return std::nullopt;
    const char house = core::UpperAscii(device[0]);
    if (house < 'A' || house > 'P') return std::nullopt;
    int unit = 0;
    for (const char c : device.substr(1)) {
        if (c < '0' || c > '9') return std::nullopt;
        unit = unit * 10 + (c - '0');
    }
    if (unit < 1 || unit > 16 || device[1] == '0') return std::nullopt;
    return (house - 'A') * 16 + unit - 1;
}

std::string DeviceName(int index) {
    return std::string(1, static_cast<char>('A' + index / 16)) + std::to_string(index % 16 + 1);
}

int StepsFor(int percentPoints) { return (std::clamp(percentPoints, 0, 100) * kFullRangeSteps + 50) / 100; }

std::vector<X10Step> PlanLevel(Power state, int level, int target) {
    if (target <= 0) return {{kOff, 0}};
    if (target >= 100) return {{kOn, 0}};
    target = std::max(target, kLowestLevel);  // a glimmer is the lowest step, not off
    if (state == Power::On && level != kUnknownLevel) {
        const int steps = StepsFor(std::abs(target - level));
        if (steps == 0) return {};
        return {{target < level ? kDim : kBright, steps}};
    }
    const int steps = StepsFor(100 - target);
    if (steps == 0) return {{kOn, 0}};
    return {{kOn, 0}, {kDim, steps}};
}

std::string_view PowerText(Power p) {
    switch (p) {
    case Power::On: return "on";
    case Power::Off: return "off";
    default: return "?";
    }
}

std::string LevelText(int level) { return level == kUnknownLevel ? "?" : std::to_string(level) + "%"; }

std::string_view OriginKey(Origin o) {
    switch (o) {
    case Origin::BscCommand: return "bsc";
    case Origin::Typed: return "typed";
    case Origin::PowerLine: return "heard";
    case Origin::Mqtt: return "mqtt";
    case Origin::Interface: return "interface";
    default: return "xap";
    }
}

std::optional<Origin> OriginFromKey(std::string_view key) {
    for (const Origin o : {Origin::XapRequest, Origin::BscCommand, Origin::Typed, Origin::PowerLine, Origin::Mqtt,
                           Origin::Interface}) {
        if (OriginKey(o) == key) return o;
    }
    return std::nullopt;
}

std::string OriginText(const DeviceState& s) {
    if (s.LastFunction < 0) return s.Restored ? "(restored)" : "-";
    std::string text;
    switch (s.LastOrigin) {
    case Origin::XapRequest: text = "xAP request"; break;
    case Origin::BscCommand: text = "BSC command"; break;
    case Origin::Typed: text = "typed command"; break;
    case Origin::PowerLine: text = "power line"; break;
    case Origin::Mqtt: text = "MQTT command"; break;
    case Origin::Interface: text = "interface status"; break;
    }
    if (HouseWide(s.LastFunction)) {
        text += ": " + std::string(cm11a::X10FunctionNames[static_cast<std::size_t>(s.LastFunction)]);
    }
    if (s.Restored) text += " (restored)";
    return text;
}

std::vector<DeviceStates::Change> DeviceStates::Apply(Origin origin, char house, int function, int amountPercent,
                                                      const std::vector<std::string>& devices,
                                                      const std::string& now, const Kinds* kinds) {
    std::vector<Change> out;
    if (function < 0 || function > 15) return out;
    const auto kindOf = [kinds](int i) { return kinds ? (*kinds)[static_cast<std::size_t>(i)] : DeviceKind::Light; };
    std::vector<int> targets;
    if (HouseWide(function)) {
        const char h = core::UpperAscii(house);
        if (h < 'A' || h > 'P') return out;
        for (int unit = 0; unit < 16; ++unit) {
            const int i = (h - 'A') * 16 + unit;
            const DeviceKind k = kindOf(i);
            const bool reached = Dims(k) || (k == DeviceKind::Switch && function == kAllUnitsOff);
            if (devices_[static_cast<std::size_t>(i)].Known && reached) targets.push_back(i);
        }
    } else {
        // An X10 function acts on the addressed devices of its own house only.
        for (const std::string& d : devices) {
            const auto i = DeviceIndex(d);
            if (!i || *i / 16 != core::UpperAscii(house) - 'A') continue;
            if (std::find(targets.begin(), targets.end(), *i) == targets.end()) targets.push_back(*i);
        }
    }
    for (const int i : targets) {
        out.push_back(Update(i, Next(At(i), function, amountPercent, kindOf(i)), origin, function, now));
    }
    return out;
}

DeviceStates::Change DeviceStates::Set(int index, Power power, int level, Origin origin, int function,
                                       const std::string& now) {
    DeviceState next = At(index);
    next.State = power;
    next.Level = level;
    return Update(index, next, origin, function, now);
}

DeviceStates::Change DeviceStates::Update(int index, DeviceState next, Origin origin, int function,
                                          const std::string& now) {
    DeviceState& d = devices_[static_cast<std::size_t>(index)];
    Change c;
    c.Index = index;
    c.Before = d;
    next.Known = true;
    if (!d.Known || !next.SameAs(d)) {
        next.LastChange = now;
        next.LastOrigin = origin;
        next.LastFunction = function;
    }
    next.Restored = false;  // confirmed by what was just sent, heard or read
    d = next;
    c.After = d;
    return c;
}

bool DeviceStates::Touch(int index) {
    DeviceState& d = devices_[static_cast<std::size_t>(index)];
    if (d.Known) return false;
    d.Known = true;
    return true;
}

std::size_t DeviceStates::KnownCount() const {
    return static_cast<std::size_t>(std::count_if(devices_.begin(), devices_.end(), [](const auto& d) { return d.Known; }));
}

std::string DeviceStates::Serialize() const {
    std::string out = std::string(kStateFileHeader) + "\r\n";
    for (int i = 0; i < kDeviceCount; ++i) {
        const DeviceState& d = At(i);
        if (!d.Known) continue;
        out += DeviceName(i) + "\t" + std::string(PowerText(d.State)) + "\t" +
               (d.Level == kUnknownLevel ? std::string("?") : std::to_string(d.Level)) + "\t" + d.LastChange + "\t" +
               std::string(OriginKey(d.LastOrigin)) + "\t" +
               (d.LastFunction < 0 ? std::string("-")
                                   : std::string(cm11a::X10FunctionNames[static_cast<std::size_t>(d.LastFunction)])) +
               (d.Restored ? "\trestored\r\n" : "\tconfirmed\r\n");
    }
    return out;
}

std::optional<std::string> DeviceStates::Parse(const std::string& text, bool markRestored) {
    std::array<DeviceState, kDeviceCount> read{};
    std::istringstream in(text);
    std::string line;
    int number = 0;
    auto damaged = [&](const std::string& why) -> std::optional<std::string> {
        devices_ = {};
        return "line " + std::to_string(number) + ": " + why;
    };
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (number == 1) {
            if (line != kStateFileHeader) return damaged("not a device state file");
            continue;
        }
        if (line.empty()) continue;
        const auto f = SplitTabs(line);
        if (f.size() != 7) return damaged("expected 7 fields, found " + std::to_string(f.size()));
        const auto index = DeviceIndex(f[0]);
        if (!index) return damaged("no device code: " + f[0].substr(0, 20));
        DeviceState d;
        d.Known = true;
        if (f[1] == "on") d.State = Power::On;
        else if (f[1] == "off") d.State = Power::Off;
        else if (f[1] != "?") return damaged("no state: " + f[1].substr(0, 20));
        if (f[2] != "?") {
            if (f[2].empty() || f[2].size() > 3 || f[2].find_first_not_of("0123456789") != std::string::npos ||
                std::stoi(f[2]) > 100) {
                return damaged("no level: " + f[2].substr(0, 20));
            }
            d.Level = std::stoi(f[2]);
        }
        if (!LooksLikeTime(f[3])) return damaged("no time: " + f[3].substr(0, 20));
        d.LastChange = f[3];
        const auto origin = OriginFromKey(f[4]);
        if (!origin) return damaged("no origin: " + f[4].substr(0, 20));
        d.LastOrigin = *origin;
        d.LastFunction = f[5] == "-" ? -1 : cm11a::FunctionCode(f[5]);
        if (f[5] != "-" && d.LastFunction < 0) return damaged("no X10 function: " + f[5].substr(0, 20));
        if (f[6] != "restored" && f[6] != "confirmed") return damaged("no flag: " + f[6].substr(0, 20));
        d.Restored = markRestored || f[6] == "restored";
        if (read[static_cast<std::size_t>(*index)].Known) return damaged("device listed twice: " + f[0]);
        read[static_cast<std::size_t>(*index)] = d;
    }
    if (number == 0) return damaged("empty");
    devices_ = read;
    return std::nullopt;
}

std::string DeviceStates::Table() const {
    std::string out = Pad("device", 8) + Pad("state", 7) + Pad("level", 7) + Pad("last change", 21) + "origin\n";
    for (int i = 0; i < kDeviceCount; ++i) {
        const DeviceState& d = At(i);
        if (!d.Known) continue;
        out += Pad(DeviceName(i), 8) + Pad(std::string(PowerText(d.State)), 7) + Pad(LevelText(d.Level), 7) +
               Pad(d.LastChange.empty() ? "-" : d.LastChange, 21) + OriginText(d) + "\n";
    }
    return out;
}

}  // namespace quorvel::state
