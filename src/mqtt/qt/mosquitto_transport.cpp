#include "mqtt/qt/mosquitto_transport.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>

namespace quorvel::mqtt {

MosquittoTransport::MosquittoTransport() : miscTimer_(std::make_unique<QTimer>()) {
    mosquitto_lib_init();  // reference-counted by the library
    miscTimer_->setInterval(1000);
    QObject::connect(miscTimer_.get(), &QTimer::timeout, [this] {
        if (mosq_ == nullptr || !active_) return;
        AfterCall(mosquitto_loop_misc(mosq_), "housekeeping");
    });
}

MosquittoTransport::~MosquittoTransport() {
    handlers_ = {};
    Unwatch(true);
    if (mosq_ != nullptr) mosquitto_destroy(mosq_);
    mosquitto_lib_cleanup();
}

bool MosquittoTransport::Connect(const ConnectOptions& o, std::string& error) {
    Unwatch();
    notices_.clear();
    if (mosq_ != nullptr) mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    const unsigned attempt = ++attempt_;
    if (!QHostAddress(QString::fromStdString(o.Host)).isNull()) return Open(o, error);
    // The library resolves names with a blocking call; a name is looked up here first, in the
    // background, so that a slow or absent name server cannot stall the event loop for long
    // (the library's own lookup then comes from the resolver's answer just given).
    active_ = true;
    QHostInfo::lookupHost(QString::fromStdString(o.Host), miscTimer_.get(), [this, attempt, o](const QHostInfo& info) {
        if (attempt != attempt_ || !active_) return;
        std::string failure;
        if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
            failure = "cannot resolve " + o.Host + ": " + info.errorString().toStdString();
        } else {
            active_ = false;
            if (Open(o, failure)) return;
            active_ = true;
        }
        Lost(failure);
        Dispatch();
    });
    return true;
}

bool MosquittoTransport::Open(const ConnectOptions& o, std::string& error) {
    // A persistent session: QoS 1 commands published while we were away are kept for us.
    // MQTT 5, so that a subscription can keep the retain flag of what is published live.
    mosq_ = mosquitto_new(o.ClientId.c_str(), false, this);
    if (mosq_ == nullptr) {
        error = "cannot create the MQTT client";
        return false;
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);  // states and acknowledgements go out at once
    mosquitto_connect_callback_set(mosq_, &MosquittoTransport::OnConnect);
    mosquitto_disconnect_callback_set(mosq_, &MosquittoTransport::OnDisconnect);
    mosquitto_message_callback_set(mosq_, &MosquittoTransport::OnMessage);
    int rc = MOSQ_ERR_SUCCESS;
    if (!o.Username.empty()) {
        rc = mosquitto_username_pw_set(mosq_, o.Username.c_str(), o.Password.empty() ? nullptr : o.Password.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS && !o.CAFile.empty()) {
        rc = mosquitto_tls_set(mosq_, o.CAFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            error = "TLS with CA file " + o.CAFile + ": " + mosquitto_strerror(rc);
            return false;
        }
    }
    if (rc == MOSQ_ERR_SUCCESS && !o.WillTopic.empty()) {
        rc = mosquitto_will_set(mosq_, o.WillTopic.c_str(), static_cast<int>(o.WillPayload.size()),
                                o.WillPayload.data(), 1, o.WillRetain);
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        // An MQTT 5 session ends with the connection unless CONNECT asks for a longer life. The
        // library takes CONNECT properties only through its blocking connect, which keeps them
        // before it looks at the host: given none it returns at once, and the asynchronous
        // connect below sends them. Should a library version not keep them, the session only
        // ends with each connection (commands published meanwhile are not kept).
        mosquitto_property* props = nullptr;
        if (mosquitto_property_add_int32(&props, MQTT_PROP_SESSION_EXPIRY_INTERVAL, kSessionExpirySeconds) ==
            MOSQ_ERR_SUCCESS) {
            mosquitto_connect_bind_v5(mosq_, nullptr, o.Port, o.KeepAliveSeconds, nullptr, props);
        }
        mosquitto_property_free_all(&props);
        rc = mosquitto_connect_async(mosq_, o.Host.c_str(), o.Port, o.KeepAliveSeconds);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        error = rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : std::string(mosquitto_strerror(rc));
        return false;
    }
    active_ = true;
    Watch();
    miscTimer_->start();
    return true;
}

void MosquittoTransport::Disconnect(bool clean) {
    ++attempt_;  // a lookup still running is forgotten
    const bool wasActive = active_;
    active_ = false;  // no Lost for a disconnection we asked for
    notices_.clear();
    if (mosq_ == nullptr) return;
    if (clean && wasActive) {
        mosquitto_disconnect(mosq_);
        // Flush what is still queued (the "offline" status, the DISCONNECT) without waiting long.
        for (int i = 0; i < 10 && mosquitto_socket(mosq_) >= 0 && mosquitto_want_write(mosq_); ++i) {
            if (mosquitto_loop_write(mosq_, 1) != MOSQ_ERR_SUCCESS) break;
        }
    }
    Unwatch();
    miscTimer_->stop();
    notices_.clear();
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
}

bool MosquittoTransport::Publish(const std::string& topic, const std::string& payload, int qos, bool retain) {
    if (mosq_ == nullptr || !active_) return false;
    const int rc = mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.data(), qos, retain);
    Watch();
    Dispatch();
    return rc == MOSQ_ERR_SUCCESS;
}

