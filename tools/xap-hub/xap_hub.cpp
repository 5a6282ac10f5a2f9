// xap-hub: a minimal xAP hub for tests and demonstrations.
//
// It holds the xAP port (3639 by default) on a loopback address, learns its clients' private
// ports from their heartbeats ("port="), and forwards every datagram it receives to
// 127.0.0.1:<port> of each live client, the sender included. A client that sends no
// heartbeat for twice its announced interval is forgotten. It sends to nothing but
// 127.0.0.1.

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tool_name.h"

namespace {

constexpr std::size_t kMaxClients = 256;
constexpr long kDefaultIntervalSeconds = 60;
constexpr long kMaxIntervalSeconds = 24L * 3600L;

volatile std::sig_atomic_t g_stop = 0;

extern "C" void OnStopSignal(int) { g_stop = 1; }

void PrintUsage(std::FILE* to, const std::string& name) {
    std::fprintf(to, "Usage: %s [--address A] [--broadcast B|none] [--port P] [--verbose]\n", name.c_str());
    std::fputs(
        "\n"
        "A minimal xAP hub. Listens on A:P (default 127.0.0.1:3639) and on the broadcast\n"
        "address B:P (default 127.255.255.255; 'none' to leave out), learns client ports from\n"
        "heartbeats sent from this machine, and forwards every datagram it receives to\n"
        "127.0.0.1:<port> of each live client, the sender included. Clients are forgotten\n"
        "after twice their heartbeat interval. Nothing is ever sent off loopback.\n"
        "\n"
        "  --verbose   one line per datagram on stdout (and one per client change)\n"
        "  --help      show this text\n"
        "  --version   show the version\n"
        "\n"
        "Stops cleanly on SIGINT or SIGTERM.\n",
        to);
}

// Printable form of a datagram: \n, \r, \\ and other control bytes escaped.
std::string Escape(std::string_view data) {
    std::string out;
    out.reserve(data.size() + 16);
    for (unsigned char c : data) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c >= 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

struct Heartbeat {
    bool valid = false;
    bool stopped = false;
    long port = 0;
    long interval = kDefaultIntervalSeconds;
};

// Reads the header of a heartbeat: first line "xap-hbeat", then fields up to "}".
Heartbeat ParseHeartbeat(std::string_view data) {
    Heartbeat hb;
    std::size_t lineNo = 0;
    while (!data.empty() && lineNo < 64) {
        const std::size_t lf = data.find('\n');
        const std::string_view line = Trim(data.substr(0, lf));
        data = lf == std::string_view::npos ? std::string_view{} : data.substr(lf + 1);
        if (lineNo++ == 0) {
            if (Lower(line) != "xap-hbeat") return hb;
            continue;
        }
        if (line == "}") break;
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string name = Lower(Trim(line.substr(0, eq)));
        const std::string value(Trim(line.substr(eq + 1)));
        if (name == "port") {
            hb.port = std::strtol(value.c_str(), nullptr, 10);
        } else if (name == "interval") {
            hb.interval = std::strtol(value.c_str(), nullptr, 10);
        } else if (name == "class") {
            hb.stopped = Lower(value) == "xap-hbeat.stopped";
        }
    }
    hb.valid = hb.port > 0 && hb.port <= 65535;
    hb.interval = std::clamp(hb.interval, 1L, kMaxIntervalSeconds);
    return hb;
}

int OpenSocket(const std::string& name, const std::string& address, int port, bool verbose) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
        std::fprintf(stderr, "%s: not an IPv4 address: %s\n", name.c_str(), address.c_str());
        return -1;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::perror((name + ": socket").c_str());
        return -1;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        std::fprintf(stderr, "%s: cannot bind %s:%d: %s\n", name.c_str(), address.c_str(), port, std::strerror(errno));
        ::close(fd);
        return -1;
    }
    if (verbose) std::printf("listening %s:%d\n", address.c_str(), port);
    return fd;
}

using Clock = std::chrono::steady_clock;

struct Client {
    Clock::time_point lastSeen;
    long interval = kDefaultIntervalSeconds;
};

}  // namespace

