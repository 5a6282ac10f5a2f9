// Scripted serial port and TCP socket for unit tests. The test decides which devices exist,
// whether and when a connection is accepted, delivers bytes and peer closes through the
// simulated event pump, and reads back what was configured, opened and written.
#pragma once

#include "platform/byte_links.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace quorvel::platform {

class SimPlatform;

class SimSerialPort : public SerialPort {
public:
    explicit SimSerialPort(SimPlatform& sim);
    ~SimSerialPort() override;

    void Configure(const SerialSettings& settings) override;
    bool Open(const std::string& device) override;
    bool IsOpen() const override { return open_; }
    void Close() override;
    bool Write(const std::string& bytes) override;
    int LastErrorCode() const override { return lastErrorCode_; }
    std::string LastErrorText() const override { return lastErrorText_; }
    void SetDataHandler(std::function<void(const std::string&)> handler) override { onData_ = std::move(handler); }
    void SetErrorHandler(std::function<void(int, const std::string&)> handler) override {
        onError_ = std::move(handler);
    }

    // --- Script ---
    void AddDevice(const std::string& path) { devices_.insert(path); }
    // The device goes away; an open port reports kDeviceLost through the event pump.
    void Unplug(const std::string& path);
    // Bytes from the interface, delivered through the event pump (if the port is open then).
    void Deliver(const std::string& bytes, std::uint64_t delayMs = 0);
    // A fault of the open port, delivered through the event pump.
    void RaiseError(int code, const std::string& text, std::uint64_t delayMs = 0);

    // --- Record ---
    int ConfigureCalls() const { return configureCalls_; }
    // Settings in force at each successful or failed Open, in order.
    const std::vector<std::pair<std::string, SerialSettings>>& Opens() const { return opens_; }
    const std::vector<std::string>& Writes() const { return writes_; }
    int CloseCalls() const { return closeCalls_; }
    const std::string& Device() const { return device_; }

private:
    SimPlatform& sim_;
    std::shared_ptr<bool> alive_;
    std::set<std::string> devices_;
    SerialSettings settings_;
    bool open_ = false;
    std::string device_;
    int lastErrorCode_ = 0;
    std::string lastErrorText_;
    int configureCalls_ = 0;
    int closeCalls_ = 0;
    std::vector<std::pair<std::string, SerialSettings>> opens_;
    std::vector<std::string> writes_;
    std::function<void(const std::string&)> onData_;
    std::function<void(int, const std::string&)> onError_;
};

class SimTcpSocket : public TcpSocket {
public:
    // What the far end does with each connection attempt.
    enum class Answer { Never, Accept, Refuse };

    explicit SimTcpSocket(SimPlatform& sim);
    ~SimTcpSocket() override;

    void Connect(const std::string& host, std::uint16_t port) override;
    TcpState State() const override { return state_; }
    void Close() override;
    bool Write(const std::string& bytes) override;
    void SetConnectedHandler(std::function<void()> handler) override { onConnected_ = std::move(handler); }
    void SetClosedHandler(std::function<void()> handler) override { onClosed_ = std::move(handler); }
    void SetErrorHandler(std::function<void(int, const std::string&)> handler) override {
        onError_ = std::move(handler);
    }
    void SetDataHandler(std::function<void(const std::string&)> handler) override { onData_ = std::move(handler); }

    // --- Script ---
    // Every later attempt is answered this way after delayMs (through the event pump).
    void SetAnswer(Answer answer, std::uint64_t delayMs = 0) {
        answer_ = answer;
        answerDelayMs_ = delayMs;
    }
    // The pending attempt is accepted now (no effect unless connecting).
    void Accept();
    // The far end closes the connection (through the event pump).
    void PeerClose(std::uint64_t delayMs = 0);
    // A socket fault (through the event pump); the socket is then unconnected.
    void RaiseError(int number, const std::string& text, std::uint64_t delayMs = 0);
    // Bytes from the far end (through the event pump; dropped unless connected then).
    void Deliver(const std::string& bytes, std::uint64_t delayMs = 0);

    // --- Record ---
    const std::vector<std::pair<std::string, std::uint16_t>>& Connects() const { return connects_; }
    const std::vector<std::string>& Writes() const { return writes_; }
    int CloseCalls() const { return closeCalls_; }

private:
    void Later(std::uint64_t delayMs, std::function<void()> task);

    SimPlatform& sim_;
    std::shared_ptr<bool> alive_;
    TcpState state_ = TcpState::Unconnected;
    std::uint64_t attempt_ = 0;  // changes with every Connect and Close
    Answer answer_ = Answer::Never;
    std::uint64_t answerDelayMs_ = 0;
    std::vector<std::pair<std::string, std::uint16_t>> connects_;
    std::vector<std::string> writes_;
    int closeCalls_ = 0;
    std::function<void()> onConnected_;
    std::function<void()> onClosed_;
    std::function<void(int, const std::string&)> onError_;
    std::function<void(const std::string&)> onData_;
};

}  // namespace quorvel::platform
