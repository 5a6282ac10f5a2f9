// The MQTT transport on libmosquitto, driven from the Qt event loop: socket notifiers for
// reading and writing, and a one-second timer for the library's housekeeping (keep-alive,
// retries of unacknowledged QoS 1 messages). No thread of the library's own.
#pragma once

#include "mqtt/mqtt_transport.h"

#include <deque>
#include <memory>

struct mosquitto;
struct mosquitto_message;
class QSocketNotifier;
class QTimer;

namespace quorvel::mqtt {

class MosquittoTransport : public MqttTransport {
public:
    // How long the broker keeps our session (and QoS 1 commands for us) while we are away.
    static constexpr int kSessionExpirySeconds = 24 * 3600;

    MosquittoTransport();
    ~MosquittoTransport() override;
    MosquittoTransport(const MosquittoTransport&) = delete;
    MosquittoTransport& operator=(const MosquittoTransport&) = delete;

    void SetHandlers(Handlers handlers) override { handlers_ = std::move(handlers); }
    bool Connect(const ConnectOptions& options, std::string& error) override;
    void Disconnect(bool clean) override;
    bool Publish(const std::string& topic, const std::string& payload, int qos, bool retain) override;
    bool Subscribe(const std::string& pattern, int qos) override;

private:
    bool Open(const ConnectOptions& options, std::string& error);  // the library's connection attempt
    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* m);

    void Watch();    // notifiers follow the library's socket
    void Unwatch(bool now = false);
    void AfterCall(int rc, const char* what);
    void Lost(const std::string& reason);
    void Dispatch();

    // What the library told us, handed on only once its call has returned: a handler may let
    // events run (the CM11A link does), and the library must not be entered again from there.
    struct Notice {
        enum class Kind { Connected, Lost, Message } What;
        std::string Topic, Payload;
        bool Retained = false;
    };
    std::deque<Notice> notices_;
    bool dispatching_ = false;

    Handlers handlers_;
    mosquitto* mosq_ = nullptr;
    int watchedFd_ = -1;
    bool active_ = false;  // an attempt or a connection is up; Lost not yet told
    unsigned attempt_ = 0;  // numbers the attempts: a late name lookup of an old one is ignored
    std::unique_ptr<QSocketNotifier> readNotifier_;
    std::unique_ptr<QSocketNotifier> writeNotifier_;
    std::unique_ptr<QTimer> miscTimer_;
};

}  // namespace quorvel::mqtt
