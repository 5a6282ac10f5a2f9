// Event-driven UDP socket: bind to an address and port, send datagrams, receive them one
// at a time through a handler that runs on the event thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace quorvel::platform {

class UdpSocket {
public:
    virtual ~UdpSocket() = default;

    // Binds to a dotted IPv4 address (empty: every local address) and a port. Returns false
    // on failure; State(), ErrorNumber() and ErrorText() then describe it. The port is not
    // shared with other sockets.
    virtual bool Bind(const std::string& address, std::uint16_t port) = 0;
    // Sends one datagram. Returns false (with the error fields set) when it cannot be sent.
    virtual bool Send(const std::string& host, std::uint16_t port, std::string_view data) = 0;
    // Called once per received datagram with its bytes.
    virtual void SetReceiveHandler(std::function<void(std::string_view)> handler) = 0;
    virtual void Close() = 0;

    virtual bool Bound() const = 0;
    // Socket state number (0: closed, 4: bound), error number and text of the last failure.
    virtual int State() const = 0;
    virtual int ErrorNumber() const = 0;
    virtual std::string ErrorText() const = 0;
};

}  // namespace quorvel::platform
