// The whole system on loopback: tools/xap-hub on port 3639, tools/cm11a-sim, the connector,
// and an xAP test client that the hub forwards everything to.
#pragma once

#include "support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>
#include <optional>
#include <regex>

namespace quorvel::itest {

inline std::filesystem::path HubBin() { return BinDir() / "tools" / "xap-hub" / "xap-hub"; }
inline std::filesystem::path SimBin() { return BinDir() / "tools" / "cm11a-sim" / "cm11a-sim"; }

// Value of item name in an xAP text ("\nname=value\n"), or "<none>".
inline std::string XapField(const std::string& text, const std::string& name) {
    const std::string needle = "\n" + name + "=";
    const std::size_t p = text.find(needle);
    if (p == std::string::npos) return "<none>";
    const std::size_t start = p + needle.size();
    return text.substr(start, text.find('\n', start) - start);
}

// A UDP socket on 127.0.0.1 that announces itself to the hub and collects what it forwards.
class XapClient {
public:
    XapClient() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
    }
    ~XapClient() { ::close(fd_); }
    XapClient(const XapClient&) = delete;
    XapClient& operator=(const XapClient&) = delete;

    static constexpr const char* kSource = "acme.tester.box";

    void Heartbeat() {
        Send("xap-hbeat\n{\nv=12\nhop=1\nuid=FF777700\nclass=xap-hbeat.alive\nsource=" + std::string(kSource) +
             "\ninterval=60\nport=" + std::to_string(port_) + "\n}\n");
    }
    void Send(const std::string& text) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(3639);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::sendto(fd_, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    // A message of class cls from us with one block.
    void SendMessage(const std::string& cls, const std::string& target, const std::string& block,
                     const std::string& items) {
        std::string m = "xap-header\n{\nv=12\nhop=1\nuid=FF777700\nclass=" + cls + "\nsource=" + kSource + "\n";
        if (!target.empty()) m += "target=" + target + "\n";
        Send(m + "}\n" + block + "\n{\n" + items + "}\n");
    }

    // Receives until pred accepts a datagram or timeout passes; every datagram is kept.
    template <typename P>
    std::optional<std::string> WaitFor(P pred, std::chrono::milliseconds timeout) {
        for (const auto& d : received_) {
            if (pred(d)) return d;
        }
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            std::string d = Receive(std::min<std::chrono::milliseconds>(left, std::chrono::milliseconds(200)));
            if (d.empty()) continue;
            received_.push_back(d);
            if (pred(d)) return d;
        }
        return std::nullopt;
    }
    std::optional<std::string> WaitForClass(const std::string& cls, std::chrono::milliseconds timeout,
                                            const std::string& contains = "") {
        return WaitFor([&](const std::string& d) {
            return XapField(d, "class") == cls && d.find(contains) != std::string::npos;
        }, timeout);
    }
    std::vector<std::string> Matching(const std::string& cls, const std::string& contains = "") const {
        std::vector<std::string> out;
        for (const auto& d : received_) {
            if (XapField(d, "class") == cls && d.find(contains) != std::string::npos) out.push_back(d);
        }
        return out;
    }
    void Drain(std::chrono::milliseconds quiet) {
        WaitFor([](const std::string&) { return false; }, quiet);
    }

private:
    std::string Receive(std::chrono::milliseconds timeout) {
        timeval tv{};
        tv.tv_sec = static_cast<long>(timeout.count() / 1000);
        tv.tv_usec = static_cast<long>((timeout.count() % 1000) * 1000);
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        static char buf[70000];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        return n <= 0 ? std::string() : std::string(buf, static_cast<std::size_t>(n));
    }

    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::vector<std::string> received_;
};

