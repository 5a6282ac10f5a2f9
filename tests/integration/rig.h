// The whole system on loopback: tools/xap-hub on port 3639, tools/cm11a-sim, the connector,
// and an xAP test client that the hub forwards everything to.
#pragma once

#include "support.h"

#include <memory>
#include <optional>
#include <regex>
#include <sstream>

namespace quorvel::itest {

inline std::filesystem::path HubBin() { return BinDir() / "tools" / "xap-hub" / "xap-hub"; }
inline std::filesystem::path SimBin() { return BinDir() / "tools" / "cm11a-sim" / "cm11a-sim"; }

// Starts the hub on 3639 and waits until it listens; null when the port is not free here.
inline std::unique_ptr<Process> StartHub(const std::filesystem::path& dir) {
    auto hub = std::make_unique<Process>(HubBin(), std::vector<std::string>{"--verbose"}, dir, "hub");
    const bool up = WaitFor([&] { return hub->Stdout().find("listening 127.255.255.255:3639") != std::string::npos; },
                            std::chrono::seconds(10));
    return up ? std::move(hub) : nullptr;
}

// Value of item name in an xAP text ("\nname=value\n"), or "<none>".
inline std::string XapField(const std::string& text, const std::string& name) {
    const std::size_t p = text.find("\n" + name + "=");
    if (p == std::string::npos) return "<none>";
    const std::size_t start = p + name.size() + 2;
    return text.substr(start, text.find('\n', start) - start);
}

// A UDP socket on 127.0.0.1 that announces itself to the hub and collects what it forwards.
class XapClient {
public:
    static constexpr const char* kSource = "acme.tester.box";

    void Heartbeat() {
        socket_.SendTo(3639, "xap-hbeat\n{\nv=12\nhop=1\nuid=FF777700\nclass=xap-hbeat.alive\nsource=" +
                                 std::string(kSource) + "\ninterval=60\nport=" + std::to_string(socket_.port()) + "\n}\n");
    }
    // A message of class cls from us (or another node: source) with one block.
    void SendMessage(const std::string& cls, const std::string& target, const std::string& block,
                     const std::string& items, const std::string& source = kSource) {
        std::string m = "xap-header\n{\nv=12\nhop=1\nuid=FF777700\nclass=" + cls + "\nsource=" + source + "\n";
        if (!target.empty()) m += "target=" + target + "\n";
        socket_.SendTo(3639, m + "}\n" + block + "\n{\n" + items + "}\n");
    }
    // The first datagram (kept or arriving before timeout) of class cls that holds contains.
    std::optional<std::string> WaitForClass(const std::string& cls, std::chrono::milliseconds timeout,
                                            const std::string& contains = "") {
        const auto match = [&](const std::string& d) {
            return XapField(d, "class") == cls && d.find(contains) != std::string::npos;
        };
        for (const auto& d : received_) {
            if (match(d)) return d;
        }
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            std::string d = socket_.Read(std::chrono::milliseconds(200));
            if (d.empty()) continue;
            received_.push_back(d);
            if (match(d)) return d;
        }
        return std::nullopt;
    }
    // Takes in every datagram waiting now, so that a test busy elsewhere does not let its
    // socket's buffer overflow.
    void Drain() {
        for (int i = 0; i < 100000; ++i) {
            std::string d = socket_.Read(std::chrono::milliseconds(0));
            if (d.empty()) return;
            received_.push_back(std::move(d));
        }
    }
    // Every datagram so far of class cls (any class: "") that holds contains.
    std::vector<std::string> Matching(const std::string& cls, const std::string& contains = "") const {
        std::vector<std::string> out;
        for (const auto& d : received_) {
            const bool ofClass = cls.empty() || XapField(d, "class") == cls;
            if (ofClass && d.find(contains) != std::string::npos) out.push_back(d);
        }
        return out;
    }

private:
    Socket socket_ = Socket::Udp();
    std::vector<std::string> received_;
};

// tools/cm11a-sim in fast mode with its control port; extra arguments appended.
class SimProcess {
public:
    SimProcess(const std::filesystem::path& dir, std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"--fast", "--tcp-port", "0", "--control-port", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        proc_ = std::make_unique<Process>(SimBin(), args, dir, "sim");
        static const std::regex ready(R"(cm11a-sim ready tcp=127\.0\.0\.1:(\d+) pty=(\S+) control=127\.0\.0\.1:(\d+))");
        std::smatch m;
        std::string out;
        if (!WaitFor([&] { return std::regex_search(out = proc_->Stdout(), m, ready); }, std::chrono::seconds(10))) {
            return;
        }
        tcpPort = std::stoi(m[1]);
        control_ = Socket::Tcp(std::stoi(m[3]));
    }
    bool Connected() const { return control_.ok(); }
    // Sends one command and returns the answer up to its closing line ("ok", "error: ...", ".").
    std::string Command(const std::string& cmd) {
        control_.Write(cmd + "\n");
        std::string answer;
        for (int i = 0; i < 10000; ++i) {
            const std::size_t nl = buffer_.find('\n');
            if (nl == std::string::npos) {
                const std::string more = control_.Read(std::chrono::seconds(3));
                if (more.empty()) break;
                buffer_ += more;
                continue;
            }
            const std::string l = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            answer += l + "\n";
            if (l == "ok" || l == "." || l.rfind("error", 0) == 0) break;
        }
        return answer;
    }
    Process& proc() { return *proc_; }

