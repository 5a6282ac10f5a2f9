#include "mqtt/mqtt_protocol.h"

#include "core/settings.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace quorvel::mqtt {

std::optional<std::string> SetTopicDevice(std::string_view prefix, std::string_view topic) {
    if (topic.size() <= prefix.size() + 1 || topic.substr(0, prefix.size()) != prefix || topic[prefix.size()] != '/')
        return std::nullopt;
    std::string_view rest = topic.substr(prefix.size() + 1);
    constexpr std::string_view kSet = "/set";
    if (rest.size() <= kSet.size() || rest.substr(rest.size() - kSet.size()) != kSet) return std::nullopt;
    const std::string_view device = rest.substr(0, rest.size() - kSet.size());
    const auto index = DeviceIndex(device);
    if (!index) return std::nullopt;
    return DeviceName(*index);
}

std::optional<SetCommand> ParseSetPayload(std::string_view payload, std::string& error) {
    if (payload.size() > 64) {
        error = "payload too long";
        return std::nullopt;
    }
    const std::string_view t = core::Trim(payload, " \t\r\n");
    if (core::EqualsNoCase(t, "ON")) return SetCommand{SetCommand::Kind::On, 100};
    if (core::EqualsNoCase(t, "OFF")) return SetCommand{SetCommand::Kind::Off, 0};
    if (t.empty() || t.size() > 3 || !std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        error = "not ON, OFF or a brightness 0-100";
        return std::nullopt;
    }
    const int level = std::atoi(std::string(t).c_str());
    if (level > 100) {
        error = "brightness above 100";
        return std::nullopt;
    }
    return SetCommand{SetCommand::Kind::Level, level};
}

std::vector<X10Step> PlanCommands(const DeviceView& now, const SetCommand& want) {
    using Kind = SetCommand::Kind;
    if (want.What == Kind::Off) return {{kFunctionOff, 0}};
    if (want.What == Kind::On) return {{kFunctionOn, 0}};
    return state::PlanLevel(now.State, now.Level, want.Level);
}

DeviceView AfterSteps(DeviceView v, const std::vector<X10Step>& steps) {
    for (const X10Step& s : steps) {
        const int amount = std::min(100, (s.Steps * 100 + 11) / kFullRangeSteps);  // as the engine tells it
        if (s.Function == kFunctionOn) v = {Power::On, 100};
        else if (s.Function == kFunctionOff) v = {Power::Off, 0};
        else if (v.Level == kUnknownLevel) continue;
        else if (s.Function == kFunctionDim) v.Level = std::max(0, v.Level - amount);
        else if (s.Function == kFunctionBright) v.Level = std::min(100, v.Level + amount);
    }
    return v;
}

std::string StatePayload(Power p) {
    switch (p) {
    case Power::On:
        return "ON";
    case Power::Off:
        return "OFF";
    default:
        return "None";
    }
}

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
    }
    return out + "\"";
}

std::string EventJson(const EventRecord& e) {
    return "{\"device\":" + JsonString(e.Device) + ",\"function\":" + JsonString(e.Function) +
           ",\"brightness\":" + (e.Brightness < 0 ? std::string("null") : std::to_string(e.Brightness)) +
           ",\"origin\":" + JsonString(e.Origin) + ",\"time\":" + JsonString(e.Time) + "}";
}

std::string_view Component(DeviceKind kind) {
    switch (kind) {
    case DeviceKind::Switch: return "switch";
    case DeviceKind::Motion: return "binary_sensor";
    case DeviceKind::Remote: return "event";
    default: return "light";
    }
}

std::string EntityId(const DiscoveryNames& n, const std::string& device) {
    return "quorvel_" + n.Uid + "_" + core::Lower(device);
}

std::string DiscoveryTopic(const DiscoveryNames& n, const std::string& device, DeviceKind kind) {
    return n.DiscoveryPrefix + "/" + std::string(Component(kind)) + "/" + EntityId(n, device) + "/config";
}

