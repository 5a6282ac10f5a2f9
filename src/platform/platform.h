// The seam between the connector's logic and the operating system: a monotonic clock, the
// local time of day, timers and the links. The product uses the Qt implementation
// (platform/qt), unit tests the simulated one (platform/sim).
#pragma once

#include "platform/byte_links.h"
#include "platform/udp.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quorvel::platform {

class Clock {
public:
    virtual ~Clock() = default;
    // Monotonic milliseconds since an arbitrary start; never goes backwards.
    virtual std::uint64_t NowMs() const = 0;
    // Local wall-clock time as "YYYY-MM-DD hh:mm:ss" (24-hour clock).
    virtual std::string LocalDateTime() const = 0;
};

// A periodic timer with the semantics the connector's handlers rely on:
//  - while enabled with an interval above 0 it fires every interval milliseconds;
//  - an interval of 0 never fires, even when enabled;
//  - setting the interval while enabled restarts the countdown (also with the same value);
//  - enabling a disabled timer starts a countdown; enabling an enabled one changes nothing;
//  - a "one-shot" is a periodic timer whose handler disables it, so Enabled() keeps telling
//    whether the timer is armed.
class Timer {
public:
    virtual ~Timer() = default;
    virtual void SetInterval(int ms) = 0;
    virtual int Interval() const = 0;
    virtual void SetEnabled(bool enabled) = 0;
    virtual bool Enabled() const = 0;
    virtual void SetHandler(std::function<void()> handler) = 0;

    // Convenience: set the interval and enable.
    void Arm(int ms) {
        SetInterval(ms);
        SetEnabled(true);
    }
};

// Everything runs from the one event loop: no operation of the connector lets pending events
// run inside it, so no handler is ever entered again while it is running.
class Platform : public Clock {
public:
    virtual std::unique_ptr<Timer> CreateTimer() = 0;
    // The CM11A links: a serial port and a TCP client socket.
    virtual std::unique_ptr<SerialPort> CreateSerialPort() = 0;
    virtual std::unique_ptr<TcpSocket> CreateTcpSocket() = 0;
    virtual std::unique_ptr<UdpSocket> CreateUdpSocket() = 0;
    // Leaves the event loop; the process then exits with exitCode.
    virtual void Quit(int exitCode) = 0;
};

}  // namespace quorvel::platform
