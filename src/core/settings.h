// The connector's settings in memory, and the device filters built on them.
#pragma once

#include <algorithm>
#include <array>
#include <filesystem>
#include <string>
#include <string_view>

namespace quorvel::core {

// Case folding is ASCII-only on purpose: classes, targets, device codes and setting names are
// ASCII, and the system locale (a Turkish dotless i, for one) must not change what matches.
inline char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
inline char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

inline std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = UpperAscii(c);
    return out;
}

inline std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = LowerAscii(c);
    return out;
}

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

// Case-insensitive "needle occurs in haystack", without copying either.
inline bool ContainsNoCase(std::string_view haystack, std::string_view needle) {
    if (needle.size() > haystack.size()) return false;
    for (std::size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
        if (EqualsNoCase(haystack.substr(i, needle.size()), needle)) return true;
    }
    return false;
}

// The text without the given blanks at either end (spaces and tabs unless told otherwise).
inline std::string_view Trim(std::string_view s, std::string_view blanks = " \t") {
    const auto first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

// What is plugged in at an X10 address, from the [Devices] section of Quorvel.ini: a lamp
// module (dimmable, the default), an appliance module (on and off only), a motion sensor
// (heard on and off), a remote's button (heard presses), or a lamp module that also takes
// the extended preset dim (a level in one command).
enum class DeviceKind : unsigned char { Light, Switch, Motion, Remote, Preset };
inline constexpr int kAddressCount = 256;  // A1..P16

struct Settings {
    std::string ComPort = "1";                  // port number, device path or address:port
    std::string House = "ABCDEFGHIJKLMNOP";     // house letters served
    std::string Ignore = ",,";                  // held with a comma added at both ends
    bool Debug = false;
    std::string UID = "FF008700";
    std::string InterfaceAddress = "Default";
    std::string BroadcastAddress = "Default";
    std::filesystem::path AppFolder;
    std::string ExePath;
    std::string ComputerName;
    // Per address 0..255 (A1..P16): its kind, and whether [Devices] names it.
    std::array<DeviceKind, kAddressCount> Kinds{};
    std::array<bool, kAddressCount> Listed{};

    // A device is served when its first character occurs in House (any case).
    bool HouseServed(std::string_view device) const {
        return !device.empty() && ContainsNoCase(House, device.substr(0, 1));
    }
    // A device is ignored when "," + device + "," occurs in the held Ignore text (any case).
    bool Ignored(std::string_view device) const {
        return ContainsNoCase(Ignore, "," + std::string(device) + ",");
    }
    // Both filters: traffic for this device is announced / acted on.
    bool Announced(std::string_view device) const { return HouseServed(device) && !Ignored(device); }
};

}  // namespace quorvel::core
