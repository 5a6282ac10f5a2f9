// cm11a-sim: a simulated CM11A X10 interface for tests, demonstrations and people without
// the hardware. The computer reaches it over TCP on 127.0.0.1 (like a serial server) or over
// a pseudo-terminal (like a serial port); control commands arrive on stdin and on an optional
// control port. One thread, one poll() loop.

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "cm11a_model.h"
#include "tool_name.h"

namespace {

using cm11asim::Millis;

constexpr std::size_t kMaxLine = 4096;
constexpr std::size_t kMaxPending = 1 << 16;
constexpr std::size_t kMaxControlClients = 8;

volatile std::sig_atomic_t g_stop = 0;
extern "C" void OnStopSignal(int) { g_stop = 1; }

Millis Now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void PrintUsage(std::FILE* to) {
    std::fputs(
        "Usage: cm11a-sim [--tcp-port N] [--pty] [--pty-link PATH] [--control-port N]\n"
        "                 [--fast] [--speed X] [--mains 60|50] [--poll-interval-ms N] [--verbose]\n"
        "\n"
        "A simulated CM11A X10 interface.\n"
        "  --tcp-port N          serve the computer on 127.0.0.1:N (0: any free port)\n"
        "  --pty                 serve it on a pseudo-terminal as well\n"
        "  --pty-link PATH       symlink PATH to the pseudo-terminal (implies --pty)\n"
        "  --control-port N      control commands on 127.0.0.1:N too (0: any free port)\n"
        "  --speed X             power-line and poll delays divided by X (default 1)\n"
        "  --fast                the same as --speed 20 (default: real speed, 4800-baud pacing)\n"
        "  --mains 60|50         mains frequency the power-line times follow (default 60)\n"
        "  --poll-interval-ms N  time between repeated 5A / A5 (default 1000, divided by speed)\n"
        "  --verbose             one line per exchange on stderr\n"
        "Without --tcp-port and --pty it serves TCP on a free port. Control commands are read\n"
        "from stdin as well; type 'help'. Prints one line when ready:\n"
        "  cm11a-sim ready tcp=127.0.0.1:PORT pty=PATH control=127.0.0.1:PORT ('none' if unused)\n",
        to);
}

struct Conn {
    int fd = -1;
    std::string in;
    std::string out;
    bool overlong = false;  // discarding the rest of a too-long line
};

void CloseConn(Conn& c) {
    if (c.fd >= 0) ::close(c.fd);
    c = Conn{};
}

void SetNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

int Listen(int port, int& boundPort) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    boundPort = ntohs(a.sin_port);
    SetNonBlocking(fd);
    return fd;
}

// Writes what it can now and keeps the rest (bounded) for POLLOUT.
void Send(Conn& c, const std::string& bytes) {
    if (c.fd < 0) return;
    c.out += bytes;
    while (!c.out.empty()) {
        const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK) {
            const ssize_t w = ::write(c.fd, c.out.data(), c.out.size());
            if (w <= 0) break;
            c.out.erase(0, static_cast<std::size_t>(w));
            continue;
        }
        if (n <= 0) break;
        c.out.erase(0, static_cast<std::size_t>(n));
    }
    if (c.out.size() > kMaxPending) c.out.erase(0, c.out.size() - kMaxPending);
}

class App {
public:
    App(cm11asim::Timing timing, bool verbose) : sim_(timing), verbose_(verbose) {
        if (verbose_) sim_.verbose = [](const std::string& s) { std::fprintf(stderr, "cm11a-sim: %s\n", s.c_str()); };
    }
    ~App() {
        CloseConn(client_);
        CloseConn(pty_);
        for (auto& c : controls_) CloseConn(c);
        if (listenFd_ >= 0) ::close(listenFd_);
        if (controlFd_ >= 0) ::close(controlFd_);
        if (ptySlave_ >= 0) ::close(ptySlave_);
        if (!link_.empty()) ::unlink(link_.c_str());
    }

