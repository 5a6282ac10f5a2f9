#include "mqtt/mqtt_bridge.h"

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
    names_ = {mqtt_.TopicPrefix, mqtt_.DiscoveryPrefix, SafeId(mqtt_.ComputerName), mqtt_.ComputerName};
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
    o.ClientId = "quorvel-" + names_.HostId;
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
    if (mqtt_.Discovery) transport_.Subscribe(mqtt_.DiscoveryPrefix + "/light/+/config", kQos);
    // The broker may have restarted without its retained messages: publish everything again.
    statePublished_.reset();
    discoveryPublished_.reset();
    for (int i = 0; i < kDeviceCount; ++i) {
        if (!known_[static_cast<std::size_t>(i)] || !Served(i)) continue;
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
        if (mqtt_.Discovery && topic.rfind(mqtt_.DiscoveryPrefix + "/light/", 0) == 0 && topic.ends_with("/config")) {
            // A config of ours left from an earlier run, for a device no longer served.
            const auto device = DiscoveryTopicDevice(names_, topic);
            if (!device || payload.empty()) return;
            const int i = *DeviceIndex(*device);
            if (!Served(i)) {
                reporter_.DebugLog("MQTT discovery removed for " + *device + " (not served)");
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
    const auto device = SetTopicDevice(mqtt_.TopicPrefix, topic);
    if (!device) {
        Refuse("topic " + Shown(topic) + ": no X10 device A1..P16");
        return;
    }
    if (retained) {
        // A command kept by the broker from some earlier time, not one sent now.
        Refuse(Shown(topic) + " " + Shown(payload) + ": retained command ignored (publish commands without retain)");
        return;
    }
    std::string error;
    const auto command = ParseSetPayload(payload, error);
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

void MqttBridge::DeviceChanged(int index, const DeviceView& view) {
    if (index < 0 || index >= kDeviceCount) return;
    const auto i = static_cast<std::size_t>(index);
    const bool wasKnown = known_[i];
    known_[i] = true;
    views_[i] = view;
    if (!connected_ || !Served(index)) return;
    if (!wasKnown && mqtt_.Discovery) PublishDiscovery(index);
    PublishState(index);
}

void MqttBridge::PublishState(int index) {
    const auto i = static_cast<std::size_t>(index);
    if (!connected_) return;
    if (statePublished_[i] && published_[i].State == views_[i].State) return;
    if (Publish(mqtt_.TopicPrefix + "/" + DeviceName(index) + "/state", StatePayload(views_[i].State), true)) {
        published_[i] = views_[i];
        statePublished_[i] = true;
    }
}

void MqttBridge::PublishDiscovery(int index) {
    const auto i = static_cast<std::size_t>(index);
    if (discoveryPublished_[i]) return;
    const std::string device = DeviceName(index);
    if (Publish(DiscoveryTopic(names_, device), DiscoveryConfig(names_, device), true)) discoveryPublished_[i] = true;
}

void MqttBridge::RemoveDiscovery(int index) {
    const auto i = static_cast<std::size_t>(index);
    if (Publish(DiscoveryTopic(names_, DeviceName(index)), "", true)) discoveryPublished_[i] = false;
}

void MqttBridge::CheckServed() {
    if (!connected_) return;
    for (int i = 0; i < kDeviceCount; ++i) {
        const auto u = static_cast<std::size_t>(i);
        const bool served = Served(i);
        if (mqtt_.Discovery && discoveryPublished_[u] && !served) {
            RemoveDiscovery(i);
        } else if (served && known_[u]) {
            if (mqtt_.Discovery) PublishDiscovery(i);  // nothing when already there
            PublishState(i);
        }
    }
}

void MqttBridge::Event(const EventRecord& event) {
    const auto index = DeviceIndex(event.Device);
    if (!index || !Served(*index) || !started_) return;
    if (!connected_ || !Publish(mqtt_.TopicPrefix + "/event", EventJson(event), false)) ++eventsMissed_;
}

bool MqttBridge::Publish(const std::string& topic, const std::string& payload, bool retain) {
    if (transport_.Publish(topic, payload, kQos, retain)) return true;
    reporter_.DebugLog("MQTT publish failed: " + topic);
    return false;
}

}  // namespace quorvel::mqtt