namespace {

// "<DiscoveryPrefix>/<component>/<head><device>/config" for one of our components.
std::optional<DiscoveryTopicOf> TopicWithHead(const DiscoveryNames& n, const std::string& head, std::string_view topic) {
    const std::string start = n.DiscoveryPrefix + "/";
    constexpr std::string_view kTail = "/config";
    if (topic.size() <= start.size() + kTail.size() || topic.substr(0, start.size()) != start ||
        topic.substr(topic.size() - kTail.size()) != kTail)
        return std::nullopt;
    const std::string_view rest = topic.substr(start.size(), topic.size() - start.size() - kTail.size());
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const std::string_view component = rest.substr(0, slash);
    const std::string_view id = rest.substr(slash + 1);
    if (std::find(std::begin(kComponents), std::end(kComponents), component) == std::end(kComponents)) return std::nullopt;
    if (id.size() <= head.size() || !core::EqualsNoCase(id.substr(0, head.size()), head)) return std::nullopt;
    const auto index = DeviceIndex(id.substr(head.size()));
    if (!index) return std::nullopt;
    return DiscoveryTopicOf{DeviceName(*index), std::string(component)};
}

}  // namespace

std::optional<DiscoveryTopicOf> DiscoveryTopicDevice(const DiscoveryNames& n, std::string_view topic) {
    return TopicWithHead(n, "quorvel_" + n.Uid + "_", topic);
}

std::optional<DiscoveryTopicOf> HostDiscoveryTopicDevice(const DiscoveryNames& n, const std::string& hostId,
                                                         std::string_view topic) {
    if (core::EqualsNoCase(hostId, n.Uid)) return std::nullopt;  // the same ids: they are ours
    auto found = TopicWithHead(n, "quorvel_" + hostId + "_", topic);
    // Earlier versions published lights only, with the device in upper case.
    if (found && (found->Component != "light" || topic.find("_" + found->Device + "/config") == std::string_view::npos))
        return std::nullopt;
    return found;
}

std::string PressPayload(std::string_view function) { return "{\"event_type\":" + JsonString(function) + "}"; }

std::string DiscoveryConfig(const DiscoveryNames& n, const std::string& device, DeviceKind kind) {
    const std::string id = EntityId(n, device);
    const std::string base = n.TopicPrefix + "/" + device;
    std::string out = "{\"name\":" + JsonString("X10 " + device) + ",\"unique_id\":" + JsonString(id) +
                      ",\"default_entity_id\":" + JsonString(std::string(Component(kind)) + "." + id);
    switch (kind) {
    case DeviceKind::Light:
    case DeviceKind::Preset:
        out += ",\"command_topic\":" + JsonString(base + "/set") + ",\"state_topic\":" + JsonString(base + "/state") +
               ",\"brightness_command_topic\":" + JsonString(base + "/set") +
               ",\"brightness_state_topic\":" + JsonString(base + "/brightness") +
               ",\"brightness_scale\":100,\"on_command_type\":\"brightness\"" +
               ",\"payload_on\":\"ON\",\"payload_off\":\"OFF\",\"retain\":false,\"optimistic\":false";
        break;
    case DeviceKind::Switch:
        out += ",\"command_topic\":" + JsonString(base + "/set") + ",\"state_topic\":" + JsonString(base + "/state") +
               ",\"payload_on\":\"ON\",\"payload_off\":\"OFF\",\"retain\":false,\"optimistic\":false";
        break;
    case DeviceKind::Motion:
        out += ",\"state_topic\":" + JsonString(base + "/state") +
               ",\"device_class\":\"motion\",\"payload_on\":\"ON\",\"payload_off\":\"OFF\"";
        break;
    case DeviceKind::Remote:
        out += ",\"state_topic\":" + JsonString(base + "/press") +
               ",\"event_types\":[\"on\",\"off\",\"dim\",\"bright\"]";
        break;
    }
    return out + ",\"qos\":1,\"availability_topic\":" + JsonString(n.TopicPrefix + "/status") +
           ",\"payload_available\":\"online\",\"payload_not_available\":\"offline\"" +
           ",\"device\":{\"identifiers\":[" + JsonString("quorvel_" + n.Uid) + "],\"name\":" +
           JsonString("Quorvel " + n.Host) + ",\"manufacturer\":\"Quorvel\",\"model\":\"X10 CM11A connector\"" +
           ",\"sw_version\":" + JsonString(QUORVEL_VERSION) + "}" +
           ",\"origin\":{\"name\":\"Quorvel\",\"sw_version\":" + JsonString(QUORVEL_VERSION) + "}}";
}

}  // namespace quorvel::mqtt