    bool OpenTcp(int port) {
        listenFd_ = Listen(port, tcpPort_);
        return listenFd_ >= 0;
    }
    bool OpenControl(int port) {
        controlFd_ = Listen(port, controlPort_);
        return controlFd_ >= 0;
    }
    bool OpenPty(const std::string& link) {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
            if (master >= 0) ::close(master);
            return false;
        }
        const char* name = ::ptsname(master);
        if (name == nullptr) {
            ::close(master);
            return false;
        }
        ptyPath_ = name;
        // Holding the other end open keeps the pair alive while no program has it open.
        ptySlave_ = ::open(ptyPath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (ptySlave_ >= 0) {
            termios t{};
            if (::tcgetattr(ptySlave_, &t) == 0) {
                ::cfmakeraw(&t);
                ::cfsetspeed(&t, B4800);
                ::tcsetattr(ptySlave_, TCSANOW, &t);
            }
        }
        SetNonBlocking(master);
        pty_.fd = master;
        if (!link.empty()) {
            struct stat st{};
            if (::lstat(link.c_str(), &st) == 0) {
                if (!S_ISLNK(st.st_mode)) {
                    std::fprintf(stderr, "cm11a-sim: %s exists and is not a symlink\n", link.c_str());
                    return false;
                }
                ::unlink(link.c_str());
            }
            if (::symlink(ptyPath_.c_str(), link.c_str()) != 0) {
                std::fprintf(stderr, "cm11a-sim: cannot link %s: %s\n", link.c_str(), std::strerror(errno));
                return false;
            }
            link_ = link;
        }
        return true;
    }

    void PrintReady() const {
        auto tcp = [](int fd, int port) {
            return fd >= 0 ? "127.0.0.1:" + std::to_string(port) : std::string("none");
        };
        std::printf("cm11a-sim ready tcp=%s pty=%s control=%s\n", tcp(listenFd_, tcpPort_).c_str(),
                    ptyPath_.empty() ? "none" : ptyPath_.c_str(), tcp(controlFd_, controlPort_).c_str());
        std::fflush(stdout);
    }

    int Run() {
        bool stdinOpen = true;
        while (!g_stop && !quit_) {
            Millis now = Now();
            sim_.Tick(now);
            Deliver();
            Millis next = sim_.NextDeadline();
            int timeout = 1000;
            if (next >= 0) timeout = static_cast<int>(std::clamp<Millis>(next - Now(), 0, 1000));

            std::vector<pollfd> fds;
            std::vector<Conn*> owners;
            auto add = [&](int fd, short ev, Conn* owner) {
                fds.push_back(pollfd{fd, ev, 0});
                owners.push_back(owner);
            };
            if (stdinOpen) add(0, POLLIN, nullptr);
            if (listenFd_ >= 0) add(listenFd_, POLLIN, nullptr);
            if (controlFd_ >= 0) add(controlFd_, POLLIN, nullptr);
            auto addConn = [&](Conn& c) {
                if (c.fd >= 0) add(c.fd, static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT)), &c);
            };
            addConn(client_);
            addConn(pty_);
            for (auto& c : controls_) addConn(c);

            const int r = ::poll(fds.data(), fds.size(), timeout);
            if (r < 0) {
                if (errno == EINTR) continue;
                std::perror("cm11a-sim: poll");
                return 1;
            }
            now = Now();
            for (std::size_t i = 0; i < fds.size() && !quit_; ++i) {
                const short ev = fds[i].revents;
                if (ev == 0) continue;
                const int fd = fds[i].fd;
                Conn* c = owners[i];
                if (c == nullptr) {
                    if (fd == 0) stdinOpen = ReadStdin(now);
                    else if (fd == listenFd_) AcceptClient();
                    else if (fd == controlFd_) AcceptControl();
                    continue;
                }
                if (c->fd != fd) continue;  // replaced while handling an earlier event
                if (ev & POLLOUT) Send(*c, "");
                if (ev & (POLLIN | POLLHUP | POLLERR)) {
                    if (c == &client_ || c == &pty_) ReadLine(*c, now);
                    else ReadControl(*c, now);
                }
            }
            controls_.erase(std::remove_if(controls_.begin(), controls_.end(),
                                           [](const Conn& c) { return c.fd < 0; }),
                            controls_.end());
        }
        return 0;
    }

