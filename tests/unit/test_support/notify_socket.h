// The service manager's end of the readiness protocol, for tests: a datagram socket bound to
// a path, or to an abstract name written with a leading "@".
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace quorvel::test {

class NotifySocket {
public:
    explicit NotifySocket(const std::string& name) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (fd_ < 0 || name.empty() || name.size() >= sizeof addr.sun_path) return;
        std::memcpy(addr.sun_path, name.data(), name.size());
        if (name.front() == '@') addr.sun_path[0] = '\0';
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), length) == 0;
    }
    ~NotifySocket() {
        if (fd_ >= 0) ::close(fd_);
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    bool Bound() const { return bound_; }
    // The next datagram, waiting up to waitMs; empty when none came.
    std::string Next(int waitMs) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, waitMs) != 1) return {};
        char buf[512];
        const auto n = ::recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
    }
    // Every datagram that has arrived, waiting up to waitMs for the first.
    std::vector<std::string> Received(int waitMs = 2000) {
        std::vector<std::string> out;
        for (auto d = Next(waitMs); !d.empty(); d = Next(0)) out.push_back(d);
        return out;
    }

private:
    int fd_ = -1;
    bool bound_ = false;
};

}  // namespace quorvel::test
