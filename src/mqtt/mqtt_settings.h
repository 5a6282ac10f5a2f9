// The [MQTT] section of Quorvel.ini: where the broker is, the topic prefix, credentials,
// TLS and Home Assistant discovery. The bridge is off while Broker is empty or absent.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace quorvel::mqtt {

inline constexpr const char* kMqttSection = "MQTT";
inline constexpr int kDefaultPort = 1883;
inline constexpr int kDefaultTlsPort = 8883;

struct MqttSettings {
    std::string Host;  // empty: the bridge is off
    int Port = kDefaultPort;
    std::string TopicPrefix;      // without a trailing "/"
    std::string Username;
    std::string Password;         // never shown: see Describe
    std::string CAFile;           // TLS when set
    bool Discovery = true;
    std::string DiscoveryPrefix = "homeassistant";
    std::string ComputerName;     // the host part of ids and the default prefix

    bool Enabled() const { return !Host.empty(); }
};

// Reads the section through get(key, default) (the Homeseer settings path). Values that
// cannot be used are listed in problems, one line each; a broker address that cannot be
// used leaves the bridge off, a bad prefix falls back to its default.
MqttSettings ReadMqttSettings(const std::function<std::string(const std::string& key, const std::string& def)>& get,
                              const std::string& computerName, std::vector<std::string>& problems);

// "host:port", "[v6::addr]:port" or a bare host (port 1883, or 8883 with TLS). False when
// the text names no usable host or port.
bool ParseBroker(const std::string& text, bool tls, std::string& host, int& port);

// A topic prefix fit for publishing under: not empty, no "+" or "#", no empty level, no
// NUL, at most 200 bytes. A trailing "/" is dropped before the check.
bool ValidTopicPrefix(std::string& prefix);

// One line for logs and reports: broker, prefix, user, TLS, discovery. The password shows
// only as "password set" or nothing.
std::string Describe(const MqttSettings& s);

// The computer name reduced to what an MQTT object id takes ([A-Za-z0-9_-]).
std::string SafeId(const std::string& text);

}  // namespace quorvel::mqtt
