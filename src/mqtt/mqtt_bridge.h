// The MQTT bridge: X10 devices as MQTT topics on an existing broker.
//
//  - <prefix>/<device>/set   "ON", "OFF" or a brightness 0..100 -> X10 commands through the
//                            same queue and filters (House, Ignore) as xAP requests; lights
//                            and switches only (a switch takes a brightness as on or off)
//  - <prefix>/<device>/state "ON", "OFF" or "None", retained, on every change (not remotes)
//  - <prefix>/<device>/brightness  a light's level 1..100, retained, whenever it changes
//  - <prefix>/<device>/press {"event_type":"on"} for each button a remote sends
//  - <prefix>/event          one JSON object per X10 event sent or heard
//  - <prefix>/status         "online" (retained) once connected; the last will "offline"
//  - Home Assistant discovery: one retained config per served device that [Devices] lists or
//    that was switched or heard, as its kind's entity, removed (empty retained payload) when
//    the device is no longer served or changes kind.
//
// Ids (client id, unique ids, the HA device) come from the connector's xAP UID, so that two
// connectors on one broker never take each other's place and a host rename changes nothing.
// A retained command is never carried out, whether it comes live or at a reconnection.
//
// The connection is retried 1 s after a failure, doubling to 60 s; an outage is reported
// once and so is the recovery. Everything runs on the event loop through the transport's
// notifications and platform timers.
#pragma once

#include "core/reporting.h"
#include "core/settings.h"
#include "mqtt/mqtt_protocol.h"
#include "mqtt/mqtt_settings.h"
#include "mqtt/mqtt_transport.h"
#include "platform/platform.h"

#include <array>
#include <bitset>
#include <functional>
#include <memory>
#include <set>
#include <string>

namespace quorvel::mqtt {

class MqttBridge {
public:
    static constexpr int kFirstRetryMs = 1000;
    static constexpr int kMaxRetryMs = 60000;
    static constexpr int kConnectTimeoutMs = 15000;
    static constexpr int kServedCheckMs = 10000;
    static constexpr int kDeviceCount = 256;

    struct Hooks {
        // Queues one X10 command (device, function code, dim steps) in the transmit queue.
        std::function<void(const std::string& device, int function, int steps)> SendCM11A;
        // Commands are taken (the CM11A subsystem has started).
        std::function<bool()> Ready;
    };

    MqttBridge(platform::Platform& platform, core::Reporter& reporter, const core::Settings& settings,
               MqttTransport& transport, MqttSettings mqtt, Hooks hooks);
    ~MqttBridge();
    MqttBridge(const MqttBridge&) = delete;
    MqttBridge& operator=(const MqttBridge&) = delete;

    // Starts connecting (nothing happens while the bridge is off).
    void Start();
    // Orderly stop: "offline" published, a clean goodbye to the broker, timers off.
    void Stop();

    // A device's state as it now stands (from any origin); published when it differs from
    // what the broker holds. index: 0..255 (A1..P16).
    void DeviceChanged(int index, const DeviceView& view);
    // A device known at start (restored state): no event, published once connected.
    void DeviceKnown(int index, const DeviceView& view) { DeviceChanged(index, view); }
    // One X10 event sent or heard; published on <prefix>/event for a served device.
    void Event(const EventRecord& event);
    // One of the commands this bridge queued for the device was carried out or given up.
    void CommandDone(int index);

    bool Connected() const { return connected_; }
    int RetryDelayMs() const { return retryDelayMs_; }
    const MqttSettings& Settings() const { return mqtt_; }
    const DeviceView& View(int index) const { return views_[static_cast<std::size_t>(index)]; }
    bool Known(int index) const { return known_[static_cast<std::size_t>(index)]; }
    // Events that could not be published because the broker was away.
    std::size_t EventsMissed() const { return eventsMissed_; }

private:
    void Attempt();
    void OnConnected();
    void OnLost(const std::string& reason);
    void OnMessage(const std::string& topic, const std::string& payload, bool retained);
    void OnSet(const std::string& topic, const std::string& payload, bool retained);
    void Refuse(const std::string& what);
    // Served and listed in [Devices] or switched or heard: the device has an HA entity.
    bool Entitled(int index) const;
    DeviceKind KindOf(int index) const;
    void ScheduleRetry();
    void CheckServed();
    void PublishState(int index);
    void PublishDiscovery(int index);
    void RemoveDiscovery(int index);
    bool Served(int index) const;
    bool Publish(const std::string& topic, const std::string& payload, bool retain);
    std::string StatusTopic() const { return mqtt_.TopicPrefix + "/status"; }

    core::Reporter& reporter_;
    const core::Settings& settings_;
    MqttTransport& transport_;
    MqttSettings mqtt_;
    Hooks hooks_;
    DiscoveryNames names_;

    std::unique_ptr<platform::Timer> retryTimer_;
    std::unique_ptr<platform::Timer> connectTimer_;
    std::unique_ptr<platform::Timer> servedTimer_;

    bool started_ = false;
    bool connecting_ = false;
    bool connected_ = false;
    bool everConnected_ = false;
    bool outageReported_ = false;
    int retryDelayMs_ = kFirstRetryMs;
    std::size_t eventsMissed_ = 0;
    std::size_t eventsMissedReported_ = 0;

    std::array<DeviceView, kDeviceCount> views_{};
    std::bitset<kDeviceCount> known_;
    std::array<DeviceView, kDeviceCount> published_{};  // what the broker holds (valid where statePublished_)
    std::bitset<kDeviceCount> statePublished_;
    std::bitset<kDeviceCount> levelPublished_;
    std::bitset<kDeviceCount> discoveryPublished_;
    std::array<DeviceKind, kDeviceCount> discoveryKind_{};  // the kind of the config published
    // Topics of retained commands already reported (bounded: a flood of topics is not remembered).
    static constexpr std::size_t kRetainedTopicsRemembered = 512;
    std::set<std::string> retainedReported_;
    // Commands queued from MQTT and not yet done, per device, and what the device will be once
    // they are: a second command that comes before the first is carried out is planned from there.
    std::array<int, kDeviceCount> pending_{};
    std::array<DeviceView, kDeviceCount> expected_{};
};

}  // namespace quorvel::mqtt
