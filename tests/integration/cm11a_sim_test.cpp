// tools/cm11a-sim driven over real sockets and a pseudo-terminal: the command handshake byte
// for byte (whole and split), uploads, power failure, injected faults, and clean exits.
#include "support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>

#include <regex>

using namespace quorvel::itest;
using namespace std::chrono_literals;

namespace {

std::filesystem::path SimBin() { return BinDir() / "tools" / "cm11a-sim" / "cm11a-sim"; }

using Bytes = std::vector<unsigned char>;

std::string HexOf(const Bytes& b) {
    std::string out;
    char buf[4];
    for (unsigned char c : b) {
        std::snprintf(buf, sizeof buf, "%02X ", c);
        out += buf;
    }
    return out;
}

int ConnectTcp(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One end of a byte stream (TCP socket or terminal) with bounded reads.
class Line {
public:
    explicit Line(int fd) : fd_(fd) {}
    ~Line() { if (fd_ >= 0) ::close(fd_); }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;
    bool ok() const { return fd_ >= 0; }

    void Write(const Bytes& b) { ASSERT_EQ(::write(fd_, b.data(), b.size()), static_cast<ssize_t>(b.size())); }

    // Reads until n bytes arrived or timeout passed; closed is set on end of stream.
    Bytes Read(std::size_t n, std::chrono::milliseconds timeout = 3000ms) {
        Bytes out;
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (out.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            unsigned char buf[256];
            const ssize_t r = ::read(fd_, buf, std::min(sizeof buf, n - out.size()));
            if (r <= 0) {
                closed = true;
                break;
            }
            out.insert(out.end(), buf, buf + r);
        }
        return out;
    }
    // Everything that arrives within the period.
    Bytes ReadFor(std::chrono::milliseconds period) { return Read(1 << 16, period); }

    // Writes b and returns the next reply byte (-1 when none came).
    int Exchange(const Bytes& b) {
        Write(b);
        const Bytes r = Read(1);
        return r.empty() ? -1 : r[0];
    }

    bool closed = false;

private:
    int fd_;
};

class Sim {
public:
    explicit Sim(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"--fast", "--tcp-port", "0", "--control-port", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        proc_ = std::make_unique<Process>(SimBin(), args, dir_.path(), "cm11a-sim");
        static const std::regex re(R"(cm11a-sim ready tcp=127\.0\.0\.1:(\d+) pty=(\S+) control=127\.0\.0\.1:(\d+))");
        std::smatch m;
        std::string out;
        const bool ready = WaitFor([&] {
            out = proc_->Stdout();
            return std::regex_search(out, m, re);
        }, 5000ms);
        if (!ready) throw std::runtime_error("cm11a-sim did not start: " + out + proc_->Stderr());
        tcpPort = std::stoi(m[1]);
        ptyPath = m[2];
        control_ = std::make_unique<Line>(ConnectTcp(std::stoi(m[3])));
    }

    // Sends a control command and returns its answer up to and including the final line.
    std::string Control(const std::string& cmd) {
        const std::string text = cmd + "\n";
        control_->Write(Bytes(text.begin(), text.end()));
        std::string answer;
        const auto end = std::chrono::steady_clock::now() + 3s;
        while (std::chrono::steady_clock::now() < end) {
            const Bytes b = control_->Read(1, 500ms);
            if (b.empty()) continue;
            answer += static_cast<char>(b[0]);
            if (answer.back() != '\n') continue;
            const std::size_t start = answer.rfind('\n', answer.size() - 2);
            const std::string last = answer.substr(start == std::string::npos ? 0 : start + 1);
            if (last == "ok\n" || last == ".\n" || last.rfind("error", 0) == 0) break;
        }
        return answer;
    }

    Process& proc() { return *proc_; }
    const std::filesystem::path& dir() const { return dir_.path(); }

    int tcpPort = 0;
    std::string ptyPath;

private:
    TempDir dir_;
    std::unique_ptr<Process> proc_;
    std::unique_ptr<Line> control_;
};

struct Step {
    Bytes send;
    int reply;
};

// Writes each step, one byte at a time when split, and checks the reply byte.
void RunSteps(Line& line, const std::vector<Step>& steps, bool split) {
    for (const Step& s : steps) {
        if (split) {
            for (std::size_t i = 0; i + 1 < s.send.size(); ++i) {
                line.Write({s.send[i]});
                std::this_thread::sleep_for(20ms);
            }
            EXPECT_EQ(line.Exchange({s.send.back()}), s.reply) << HexOf(s.send);
        } else {
            EXPECT_EQ(line.Exchange(s.send), s.reply) << HexOf(s.send);
        }
    }
}

TEST(Cm11aSimTool, CommandsAnswerHandshakeAndChangeDeviceState) {
    struct Case {
        const char* name;
        std::vector<Step> steps;
        const char* state;
    };
    const std::vector<Case> cases = {
        {"A1 on", {{{0x04, 0x66}, 0x6A}, {{0x00}, 0x55}, {{0x06, 0x62}, 0x68}, {{0x00}, 0x55}}, "A1 on 100\n.\n"},
        // 8 of 22 steps is 36 %: a lamp that was off lights up and dims to 64 %.
        {"B2 dim 8", {{{0x44, 0xEE}, 0x32}, {{0x00}, 0x55}, {{0x46, 0xE4}, 0x2A}, {{0x00}, 0x55}}, "B2 on 64\n.\n"},
        // Two addresses then one function: both devices switch; P16's checksum wraps around.
        {"A1 A2 off", {{{0x04, 0x66}, 0x6A}, {{0x00}, 0x55}, {{0x04, 0x6E}, 0x72}, {{0x00}, 0x55},
                       {{0x06, 0x63}, 0x69}, {{0x00}, 0x55}}, "A1 off 0\nA2 off 0\n.\n"},
        {"P16 on", {{{0x04, 0xCC}, 0xD0}, {{0x00}, 0x55}, {{0xFE, 0xC2}, 0xC0}, {{0x00}, 0x55}}, "P16 on 100\n.\n"},
    };
    for (bool split : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (split ? " split" : " whole"));
            Sim sim;
            Line line(ConnectTcp(sim.tcpPort));
            ASSERT_TRUE(line.ok());
            RunSteps(line, c.steps, split);
            EXPECT_EQ(sim.Control("state"), c.state);
        }
    }
}

