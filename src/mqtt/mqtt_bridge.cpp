#include "mqtt/mqtt_bridge.h"

#include "state/device_kinds.h"

#include <algorithm>

namespace quorvel::mqtt {

namespace {
constexpr int kQos = 1;

// A topic or payload quoted in a report: printable and short.
std::string Shown(const std::string& text) {
    std::string out;
    for (unsigned char c : text.substr(0, 80)) out.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
    return text.size() > 80 ? out + "..." : out;
}
}  // namespace

MqttBridge::MqttBridge(platform::Platform& platform, core::Reporter& reporter, const core::Settings& settings,
                       MqttTransport& transport, MqttSettings mqtt, Hooks hooks)
    : reporter_(reporter),
      settings_(settings),
      transport_(transport),
      mqtt_(std::move(mqtt)),
      hooks_(std::move(hooks)),
      retryTimer_(platform.CreateTimer()),
      connectTimer_(platform.CreateTimer()),
      servedTimer_(platform.CreateTimer()) {
    names_ = {mqtt_.TopicPrefix, mqtt_.DiscoveryPrefix, SafeId(core::Lower(settings_.UID)), mqtt_.ComputerName};
    retryTimer_->SetHandler([this] {
        retryTimer_->SetEnabled(false);
        Attempt();
    });
    connectTimer_->SetHandler([this] {
        connectTimer_->SetEnabled(false);
        if (!connecting_) return;
        transport_.Disconnect(false);
        OnLost("no answer from the broker within " + std::to_string(kConnectTimeoutMs / 1000) + " s");
    });
    servedTimer_->SetHandler([this] { CheckServed(); });
    transport_.SetHandlers({[this] { OnConnected(); }, [this](const std::string& reason) { OnLost(reason); },
                            [this](const std::string& topic, const std::string& payload, bool retained) {
                                OnMessage(topic, payload, retained);
                            }});
}

MqttBridge::~MqttBridge() {
    retryTimer_->SetEnabled(false);
    connectTimer_->SetEnabled(false);
    servedTimer_->SetEnabled(false);
    transport_.SetHandlers({});
}

void MqttBridge::Start() {
    if (!mqtt_.Enabled() || started_) return;
    started_ = true;
    reporter_.DebugLog("MQTT bridge: " + Describe(mqtt_));
    servedTimer_->Arm(kServedCheckMs);
    Attempt();
}

void MqttBridge::Stop() {
    if (!started_) return;
    started_ = false;
    retryTimer_->SetEnabled(false);
    connectTimer_->SetEnabled(false);
    servedTimer_->SetEnabled(false);
    if (connected_) Publish(StatusTopic(), "offline", true);
    transport_.Disconnect(true);
    connected_ = connecting_ = false;
}

void MqttBridge::Attempt() {
    if (!started_ || connecting_ || connected_) return;
    ConnectOptions o;
    o.Host = mqtt_.Host;
    o.Port = mqtt_.Port;
    o.ClientId = "quorvel-" + names_.Uid;
    o.Username = mqtt_.Username;
    o.Password = mqtt_.Password;
    o.CAFile = mqtt_.CAFile;
    o.WillTopic = StatusTopic();
    o.WillPayload = "offline";
    o.WillRetain = true;
    std::string error;
    connecting_ = true;
    if (!transport_.Connect(o, error)) {
        connecting_ = false;
        OnLost(error);
        return;
    }
    connectTimer_->Arm(kConnectTimeoutMs);
}

void MqttBridge::OnConnected() {
    connectTimer_->SetEnabled(false);
    connecting_ = false;
    connected_ = true;
    retryDelayMs_ = kFirstRetryMs;
    const bool recovered = outageReported_;
    outageReported_ = false;
    if (!everConnected_ || recovered) {
        std::string text = "MQTT connected to " + mqtt_.Host + ":" + std::to_string(mqtt_.Port) + " as " +
                           mqtt_.TopicPrefix;
        if (eventsMissed_ > eventsMissedReported_) {
            text += " (" + std::to_string(eventsMissed_ - eventsMissedReported_) +
                    " events not published while the broker was away)";
            eventsMissedReported_ = eventsMissed_;
        }
        reporter_.ReportEvent(core::kAppName, text);
    }
    everConnected_ = true;

    Publish(StatusTopic(), "online", true);
    if (!transport_.Subscribe(mqtt_.TopicPrefix + "/+/set", kQos)) {
        reporter_.ReportEvent(core::kAppName, "MQTT cannot subscribe to " + mqtt_.TopicPrefix + "/+/set");
    }
    if (mqtt_.Discovery) {
        for (const std::string_view component : kComponents) {
            transport_.Subscribe(mqtt_.DiscoveryPrefix + "/" + std::string(component) + "/+/config", kQos);
        }
    }
    // The broker may have restarted without its retained messages: publish everything again.
    statePublished_.reset();
    levelPublished_.reset();
    discoveryPublished_.reset();
    for (int i = 0; i < kDeviceCount; ++i) {
        if (!Entitled(i)) continue;
        if (mqtt_.Discovery) PublishDiscovery(i);
        PublishState(i);
    }
}

void MqttBridge::OnLost(const std::string& reason) {
    const bool wasConnected = connected_;
    connected_ = connecting_ = false;
    connectTimer_->SetEnabled(false);
    if (!started_) return;
    if (!outageReported_) {
        outageReported_ = true;
        reporter_.ReportEvent(core::kAppName, std::string(wasConnected ? "MQTT connection to " : "MQTT broker ") +
                                                  mqtt_.Host + ":" + std::to_string(mqtt_.Port) +
                                                  (wasConnected ? " lost: " : " unreachable: ") + reason +
                                                  "; retrying");
    }
    ScheduleRetry();
}

void MqttBridge::ScheduleRetry() {
    if (retryTimer_->Enabled()) return;
    retryTimer_->Arm(retryDelayMs_);
    retryDelayMs_ = std::min(retryDelayMs_ * 2, kMaxRetryMs);
}

void MqttBridge::OnMessage(const std::string& topic, const std::string& payload, bool retained) {
    try {
        if (mqtt_.Discovery && topic.rfind(mqtt_.DiscoveryPrefix + "/", 0) == 0 && topic.ends_with("/config")) {
            if (payload.empty()) return;
            // A config of ours left from an earlier run, for a device no longer served or of
            // another kind now, or one of an earlier version, whose ids came from the host name.
            if (const auto ours = DiscoveryTopicDevice(names_, topic)) {
                const int i = *DeviceIndex(ours->Device);
                if (!Entitled(i) || ours->Component != Component(KindOf(i))) {
                    reporter_.DebugLog("MQTT discovery removed for " + ours->Device + " (" + ours->Component +
                                       ": not served or of another kind)");
                    Publish(topic, "", true);
                }
            } else if (const auto old = HostDiscoveryTopicDevice(names_, SafeId(mqtt_.ComputerName), topic)) {
                reporter_.DebugLog("MQTT discovery of an earlier version removed for " + old->Device);
                Publish(topic, "", true);
            }
            return;
        }
        OnSet(topic, payload, retained);
    } catch (const std::exception& e) {
        reporter_.Fail(e);
        reporter_.ReportEvent(core::kAppName, "MQTT message");
    }
}

void MqttBridge::Refuse(const std::string& what) { reporter_.ReportEvent(core::kAppName, "MQTT refused " + what); }

void MqttBridge::OnSet(const std::string& topic, const std::string& payload, bool retained) {
    if (retained) {
        // A command the broker keeps and hands out again at every connection, live or replayed
        // alike: never carried out, one report per topic until it is cleared (an empty retained
        // message, which is nothing to report).
        if (payload.empty()) {
            retainedReported_.erase(topic);
        } else if (retainedReported_.size() < kRetainedTopicsRemembered && retainedReported_.insert(topic).second) {
            Refuse(Shown(topic) + " " + Shown(payload) + ": retained command ignored (publish commands without " +
                   "retain; clear this one with mosquitto_pub -r -n -t " + Shown(topic) + ")");
        }
        return;
    }
    const auto device = SetTopicDevice(mqtt_.TopicPrefix, topic);
    if (!device) {
        Refuse("topic " + Shown(topic) + ": no X10 device A1..P16");
        return;
    }
    std::string error;
    auto command = ParseSetPayload(payload, error);
    if (!command) {
        Refuse(Shown(topic) + " '" + Shown(payload) + "': " + error);
        return;
    }
    reporter_.DebugLog("MQTT " + topic + " " + Shown(payload));
    if (!settings_.Announced(*device)) {
        Refuse(Shown(topic) + ": " + *device + " is not served (House, Ignore)");
        return;
    }
    if (hooks_.Ready && !hooks_.Ready()) {
        Refuse(Shown(topic) + ": the CM11A subsystem has not started");
        return;
    }
    const int index = *DeviceIndex(*device);
    const auto i = static_cast<std::size_t>(index);
    const DeviceKind kind = KindOf(index);
    if (!state::Commanded(kind)) {
        Refuse(Shown(topic) + ": " + *device + " is a " + std::string(state::KindText(kind)) +
               " ([Devices]): it is heard, not switched");
        return;
    }
    if (kind == DeviceKind::Switch && command->What == SetCommand::Kind::Level) {
        command = command->Level > 0 ? SetCommand{SetCommand::Kind::On, 100} : SetCommand{SetCommand::Kind::Off, 0};
    }
    const DeviceView& from = pending_[i] > 0 ? expected_[i] : views_[i];
    const auto steps = PlanCommands(from, *command);
    if (steps.empty()) {
        PublishState(index);  // already there: tell it again
        return;
    }
    expected_[i] = AfterSteps(from, steps);
    for (const X10Step& s : steps) {
        reporter_.DebugLog("MQTTSendToCM11A " + *device + "=" + std::to_string(s.Function) + " steps " +
                           std::to_string(s.Steps));
        ++pending_[i];
        if (hooks_.SendCM11A) hooks_.SendCM11A(*device, s.Function, s.Steps);
    }
}

void MqttBridge::CommandDone(int index) {
    if (index < 0 || index >= kDeviceCount) return;
    auto& n = pending_[static_cast<std::size_t>(index)];
    if (n > 0) --n;
}

bool MqttBridge::Served(int index) const { return settings_.Announced(DeviceName(index)); }

bool MqttBridge::Entitled(int index) const {
    const auto i = static_cast<std::size_t>(index);
    return (known_[i] || settings_.Listed[i]) && Served(index);
}

DeviceKind MqttBridge::KindOf(int index) const { return settings_.Kinds[static_cast<std::size_t>(index)]; }

void MqttBridge::DeviceChanged(int index, const DeviceView& view) {
    if (index < 0 || index >= kDeviceCount) return;
    const auto i = static_cast<std::size_t>(index);
    known_[i] = true;
    views_[i] = view;
    if (!connected_ || !Served(index)) return;
    if (mqtt_.Discovery) PublishDiscovery(index);  // nothing when already there
    PublishState(index);
}

void MqttBridge::PublishState(int index) {
    const auto i = static_cast<std::size_t>(index);
    const DeviceKind kind = KindOf(index);
    if (!connected_ || kind == DeviceKind::Remote) return;  // a remote's presses are events only
    const DeviceView& v = views_[i];
    const std::string base = mqtt_.TopicPrefix + "/" + DeviceName(index);
    if ((!statePublished_[i] || published_[i].State != v.State) && Publish(base + "/state", StatePayload(v.State), true)) {
        published_[i].State = v.State;
        statePublished_[i] = true;
    }
    // The level a light is at, whoever set it (0 and an unknown level say nothing here: the
    // state tells off and unknown).
    if (state::Dims(kind) && v.Level != kUnknownLevel && v.Level > 0 &&
        (!levelPublished_[i] || published_[i].Level != v.Level) &&
        Publish(base + "/brightness", std::to_string(v.Level), true)) {
        published_[i].Level = v.Level;
        levelPublished_[i] = true;
    }
}

void MqttBridge::PublishDiscovery(int index) {
    const auto i = static_cast<std::size_t>(index);
    const DeviceKind kind = KindOf(index);
    if (discoveryPublished_[i] && discoveryKind_[i] == kind) return;
    if (discoveryPublished_[i]) RemoveDiscovery(index);  // the kind changed: the old entity goes
    const std::string device = DeviceName(index);
    if (Publish(DiscoveryTopic(names_, device, kind), DiscoveryConfig(names_, device, kind), true)) {
        discoveryPublished_[i] = true;
        discoveryKind_[i] = kind;
    }
}

void MqttBridge::RemoveDiscovery(int index) {
    const auto i = static_cast<std::size_t>(index);
    if (Publish(DiscoveryTopic(names_, DeviceName(index), discoveryKind_[i]), "", true)) discoveryPublished_[i] = false;
}

void MqttBridge::CheckServed() {
    if (!connected_) return;
    for (int i = 0; i < kDeviceCount; ++i) {
        const auto u = static_cast<std::size_t>(i);
        const bool entitled = Entitled(i);
        if (mqtt_.Discovery && discoveryPublished_[u] && !entitled) {
            RemoveDiscovery(i);
        } else if (entitled) {
            if (mqtt_.Discovery) PublishDiscovery(i);  // nothing when already there
            PublishState(i);
        }
    }
}

void MqttBridge::Event(const EventRecord& event) {
    const auto index = DeviceIndex(event.Device);
    if (!index || !Served(*index) || !started_) return;
    if (!connected_ || !Publish(mqtt_.TopicPrefix + "/event", EventJson(event), false)) ++eventsMissed_;
    // A remote's button: the press for its event entity.
    constexpr std::string_view kPresses[] = {"on", "off", "dim", "bright"};
    if (connected_ && KindOf(*index) == DeviceKind::Remote &&
        std::find(std::begin(kPresses), std::end(kPresses), event.Function) != std::end(kPresses)) {
        Publish(mqtt_.TopicPrefix + "/" + event.Device + "/press", PressPayload(event.Function), false);
    }
}

bool MqttBridge::Publish(const std::string& topic, const std::string& payload, bool retain) {
    if (transport_.Publish(topic, payload, kQos, retain)) return true;
    reporter_.DebugLog("MQTT publish failed: " + topic);
    return false;
}

}  // namespace quorvel::mqtt
