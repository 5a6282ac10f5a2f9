// e2e_bench: end-to-end figures for the connector, measured on the built binaries.
//
// It starts build/tools/xap-hub/xap-hub and build/quorvel as child processes in a temporary
// application folder and plays the CM11A itself: a TCP server on 127.0.0.1 (what a serial
// server would be) that the connector connects to, answering every checksum and ready byte at
// once, so that the arrival of the first byte of each command can be time-stamped precisely.
// An xAP client on the same loopback sends requests (and, in the flood phase, foreign
// traffic) to the hub on 127.0.0.1:3639.
//
//   1. request to wire: a request datagram leaves the client -> the header byte 0x04 of the
//      command it asks for reaches the interface; one request after another.
//   2. flood: foreign xAP traffic at a fixed rate for some seconds while requests keep coming;
//      the connector's CPU share, resident memory, and how late requests are executed.
//
// It only prints figures; nothing here is a test. As root it re-runs itself inside a private
// network namespace (only 'lo'), so port 3639 is free and no packet can leave the machine;
// otherwise every packet is addressed to 127.0.0.0/8 anyway and port 3639 must be free.
// Every wait is bounded; the children are ended by their PIDs with SIGTERM (SIGKILL only if
// they do not stop within five seconds).

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

#include "bench_support.h"

namespace {

using namespace quorvel::bench;

namespace fs = std::filesystem;

constexpr std::uint16_t kXapPort = 3639;
constexpr const char* kNamespaceMark = "QUORVEL_E2E_BENCH_IN_NAMESPACE";

volatile std::sig_atomic_t g_interrupted = 0;
extern "C" void OnInterrupt(int) { g_interrupted = 1; }

struct Options {
    fs::path buildDir;
    int requests = 200;
    int floodRate = 20000;      // messages per second
    int floodSeconds = 10;
    int floodRequestMs = 200;   // one request every this many ms during the flood
    int floodMessageBytes = 200;
    int floodTickMs = 1;        // the flood goes out in bursts this far apart
    bool namespaceAllowed = true;
    bool keep = false;
    bool trace = false;         // one line per flood request
};

// Gives up the run; the stack unwinds, so the children are stopped and the folder removed.

// ------------------------------------------------------------------ processes

// ------------------------------------------------------------------ /proc readings

// utime + stime of a process in seconds, or -1.
double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0;
    // Fields after the command name start at field 3 (state); utime is 14, stime 15.
    for (int i = 3; i <= 15 && (fields >> f); ++i) {
        if (i == 14) utime = std::strtoull(f.c_str(), nullptr, 10);
        if (i == 15) stime = std::strtoull(f.c_str(), nullptr, 10);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// VmRSS in kB, or -1.

// Socket inodes a process holds.
std::set<unsigned long> SocketInodes(pid_t pid) {
    std::set<unsigned long> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        std::error_code rec;
        const std::string target = fs::read_symlink(e.path(), rec).string();
        if (!rec && target.rfind("socket:[", 0) == 0) out.insert(std::strtoul(target.c_str() + 8, nullptr, 10));
    }
    return out;
}

struct UdpSocketInfo {
    std::string local;  // a.b.c.d:port
    unsigned long long drops = 0;
    unsigned long rxQueue = 0;
};

// The UDP sockets of this network namespace by inode (from /proc/net/udp).
std::map<unsigned long, UdpSocketInfo> UdpSockets() {
    std::map<unsigned long, UdpSocketInfo> out;
    std::ifstream in("/proc/net/udp");
    std::string line;
    std::getline(in, line);  // heading
    for (int n = 0; n < 100000 && std::getline(in, line); ++n) {
        std::istringstream s(line);
        std::string sl, local, remote, st, queues, tr, retr, uid, timeout, inode, ref, ptr, drops;
        if (!(s >> sl >> local >> remote >> st >> queues >> tr >> retr >> uid >> timeout >> inode >> ref >> ptr >> drops)) {
            continue;
        }
        UdpSocketInfo info;
        const unsigned long addr = std::strtoul(local.substr(0, 8).c_str(), nullptr, 16);
        const unsigned long port = std::strtoul(local.substr(9).c_str(), nullptr, 16);
        in_addr a{};
        a.s_addr = static_cast<in_addr_t>(addr);  // printed in host order of the kernel = network bytes
        char text[INET_ADDRSTRLEN] = "?";
        ::inet_ntop(AF_INET, &a, text, sizeof text);
        info.local = std::string(text) + ":" + std::to_string(port);
        info.drops = std::strtoull(drops.c_str(), nullptr, 10);
        const std::size_t colon = queues.find(':');
        if (colon != std::string::npos) info.rxQueue = std::strtoul(queues.substr(colon + 1).c_str(), nullptr, 16);
        out[std::strtoul(inode.c_str(), nullptr, 10)] = info;
    }
    return out;
}

// Dropped datagrams per UDP socket of a process ("127.0.0.1:3639" -> drops).
std::map<std::string, unsigned long long> UdpDrops(pid_t pid) {
    std::map<std::string, unsigned long long> out;
    const auto sockets = UdpSockets();
    for (unsigned long inode : SocketInodes(pid)) {
        const auto it = sockets.find(inode);
        if (it != sockets.end()) out[it->second.local] += it->second.drops;
    }
    return out;
}

unsigned long long TotalDrops(const std::map<std::string, unsigned long long>& m) {
    unsigned long long t = 0;
    for (const auto& [k, v] : m) t += v;
    return t;
}

// ------------------------------------------------------------------ sockets

int UdpSocket() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) Die(std::string("socket: ") + std::strerror(errno));
    sockaddr_in sa = Loopback(0);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) Die(std::string("bind: ") + std::strerror(errno));
    return fd;
}

