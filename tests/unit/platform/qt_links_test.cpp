// The Qt serial port against a real pseudo-terminal and the Qt TCP socket against a local
// server on 127.0.0.1. Every wait is bounded.
#include "platform/qt/qt_links.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

using namespace quorvel::platform;

namespace {

// Every byte value that a terminal line might treat specially.
const std::string kAwkward("\x00\x03\x04\x0A\x0D\x11\x13\x1A\x5A\x7F\x9B\xA5\xC3\xFF", 14);

struct Fd {
    int fd = -1;
    ~Fd() { if (fd >= 0) ::close(fd); }
};

class QtLinksTest : public ::testing::Test {
protected:
    QtLinksTest() {
        static int argc = 1;
        static char name[] = "unit_tests";
        static char* argv[] = {name, nullptr};
        if (QCoreApplication::instance() == nullptr) new QCoreApplication(argc, argv);  // lives until the end
    }
    // Runs the event loop until done() holds or limitMs pass; true when done() held.
    bool PumpUntil(const std::function<bool()>& done, int limitMs = 5000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            WaitForEvents(20);
        }
        return true;
    }
    // The test's own event pump: runs what is pending, or sleeps until something arrives
    // or maxMs have passed.
    static void WaitForEvents(int maxMs) {
        QTimer wake;
        wake.setSingleShot(true);
        wake.start(maxMs);
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
};

}  // namespace

TEST_F(QtLinksTest, SerialPortRunsTheLineAt4800EightNoneOneAndPassesEveryByte) {
    Fd master, slave;
    ASSERT_EQ(::openpty(&master.fd, &slave.fd, nullptr, nullptr, nullptr), 0);
    ::fcntl(master.fd, F_SETFL, ::fcntl(master.fd, F_GETFL) | O_NONBLOCK);
    QtSerialPort port;
    std::string received;
    int errors = 0;
    port.SetDataHandler([&](const std::string& b) { received += b; });
    port.SetErrorHandler([&](int, const std::string&) { ++errors; });
    port.Configure(SerialSettings{});
    ASSERT_TRUE(port.Open(::ttyname(slave.fd))) << port.LastErrorText();

    termios t{};
    ASSERT_EQ(::tcgetattr(slave.fd, &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B4800));
    EXPECT_EQ(::cfgetispeed(&t), static_cast<speed_t>(B4800));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);

    ASSERT_TRUE(port.Write(kAwkward));
    std::string atMaster;
    EXPECT_TRUE(PumpUntil([&] {
        char buf[256];
        for (ssize_t n; (n = ::read(master.fd, buf, sizeof buf)) > 0;) atMaster.append(buf, static_cast<std::size_t>(n));
        return atMaster.size() >= kAwkward.size();
    }));
    EXPECT_EQ(atMaster, kAwkward);
    ASSERT_EQ(::write(master.fd, kAwkward.data(), kAwkward.size()), static_cast<ssize_t>(kAwkward.size()));
    EXPECT_TRUE(PumpUntil([&] { return received.size() >= kAwkward.size(); }));
    EXPECT_EQ(received, kAwkward);
    EXPECT_EQ(errors, 0);

    port.Close();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(port.Write("x"));
}

// Plain traffic both ways over TCP is what every end-to-end test does; what is left here
// is what those cannot provoke on purpose.
TEST_F(QtLinksTest, TcpInputArrivesWholeInBoundedChunksAndAPeerCloseIsNoError) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    QtTcpSocket socket;
    int connected = 0, closed = 0, errors = 0;
    std::string received;
    socket.SetConnectedHandler([&] { ++connected; });
    socket.SetClosedHandler([&] { ++closed; });
    socket.SetErrorHandler([&](int, const std::string&) { ++errors; });
    socket.Connect("127.0.0.1", server.serverPort());
    ASSERT_TRUE(PumpUntil([&] { return connected == 1 && server.hasPendingConnections(); }));
    const std::unique_ptr<QTcpSocket> peer(server.nextPendingConnection());
    EXPECT_TRUE(socket.IsConnected());

    // A peer that sends much at once: everything arrives, in order, in chunks that are
    // handled one at a time (the rest waits in bounded buffers meanwhile).
    std::string sent(256 * 1024, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 7 + i / 251);
    std::size_t chunks = 0, largest = 0;
    socket.SetDataHandler([&](const std::string& b) {
        received += b;
        ++chunks;
        largest = std::max(largest, b.size());
    });
    peer->write(sent.data(), static_cast<qint64>(sent.size()));
    EXPECT_TRUE(PumpUntil([&] {
        peer->flush();
        return received.size() >= sent.size();
    }, 10000));
    EXPECT_TRUE(received == sent) << received.size();
    EXPECT_LE(largest, 4096u);
    EXPECT_GE(chunks, sent.size() / 4096);

    peer->close();
    EXPECT_TRUE(PumpUntil([&] { return closed > 0; }));
    WaitForEvents(50);
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(errors, 0);  // the peer's close is a close, not an error
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_FALSE(socket.Write("x"));
}
