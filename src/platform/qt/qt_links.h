// The CM11A links on Qt: QSerialPort and QTcpSocket behind the platform's byte-link seam.
#pragma once

#include "platform/byte_links.h"

#include <QSerialPort>
#include <QTcpSocket>

#include <cstdint>
#include <functional>
#include <string>

namespace quorvel::platform {

class QtSerialPort : public SerialPort {
public:
    QtSerialPort();
    ~QtSerialPort() override;
    QtSerialPort(const QtSerialPort&) = delete;
    QtSerialPort& operator=(const QtSerialPort&) = delete;

    void Configure(const SerialSettings& settings) override { settings_ = settings; }
    bool Open(const std::string& device) override;
    bool IsOpen() const override { return port_.isOpen(); }
    void Close() override;
    bool Write(const std::string& bytes) override;
    int LastErrorCode() const override { return lastErrorCode_; }
    std::string LastErrorText() const override { return lastErrorText_; }
    void SetDataHandler(std::function<void(const std::string&)> handler) override { onData_ = std::move(handler); }
    void SetErrorHandler(std::function<void(int, const std::string&)> handler) override {
        onError_ = std::move(handler);
    }

    // Qt's error kinds as the link's codes above 1000.
    static int CodeOf(QSerialPort::SerialPortError error);

private:
    void OnError(QSerialPort::SerialPortError error);
    // Hands one bounded chunk of the input over; more waiting follows on the next turn.
    void ReadSome();

    QSerialPort port_;
    SerialSettings settings_;
    int inCall_ = 0;       // inside one of our own members: faults are delivered later
    bool readScheduled_ = false;  // a read of the rest of the input is pending
    std::uint64_t generation_ = 0;  // changes with every Open and Close
    int lastErrorCode_ = 0;
    std::string lastErrorText_;
    std::function<void(const std::string&)> onData_;
    std::function<void(int, const std::string&)> onError_;
};

class QtTcpSocket : public TcpSocket {
public:
    QtTcpSocket();
    ~QtTcpSocket() override;
    QtTcpSocket(const QtTcpSocket&) = delete;
    QtTcpSocket& operator=(const QtTcpSocket&) = delete;

    void Connect(const std::string& host, std::uint16_t port) override;
    TcpState State() const override { return static_cast<TcpState>(static_cast<int>(socket_.state())); }
    void Close() override;
    bool Write(const std::string& bytes) override;
    void SetConnectedHandler(std::function<void()> handler) override { onConnected_ = std::move(handler); }
    void SetClosedHandler(std::function<void()> handler) override { onClosed_ = std::move(handler); }
    void SetErrorHandler(std::function<void(int, const std::string&)> handler) override {
        onError_ = std::move(handler);
    }
    void SetDataHandler(std::function<void(const std::string&)> handler) override { onData_ = std::move(handler); }

private:
    // Runs a handler call now, or from the event loop when we are inside one of our own
    // members; a call queued for an attempt that has since been closed is dropped.
    void Deliver(std::function<void()> call);
    void ReadSome();

    QTcpSocket socket_;
    int inCall_ = 0;
    bool readScheduled_ = false;
    std::uint64_t generation_ = 0;  // changes with every Connect and Close
    std::function<void()> onConnected_;
    std::function<void()> onClosed_;
    std::function<void(int, const std::string&)> onError_;
    std::function<void(const std::string&)> onData_;
};

}  // namespace quorvel::platform