TEST(Cm11aSimTool, StrayConfirmationIsIgnoredAndRepeatedPairResyncs) {
    Sim sim;
    Line line(ConnectTcp(sim.tcpPort));
    line.Write({0x00});  // no checksum was sent: nothing happens
    EXPECT_TRUE(line.ReadFor(200ms).empty());
    // A pair sent again instead of the confirmation starts a new exchange.
    RunSteps(line, {{{0x04, 0x66}, 0x6A}, {{0x04, 0x66}, 0x6A}, {{0x00}, 0x55}}, false);
    EXPECT_EQ(sim.Control("powerline"), "sent A1\n.\n");
}

TEST(Cm11aSimTool, HeardTrafficIsPolledThenUploaded) {
    struct Case {
        const char* hear;
        Bytes upload;
        const char* state;
    };
    const std::vector<Case> cases = {
        {"hear A1 on", {0x03, 0x02, 0x66, 0x62}, "A1 on 100\n.\n"},
        // 50 % is 105 on the 0..210 scale; the brightness byte is not marked as a function.
        {"hear A1 A2 dim 50", {0x05, 0x04, 0x66, 0x6E, 0x64, 0x69}, "A1 on 50\nA2 on 50\n.\n"},
        {"hear M13 off", {0x03, 0x02, 0x00, 0x03}, "M13 off 0\n.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hear);
        Sim sim;
        Line line(ConnectTcp(sim.tcpPort));
        ASSERT_EQ(sim.Control(c.hear), "ok\n");
        // Repeated polls; a command meanwhile gets no checksum.
        line.Write({0x04, 0x66});
        const Bytes polls = line.ReadFor(300ms);
        ASSERT_GE(polls.size(), 2u);
        for (unsigned char b : polls) EXPECT_EQ(b, 0x5A);
        line.Write({0xC3});
        // Polls already in flight may come first; a length byte is never 0x5A.
        Bytes got = line.Read(1);
        for (int i = 0; i < 5 && got == Bytes{0x5A}; ++i) got = line.Read(1);
        const Bytes rest = line.Read(c.upload.size() - 1);
        got.insert(got.end(), rest.begin(), rest.end());
        EXPECT_EQ(HexOf(got), HexOf(c.upload));
        EXPECT_TRUE(line.ReadFor(200ms).empty()) << "polling goes on after the upload";
        EXPECT_EQ(sim.Control("state"), c.state);
    }
}

TEST(Cm11aSimTool, HearRejectsMalformedTraffic) {
    Sim sim;
    for (const char* bad : {"hear Q1 on", "hear A17 on", "hear A0 on", "hear A1", "hear on", "hear A1 dim",
                            "hear A1 on 50", "hear A1 dim 101", "hear A1 A2 A3 A4 A5 A6 A7 A8 on"}) {
        EXPECT_EQ(sim.Control(bad).rfind("error", 0), 0u) << bad;
    }
    EXPECT_EQ(sim.Control("state"), ".\n");
}

TEST(Cm11aSimTool, PowerFailPollsUntilClockAnswer) {
    Sim sim;
    Line line(ConnectTcp(sim.tcpPort));
    ASSERT_EQ(sim.Control("powerfail"), "ok\n");
    line.Write({0x04, 0x66});  // not answered during a power failure
    const Bytes polls = line.ReadFor(300ms);
    ASSERT_GE(polls.size(), 2u);
    for (unsigned char b : polls) EXPECT_EQ(b, 0xA5);
    line.Write({0x9B});
    for (unsigned char b : line.ReadFor(200ms)) EXPECT_EQ(b, 0xA5);  // only ones already in flight
    EXPECT_TRUE(line.ReadFor(300ms).empty());
    RunSteps(line, {{{0x04, 0x66}, 0x6A}, {{0x00}, 0x55}}, false);
}

TEST(Cm11aSimTool, FaultsAreInjected) {
    Sim sim;
    Line line(ConnectTcp(sim.tcpPort));
    ASSERT_EQ(sim.Control("fault checksum 1"), "ok\n");
    RunSteps(line, {{{0x04, 0x66}, 0x6B}, {{0x04, 0x66}, 0x6A}, {{0x00}, 0x55}}, false);

    ASSERT_EQ(sim.Control("fault silent on"), "ok\n");
    line.Write({0x06, 0x62});
    EXPECT_TRUE(line.ReadFor(300ms).empty());
    ASSERT_EQ(sim.Control("fault silent off"), "ok\n");
    RunSteps(line, {{{0x06, 0x62}, 0x68}}, false);

    ASSERT_EQ(sim.Control("garbage 01 ff 5a"), "ok\n");
    EXPECT_EQ(HexOf(line.Read(3)), "01 FF 5A ");
    ASSERT_EQ(sim.Control("garbage random 20"), "ok\n");
    EXPECT_EQ(line.Read(20).size(), 20u);
    EXPECT_EQ(sim.Control("garbage 0g").rfind("error", 0), 0u);

    ASSERT_EQ(sim.Control("drop"), "ok\n");
    line.Read(1, 2000ms);
    EXPECT_TRUE(line.closed);
    Line again(ConnectTcp(sim.tcpPort));
    RunSteps(again, {{{0x04, 0x66}, 0x6A}}, false);
    EXPECT_NE(sim.Control("log").find("tx 6B\n"), std::string::npos);
}

TEST(Cm11aSimTool, NewConnectionReplacesOldOne) {
    Sim sim;
    Line first(ConnectTcp(sim.tcpPort));
    RunSteps(first, {{{0x04, 0x66}, 0x6A}}, false);
    Line second(ConnectTcp(sim.tcpPort));
    first.Read(1, 2000ms);
    EXPECT_TRUE(first.closed);
    // The half-done exchange of the old connection is forgotten.
    second.Write({0x00});
    EXPECT_TRUE(second.ReadFor(200ms).empty());
    RunSteps(second, {{{0x04, 0x66}, 0x6A}, {{0x00}, 0x55}}, false);
}

TEST(Cm11aSimTool, PseudoTerminalCarriesTheSameExchange) {
    TempDir tmp;
    const auto link = tmp.path() / "cm11a";
    Sim sim({"--pty-link", link.string()});
    ASSERT_NE(sim.ptyPath, "none");
    ASSERT_TRUE(std::filesystem::is_symlink(link));
    const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(::tcgetattr(fd, &t), 0);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    Line line(fd);
    RunSteps(line, {{{0x04, 0x66}, 0x6A}, {{0x00}, 0x55}, {{0x06, 0x62}, 0x68}, {{0x00}, 0x55}}, false);
    EXPECT_EQ(sim.Control("state"), "A1 on 100\n.\n");
    ASSERT_EQ(sim.Control("quit"), "ok\n");
    ASSERT_TRUE(sim.proc().Wait(3000ms));
    EXPECT_EQ(sim.proc().ExitCode(), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST(Cm11aSimTool, StopsCleanlyOnSignals) {
    for (int signo : {SIGTERM, SIGINT}) {
        Sim sim;
        sim.proc().Signal(signo);
        ASSERT_TRUE(sim.proc().Wait(3000ms));
        EXPECT_EQ(sim.proc().ExitCode(), 0);
    }
}

}  // namespace
