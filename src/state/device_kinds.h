// The [Devices] section of Quorvel.ini: what is plugged in at each X10 address.
//
//   [Devices]
//   A1=light
//   A2=switch
//   B1=motion
//   C1=remote
//   D1=preset
//
// Addresses not listed are lamps ("light"). Kinds and device codes are read in any case.
#pragma once

#include "core/settings.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::state {

using core::DeviceKind;

inline constexpr const char* kDevicesSection = "Devices";

// "light", "switch", "motion", "remote", "preset" (any case, blanks and quotes around ignored).
std::optional<DeviceKind> KindFromText(std::string_view text);
std::string_view KindText(DeviceKind kind);
// Whether the connector sends to devices of this kind (lamps and appliance modules) rather
// than only hears them (motion sensors and remotes).
inline bool Commanded(DeviceKind kind) { return kind != DeviceKind::Motion && kind != DeviceKind::Remote; }
// Whether devices of this kind hold a level (lamp modules).
inline bool Dims(DeviceKind kind) { return kind == DeviceKind::Light || kind == DeviceKind::Preset; }

// Reads the section's text as the INI engine gives it ("key=value" entries separated by NUL
// bytes) into settings.Kinds and settings.Listed (both cleared first). Entries that cannot be
// used are left out, one line each in problems.
void ReadDeviceKinds(std::string_view section, core::Settings& settings, std::vector<std::string>& problems);

// "A1 light, A2 switch" for the listed addresses (between: what joins address and kind);
// empty when there are none.
std::string DescribeKinds(const core::Settings& settings, char between = ' ');

}  // namespace quorvel::state
