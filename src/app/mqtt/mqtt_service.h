// The MQTT bridge joined to the running connector: settings from [MQTT] in Quorvel.ini,
// commands into the CM11A transmit queue, device states and X10 events out.
#pragma once

#include "app/quorvel_form.h"
#include "mqtt/mqtt_bridge.h"
#include "platform/platform.h"

#include <memory>

namespace quorvel::app {

class MqttService {
public:
    // Reads [MQTT] and starts the bridge when a broker is set; null when the bridge is off
    // (or left out of this build, which is then reported). Call after Form_Load.
    static std::unique_ptr<MqttService> Start(QuorvelForm& form, platform::Platform& platform);

    MqttService(QuorvelForm& form, platform::Platform& platform, std::unique_ptr<mqtt::MqttTransport> transport,
                mqtt::MqttSettings settings);
    ~MqttService();
    MqttService(const MqttService&) = delete;
    MqttService& operator=(const MqttService&) = delete;

    mqtt::MqttBridge& bridge() { return bridge_; }

    // One X10 function carried out, heard or given up (after the device state took it).
    void OnActivity(const cm11a::X10Activity& activity);

private:
    void SyncStates();

    QuorvelForm& form_;
    platform::Platform& platform_;
    std::unique_ptr<mqtt::MqttTransport> transport_;
    mqtt::MqttBridge bridge_;
};

}  // namespace quorvel::app