// True when 127.0.0.1:port cannot be bound (someone holds it).
bool PortTaken(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = Loopback(port);
    const bool taken = ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 && errno == EADDRINUSE;
    ::close(fd);
    return taken;
}

// ------------------------------------------------------------------ the simulated interface

// ------------------------------------------------------------------ xAP side

// X10 unit codes 1..16 (low nibble of the address byte); house A is 0x6 in the high nibble.
constexpr std::uint8_t kUnitCodes[16] = {0x6, 0xE, 0x2, 0xA, 0x1, 0x9, 0x5, 0xD,
                                         0x7, 0xF, 0x3, 0xB, 0x0, 0x8, 0x4, 0xC};
std::uint8_t AddressByte(int unit) { return static_cast<std::uint8_t>(0x60 | kUnitCodes[unit - 1]); }

std::string Request(int unit, bool on) {
    return "xap-header\n{\nv=12\nhop=1\nuid=FF777700\nclass=xAP-X10.request\nsource=acme.bench.box\n"
           "target=zeb.CM11A.*\n}\nxAP-X10.request\n{\ndevice=A" +
           std::to_string(unit) + "\ncommand=" + (on ? "on" : "off") + "\n}\n";
}

// A foreign message of about `bytes` bytes; seq makes every one different.
std::string Noise(std::uint64_t seq, int bytes) {
    std::string m = "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=acme.noise.event\nsource=acme.noise.maker\n}\n"
                    "noise.event\n{\nseq=" + std::to_string(seq) + "\ntext=";
    const int fill = std::max(1, bytes - static_cast<int>(m.size()) - 3);
    m.append(static_cast<std::size_t>(fill), 'x');
    return m + "\n}\n";
}

bool SendTo(int fd, const std::string& text) {
    const sockaddr_in to = Loopback(kXapPort);
    return ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(text.size());
}

// ------------------------------------------------------------------ statistics

const char* Verdict(bool met) { return met ? "met" : "MISSED"; }

// ------------------------------------------------------------------ the run