private:
    // Bytes the interface sends go to every attached line.
    void Deliver() {
        const std::string out = sim_.TakeOutput();
        if (out.empty()) return;
        Send(client_, out);
        Send(pty_, out);
    }

    void AcceptClient() {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (client_.fd >= 0) Note("connection replaced");
        CloseConn(client_);
        client_.fd = fd;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, 1 /* TCP_NODELAY */, &one, sizeof one);
        sim_.LineChanged();
        Note("computer connected");
    }

    void AcceptControl() {
        const int fd = ::accept4(controlFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (controls_.size() >= kMaxControlClients) {
            ::close(fd);
            return;
        }
        controls_.push_back(Conn{fd, {}, {}, false});
    }

    void ReadLine(Conn& c, Millis now) {
        char buf[1024];
        const ssize_t n = ::read(c.fd, buf, sizeof buf);
        if (n > 0) {
            sim_.Receive(std::string_view(buf, static_cast<std::size_t>(n)), now);
            sim_.Tick(now);
            Deliver();
            return;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (&c == &client_) {
            Note("computer disconnected");
            CloseConn(client_);
        }
        // The pseudo-terminal's other end is held open here, so it should not hang up; if it
        // fails anyway, give it up rather than spin on it.
        if (&c == &pty_) {
            std::fprintf(stderr, "cm11a-sim: pseudo-terminal failed, closing it\n");
            CloseConn(pty_);
        }
    }

    void ReadControl(Conn& c, Millis now) {
        char buf[1024];
        const ssize_t n = ::read(c.fd, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            CloseConn(c);
            return;
        }
        if (n < 0) return;
        std::string answers = Lines(c, std::string_view(buf, static_cast<std::size_t>(n)), now);
        if (c.fd >= 0) Send(c, answers);
    }

    // Returns false at end of input.
    bool ReadStdin(Millis now) {
        char buf[1024];
        const ssize_t n = ::read(0, buf, sizeof buf);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        if (n <= 0) return false;
        const std::string answers = Lines(stdin_, std::string_view(buf, static_cast<std::size_t>(n)), now);
        std::fwrite(answers.data(), 1, answers.size(), stdout);
        std::fflush(stdout);
        return true;
    }

    // Splits input into lines and runs each; returns the answers.
    std::string Lines(Conn& c, std::string_view data, Millis now) {
        std::string answers;
        for (char ch : data) {
            if (ch == '\n') {
                if (c.overlong) answers += "error: line too long\n";
                else answers += Command(c.in, now);
                c.in.clear();
                c.overlong = false;
                if (quit_) break;
            } else if (ch != '\r' && !c.overlong) {
                c.in += ch;
                if (c.in.size() > kMaxLine) {
                    c.overlong = true;
                    c.in.clear();
                }
            }
        }
        return answers;
    }

    std::string Command(const std::string& line, Millis now) {
        cm11asim::Action action;
        std::string answer = cm11asim::RunCommand(sim_, line, now, action);
        if (action == cm11asim::Action::kDrop) {
            if (client_.fd >= 0) {
                Note("dropping the connection");
                CloseConn(client_);
                sim_.LineChanged();
            } else {
                answer = "error: no TCP connection to drop\n";
            }
        } else if (action == cm11asim::Action::kQuit) {
            quit_ = true;
        }
        sim_.Tick(now);
        Deliver();
        return answer;
    }

    void Note(const char* what) const {
        if (verbose_) std::fprintf(stderr, "cm11a-sim: %s\n", what);
    }

    cm11asim::Interface sim_;
    bool verbose_;
    bool quit_ = false;
    int listenFd_ = -1, controlFd_ = -1, ptySlave_ = -1;
    int tcpPort_ = 0, controlPort_ = 0;
    std::string ptyPath_, link_;
    Conn client_, pty_, stdin_;
    std::vector<Conn> controls_;
};

bool ParseInt(const char* s, long min, long max, long& v) {
    char* end = nullptr;
    errno = 0;
    v = std::strtol(s, &end, 10);
    return errno == 0 && end != s && *end == '\0' && v >= min && v <= max;
}

}  // namespace

