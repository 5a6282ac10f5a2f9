// What the bridge needs of an MQTT client: connect with a last will, publish, subscribe,
// and three notifications. The product uses libmosquitto driven by the event loop
// (mqtt/qt/mosquitto_transport.h); unit tests use a scripted double.
#pragma once

#include <functional>
#include <string>

namespace quorvel::mqtt {

struct ConnectOptions {
    std::string Host;
    int Port = 1883;
    std::string ClientId;
    std::string Username;
    std::string Password;
    std::string CAFile;  // TLS when set
    int KeepAliveSeconds = 30;
    std::string WillTopic;
    std::string WillPayload;
    bool WillRetain = true;
};

class MqttTransport {
public:
    struct Handlers {
        std::function<void()> Connected;                          // the broker accepted us
        std::function<void(const std::string& reason)> Lost;      // an attempt failed or the link dropped
        std::function<void(const std::string& topic, const std::string& payload, bool retained)> Message;
    };

    virtual ~MqttTransport() = default;
    virtual void SetHandlers(Handlers handlers) = 0;
    // Starts one connection attempt (MQTT 5, a persistent session). Its outcome comes later as Connected or
    // Lost; false (with the reason in error) when it could not even start.
    virtual bool Connect(const ConnectOptions& options, std::string& error) = 0;
    // Drops the connection or the attempt without telling Lost. clean: say goodbye to the
    // broker (no last will).
    virtual void Disconnect(bool clean) = 0;
    // False when the message could not be handed to the client library.
    virtual bool Publish(const std::string& topic, const std::string& payload, int qos, bool retain) = 0;
    // Messages that arrive keep the retain flag they were published with, live or replayed.
    virtual bool Subscribe(const std::string& pattern, int qos) = 0;
};

}  // namespace quorvel::mqtt
