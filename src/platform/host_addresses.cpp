#include "platform/host_addresses.h"

#include "platform/os.h"

#include <algorithm>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace quorvel::platform {

std::vector<std::string> HostIPv4Addresses() {
    std::string name = HostName();
    while (!name.empty() && name.back() == ' ') name.pop_back();
    while (!name.empty() && name.front() == ' ') name.erase(name.begin());
    std::vector<std::string> out;
    if (name.empty()) return out;

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &list) != 0) return out;
    constexpr std::size_t kMaxAddresses = 64;
    for (addrinfo* ai = list; ai != nullptr && out.size() < kMaxAddresses; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || ai->ai_addr == nullptr) continue;
        const auto* sin = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
        char text[INET_ADDRSTRLEN] = {};
        if (::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text) == nullptr) continue;
        if (std::find(out.begin(), out.end(), text) == out.end()) out.emplace_back(text);
    }
    ::freeaddrinfo(list);
    return out;
}

}  // namespace quorvel::platform
