#include "platform/qt/qt_links.h"

#include <QByteArray>
#include <QString>
#include <QTimer>

#include <functional>
#include <utility>

namespace quorvel::platform {

namespace {

std::string ToBytes(const QByteArray& data) {
    return std::string(data.constData(), static_cast<std::size_t>(data.size()));
}

QByteArray FromBytes(const std::string& bytes) {
    return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

QSerialPort::Parity ToQt(Parity p) {
    switch (p) {
        case Parity::Even: return QSerialPort::EvenParity;
        case Parity::Odd: return QSerialPort::OddParity;
        case Parity::None: break;
    }
    return QSerialPort::NoParity;
}

QSerialPort::FlowControl ToQt(FlowControl f) {
    switch (f) {
        case FlowControl::Hardware: return QSerialPort::HardwareControl;
        case FlowControl::Software: return QSerialPort::SoftwareControl;
        case FlowControl::None: break;
    }
    return QSerialPort::NoFlowControl;
}

}  // namespace

namespace {

// What Qt buffers of a link's input: beyond it the kernel's buffer and TCP's flow control
// hold the rest, so a peer that sends without pause cannot make us allocate without end.
constexpr qint64 kReadBufferBytes = 64 * 1024;
// Handed over at a time; more waiting is read on the event loop's next turn, after the
// other events (a signal, the xAP side, timers) had theirs.
constexpr qint64 kReadChunkBytes = 4096;

// Reads one chunk from device and hands it to deliver; schedules the next chunk when more
// is waiting. scheduled keeps at most one such call pending.
void ReadChunk(QIODevice& device, bool& scheduled, const std::function<void(std::string)>& deliver,
               const std::function<void()>& again) {
    if (!device.isOpen()) return;
    const QByteArray data = device.read(kReadChunkBytes);
    if (!data.isEmpty()) deliver(ToBytes(data));
    if (!scheduled && device.isOpen() && device.bytesAvailable() > 0) {
        scheduled = true;
        QTimer::singleShot(0, &device, again);
    }
}

}  // namespace

// ----- serial port -----

QtSerialPort::QtSerialPort() {
    port_.setReadBufferSize(kReadBufferBytes);
    QObject::connect(&port_, &QSerialPort::readyRead, &port_, [this] { ReadSome(); });
    QObject::connect(&port_, &QSerialPort::errorOccurred, &port_,
                     [this](QSerialPort::SerialPortError error) { OnError(error); });
}

QtSerialPort::~QtSerialPort() {
    QObject::disconnect(&port_, nullptr, nullptr, nullptr);
    if (port_.isOpen()) port_.close();
}

void QtSerialPort::ReadSome() {
    ReadChunk(
        port_, readScheduled_,
        [this](std::string bytes) {
            if (onData_) onData_(bytes);
        },
        [this] {
            readScheduled_ = false;
            ReadSome();
        });
}

int QtSerialPort::CodeOf(QSerialPort::SerialPortError error) {
    switch (error) {
        case QSerialPort::DeviceNotFoundError: return serial_error::kDeviceNotFound;
        case QSerialPort::PermissionError: return serial_error::kPermission;
        case QSerialPort::OpenError: return serial_error::kOpenFailed;
        case QSerialPort::WriteError: return serial_error::kWrite;
        case QSerialPort::ReadError: return serial_error::kRead;
        case QSerialPort::ResourceError: return serial_error::kDeviceLost;
        case QSerialPort::UnsupportedOperationError: return serial_error::kUnsupported;
        case QSerialPort::TimeoutError: return serial_error::kTimeout;
        case QSerialPort::NotOpenError: return serial_error::kNotOpen;
        default: return serial_error::kOther;
    }
}

void QtSerialPort::OnError(QSerialPort::SerialPortError error) {
    if (error == QSerialPort::NoError) return;
    const int code = CodeOf(error);
    const std::string text = port_.errorString().toStdString();
    if (inCall_ > 0) {
        // Open reads the error itself; faults met inside Write or Close reach the handler
        // from the event loop, unless the port was closed or reopened by then.
        const std::uint64_t generation = generation_;
        QTimer::singleShot(0, &port_, [this, generation, code, text] {
            if (generation == generation_ && onError_) onError_(code, text);
        });
        return;
    }
    if (onError_) onError_(code, text);
}

bool QtSerialPort::Open(const std::string& device) {
    ++generation_;
    ++inCall_;
    // The line settings go in before the open, so that the line never runs at others.
    port_.setPortName(QString::fromStdString(device));
    bool ok = port_.setBaudRate(settings_.BaudRate) &&
              port_.setDataBits(static_cast<QSerialPort::DataBits>(settings_.DataBits)) &&
              port_.setParity(ToQt(settings_.LineParity)) &&
              port_.setStopBits(settings_.StopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop) &&
              port_.setFlowControl(ToQt(settings_.Flow));
    ok = ok && port_.open(QIODevice::ReadWrite);
    if (ok) {
        lastErrorCode_ = 0;
        lastErrorText_.clear();
    } else {
        lastErrorCode_ = CodeOf(port_.error());
        lastErrorText_ = port_.errorString().toStdString();
        if (port_.isOpen()) port_.close();
        port_.clearError();
        ++generation_;  // nothing from this attempt reaches the error handler
    }
    --inCall_;
    return ok;
}

void QtSerialPort::Close() {
    ++inCall_;
    if (port_.isOpen()) port_.close();
    port_.clearError();
    ++generation_;
    --inCall_;
}

bool QtSerialPort::Write(const std::string& bytes) {
    if (!port_.isOpen()) return false;
    ++inCall_;
    const qint64 n = port_.write(FromBytes(bytes));
    --inCall_;
    return n == static_cast<qint64>(bytes.size());
}

// ----- TCP socket -----

QtTcpSocket::QtTcpSocket() {
    QObject::connect(&socket_, &QTcpSocket::connected, &socket_, [this] {
        Deliver([this] {
            if (onConnected_) onConnected_();
        });
    });
    QObject::connect(&socket_, &QTcpSocket::disconnected, &socket_, [this] {
        Deliver([this] {
            if (onClosed_) onClosed_();
        });
    });
    QObject::connect(&socket_, &QTcpSocket::errorOccurred, &socket_,
                     [this](QAbstractSocket::SocketError error) {
                         // A peer close also comes as "disconnected", which is what we report.
                         if (error == QAbstractSocket::RemoteHostClosedError) return;
                         const int number = static_cast<int>(error);
                         const std::string text = socket_.errorString().toStdString();
                         Deliver([this, number, text] {
                             if (onError_) onError_(number, text);
                         });
                     });
    socket_.setReadBufferSize(kReadBufferBytes);
    QObject::connect(&socket_, &QTcpSocket::readyRead, &socket_, [this] { ReadSome(); });
}

void QtTcpSocket::ReadSome() {
    ReadChunk(
        socket_, readScheduled_,
        [this](std::string bytes) {
            Deliver([this, bytes = std::move(bytes)] {
                if (onData_) onData_(bytes);
            });
        },
        [this] {
            readScheduled_ = false;
            ReadSome();
        });
}

QtTcpSocket::~QtTcpSocket() {
    QObject::disconnect(&socket_, nullptr, nullptr, nullptr);
    socket_.abort();
}

void QtTcpSocket::Deliver(std::function<void()> call) {
    if (inCall_ == 0) {
        call();
        return;
    }
    const std::uint64_t generation = generation_;
    QTimer::singleShot(0, &socket_, [this, generation, call = std::move(call)] {
        if (generation == generation_) call();
    });
}

void QtTcpSocket::Connect(const std::string& host, std::uint16_t port) {
    ++inCall_;
    if (socket_.state() != QAbstractSocket::UnconnectedState) socket_.abort();
    ++generation_;
    socket_.connectToHost(QString::fromStdString(host), port);
    --inCall_;
}

void QtTcpSocket::Close() {
    ++inCall_;
    socket_.abort();
    ++generation_;
    --inCall_;
}

bool QtTcpSocket::Write(const std::string& bytes) {
    if (socket_.state() != QAbstractSocket::ConnectedState) return false;
    ++inCall_;
    const qint64 n = socket_.write(FromBytes(bytes));
    --inCall_;
    return n == static_cast<qint64>(bytes.size());
}

}  // namespace quorvel::platform
