#include "platform/sim/sim_links.h"

#include "platform/sim/sim_platform.h"

namespace quorvel::platform {

namespace {

// Runs task later unless the owner is gone by then.
void PostGuarded(SimPlatform& sim, const std::shared_ptr<bool>& alive, std::uint64_t delayMs,
                 std::function<void()> task) {
    std::weak_ptr<bool> weak = alive;
    sim.Post(
        [weak, task = std::move(task)] {
            if (weak.lock()) task();
        },
        delayMs);
}

}  // namespace

// ----- serial port -----

SimSerialPort::SimSerialPort(SimPlatform& sim) : sim_(sim), alive_(std::make_shared<bool>(true)) {
    sim_.Register(this);
}

SimSerialPort::~SimSerialPort() { sim_.Unregister(this); }

void SimSerialPort::Configure(const SerialSettings& settings) {
    ++configureCalls_;
    settings_ = settings;
}

bool SimSerialPort::Open(const std::string& device) {
    opens_.emplace_back(device, settings_);
    if (open_) {
        lastErrorCode_ = serial_error::kOpenFailed;
        lastErrorText_ = "Device is already open";
        return false;
    }
    if (!devices_.count(device)) {
        lastErrorCode_ = serial_error::kDeviceNotFound;
        lastErrorText_ = "No such file or directory";
        return false;
    }
    open_ = true;
    device_ = device;
    lastErrorCode_ = 0;
    lastErrorText_.clear();
    return true;
}

void SimSerialPort::Close() {
    ++closeCalls_;
    open_ = false;
}

bool SimSerialPort::Write(const std::string& bytes) {
    if (!open_ || !devices_.count(device_)) return false;
    writes_.push_back(bytes);
    return true;
}

void SimSerialPort::Unplug(const std::string& path) {
    devices_.erase(path);
    if (open_ && device_ == path) RaiseError(serial_error::kDeviceLost, "Device removed");
}

void SimSerialPort::Deliver(const std::string& bytes, std::uint64_t delayMs) {
    PostGuarded(sim_, alive_, delayMs, [this, bytes] {
        if (open_ && onData_) onData_(bytes);
    });
}

void SimSerialPort::RaiseError(int code, const std::string& text, std::uint64_t delayMs) {
    PostGuarded(sim_, alive_, delayMs, [this, code, text] {
        if (open_ && onError_) onError_(code, text);
    });
}

// ----- TCP socket -----

SimTcpSocket::SimTcpSocket(SimPlatform& sim) : sim_(sim), alive_(std::make_shared<bool>(true)) {
    sim_.Register(this);
}

SimTcpSocket::~SimTcpSocket() { sim_.Unregister(this); }

void SimTcpSocket::Later(std::uint64_t delayMs, std::function<void()> task) {
    PostGuarded(sim_, alive_, delayMs, std::move(task));
}

void SimTcpSocket::Connect(const std::string& host, std::uint16_t port) {
    ++attempt_;
    connects_.emplace_back(host, port);
    state_ = TcpState::Connecting;
    const std::uint64_t attempt = attempt_;
    switch (answer_) {
        case Answer::Never:
            break;
        case Answer::Accept:
            Later(answerDelayMs_, [this, attempt] {
                if (attempt == attempt_) Accept();
            });
            break;
        case Answer::Refuse:
            Later(answerDelayMs_, [this, attempt] {
                if (attempt != attempt_ || state_ != TcpState::Connecting) return;
                state_ = TcpState::Unconnected;
                if (onError_) onError_(10061, "Connection refused");
            });
            break;
    }
}

void SimTcpSocket::Close() {
    ++closeCalls_;
    ++attempt_;
    state_ = TcpState::Unconnected;
}

bool SimTcpSocket::Write(const std::string& bytes) {
    if (state_ != TcpState::Connected) return false;
    writes_.push_back(bytes);
    return true;
}

void SimTcpSocket::Accept() {
    if (state_ != TcpState::Connecting) return;
    state_ = TcpState::Connected;
    if (onConnected_) onConnected_();
}

void SimTcpSocket::PeerClose(std::uint64_t delayMs) {
    Later(delayMs, [this] {
        if (state_ != TcpState::Connected) return;
        state_ = TcpState::Unconnected;
        if (onClosed_) onClosed_();
    });
}

void SimTcpSocket::RaiseError(int number, const std::string& text, std::uint64_t delayMs) {
    Later(delayMs, [this, number, text] {
        state_ = TcpState::Unconnected;
        if (onError_) onError_(number, text);
    });
}

void SimTcpSocket::Deliver(const std::string& bytes, std::uint64_t delayMs) {
    Later(delayMs, [this, bytes] {
        if (state_ == TcpState::Connected && onData_) onData_(bytes);
    });
}

}  // namespace quorvel::platform
