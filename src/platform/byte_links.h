// The two byte links that can reach the CM11A: a local serial port and a TCP client socket
// to a serial server. Bytes travel as std::string, one char per byte. Handlers are called
// from the event loop (never from inside Open/Connect/Write/Close of the same object, so a
// handler may call any member of the link).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace quorvel::platform {

enum class Parity { None, Even, Odd };
enum class FlowControl { None, Hardware, Software };

struct SerialSettings {
    int BaudRate = 4800;
    int DataBits = 8;
    Parity LineParity = Parity::None;
    int StopBits = 1;
    FlowControl Flow = FlowControl::None;

    bool operator==(const SerialSettings&) const = default;
};

// Errors of a serial port, as event codes above 1000 (code 2 is "data received").
namespace serial_error {
inline constexpr int kDeviceNotFound = 1001;
inline constexpr int kPermission = 1002;
inline constexpr int kOpenFailed = 1003;   // busy, locked or not a serial device
inline constexpr int kWrite = 1004;
inline constexpr int kRead = 1005;
inline constexpr int kDeviceLost = 1006;   // the device went away (USB adapter unplugged)
inline constexpr int kUnsupported = 1007;  // a line setting the device refuses
inline constexpr int kTimeout = 1008;
inline constexpr int kNotOpen = 1009;
inline constexpr int kOther = 1010;
}  // namespace serial_error

class SerialPort {
public:
    virtual ~SerialPort() = default;
    // Line settings used by the next Open; set them before opening, so that the line never
    // runs with other settings in between.
    virtual void Configure(const SerialSettings& settings) = 0;
    // Opens the device (e.g. "/dev/ttyS0"). On failure returns false and leaves the reason
    // in LastErrorCode/LastErrorText; a failed open does not call the error handler.
    virtual bool Open(const std::string& device) = 0;
    virtual bool IsOpen() const = 0;
    virtual void Close() = 0;
    // Queues bytes for sending; false when the port is closed or refuses them.
    virtual bool Write(const std::string& bytes) = 0;
    virtual int LastErrorCode() const = 0;
    virtual std::string LastErrorText() const = 0;
    // Bytes received (every waiting byte in one call).
    virtual void SetDataHandler(std::function<void(const std::string&)> handler) = 0;
    // A fault of the open port: code from serial_error, text for people.
    virtual void SetErrorHandler(std::function<void(int code, const std::string& text)> handler) = 0;
};

// Socket states; the numbers are the ones printed in reports.
enum class TcpState : int {
    Unconnected = 0,
    HostLookup = 1,
    Connecting = 2,
    Connected = 3,
    Bound = 4,
    Listening = 5,
    Closing = 6,
};

class TcpSocket {
public:
    virtual ~TcpSocket() = default;
    // Starts a connection; the outcome arrives later as the connected or error handler.
    virtual void Connect(const std::string& host, std::uint16_t port) = 0;
    virtual TcpState State() const = 0;
    bool IsConnected() const { return State() == TcpState::Connected; }
    // Drops the connection or the attempt at once. Our own close calls no handler.
    virtual void Close() = 0;
    // Queues bytes for sending; false when not connected.
    virtual bool Write(const std::string& bytes) = 0;
    virtual void SetConnectedHandler(std::function<void()> handler) = 0;
    // The peer closed an established connection.
    virtual void SetClosedHandler(std::function<void()> handler) = 0;
    // A failed connect or a fault of the connection (number and text for people).
    virtual void SetErrorHandler(std::function<void(int number, const std::string& text)> handler) = 0;
    virtual void SetDataHandler(std::function<void(const std::string&)> handler) = 0;
};

}  // namespace quorvel::platform
