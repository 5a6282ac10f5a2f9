// What the standalone benchmarks share: a monotonic clock, process memory, loopback
// addresses and an instant-answer CM11A played over TCP.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <csignal>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace quorvel::bench {


[[noreturn]] inline void Die(const std::string& what) { throw std::runtime_error(what); }

inline double NowMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

inline long RssKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

inline sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

// Plays the CM11A on a TCP connection: answers the checksum of each header/code pair and
// 0x55 to each 0x00, at once. Reports when the header of an address frame arrives (the
// first byte of a command) and when a function frame has been confirmed (the command done).
class FakeInterface {
public:
    struct Event {
        enum Kind { CommandStart, CommandDone } kind;
        double atMs;
        std::uint8_t code;  // address byte (CommandStart) or function byte (CommandDone)
    };

    FakeInterface() {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa = Loopback(0);
        if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(listenFd_, 4) != 0) {
            Die(std::string("interface listen: ") + std::strerror(errno));
        }
        socklen_t len = sizeof sa;
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
    }
    ~FakeInterface() {
        if (connFd_ >= 0) ::close(connFd_);
        ::close(listenFd_);
    }

    std::uint16_t port() const { return port_; }
    bool Connected() const { return connFd_ >= 0; }
    int connections() const { return connections_; }
    int powerFailAnswers() const { return powerFailAnswers_; }
    int strayBytes() const { return strayBytes_; }

    // Waits up to timeoutMs for bytes or a connection and handles them.
    void Pump(double timeoutMs) {
        pollfd p[2] = {{listenFd_, POLLIN, 0}, {connFd_, POLLIN, 0}};
        const nfds_t n = connFd_ >= 0 ? 2 : 1;
        const double t = std::max(0.0, timeoutMs);
        timespec ts{static_cast<time_t>(t / 1000.0), static_cast<long>(std::fmod(t, 1000.0) * 1e6)};
        if (::ppoll(p, n, &ts, nullptr) <= 0) return;
        if (p[0].revents & POLLIN) Accept();
        if (n == 2 && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) Read();
    }

    bool NextEvent(Event& e) {
        if (events_.empty()) return false;
        e = events_.front();
        events_.pop_front();
        return true;
    }

private:
    void Accept() {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        if (connFd_ >= 0) ::close(connFd_);  // a reconnection replaces the old link
        connFd_ = fd;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ++connections_;
        state_ = State::Header;
    }

    void Read() {
        unsigned char buf[4096];
        for (int i = 0; i < 64; ++i) {
            const ssize_t got = ::recv(connFd_, buf, sizeof buf, 0);
            const double at = NowMs();
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                ::close(connFd_);
                connFd_ = -1;
                return;
            }
            if (got < 0) return;
            for (ssize_t k = 0; k < got; ++k) Byte(buf[k], at);
        }
    }

    void Reply(std::uint8_t b) {
        if (::send(connFd_, &b, 1, MSG_NOSIGNAL) != 1) ++strayBytes_;
    }

    void Byte(std::uint8_t b, double at) {
        switch (state_) {
        case State::Header:
            if (b == 0x9B) {  // the computer's answer to a possible power failure
                ++powerFailAnswers_;
            } else if ((b & 0x04) == 0) {  // a header always has bit 2 set
                ++strayBytes_;
            } else {
                header_ = b;
                headerAt_ = at;
                state_ = State::Code;
            }
            break;
        case State::Code:
            code_ = b;
            // An address frame starts a command; it is reported once its address is known,
            // stamped with the arrival of the header.
            if ((header_ & 0x02) == 0) events_.push_back({Event::CommandStart, headerAt_, b});
            Reply(static_cast<std::uint8_t>((header_ + code_) & 0xFF));
            state_ = State::Confirm;
            break;
        case State::Confirm:
            if (b == 0x00) {
                Reply(0x55);
                if (header_ & 0x02) events_.push_back({Event::CommandDone, at, code_});
                state_ = State::Header;
            } else {  // the pair again (after a wrong checksum): a new exchange
                state_ = State::Header;
                Byte(b, at);
            }
            break;
        }
    }

    enum class State { Header, Code, Confirm };
    int listenFd_ = -1;
    int connFd_ = -1;
    std::uint16_t port_ = 0;
    State state_ = State::Header;
    std::uint8_t header_ = 0, code_ = 0;
    double headerAt_ = 0;
    int connections_ = 0;
    int powerFailAnswers_ = 0;
    int strayBytes_ = 0;
    std::deque<Event> events_;
};