int main(int argc, char** argv) {
    std::string address = "127.0.0.1";
    std::string broadcast = "127.255.255.255";
    long port = 3639;
    bool verbose = false;
    const std::string name = quorvel::tools::ToolName(argv[0], "xap-hub");
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout, name);
            return 0;
        } else if (arg == "--version") {
            quorvel::tools::PrintVersion(name);
            return 0;
        } else if (arg == "--verbose" || arg == "-v") {
            verbose = true;
        } else if (arg == "--address" && hasValue) {
            address = argv[++i];
        } else if (arg == "--broadcast" && hasValue) {
            broadcast = argv[++i];
        } else if (arg == "--port" && hasValue) {
            char* end = nullptr;
            port = std::strtol(argv[++i], &end, 10);
            if (end == nullptr || *end != '\0' || port < 1 || port > 65535) {
                std::fprintf(stderr, "%s: bad port '%s'\n", name.c_str(), argv[i]);
                return 2;
            }
        } else {
            std::fprintf(stderr, "%s: unknown argument '%s'\n\n", name.c_str(), arg.c_str());
            PrintUsage(stderr, name);
            return 2;
        }
    }

    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // poll() returns early on a signal
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<int> fds;
    const int mainFd = OpenSocket(name, address, static_cast<int>(port), verbose);
    if (mainFd < 0) return 1;
    fds.push_back(mainFd);
    // A socket bound to one address does not hear broadcasts; the broadcast address gets its
    // own socket unless the main one is bound to every address already.
    if (Lower(broadcast) != "none" && broadcast != address && address != "0.0.0.0") {
        const int b = OpenSocket(name, broadcast, static_cast<int>(port), verbose);
        if (b < 0) {
            ::close(mainFd);
            return 1;
        }
        fds.push_back(b);
    }
    std::fflush(stdout);

    std::map<int, Client> clients;  // private port -> client
    std::vector<char> buf(65536);
    std::vector<pollfd> pfds;
    for (int fd : fds) pfds.push_back({fd, POLLIN, 0});

    while (!g_stop) {
        const int n = ::poll(pfds.data(), pfds.size(), 200);
        const auto now = Clock::now();
        for (auto it = clients.begin(); it != clients.end();) {
            if (now - it->second.lastSeen > std::chrono::seconds(2 * it->second.interval)) {
                if (verbose) std::printf("client - %d (no heartbeat)\n", it->first);
                it = clients.erase(it);
            } else {
                ++it;
            }
        }
        if (n <= 0) {
            std::fflush(stdout);
            continue;
        }
        for (const pollfd& p : pfds) {
            if ((p.revents & POLLIN) == 0) continue;
            // Bounded: at most 64 datagrams per socket per pass.
            for (int k = 0; k < 64; ++k) {
                sockaddr_in from{};
                socklen_t fromLen = sizeof from;
                const ssize_t got = ::recvfrom(p.fd, buf.data(), buf.size(), MSG_DONTWAIT,
                                               reinterpret_cast<sockaddr*>(&from), &fromLen);
                if (got < 0) break;
                const std::string_view data(buf.data(), static_cast<std::size_t>(got));
                char fromText[INET_ADDRSTRLEN] = "?";
                ::inet_ntop(AF_INET, &from.sin_addr, fromText, sizeof fromText);
                const bool fromThisMachine = (ntohl(from.sin_addr.s_addr) >> 24) == 127;

                const Heartbeat hb = ParseHeartbeat(data);
                if (hb.valid && fromThisMachine && hb.port != port) {
                    const int cport = static_cast<int>(hb.port);
                    if (hb.stopped) {
                        if (clients.erase(cport) > 0 && verbose) std::printf("client - %d (stopped)\n", cport);
                    } else if (clients.count(cport) > 0 || clients.size() < kMaxClients) {
                        if (verbose && clients.count(cport) == 0) {
                            std::printf("client + %d interval %ld\n", cport, hb.interval);
                        }
                        clients[cport] = Client{now, hb.interval};
                    }
                }

                int forwarded = 0;
                for (const auto& [cport, client] : clients) {
                    sockaddr_in to{};
                    to.sin_family = AF_INET;
                    to.sin_port = htons(static_cast<std::uint16_t>(cport));
                    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // loopback only, always
                    if (::sendto(mainFd, data.data(), data.size(), MSG_DONTWAIT,
                                 reinterpret_cast<const sockaddr*>(&to), sizeof to) >= 0) {
                        ++forwarded;
                    }
                }
                if (verbose) {
                    std::printf("datagram from %s:%u to %d client(s) %zu bytes: %s\n", fromText,
                                static_cast<unsigned>(ntohs(from.sin_port)), forwarded, data.size(),
                                Escape(data).c_str());
                }
            }
        }
        std::fflush(stdout);
    }
    if (verbose) std::printf("stopping\n");
    std::fflush(stdout);
    for (int fd : fds) ::close(fd);
    return 0;
}