int main(int argc, char** argv) {
    long tcpPort = -1, controlPort = -1, pollMs = 1000, mains = 60;
    bool pty = false, verbose = false;
    double speed = 1.0;
    std::string link;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char* what) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "cm11a-sim: %s needs a value\n", what);
                std::exit(2);
            }
            return argv[++i];
        };
        long v = 0;
        if (a == "--tcp-port" || a == "--control-port") {
            if (!ParseInt(value(a.c_str()), 0, 65535, v)) {
                std::fprintf(stderr, "cm11a-sim: bad port for %s\n", a.c_str());
                return 2;
            }
            (a == "--tcp-port" ? tcpPort : controlPort) = v;
        } else if (a == "--pty") {
            pty = true;
        } else if (a == "--pty-link") {
            pty = true;
            link = value("--pty-link");
        } else if (a == "--fast") {
            speed = 20.0;
        } else if (a == "--speed") {
            const char* s = value("--speed");
            char* end = nullptr;
            speed = std::strtod(s, &end);
            if (end == s || *end != '\0' || !(speed >= 0.01 && speed <= 10000.0)) {
                std::fprintf(stderr, "cm11a-sim: --speed wants a number from 0.01 to 10000\n");
                return 2;
            }
        } else if (a == "--mains") {
            if (!ParseInt(value("--mains"), 50, 60, mains) || (mains != 50 && mains != 60)) {
                std::fprintf(stderr, "cm11a-sim: --mains wants 60 or 50\n");
                return 2;
            }
        } else if (a == "--poll-interval-ms") {
            if (!ParseInt(value("--poll-interval-ms"), 1, 600000, pollMs)) {
                std::fprintf(stderr, "cm11a-sim: bad --poll-interval-ms\n");
                return 2;
            }
        } else if (a == "--verbose") {
            verbose = true;
        } else if (a == "--help" || a == "-h") {
            PrintUsage(stdout);
            return 0;
        } else if (a == "--version") {
            quorvel::tools::PrintVersion(quorvel::tools::ToolName(argv[0], "cm11a-sim"));
            return 0;
        } else {
            std::fprintf(stderr, "cm11a-sim: unknown option %s\n", a.c_str());
            PrintUsage(stderr);
            return 2;
        }
    }
    if (tcpPort < 0 && !pty) tcpPort = 0;

    struct sigaction sa{};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no restart: poll() returns and the loop sees the flag
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    App app(cm11asim::Timing{speed, pollMs, 4800, static_cast<int>(mains)}, verbose);
    if (tcpPort >= 0 && !app.OpenTcp(static_cast<int>(tcpPort))) {
        std::fprintf(stderr, "cm11a-sim: cannot listen on 127.0.0.1:%ld: %s\n", tcpPort, std::strerror(errno));
        return 1;
    }
    if (controlPort >= 0 && !app.OpenControl(static_cast<int>(controlPort))) {
        std::fprintf(stderr, "cm11a-sim: cannot listen on 127.0.0.1:%ld: %s\n", controlPort, std::strerror(errno));
        return 1;
    }
    if (pty && !app.OpenPty(link)) {
        std::fprintf(stderr, "cm11a-sim: cannot create the pseudo-terminal\n");
        return 1;
    }
    app.PrintReady();
    return app.Run();
}
