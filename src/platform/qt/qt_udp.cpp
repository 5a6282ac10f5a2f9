// UDP sockets on QUdpSocket. Datagrams are read in the readyRead handler, one handler call
// per datagram, on the event thread.
#include "platform/qt/qt_platform.h"

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QUdpSocket>

namespace quorvel::platform {

namespace {

// Datagrams read per readyRead before yielding to the event loop, so that a flood cannot
// starve timers; Qt signals readyRead again while datagrams are pending.
constexpr int kDatagramsPerWakeup = 256;

class QtUdpSocket : public UdpSocket {
public:
    QtUdpSocket() {
        QObject::connect(&socket_, &QUdpSocket::readyRead, &socket_, [this] { ReadPending(); });
    }

    bool Bind(const std::string& address, std::uint16_t port) override {
        QHostAddress host = address.empty() ? QHostAddress(QHostAddress::AnyIPv4)
                                            : QHostAddress(QString::fromStdString(address));
        if (host.isNull() || host.protocol() != QAbstractSocket::IPv4Protocol) {
            errorNumber_ = static_cast<int>(QAbstractSocket::UnsupportedSocketOperationError);
            errorText_ = "Invalid local address '" + address + "'";
            return false;
        }
        if (socket_.bind(host, port, QAbstractSocket::DontShareAddress)) return true;
        CopyError();
        return false;
    }

    bool Send(const std::string& host, std::uint16_t port, std::string_view data) override {
        const QHostAddress to(QString::fromStdString(host));
        if (to.isNull()) {
            errorNumber_ = static_cast<int>(QAbstractSocket::HostNotFoundError);
            errorText_ = "Invalid destination address '" + host + "'";
            return false;
        }
        const qint64 n = socket_.writeDatagram(data.data(), static_cast<qint64>(data.size()), to, port);
        if (n == static_cast<qint64>(data.size())) return true;
        CopyError();
        return false;
    }

    void SetReceiveHandler(std::function<void(std::string_view)> handler) override {
        handler_ = std::move(handler);
    }

    void Close() override { socket_.close(); }

    bool Bound() const override { return socket_.state() == QAbstractSocket::BoundState; }
    int State() const override { return static_cast<int>(socket_.state()); }
    int ErrorNumber() const override { return errorNumber_; }
    std::string ErrorText() const override { return errorText_; }

private:
    void CopyError() {
        errorNumber_ = static_cast<int>(socket_.error());
        errorText_ = socket_.errorString().toStdString();
    }

    void ReadPending() {
        for (int i = 0; i < kDatagramsPerWakeup && socket_.hasPendingDatagrams(); ++i) {
            const QNetworkDatagram datagram = socket_.receiveDatagram();
            if (!datagram.isValid()) break;
            const QByteArray bytes = datagram.data();
            if (handler_) handler_(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
        }
    }

    QUdpSocket socket_;
    std::function<void(std::string_view)> handler_;
    int errorNumber_ = 0;
    std::string errorText_;
};

}  // namespace

std::unique_ptr<UdpSocket> QtPlatform::CreateUdpSocket() { return std::make_unique<QtUdpSocket>(); }

}  // namespace quorvel::platform