    int tcpPort = 0;

private:
    std::unique_ptr<Process> proc_;
    Socket control_{-1};
    std::string buffer_;
};

struct RigOptions {
    bool pty = false;  // the connector reaches the simulator through its pseudo-terminal
    std::string comPort;  // when set: the ComPort line as it stands, and no simulator is started
    bool start = true;    // false: the settings are written, the connector waits for StartConnector
};

#define REQUIRE_READY(rig)                                                                            \
    do {                                                                                              \
        if (!(rig).HubUp()) GTEST_SKIP() << "UDP port 3639 is taken and no private network namespace"; \
        ASSERT_TRUE((rig).Ready()) << (rig).Diagnostics();                                            \
    } while (0)

// Occurrences of what in text.
inline int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + what.size())) ++n;
    return n;
}

// The simulator's "rx"/"tx" log lines in order.
inline std::string ByteLines(const std::string& log) {
    std::istringstream in(log);
    std::string out;
    for (std::string l; std::getline(in, l);) {
        if (l.rfind("rx ", 0) == 0 || l.rfind("tx ", 0) == 0) out += l + "\n";
    }
    return out;
}

// A free TCP port on 127.0.0.1 below the ephemeral range: connecting again and again to a
// closed port inside that range can end in a connection of the socket to itself.
inline int FreeTcpPort() {
    for (int i = 0; i < 2000; ++i) {
        const int port = 20000 + (::getpid() * 7 + i) % 12000;
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = Loopback(static_cast<std::uint16_t>(port));
        const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        if (free) return port;
    }
    return 0;
}

// Hub, simulator and connector in a temporary application folder.
class Rig {
public:
    // simArgs are appended to the simulator's (e.g. "--speed", "1": the real device's speed).
    explicit Rig(RigOptions opt = {}, std::vector<std::string> simArgs = {}) {
        hub_ = StartHub(app_.path());
        const auto pty = app_.path() / "cm11a-pty";
        if (opt.pty) simArgs.insert(simArgs.end(), {"--pty-link", pty.string()});
        simArgs_ = simArgs;
        if (opt.comPort.empty()) sim_ = std::make_unique<SimProcess>(app_.path(), simArgs);
        if (!opt.comPort.empty()) WriteSafeIni(app_.path(), opt.comPort);
        else WriteSafeIni(app_.path(), (opt.pty ? pty.string() : "127.0.0.1:" + std::to_string(sim_->tcpPort)) + "\r\nDebug=1");
        client_.Heartbeat();
        if (opt.start) StartConnector();
    }
    ~Rig() {
        for (Process* p : {quorvel_.get(), sim_ ? &sim_->proc() : nullptr, hub_.get()}) {
            if (p == nullptr) continue;
            p->Signal(SIGTERM);
            p->Wait(std::chrono::seconds(10));
        }
    }
    // The connector on the application folder, again after StopConnector (Ready() then waits
    // for it once more).
    void StartConnector() {
        if (sim_) sim_->Command("clear-log");
        quorvel_ = std::make_unique<Process>(BinDir() / "quorvel", Headless(app_.path()), app_.path(),
                                             "quorvel" + std::to_string(++starts_));
    }
    void StopConnector() { ExpectCleanStop(*quorvel_); }
    // The simulator ends (removing its pseudo-terminal link) and a new one starts with the
    // same arguments.
    void ReplaceSimulator() {
        sim_->proc().Signal(SIGTERM);
        sim_->proc().Wait(std::chrono::seconds(5));
        sim_ = std::make_unique<SimProcess>(app_.path(), simArgs_);
    }
    const std::filesystem::path& folder() const { return app_.path(); }

    // False when port 3639 is taken here (another hub, and no private network namespace).
    bool HubUp() const { return hub_ != nullptr; }
    // True once everything runs and the connector has set the interface's clock (its link is
    // open and the exchange is over).
    static bool ClockSet(const std::string& log) {
        const std::size_t clock = log.find("rx 9B");
        return clock != std::string::npos && log.find("rx 00\ntx 55\n", clock) != std::string::npos;
    }
    bool Ready() {
        if (!HubUp() || !sim_ || !sim_->Connected()) return false;
        return client_.WaitForClass("Homeseer.Event", std::chrono::seconds(30), "Using xAP port ").has_value() &&
               WaitFor([&] { return ClockSet(SimLog()); }, std::chrono::seconds(20));
    }
    std::string Diagnostics() {
        return "--- quorvel stderr\n" + quorvel_->Stderr() + "\n--- sim stderr\n" + (sim_ ? sim_->proc().Stderr() : "") +
               "\n--- hub stderr\n" + (hub_ ? hub_->Stderr() : "");
    }
    std::string SimLog() { return sim_->Command("log"); }
    std::string SimState() { return sim_->Command("state"); }
    bool WaitForState(const std::string& line, std::chrono::milliseconds timeout) {
        return WaitFor([&] { return SimState().find(line + "\n") != std::string::npos; }, timeout);
    }
    XapClient& client() { return client_; }
    SimProcess& control() { return *sim_; }
    Process& quorvel() { return *quorvel_; }
    std::string Log() const { return ReadFile(app_.path() / "Data" / "Quorvel.txt"); }

private:
    TempDir app_;
    XapClient client_;
    std::unique_ptr<Process> hub_, quorvel_;
    std::unique_ptr<SimProcess> sim_;
    std::vector<std::string> simArgs_;
    int starts_ = 0;
};

}  // namespace quorvel::itest