// A child process with its standard output and error in logDir/<name>.out and .err;
// stopped (SIGTERM, then SIGKILL after 5 s) when it goes out of scope.
class Child {
public:
    Child(const std::filesystem::path& program, const std::vector<std::string>& args, const std::filesystem::path& logDir,
          const std::string& name)
        : name_(name) {
        std::vector<std::string> all{program.string()};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string out = (logDir / (name + ".out")).string();
        const std::string err = (logDir / (name + ".err")).string();
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int rc = ::posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) Die("cannot start " + program.string() + ": " + std::strerror(rc));
    }
    ~Child() { Stop(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    bool Running() {
        if (exited_) return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            status_ = status;
        }
        return !exited_;
    }
    // SIGTERM, up to five seconds for it to end, then SIGKILL. Returns a description.
    std::string Stop() {
        if (!Running()) return Describe();
        ::kill(pid_, SIGTERM);
        const double end = NowMs() + 5000;
        while (Running() && NowMs() < end) ::usleep(10000);
        if (Running()) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            exited_ = true;
            status_ = status;
            return name_ + " did not stop within 5 s of SIGTERM (killed)";
        }
        return Describe();
    }

private:
    std::string Describe() const {
        if (!exited_) return name_ + " running";
        if (WIFEXITED(status_)) return name_ + " exited with code " + std::to_string(WEXITSTATUS(status_));
        if (WIFSIGNALED(status_)) return name_ + " ended by signal " + std::to_string(WTERMSIG(status_));
        return name_ + " ended";
    }

    std::string name_;
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = 0;
};

// Nearest-rank statistics of a series of times in milliseconds.
struct Summary {
    std::size_t n = 0;
    double min = 0, median = 0, p90 = 0, p99 = 0, max = 0, mean = 0;
};

inline Summary Summarize(std::vector<double> v) {
    Summary s;
    s.n = v.size();
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    auto rank = [&](double q) {  // nearest rank
        const auto k = static_cast<std::size_t>(std::ceil(q * static_cast<double>(v.size())));
        return v[std::min(v.size() - 1, k == 0 ? 0 : k - 1)];
    };
    s.min = v.front();
    s.median = rank(0.5);
    s.p90 = rank(0.9);
    s.p99 = rank(0.99);
    s.max = v.back();
    double sum = 0;
    for (double x : v) sum += x;
    s.mean = sum / static_cast<double>(v.size());
    return s;
}

inline void PrintSummary(const char* label, const Summary& s) {
    std::printf("  %-26s n=%zu  min %.2f  median %.2f  p90 %.2f  p99 %.2f  max %.2f  mean %.2f ms\n", label, s.n,
                s.min, s.median, s.p90, s.p99, s.max, s.mean);
}

// As root, runs this program again inside a private network namespace with 'lo' up; the
// environment variable mark says it has been done.
inline void EnterNamespace(int argc, char** argv, const char* mark) {
    if (std::getenv(mark) != nullptr || ::geteuid() != 0) return;
    pid_t pid = -1;
    char unshare[] = "unshare", n[] = "-n", tru[] = "true";
    char* probe[] = {unshare, n, tru, nullptr};
    if (::posix_spawnp(&pid, "unshare", nullptr, nullptr, probe, environ) != 0) return;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return;
    std::error_code ec;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    if (ec) return;
    std::vector<std::string> args{"unshare", "-n", "--", "sh", "-c",
                                  "ip link set lo up 2>/dev/null || ifconfig lo up 2>/dev/null; exec \"$0\" \"$@\"",
                                  self};
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    std::vector<char*> av;
    for (auto& a : args) av.push_back(a.data());
    av.push_back(nullptr);
    ::setenv(mark, "1", 1);
    std::fflush(stdout);
    ::execvp("unshare", av.data());
    ::unsetenv(mark);  // exec failed: carry on here
}

}  // namespace quorvel::bench