class Bench {
public:
    explicit Bench(const Options& opt) : opt_(opt) {}
    ~Bench() {
        connector_.reset();  // stops it (SIGTERM by PID) if still running
        hub_.reset();
        if (client_ >= 0) ::close(client_);
        if (noise_ >= 0) ::close(noise_);
        if (!app_.empty() && !opt_.keep) {
            std::error_code ec;
            fs::remove_all(app_, ec);
        }
    }
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    int Run() {
        Setup();
        const bool ok1 = RequestToWire();
        const bool ok2 = !g_interrupted && Flood();
        Teardown();
        return ok1 && ok2 ? 0 : 2;
    }

private:
    void Setup() {
        std::string tmpl = (fs::temp_directory_path() / "quorvel-e2e-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) Die("mkdtemp failed");
        app_ = tmpl;
        const fs::path hubBin = opt_.buildDir / "tools" / "xap-hub" / "xap-hub";
        const fs::path connectorBin = opt_.buildDir / "quorvel";
        for (const fs::path& p : {hubBin, connectorBin}) {
            if (!fs::exists(p)) Die("not built: " + p.string() + " (cmake --build build)");
        }
        if (PortTaken(kXapPort)) Die("port 3639 is taken on 127.0.0.1 (another hub?); run as root for a private namespace");

        hub_ = std::make_unique<Child>(hubBin, std::vector<std::string>{}, app_, "hub");
        const double hubEnd = NowMs() + 5000;
        while (!PortTaken(kXapPort) && NowMs() < hubEnd && hub_->Running()) ::usleep(5000);
        if (!PortTaken(kXapPort)) Die("the hub did not bind port 3639 within 5 s");

        fs::create_directories(app_ / "Config");
        std::ofstream(app_ / "Config" / "Quorvel.ini", std::ios::binary)
            << "[General]\r\nComPort=127.0.0.1:" << iface_.port() << "\r\nDebug=0\r\n";
        std::ofstream(app_ / "Config" / "zebXap.ini", std::ios::binary)
            << "[Interface]\r\nInterfaceAddress=Default\r\nBroadcastAddress=127.255.255.255\r\n";
        connector_ = std::make_unique<Child>(
            connectorBin, std::vector<std::string>{"--headless", "--app-folder", app_.string()}, app_, "quorvel");

        client_ = UdpSocket();
        noise_ = UdpSocket();
        int big = 4 * 1024 * 1024;
        ::setsockopt(noise_, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);

        // The link opens after the xAP node has started and announced itself to the hub.
        const double connectEnd = NowMs() + 20000;
        while (!iface_.Connected() && NowMs() < connectEnd && connector_->Running()) iface_.Pump(50);
        if (!iface_.Connected()) Die("the connector did not connect to the simulated interface within 20 s");
        const double pfEnd = NowMs() + 2000;
        while (iface_.powerFailAnswers() == 0 && NowMs() < pfEnd) iface_.Pump(20);

        // Warm-up: a request now and then until one reaches the wire (the hub has learned
        // the connector's port by then).
        bool warm = false;
        for (int attempt = 0; attempt < 20 && !warm && !g_interrupted; ++attempt) {
            SendTo(client_, Request(16, true));
            warm = WaitFor(FakeInterface::Event::CommandDone, 1000).has_value();
        }
        if (!warm) Die("no request reached the simulated interface during 20 s of warm-up");
        Settle(300);
        std::printf("setup: app folder %s, interface 127.0.0.1:%u, connector pid %d, hub pid %d, namespace %s\n",
                    app_.c_str(), iface_.port(), connector_->pid(), hub_->pid(),
                    std::getenv(kNamespaceMark) ? "private (unshare -n)" : "the machine's own (loopback only)");
    }

    void Teardown() {
        const std::string c = connector_->Stop();
        const std::string h = hub_->Stop();
        std::printf("\nteardown: %s; %s; interface connections %d, stray bytes %d\n", c.c_str(), h.c_str(),
                    iface_.connections(), iface_.strayBytes());
        if (opt_.keep) std::printf("kept: %s\n", app_.c_str());
    }

    // Pumps until an event of the kind arrives or timeoutMs passes.
    std::optional<FakeInterface::Event> WaitFor(FakeInterface::Event::Kind kind, double timeoutMs) {
        const double end = NowMs() + timeoutMs;
        for (;;) {
            FakeInterface::Event e{};
            while (iface_.NextEvent(e)) {
                if (e.kind == kind) return e;
            }
            const double left = end - NowMs();
            if (left <= 0 || g_interrupted || !connector_->Running()) return std::nullopt;
            iface_.Pump(std::min(left, 100.0));
        }
    }

    // Lets the connector go quiet, answering what it still sends.
    void Settle(double ms) {
        const double end = NowMs() + ms;
        while (NowMs() < end) iface_.Pump(end - NowMs());
        FakeInterface::Event e{};
        while (iface_.NextEvent(e)) {
        }
    }

    bool RequestToWire() {
        std::printf("\n== 1. request to wire: %d requests, one after another\n", opt_.requests);
        std::vector<double> latencies;
        int lost = 0, wrongDevice = 0;
        const double cpu0 = CpuSeconds(connector_->pid());
        const double t0 = NowMs();
        for (int i = 0; i < opt_.requests && !g_interrupted; ++i) {
            const int unit = 1 + i % 15;  // A16 was the warm-up
            const std::string text = Request(unit, (i / 15) % 2 == 0);
            const double sent = NowMs();
            SendTo(client_, text);
            const auto start = WaitFor(FakeInterface::Event::CommandStart, 5000);
            if (!start) {
                ++lost;
                continue;
            }
            latencies.push_back(start->atMs - sent);
            if (start->code != AddressByte(unit)) ++wrongDevice;
            if (!WaitFor(FakeInterface::Event::CommandDone, 5000)) ++lost;
        }
        const double wall = (NowMs() - t0) / 1000.0;
        const double cpu = CpuSeconds(connector_->pid()) - cpu0;
        const Summary s = Summarize(latencies);
        PrintSummary("request -> first byte", s);
        std::printf("  not executed within 5 s: %d, wrong device: %d, connector CPU %.1f%% of one core over %.1f s\n",
                    lost, wrongDevice, 100.0 * cpu / wall, wall);
        std::printf("  target median < 55 ms (50 ms quiet time is the floor): %s\n", Verdict(s.median < 55.0));
        Settle(200);
        return lost == 0 && wrongDevice == 0;
    }

    bool Flood() {
        const int rate = opt_.floodRate;
        std::printf("\n== 2. flood: %d foreign messages/s of %d bytes in bursts every %d ms for %d s, a request every "
                    "%d ms\n",
                    rate, opt_.floodMessageBytes, opt_.floodTickMs, opt_.floodSeconds, opt_.floodRequestMs);
        const pid_t cpid = connector_->pid(), hpid = hub_->pid();
        const long rssBefore = RssKb(cpid);
        const auto cDrops0 = UdpDrops(cpid);
        const auto hDrops0 = UdpDrops(hpid);

        struct Pending {
            double sentMs;
            std::uint8_t code;
        };
        std::deque<Pending> pending;
        std::vector<double> latencies;
        int requestsSent = 0, executed = 0, skipped = 0, unexpected = 0;
        std::uint64_t floodSent = 0, floodFailed = 0;
        int maxBurst = 0;

        double start = 0;
        auto collect = [&] {
            FakeInterface::Event e{};
            while (iface_.NextEvent(e)) {
                if (e.kind != FakeInterface::Event::CommandStart) continue;
                // Commands go out in request order: anything before the match was not executed.
                std::size_t k = 0;
                while (k < pending.size() && pending[k].code != e.code) ++k;
                if (k == pending.size()) {
                    ++unexpected;
                    continue;
                }
                skipped += static_cast<int>(k);
                latencies.push_back(e.atMs - pending[k].sentMs);
                if (opt_.trace) {
                    std::printf("    request sent at +%8.1f ms: first byte after %6.1f ms%s\n",
                                pending[k].sentMs - start, e.atMs - pending[k].sentMs,
                                k > 0 ? " (requests before it not executed)" : "");
                }
                ++executed;
                pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(k) + 1);
            }
        };

        const double cpu0 = CpuSeconds(cpid), hubCpu0 = CpuSeconds(hpid), selfCpu0 = CpuSeconds(::getpid());
        start = NowMs();
        const double end = start + opt_.floodSeconds * 1000.0;
        double nextRequest = start + opt_.floodRequestMs / 2.0;
        for (;;) {
            const double now = NowMs();
            if (now >= end || g_interrupted || !connector_->Running()) break;
            // Pacing: what is due by the last tick, at most two seconds' worth of ticks at once.
            const double tickStart = std::floor((now - start) / opt_.floodTickMs) * opt_.floodTickMs;
            const auto due = static_cast<std::uint64_t>(tickStart * rate / 1000.0);
            const int cap = std::max(400, 2 * rate * opt_.floodTickMs / 1000);
            int burst = 0;
            while (floodSent < due && burst < cap) {
                if (!SendTo(noise_, Noise(floodSent, opt_.floodMessageBytes))) ++floodFailed;
                ++floodSent;
                ++burst;
            }
            maxBurst = std::max(maxBurst, burst);
            if (now >= nextRequest) {
                const int unit = 1 + requestsSent % 16;
                SendTo(client_, Request(unit, (requestsSent / 16) % 2 == 0));
                pending.push_back({NowMs(), AddressByte(unit)});
                ++requestsSent;
                nextRequest += opt_.floodRequestMs;
            }
            collect();
            const double tick = start + (std::floor((NowMs() - start) / opt_.floodTickMs) + 1.0) * opt_.floodTickMs;
            iface_.Pump(std::min({tick, end, nextRequest}) - NowMs());
        }
        const double wall = (NowMs() - start) / 1000.0;
        const double cpu = CpuSeconds(cpid) - cpu0;
        const double hubCpu = CpuSeconds(hpid) - hubCpu0;
        const double selfCpu = CpuSeconds(::getpid()) - selfCpu0;
        const long rssAfter = RssKb(cpid);
        const auto cDrops1 = UdpDrops(cpid);
        const auto hDrops1 = UdpDrops(hpid);

        // Requests still on their way: up to 5 s more.
        const double drainEnd = NowMs() + 5000;
        while (!pending.empty() && NowMs() < drainEnd && connector_->Running()) {
            iface_.Pump(20);
            collect();
        }
        const double rssWaitEnd = end + 3000;
        while (NowMs() < rssWaitEnd) {
            iface_.Pump(rssWaitEnd - NowMs());
            collect();
        }
        const long rssLater = RssKb(cpid);

        const unsigned long long hubDrops = TotalDrops(hDrops1) - TotalDrops(hDrops0);
        const unsigned long long connDrops = TotalDrops(cDrops1) - TotalDrops(cDrops0);
        std::printf("  flood sent %llu in %.2f s (%.0f/s; send failures %llu; largest catch-up burst %d)\n",
                    static_cast<unsigned long long>(floodSent), wall, static_cast<double>(floodSent) / wall,
                    static_cast<unsigned long long>(floodFailed), maxBurst);
        std::printf("  dropped by the kernel (receive buffer full): at the hub %llu, at the connector %llu\n",
                    hubDrops, connDrops);
        const unsigned long long attempted = floodSent - floodFailed;
        const unsigned long long reachedHub = attempted - std::min(hubDrops, attempted);
        std::printf("  so the hub received and forwarded ~%llu flood messages; ~%llu reached the connector\n",
                    reachedHub, reachedHub - std::min(connDrops, reachedHub));
        for (const auto& [sock, d] : cDrops1) {
            std::printf("    connector socket %s drops %llu -> %llu\n", sock.c_str(),
                        cDrops0.count(sock) ? cDrops0.at(sock) : 0ULL, d);
        }
        std::printf("  CPU over the flood (utime+stime / wall): connector %.1f%%, hub %.1f%%, this program %.1f%% "
                    "(of one core)\n",
                    100.0 * cpu / wall, 100.0 * hubCpu / wall, 100.0 * selfCpu / wall);
        std::printf("  connector VmRSS: before %ld kB, right after %ld kB, 3 s after %ld kB (growth %+.1f MB)\n",
                    rssBefore, rssAfter, rssLater,
                    static_cast<double>(std::max(rssAfter, rssLater) - rssBefore) / 1024.0);
        const Summary s = Summarize(latencies);
        PrintSummary("request -> first byte", s);
        std::printf("  requests sent %d, executed %d, not executed %d, unmatched commands %d\n", requestsSent,
                    executed, skipped + static_cast<int>(pending.size()), unexpected);
        std::printf("  connector log: %d 'receive queue full' episode(s) (it drops its oldest messages then)\n",
                    CountInLog("receive queue full"));
        const bool allExecuted = executed == requestsSent && unexpected == 0;
        const bool inTime = !latencies.empty() && s.max <= 300.0;
        const bool memory = std::max(rssAfter, rssLater) - rssBefore < 5 * 1024;
        std::printf("  targets: every request executed %s; none later than 300 ms %s; memory growth < 5 MB %s\n",
                    Verdict(allExecuted), Verdict(inTime), Verdict(memory));
        return allExecuted;
    }