// Line commands to the simulator's control port.
class SimControl {
public:
    explicit SimControl(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
        timeval tv{3, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~SimControl() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool Connected() const { return fd_ >= 0; }
    // Sends one command and returns the answer up to its closing line ("ok", "error: ...", ".").
    std::string Command(const std::string& cmd) {
        const std::string line = cmd + "\n";
        ::send(fd_, line.data(), line.size(), MSG_NOSIGNAL);
        std::string answer;
        for (int i = 0; i < 10000; ++i) {
            const std::size_t nl = buffer_.find('\n');
            if (nl == std::string::npos) {
                char buf[4096];
                const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
                if (n <= 0) break;
                buffer_.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            const std::string l = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            answer += l + "\n";
            if (l == "ok" || l == "." || l.rfind("error:", 0) == 0) break;
        }
        return answer;
    }

private:
    int fd_ = -1;
    std::string buffer_;
};

struct RigOptions {
    bool pty = false;          // the connector reaches the simulator through its pseudo-terminal
    std::string extraGeneral;  // more [General] lines
};

// Hub, simulator and connector in a temporary application folder.
class Rig {
public:
    explicit Rig(RigOptions opt = {}) {
        WriteLoopbackXapIni(app_.path());
        hub_ = std::make_unique<Process>(HubBin(), std::vector<std::string>{"--verbose"}, app_.path(), "hub");
        hubUp_ = quorvel::itest::WaitFor(
            [&] { return hub_->Stdout().find("listening 127.255.255.255:3639") != std::string::npos; },
            std::chrono::seconds(10));
        std::vector<std::string> simArgs{"--fast", "--tcp-port", "0", "--control-port", "0"};
        if (opt.pty) {
            simArgs.push_back("--pty-link");
            simArgs.push_back((app_.path() / "cm11a-pty").string());
        }
        sim_ = std::make_unique<Process>(SimBin(), simArgs, app_.path(), "sim");
        std::smatch m;
        static const std::regex ready(R"(cm11a-sim ready tcp=127\.0\.0\.1:(\d+) pty=(\S+) control=127\.0\.0\.1:(\d+))");
        quorvel::itest::WaitFor([&] {
            const std::string out = sim_->Stdout();
            if (!std::regex_search(out, m, ready)) return false;
            simTcpPort_ = std::stoi(m[1]);
            controlPort_ = std::stoi(m[3]);
            return true;
        }, std::chrono::seconds(10));
        const std::string port = opt.pty ? (app_.path() / "cm11a-pty").string()
                                         : "127.0.0.1:" + std::to_string(simTcpPort_);
        WriteFile(app_.path() / "Config" / "Quorvel.ini",
                  "[General]\r\nComPort=" + port + "\r\nDebug=1\r\n" + opt.extraGeneral);
        if (controlPort_ > 0) control_ = std::make_unique<SimControl>(static_cast<std::uint16_t>(controlPort_));
        client_.Heartbeat();
        quorvel_ = std::make_unique<Process>(
            BinDir() / "quorvel", std::vector<std::string>{"--headless", "--app-folder", app_.path().string()},
            app_.path(), "quorvel");
    }
    ~Rig() {
        for (Process* p : {quorvel_.get(), sim_.get(), hub_.get()}) {
            if (p == nullptr) continue;
            p->Signal(SIGTERM);
            p->Wait(std::chrono::seconds(10));
        }
    }

    // False when port 3639 is taken here (another hub, and no private network namespace).
    bool HubUp() const { return hubUp_; }
    // True once everything runs and the connector has its link open.
    bool Ready() {
        if (!hubUp_ || control_ == nullptr || !control_->Connected()) return false;
        return client_.WaitForClass("Homeseer.Event", std::chrono::seconds(30), "Using xAP port ").has_value() &&
               quorvel::itest::WaitFor([&] { return PowerFailAnswers() >= 2; }, std::chrono::seconds(20));
    }
    std::string Diagnostics() {
        return "--- quorvel stderr\n" + quorvel_->Stderr() + "\n--- sim stderr\n" + sim_->Stderr() +
               "\n--- hub stderr\n" + hub_->Stderr();
    }

    std::string SimLog() { return control_->Command("log"); }
    // The connector answers a possible power failure twice while it starts.
    int PowerFailAnswers() {
        const std::string log = SimLog();
        int n = 0;
        for (std::size_t p = log.find("9B"); p != std::string::npos; p = log.find("9B", p + 2)) ++n;
        return n;
    }
    std::string SimState() { return control_->Command("state"); }
    bool WaitForState(const std::string& line, std::chrono::milliseconds timeout) {
        return quorvel::itest::WaitFor([&] { return SimState().find(line + "\n") != std::string::npos; }, timeout);
    }

    XapClient& client() { return client_; }
    SimControl& control() { return *control_; }
    Process& quorvel() { return *quorvel_; }
    const std::filesystem::path& app() const { return app_.path(); }

private:
    TempDir app_;
    XapClient client_;
    std::unique_ptr<Process> hub_, sim_, quorvel_;
    std::unique_ptr<SimControl> control_;
    bool hubUp_ = false;
    int simTcpPort_ = 0;
    int controlPort_ = 0;
};

// Hex bytes of the simulator's "rx"/"tx" log lines in order, e.g. {"rx 04 66", "tx 6A"}.
inline std::vector<std::string> LogLines(const std::string& log) {
    std::vector<std::string> out;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("rx ", 0) == 0 || line.rfind("tx ", 0) == 0) out.push_back(line);
    }
    return out;
}

}  // namespace quorvel::itest
