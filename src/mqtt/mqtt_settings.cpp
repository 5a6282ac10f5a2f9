#include "mqtt/mqtt_settings.h"

#include "core/settings.h"

namespace quorvel::mqtt {

namespace {

bool Flag(const std::string& text, bool def) {
    std::string t;
    for (char c : text) {
        if (c != '"') t.push_back(core::LowerAscii(c));
    }
    if (t == "1" || t == "true") return true;
    if (t == "0" || t == "false") return false;
    return def;
}

bool ValidHostText(const std::string& h) {
    if (h.empty() || h.size() > 253) return false;
    for (unsigned char c : h) {
        if (!(std::isalnum(c) || c == '.' || c == '-' || c == '_' || c == ':')) return false;
    }
    return true;
}

}  // namespace

bool ParseBroker(const std::string& text, bool tls, std::string& host, int& port) {
    const std::string t(core::Trim(text));
    std::string h, p;
    if (!t.empty() && t.front() == '[') {  // [v6]:port
        const std::size_t close = t.find(']');
        if (close == std::string::npos) return false;
        h = t.substr(1, close - 1);
        if (close + 1 < t.size()) {
            if (t[close + 1] != ':') return false;
            p = t.substr(close + 2);
            if (p.empty()) return false;
        }
    } else {
        const std::size_t colon = t.find(':');
        if (colon != t.rfind(':')) return false;  // a bare IPv6 address needs brackets
        h = t.substr(0, colon);
        if (colon != std::string::npos) {
            p = t.substr(colon + 1);
            if (p.empty()) return false;
        }
        if (h.find(':') != std::string::npos) return false;
    }
    if (!ValidHostText(h)) return false;
    int value = tls ? kDefaultTlsPort : kDefaultPort;
    if (!p.empty()) {
        if (p.size() > 5) return false;
        value = 0;
        for (char c : p) {
            if (c < '0' || c > '9') return false;
            value = value * 10 + (c - '0');
        }
        if (value < 1 || value > 65535) return false;
    }
    host = h;
    port = value;
    return true;
}

bool ValidTopicPrefix(std::string& prefix) {
    while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
    if (prefix.empty() || prefix.size() > 200) return false;
    if (prefix.front() == '/') return false;
    if (prefix.find("//") != std::string::npos) return false;
    for (char c : prefix) {
        if (c == '+' || c == '#' || c == '\0') return false;
    }
    return true;
}

std::string SafeId(const std::string& text) {
    std::string out;
    for (unsigned char c : text) out.push_back(std::isalnum(c) || c == '-' || c == '_' ? static_cast<char>(c) : '_');
    return out.empty() ? "localhost" : out;
}

MqttSettings ReadMqttSettings(const std::function<std::string(const std::string&, const std::string&)>& get,
                              const std::string& computerName, std::vector<std::string>& problems) {
    MqttSettings s;
    s.ComputerName = computerName.empty() ? "localhost" : computerName;
    const std::string defaultPrefix = "quorvel/" + s.ComputerName;
    const std::string broker(core::Trim(get("Broker", "")));
    if (broker.empty()) return s;  // off: the other keys are not even looked at
    s.CAFile = std::string(core::Trim(get("CAFile", "")));
    s.Username = get("Username", "");
    s.Password = get("Password", "");
    s.Discovery = Flag(get("Discovery", "1"), true);

    s.TopicPrefix = std::string(core::Trim(get("TopicPrefix", defaultPrefix)));
    if (s.TopicPrefix.empty()) s.TopicPrefix = defaultPrefix;
    if (!ValidTopicPrefix(s.TopicPrefix)) {
        problems.push_back("MQTT TopicPrefix '" + s.TopicPrefix + "' cannot be used (no + # or empty level); using " +
                           defaultPrefix);
        s.TopicPrefix = defaultPrefix;
        ValidTopicPrefix(s.TopicPrefix);
    }
    s.DiscoveryPrefix = std::string(core::Trim(get("DiscoveryPrefix", "homeassistant")));
    if (s.DiscoveryPrefix.empty()) s.DiscoveryPrefix = "homeassistant";
    if (!ValidTopicPrefix(s.DiscoveryPrefix)) {
        problems.push_back("MQTT DiscoveryPrefix '" + s.DiscoveryPrefix + "' cannot be used; using homeassistant");
        s.DiscoveryPrefix = "homeassistant";
    }
    if (s.Password.size() > 0 && s.Username.empty()) {
        problems.push_back("MQTT Password is set without a Username; the password is not used");
        s.Password.clear();
    }

    if (!ParseBroker(broker, !s.CAFile.empty(), s.Host, s.Port)) {
        problems.push_back("MQTT Broker '" + broker + "' is not host:port; the MQTT bridge is off");
        s.Host.clear();
    }
    return s;
}

std::string Describe(const MqttSettings& s) {
    std::string out = "broker " + (s.Host.find(':') != std::string::npos ? "[" + s.Host + "]" : s.Host) + ":" +
                      std::to_string(s.Port) + ", prefix " + s.TopicPrefix;
    if (!s.Username.empty()) out += ", user " + s.Username + (s.Password.empty() ? "" : " (password set)");
    out += s.CAFile.empty() ? ", no TLS" : ", TLS with CA file " + s.CAFile;
    out += s.Discovery ? ", discovery under " + s.DiscoveryPrefix : ", no discovery";
    return out;
}

}  // namespace quorvel::mqtt