    int CountInLog(const std::string& text) const {
        std::ifstream in(app_ / "Data" / "Quorvel.txt");
        std::string line;
        int n = 0;
        for (int i = 0; i < 1000000 && std::getline(in, line); ++i) {
            if (line.find(text) != std::string::npos) ++n;
        }
        return n;
    }

    Options opt_;
    fs::path app_;
    FakeInterface iface_;
    std::unique_ptr<Child> hub_, connector_;
    int client_ = -1, noise_ = -1;
};

void Usage() {
    std::puts(
        "Usage: e2e_bench [--build DIR] [--requests N] [--flood-rate N] [--flood-seconds N]\n"
        "                 [--flood-request-ms N] [--flood-bytes N]\n"
        "                 [--flood-tick-ms N] [--no-namespace] [--keep] [--trace]\n"
        "Starts DIR/tools/xap-hub/xap-hub and DIR/quorvel (DIR defaults to the build folder this\n"
        "program sits in) on loopback, plays the CM11A over TCP and prints end-to-end figures.");
}

}  // namespace

int Main(int argc, char** argv) {
    Options opt;
    std::error_code ec;
    opt.buildDir = fs::read_symlink("/proc/self/exe", ec).parent_path().parent_path();
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool v = i + 1 < argc;
        auto num = [&](int lo, int hi) {
            const long x = std::strtol(argv[++i], nullptr, 10);
            if (x < lo || x > hi) Die("bad value for " + a);
            return static_cast<int>(x);
        };
        if (a == "--build" && v) {
            opt.buildDir = argv[++i];
        } else if (a == "--requests" && v) {
            opt.requests = num(1, 100000);
        } else if (a == "--flood-rate" && v) {
            opt.floodRate = num(1, 200000);
        } else if (a == "--flood-seconds" && v) {
            opt.floodSeconds = num(1, 600);
        } else if (a == "--flood-request-ms" && v) {
            opt.floodRequestMs = num(20, 60000);
        } else if (a == "--flood-bytes" && v) {
            opt.floodMessageBytes = num(120, 8000);
        } else if (a == "--no-namespace") {
            opt.namespaceAllowed = false;
        } else if (a == "--flood-tick-ms" && v) {
            opt.floodTickMs = num(1, 1000);
        } else if (a == "--trace") {
            opt.trace = true;
        } else if (a == "--keep") {
            opt.keep = true;
        } else {
            Usage();
            return a == "--help" || a == "-h" ? 0 : 1;
        }
    }
    if (opt.namespaceAllowed) EnterNamespace(argc, argv, kNamespaceMark);
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Bench bench(opt);
    return bench.Run();
}

int main(int argc, char** argv) {
    try {
        return Main(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "e2e_bench: %s\n", e.what());
        return 1;
    }
}
