// The MQTT side's texts: command topics and payloads, X10 dim arithmetic, the JSON event
// and the Home Assistant discovery config. Plain functions, no state.
#pragma once

#include "cm11a/codes.h"
#include "core/settings.h"
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

// The payload of "<prefix>/<device>/state": "ON", "OFF" or "None" (Home Assistant's
// "unknown").
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
    std::string Uid;   // the connector's xAP UID in lower case: the part of every id
    std::string Host;  // the computer name, in the device's shown name only
};

using core::DeviceKind;
// The Home Assistant component of a kind: "light", "switch", "binary_sensor", "event".
std::string_view Component(DeviceKind kind);
// The id of a device's entity: "quorvel_<uid>_<device>" (as "quorvel_ff008700_a1").
std::string EntityId(const DiscoveryNames& n, const std::string& device);
// "<DiscoveryPrefix>/<component>/<entity id>/config".
std::string DiscoveryTopic(const DiscoveryNames& n, const std::string& device, DeviceKind kind);
// The retained config of one device as its kind's entity: a light (default schema,
// brightness 0..100 on the set topic and on <device>/brightness), a switch, a motion
// binary_sensor or an event entity for a remote's presses.
std::string DiscoveryConfig(const DiscoveryNames& n, const std::string& device, DeviceKind kind);
// A discovery topic of this connector: the device and the component it is under.
struct DiscoveryTopicOf {
    std::string Device;
    std::string Component;
};
std::optional<DiscoveryTopicOf> DiscoveryTopicDevice(const DiscoveryNames& n, std::string_view topic);
// The same for the ids of earlier versions, made of the host name (SafeId of it) instead of the UID.
std::optional<DiscoveryTopicOf> HostDiscoveryTopicDevice(const DiscoveryNames& n, const std::string& hostId,
                                                         std::string_view topic);
// The components whose configs the connector may have published.
inline constexpr std::string_view kComponents[] = {"light", "switch", "binary_sensor", "event"};

// The payload of "<prefix>/<device>/press" for a remote's button: {"event_type":"on"}.
std::string PressPayload(std::string_view function);

}  // namespace quorvel::mqtt
