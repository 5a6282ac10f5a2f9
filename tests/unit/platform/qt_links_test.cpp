// The Qt serial port against a real pseudo-terminal and the Qt TCP socket against a local
// server on 127.0.0.1, alone and under the CM11A link. Every wait is bounded.
#include "cm11a/cm11a_link.h"
#include "platform/qt/qt_links.h"
#include "platform/qt/qt_platform.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

using quorvel::platform::QtPlatform;
using quorvel::platform::QtSerialPort;
using quorvel::platform::QtTcpSocket;

namespace {

void EnsureApp() {
    if (QCoreApplication::instance() != nullptr) return;
    static int argc = 1;
    static char name[] = "unit_tests";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);  // lives until the process ends
}

// Runs the event loop until done() holds or limitMs pass; true when done() held.
bool PumpUntil(QtPlatform& platform, const std::function<bool()>& done, int limitMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        platform.WaitForEvents(20);
    }
    return true;
}

// Every byte value that a terminal line might treat specially.
std::string AwkwardBytes() {
    std::string s;
    for (int b : {0x00, 0x03, 0x04, 0x0A, 0x0D, 0x11, 0x13, 0x1A, 0x5A, 0x7F, 0x9B, 0xA5, 0xC3, 0xFF}) {
        s.push_back(static_cast<char>(b));
    }
    return s;
}

class Pty {
public:
    Pty() {
        if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
        name_ = ::ttyname(slave_);
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~Pty() {
        if (master_ >= 0) ::close(master_);
        if (slave_ >= 0) ::close(slave_);
    }
    bool ok() const { return master_ >= 0 && !name_.empty(); }
    const std::string& name() const { return name_; }
    int slave() const { return slave_; }
    void Write(const std::string& bytes) { ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }
    // Appends what the far side has written so far.
    void Drain(std::string& into) {
        char buf[256];
        for (ssize_t n; (n = ::read(master_, buf, sizeof buf)) > 0;) into.append(buf, static_cast<std::size_t>(n));
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string name_;
};

class QtLinksTest : public ::testing::Test {
protected:
    QtLinksTest() { EnsureApp(); }
    // Connects socket to a server on 127.0.0.1 and returns the server's end.
    std::unique_ptr<QTcpSocket> ConnectToServer(QtTcpSocket& socket, int& connected) {
        EXPECT_TRUE(server.listen(QHostAddress::LocalHost, 0));
        socket.SetConnectedHandler([&connected] { ++connected; });
        socket.Connect("127.0.0.1", server.serverPort());
        EXPECT_TRUE(PumpUntil(platform, [&] { return connected == 1 && server.hasPendingConnections(); }));
        return std::unique_ptr<QTcpSocket>(server.nextPendingConnection());
    }
    QtPlatform platform;
    QTcpServer server;
};

}  // namespace

TEST_F(QtLinksTest, SerialPortRunsTheLineAt4800EightNoneOneAndPassesEveryByte) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    QtSerialPort port;
    std::string received;
    int errors = 0;
    port.SetDataHandler([&](const std::string& b) { received += b; });
    port.SetErrorHandler([&](int, const std::string&) { ++errors; });
    port.Configure(quorvel::platform::SerialSettings{});
    ASSERT_TRUE(port.Open(pty.name())) << port.LastErrorText();
    EXPECT_TRUE(port.IsOpen());

    termios t{};
    ASSERT_EQ(::tcgetattr(pty.slave(), &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B4800));
    EXPECT_EQ(::cfgetispeed(&t), static_cast<speed_t>(B4800));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);

    const std::string bytes = AwkwardBytes();
    ASSERT_TRUE(port.Write(bytes));
    std::string atMaster;
    EXPECT_TRUE(PumpUntil(platform, [&] {
        pty.Drain(atMaster);
        return atMaster.size() >= bytes.size();
    }));
    EXPECT_EQ(atMaster, bytes);

    pty.Write(bytes);
    EXPECT_TRUE(PumpUntil(platform, [&] { return received.size() >= bytes.size(); }));
    EXPECT_EQ(received, bytes);
    EXPECT_EQ(errors, 0);

    port.Close();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(port.Write("x"));
}

TEST_F(QtLinksTest, TcpSocketConnectsCarriesBytesBothWaysAndSeesThePeerClose) {
    QtTcpSocket socket;
    int connected = 0, closed = 0, errors = 0;
    std::string received;
    socket.SetClosedHandler([&] { ++closed; });
    socket.SetErrorHandler([&](int, const std::string&) { ++errors; });
    socket.SetDataHandler([&](const std::string& b) { received += b; });
    const auto peer = ConnectToServer(socket, connected);
    ASSERT_TRUE(peer);
    EXPECT_TRUE(socket.IsConnected());

    const std::string bytes = AwkwardBytes();
    ASSERT_TRUE(socket.Write(bytes));
    std::string atPeer;
    EXPECT_TRUE(PumpUntil(platform, [&] {
        const QByteArray d = peer->readAll();
        atPeer.append(d.constData(), static_cast<std::size_t>(d.size()));
        return atPeer.size() >= bytes.size();
    }));
    EXPECT_EQ(atPeer, bytes);
    peer->write(bytes.data(), static_cast<qint64>(bytes.size()));
    EXPECT_TRUE(PumpUntil(platform, [&] { return received.size() >= bytes.size(); }));
    EXPECT_EQ(received, bytes);

    peer->close();
    EXPECT_TRUE(PumpUntil(platform, [&] { return closed > 0; }));
    platform.WaitForEvents(50);
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(errors, 0);  // the peer's close is a close, not an error
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_FALSE(socket.Write("x"));
}

TEST_F(QtLinksTest, TcpBytesArrivingWhileTheDataHandlerLetsEventsRunAreNotLeftBehind) {
    QtTcpSocket socket;
    int connected = 0;
    const auto peer = ConnectToServer(socket, connected);
    ASSERT_TRUE(peer);

    // The engine's echo of a write lets events run inside the data handler; the reply the
    // interface sends meanwhile must still be delivered, without any further traffic.
    std::string received;
    bool nested = false;
    socket.SetDataHandler([&](const std::string& b) {
        received += b;
        if (nested) return;
        nested = true;
        peer->write("\x55", 1);
        peer->flush();
        for (int i = 0; i < 10; ++i) platform.WaitForEvents(20);
    });
    peer->write("\x6A", 1);
    peer->flush();
    EXPECT_TRUE(PumpUntil(platform, [&] { return received.size() >= 2; }, 3000));
    EXPECT_EQ(received, "\x6A\x55");
}
