// Helpers for tests that start the real binaries: a child process with bounded waits and
// a temporary application folder. Every child is ended by its own PID, never by name.
#pragma once

#include <chrono>
#include <csignal>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "../unit/test_support/temp_dir.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quorvel::itest {

inline std::filesystem::path BinDir() { return QUORVEL_BIN_DIR; }

using test::TempDir;
inline std::string ReadFile(const std::filesystem::path& p) { return test::ReadBytes(p); }
inline void WriteFile(const std::filesystem::path& p, const std::string& text) { test::WriteBytes(p, text); }

// Settings that keep every xAP packet on loopback, and a ComPort (by default one that does
// not exist: tests never open the machine's own serial ports; the default "1" is /dev/ttyS0).
inline constexpr const char* kNoSerialPort = "/nonexistent/quorvel-test-serial";
inline constexpr const char* kLoopbackXapIni =
    "[Interface]\r\nInterfaceAddress=Default\r\nBroadcastAddress=127.255.255.255\r\n";
inline void WriteSafeIni(const std::filesystem::path& appFolder, const std::string& comPort = kNoSerialPort) {
    WriteFile(appFolder / "Config" / "zebXap.ini", kLoopbackXapIni);
    WriteFile(appFolder / "Config" / "Quorvel.ini", "[General]\r\nComPort=" + comPort + "\r\n");
}

// Polls cond every 10 ms until it holds or timeout passes.
template <typename F>
bool WaitFor(F cond, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

// A child process; stdout and stderr go to files in logDir. Ended by its PID (SIGKILL) if
// still running when destroyed.
class Process {
public:
    // outFd >= 0: stdout and stderr both go there instead.
    Process(const std::filesystem::path& program, std::vector<std::string> args, const std::filesystem::path& logDir,
            const std::string& name, int outFd = -1)
        : out_(logDir / (name + ".out")), err_(logDir / (name + ".err")) {
        args.insert(args.begin(), program.string());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        for (const int fd : {1, 2}) {
            if (outFd >= 0) posix_spawn_file_actions_adddup2(&fa, outFd, fd);
            else posix_spawn_file_actions_addopen(&fa, fd, (fd == 1 ? out_ : err_).c_str(),
                                                  O_WRONLY | O_CREAT | O_TRUNC, 0644);
        }
        const int rc = posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) throw std::runtime_error("cannot start " + program.string());
    }
    ~Process() {
        Signal(SIGKILL);
        Wait(std::chrono::seconds(10));
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    void Signal(int signo) { if (exitCode_ < 0) ::kill(pid_, signo); }
    // Waits up to timeout for the process to end; false while it still runs. A signal ending
    // it gives 128 + the signal number.
    bool Wait(std::chrono::milliseconds timeout) {
        return WaitFor([&] {
            int st = 0;
            if (exitCode_ < 0 && ::waitpid(pid_, &st, WNOHANG) == pid_)
                exitCode_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return exitCode_ >= 0;
        }, timeout);
    }
    bool Running() { return !Wait(std::chrono::milliseconds(0)); }
    int ExitCode() const { return exitCode_; }
    pid_t Pid() const { return pid_; }
    std::string Stdout() const { return ReadFile(out_); }
    std::string Stderr() const { return ReadFile(err_); }

private:
    pid_t pid_ = -1;
    int exitCode_ = -1;
    std::filesystem::path out_, err_;
};

// The connector, headless, on an application folder (its output files go there too).
inline std::vector<std::string> Headless(const std::filesystem::path& app) {
    return {"--headless", "--app-folder", app.string()};
}
inline Process Quorvel(const std::filesystem::path& app, const std::string& name = "quorvel") {
    return Process(BinDir() / "quorvel", Headless(app), app, name);
}

// An installed program (the system's own folders only), or empty.
inline std::filesystem::path FindProgram(const std::string& name) {
    for (const char* dir : {"/usr/sbin", "/usr/bin", "/usr/local/sbin", "/usr/local/bin"}) {
        const auto p = std::filesystem::path(dir) / name;
        if (::access(p.c_str(), X_OK) == 0) return p;
    }
    return {};
}

// Sends signo to a running process and expects it to end with exit code 0.
inline void ExpectCleanStop(Process& p, int signo = SIGTERM) {
    ASSERT_TRUE(p.Running()) << "ended with " << p.ExitCode() << "\n" << p.Stderr();
    p.Signal(signo);
    ASSERT_TRUE(p.Wait(std::chrono::seconds(10))) << "still running after signal " << signo << "\n" << p.Stderr();
    EXPECT_EQ(p.ExitCode(), 0) << p.Stderr();
}

inline sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A UDP socket on 127.0.0.1 (port 0: any free one) or a TCP connection to one.
class Socket {
public:
    static Socket Udp(std::uint16_t port = 0) {
        Socket s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in a = Loopback(port);
        socklen_t len = sizeof a;
        if (::bind(s.fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(s.fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
            s.port_ = ntohs(a.sin_port);
        } else {
            s.Close();
        }
        return s;
    }
    static Socket Tcp(int port) {
        Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a = Loopback(static_cast<std::uint16_t>(port));
        if (::connect(s.fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) s.Close();
        return s;
    }
    explicit Socket(int fd) : fd_(fd) {}
    Socket(Socket&& o) noexcept : fd_(std::exchange(o.fd_, -1)), port_(o.port_) {}
    Socket& operator=(Socket&& o) noexcept {
        Close();
        fd_ = std::exchange(o.fd_, -1);
        port_ = o.port_;
        return *this;
    }
    ~Socket() { Close(); }
    void Close() { if (fd_ >= 0) ::close(std::exchange(fd_, -1)); }
    bool ok() const { return fd_ >= 0; }
    std::uint16_t port() const { return port_; }
    void SendTo(std::uint16_t port, const std::string& text) {
        const sockaddr_in to = Loopback(port);
        ::sendto(fd_, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    void Write(const std::string& b) { ASSERT_EQ(::write(fd_, b.data(), b.size()), static_cast<ssize_t>(b.size())); }
    // The first datagram or chunk that arrives before timeout, or "".
    std::string Read(std::chrono::milliseconds timeout) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return "";
        static char buf[70000];
        const ssize_t r = ::read(fd_, buf, sizeof buf);
        return r > 0 ? std::string(buf, static_cast<std::size_t>(r)) : "";
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace quorvel::itest
