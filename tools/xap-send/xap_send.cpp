// xap-send: sends one xAP message through the local hub and, if asked, prints what the hub
// forwards back for a while. For trying the connector by hand and for the demo.
//
//   xap-send --class xAP-X10.request --target 'zeb.CM11A.*' --block xAP-X10.request
//            device=A1 command=on [--listen 3] [--hub 127.0.0.1] [--port 3639]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tool_name.h"

namespace {

void Usage(std::FILE* to, const std::string& name) {
    std::fprintf(to,
                 "Usage: %s --class CLASS --block NAME [--target ADDRESS] [--source ADDRESS]\n"
                 "       %*s [--listen SECONDS] [--hub ADDRESS] [--port PORT] [name=value ...]\n"
                 "       %s --help | --version\n",
                 name.c_str(), static_cast<int>(name.size()), "", name.c_str());
    std::fputs(
        "\n"
        "Sends one xAP message to the hub (default 127.0.0.1:3639). With --listen it first\n"
        "announces itself to the hub with a heartbeat and then prints every message the hub\n"
        "forwards for that many seconds (heartbeats left out). Only loopback hubs are accepted.\n",
        to);
}

bool Loopback(const in_addr& a) { return (ntohl(a.s_addr) >> 24) == 127; }

}  // namespace

int main(int argc, char** argv) {
    std::string cls, block, target, source = "acme.xapsend.cli", hub = "127.0.0.1";
    int port = 3639;
    double listen = 0;
    std::vector<std::string> items;
    const std::string name = quorvel::tools::ToolName(argv[0], "xap-send");
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s: %s needs a value\n", name.c_str(), a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            Usage(stdout, name);
            return 0;
        } else if (a == "--version") {
            quorvel::tools::PrintVersion(name);
            return 0;
        } else if (a == "--class") cls = next();
        else if (a == "--block") block = next();
        else if (a == "--target") target = next();
        else if (a == "--source") source = next();
        else if (a == "--hub") hub = next();
        else if (a == "--port") port = std::atoi(next().c_str());
        else if (a == "--listen") listen = std::atof(next().c_str());
        else if (a.find('=') != std::string::npos && a.rfind("--", 0) != 0) items.push_back(a);
        else {
            std::fprintf(stderr, "%s: unknown argument '%s'\n\n", name.c_str(), a.c_str());
            Usage(stderr, name);
            return 2;
        }
    }
    if (cls.empty() || block.empty() || port <= 0 || port > 65535 || listen < 0 || listen > 3600) {
        Usage(stderr, name);
        return 2;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, hub.c_str(), &to.sin_addr) != 1 || !Loopback(to.sin_addr)) {
        std::fprintf(stderr, "%s: the hub must be a loopback address (127.x.x.x)\n", name.c_str());
        return 2;
    }

    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
        std::perror((name + ": socket").c_str());
        return 1;
    }
    socklen_t len = sizeof self;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&self), &len);

    auto send = [&](const std::string& text) {
        if (::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
            std::perror((name + ": send").c_str());
            std::exit(1);
        }
    };
    if (listen > 0) {
        send("xap-hbeat\n{\nv=12\nhop=1\nuid=FF7E5D00\nclass=xap-hbeat.alive\nsource=" + source +
             "\ninterval=60\nport=" + std::to_string(ntohs(self.sin_port)) + "\n}\n");
        ::usleep(100 * 1000);  // let the hub learn our port before the answer comes
    }
    std::string msg = "xap-header\n{\nv=12\nhop=1\nuid=FF7E5D00\nclass=" + cls + "\nsource=" + source + "\n";
    if (!target.empty()) msg += "target=" + target + "\n";
    msg += "}\n" + block + "\n{\n";
    for (const auto& item : items) msg += item + "\n";
    msg += "}\n";
    send(msg);

    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(listen * 1000));
    static char buf[65536];
    while (std::chrono::steady_clock::now() < end) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) continue;
        const std::string text(buf, static_cast<std::size_t>(n));
        if (text.rfind("xap-hbeat", 0) == 0 || text == msg) continue;
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
    }
    ::close(fd);
    return 0;
}