bool MosquittoTransport::Subscribe(const std::string& pattern, int qos) {
    if (mosq_ == nullptr || !active_) return false;
    // Retain as published: a retained message sent while we are subscribed arrives marked
    // retained, as it will when replayed at the next subscription.
    const int rc = mosquitto_subscribe_v5(mosq_, nullptr, pattern.c_str(), qos, MQTT_SUB_OPT_RETAIN_AS_PUBLISHED, nullptr);
    Watch();
    Dispatch();
    return rc == MOSQ_ERR_SUCCESS;
}

void MosquittoTransport::Watch() {
    if (mosq_ == nullptr) return;
    const int fd = mosquitto_socket(mosq_);
    if (fd != watchedFd_) {
        Unwatch();
        if (fd < 0) return;
        watchedFd_ = fd;
        readNotifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        writeNotifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
        QObject::connect(readNotifier_.get(), &QSocketNotifier::activated, [this] {
            if (mosq_ != nullptr) AfterCall(mosquitto_loop_read(mosq_, 1), "read");
        });
        QObject::connect(writeNotifier_.get(), &QSocketNotifier::activated, [this] {
            if (mosq_ != nullptr) AfterCall(mosquitto_loop_write(mosq_, 1), "write");
        });
    }
    if (writeNotifier_) writeNotifier_->setEnabled(mosquitto_want_write(mosq_));
}

void MosquittoTransport::Unwatch(bool now) {
    // This can run inside a notifier's own signal: such a notifier is deleted later.
    for (QSocketNotifier* n : {readNotifier_.release(), writeNotifier_.release()}) {
        if (n == nullptr) continue;
        n->setEnabled(false);
        QObject::disconnect(n, nullptr, nullptr, nullptr);
        if (now) delete n;
        else n->deleteLater();
    }
    watchedFd_ = -1;
}

void MosquittoTransport::AfterCall(int rc, const char* what) {
    if (mosq_ == nullptr) return;
    if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(mosq_) < 0) {
        std::string reason = rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : mosquitto_strerror(rc);
        if (rc == MOSQ_ERR_SUCCESS) reason = "connection closed";
        while (!reason.empty() && reason.back() == '.') reason.pop_back();
        Lost(std::string(what) + ": " + reason);
    } else {
        Watch();
    }
    Dispatch();
}

void MosquittoTransport::Lost(const std::string& reason) {
    Unwatch();
    miscTimer_->stop();
    if (!active_) return;
    active_ = false;
    // The client object is kept until the next Connect: this may run inside its callback.
    notices_.push_back({Notice::Kind::Lost, reason, {}, false});
}

void MosquittoTransport::Dispatch() {
    if (dispatching_) return;  // a dispatch further out takes the new notices in order
    dispatching_ = true;
    while (!notices_.empty()) {
        const Notice n = std::move(notices_.front());
        notices_.pop_front();
        switch (n.What) {
        case Notice::Kind::Connected:
            if (handlers_.Connected) handlers_.Connected();
            break;
        case Notice::Kind::Lost:
            if (handlers_.Lost) handlers_.Lost(n.Topic);
            break;
        case Notice::Kind::Message:
            if (handlers_.Message) handlers_.Message(n.Topic, n.Payload, n.Retained);
            break;
        }
    }
    dispatching_ = false;
}

void MosquittoTransport::OnConnect(mosquitto*, void* self, int rc) {
    auto* t = static_cast<MosquittoTransport*>(self);
    if (rc != 0) {
        t->Lost(std::string("broker refused the connection: ") + mosquitto_reason_string(rc));
        return;
    }
    t->notices_.push_back({Notice::Kind::Connected, {}, {}, false});
}

void MosquittoTransport::OnDisconnect(mosquitto*, void* self, int rc) {
    auto* t = static_cast<MosquittoTransport*>(self);
    std::string reason = rc == 0 ? std::string("disconnected") : std::string(mosquitto_strerror(rc));
    while (!reason.empty() && reason.back() == '.') reason.pop_back();
    t->Lost(reason);
}

void MosquittoTransport::OnMessage(mosquitto*, void* self, const mosquitto_message* m) {
    auto* t = static_cast<MosquittoTransport*>(self);
    if (m == nullptr || m->topic == nullptr) return;
    std::string payload = m->payloadlen > 0 ? std::string(static_cast<const char*>(m->payload),
                                                          static_cast<std::size_t>(m->payloadlen))
                                            : std::string();
    t->notices_.push_back({Notice::Kind::Message, m->topic, std::move(payload), m->retain});
}

}  // namespace quorvel::mqtt
