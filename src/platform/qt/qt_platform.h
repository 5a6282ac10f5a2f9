// The product's platform: Qt's event loop, QTimer and the steady clock.
#pragma once

#include "platform/platform.h"

namespace quorvel::platform {

class QtPlatform : public Platform {
public:
    std::uint64_t NowMs() const override;
    std::string LocalDateTime() const override;
    std::unique_ptr<Timer> CreateTimer() override;
    std::unique_ptr<SerialPort> CreateSerialPort() override;
    std::unique_ptr<TcpSocket> CreateTcpSocket() override;
    std::unique_ptr<UdpSocket> CreateUdpSocket() override;  // qt_udp.cpp
    void Quit(int exitCode) override;

    // A quit asked for before the event loop runs is not lost (Qt ignores an exit() made
    // before exec()): main checks this before entering the loop.
    bool QuitRequested() const { return quitRequested_; }
    int ExitCode() const { return exitCode_; }

private:
    bool quitRequested_ = false;
    int exitCode_ = 0;
};

// Turns SIGINT, SIGTERM and SIGHUP into a call of onSignal(signal number) from the event
// loop (a self-pipe; the signal handler itself only writes one byte), and ignores SIGPIPE.
// Call once, after the application object exists.
void InstallShutdownSignals(std::function<void(int)> onSignal);

}  // namespace quorvel::platform
