// The MQTT side's texts: command topics and payloads, X10 dim arithmetic, the JSON event
// and the Home Assistant discovery config. Plain functions, no state.
#pragma once

#include "cm11a/codes.h"
#include "state/device_state.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::mqtt {

// The X10 function codes are the code table's; device codes, the dim range and the steps to
// a level are the device state model's, shared with the BSC endpoints.
using cm11a::kFunctionBright;
using cm11a::kFunctionDim;
using cm11a::kFunctionOff;
using cm11a::kFunctionOn;
using state::DeviceIndex;
using state::DeviceName;
using state::kFullRangeSteps;
using state::kUnknownLevel;
using state::Power;
using state::StepsFor;
using state::X10Step;

// What the bridge knows of a device: switched state and level (0..100 or kUnknownLevel).
struct DeviceView {
    Power State = Power::Unknown;
    int Level = kUnknownLevel;
    bool operator==(const DeviceView&) const = default;
};

// The device of "<prefix>/<device>/set", upper case; nothing for any other topic.
std::optional<std::string> SetTopicDevice(std::string_view prefix, std::string_view topic);

struct SetCommand {
    enum class Kind { On, Off, Level };
    Kind What = Kind::On;
    int Level = 0;  // 0..100 for Kind::Level
    bool operator==(const SetCommand&) const = default;
};

// "ON", "OFF" (any case) or a whole number 0..100; blanks around the text are allowed.
// Anything else gives nothing and the reason in error.
std::optional<SetCommand> ParseSetPayload(std::string_view payload, std::string& error);

// The X10 commands that take a device from what is known of it to the command. A level is
// reached from a known level by dim or bright steps; from an unknown level (or from off) a
// full on gives the known start of 100 and dims down from there. 0 is off, 100 is on.
std::vector<X10Step> PlanCommands(const DeviceView& now, const SetCommand& want);
// What a device will be once the steps have been carried out.
DeviceView AfterSteps(DeviceView now, const std::vector<X10Step>& steps);

// The payload of "<prefix>/<device>/state": "ON", "OFF" or "unknown".
std::string StatePayload(Power p);

// JSON text of a string (quotes included), control characters escaped.
std::string JsonString(std::string_view text);

struct EventRecord {
    std::string Device;         // A1
    std::string Function;       // X10 function name, e.g. "on"
    int Brightness = -1;        // percent for dim/bright, -1: none
    std::string Origin;         // "mqtt", "xap", "bsc", "typed", "power line"
    std::string Time;           // local "YYYY-MM-DD hh:mm:ss"
};
// One JSON object on one line: device, function, brightness (null when none), origin, time.
std::string EventJson(const EventRecord& e);

struct DiscoveryNames {
    std::string TopicPrefix;
    std::string DiscoveryPrefix;
    std::string HostId;  // SafeId of the computer name
    std::string Host;    // the computer name as shown
};
// "<DiscoveryPrefix>/light/quorvel_<host>_<device>/config".
std::string DiscoveryTopic(const DiscoveryNames& n, const std::string& device);
// The retained config of one device as an MQTT light (default schema, brightness 0..100
// sent to the same set topic).
std::string DiscoveryConfig(const DiscoveryNames& n, const std::string& device);
// The device of a discovery topic of this connector, or nothing.
std::optional<std::string> DiscoveryTopicDevice(const DiscoveryNames& n, std::string_view topic);

}  // namespace quorvel::mqtt
