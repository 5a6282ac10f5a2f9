// What the connector knows of each X10 device: on, off or unknown, the level when it can be
// known, and when and by whom it last changed. At most the 256 X10 addresses (A1..P16).
//
// X10 dims relatively, so a level is tracked only from a known start: a full on (100 %) or
// off (0 %). Dimming or brightening a device whose level is unknown leaves it unknown.
#pragma once

#include "core/settings.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::state {

enum class Power { Unknown, On, Off };
// Where a change came from; the text forms are written to the state file. Interface: the
// interface's own status (what it last sent or heard in its monitored house).
enum class Origin { XapRequest, BscCommand, Typed, PowerLine, Mqtt, Interface };

inline constexpr int kDeviceCount = 256;
inline constexpr int kUnknownLevel = -1;

struct DeviceState {
    bool Known = false;      // sent to, heard or named by a BSC message
    Power State = Power::Unknown;
    int Level = kUnknownLevel;  // 0..100 percent, or kUnknownLevel
    std::string LastChange;     // local time "YYYY-MM-DD hh:mm:ss"; empty: never changed
    Origin LastOrigin = Origin::XapRequest;
    int LastFunction = -1;  // X10 function code of the last change, -1: none
    bool Restored = false;  // read back from the state file and not confirmed since

    bool SameAs(const DeviceState& o) const { return State == o.State && Level == o.Level; }
};

using core::DeviceKind;
using Kinds = std::array<DeviceKind, kDeviceCount>;

// The state after X10 function `function` (code 0..15, dim/bright by amountPercent of the
// full range) reaches a device in state `s`. Time, origin and flags are left as they were.
// Only a light dims: other kinds take on and off and nothing else.
DeviceState Next(DeviceState s, int function, int amountPercent, DeviceKind kind = DeviceKind::Light);
// Whether a function acts on every device of its house rather than on addressed ones.
bool HouseWide(int function);

// Index 0..255 of a device code ("A1" -> 0, "P16" -> 255; letter case ignored; nothing
// follows the unit digits), or nothing when it is not one.
std::optional<int> DeviceIndex(std::string_view device);
std::string DeviceName(int index);

// Dim steps of a lamp's whole range.
inline constexpr int kFullRangeSteps = 22;

struct X10Step {
    int Function = 0;  // X10 function code
    int Steps = 0;     // dim amount for dim and bright, 1..22
    int Preset = -1;   // an extended preset dim (Function 7): its data byte, 1..63
    bool operator==(const X10Step&) const = default;
};

// The level of a lamp dimmed by one step less than its whole range from full: the lowest
// level at which it still gives light.
inline constexpr int kLowestLevel = 100 - ((kFullRangeSteps - 1) * 100 + 11) / kFullRangeSteps;

// Dim steps for a change of percent points, rounded to the nearest step (0..22).
int StepsFor(int percentPoints);
// The X10 commands that take a lamp from its state and level to a level in percent: 0 is an
// off and 100 a plain on; any other level below kLowestLevel is taken as kLowestLevel. In
// between, from a known level it moves by dim or bright steps; from off or an unknown level
// a full on gives the known start of 100 and dims down from there.
std::vector<X10Step> PlanLevel(Power state, int level, int target);

std::string_view PowerText(Power p);   // "on", "off", "?"
std::string LevelText(int level);      // "40%", "?"
std::string_view OriginKey(Origin o);  // "xap", "bsc", "typed", "heard", "mqtt", "interface"
std::optional<Origin> OriginFromKey(std::string_view key);
std::string OriginText(const DeviceState& s);  // "power line", "BSC command: all_lights_off"

class DeviceStates {
public:
    struct Change {
        int Index = 0;
        DeviceState Before;
        DeviceState After;
        bool Changed() const { return !Before.SameAs(After); }
    };

    // Applies one X10 function of house `house` heard or sent for `devices` (those of that
    // house; house-wide functions: every known device of the house they act on, "all units
    // off" lights and switches, the "all lights" ones lights only). Each device follows its
    // kind (kinds: null for all lights). Every device touched is returned, changed or not.
    std::vector<Change> Apply(Origin origin, char house, int function, int amountPercent,
                              const std::vector<std::string>& devices, const std::string& now,
                              const Kinds* kinds = nullptr);
    // Puts a device in a state known as a whole (an extended preset dim, the interface's
    // status), as function `function` of origin at now.
    Change Set(int index, Power power, int level, Origin origin, int function, const std::string& now);
    // Makes a device known without a state (a BSC message named it). True when it was new.
    bool Touch(int index);

    const DeviceState& At(int index) const { return devices_[static_cast<std::size_t>(index)]; }
    std::size_t KnownCount() const;
    void Clear() { devices_ = {}; }

    // The state file: a first line naming the format, then one line per known device, fields
    // separated by tabs (device, state, level, last change, origin, last function, and
    // "restored" or "confirmed"), CR LF.
    std::string Serialize() const;
    // Replaces the model by a file's contents (markRestored: every device marked restored,
    // as at start-up). On a damaged text the model is left empty and the reason (with its
    // line number) is returned.
    std::optional<std::string> Parse(const std::string& text, bool markRestored = true);

    // The status table: device, state, level, last change, origin; one line per device.
    std::string Table() const;

private:
    Change Update(int index, DeviceState next, Origin origin, int function, const std::string& now);

    std::array<DeviceState, kDeviceCount> devices_{};
};

inline constexpr const char* kStateFileHeader = "# Quorvel device state 1";

}  // namespace quorvel::state
