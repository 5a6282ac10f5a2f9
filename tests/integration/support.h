// Helpers for tests that start the real binaries: a child process with bounded waits and
// a temporary application folder. Every child is ended by its own PID, never by name.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quorvel::itest {

inline std::filesystem::path BinDir() { return QUORVEL_BIN_DIR; }

class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "quorvel-it-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline void WriteFile(const std::filesystem::path& p, const std::string& text) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary);
    out << text;
}

inline std::string ReadFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Settings that keep every xAP packet on loopback.
inline void WriteLoopbackXapIni(const std::filesystem::path& appFolder) {
    WriteFile(appFolder / "Config" / "zebXap.ini",
              "[Interface]\r\nInterfaceAddress=Default\r\nBroadcastAddress=127.255.255.255\r\n");
}

// A serial port that does not exist: tests never open the machine's own serial ports (the
// default ComPort "1" is /dev/ttyS0).
inline constexpr const char* kNoSerialPort = "/nonexistent/quorvel-test-serial";
inline void WriteHarmlessComPort(const std::filesystem::path& appFolder) {
    WriteFile(appFolder / "Config" / "Quorvel.ini",
              std::string("[General]\r\nComPort=") + kNoSerialPort + "\r\n");
}

class Process {
public:
    // Starts program with args; stdout and stderr go to files in logDir.
    Process(const std::filesystem::path& program, const std::vector<std::string>& args,
            const std::filesystem::path& logDir, const std::string& name) {
        outPath_ = logDir / (name + ".out");
        errPath_ = logDir / (name + ".err");
        std::vector<std::string> all{program.string()};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int rc = posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) throw std::runtime_error("cannot start " + program.string());
    }
    ~Process() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    void Signal(int signo) { if (!exited_) ::kill(pid_, signo); }

    // Waits up to timeout for the process to end; returns false when it is still running.
    bool Wait(std::chrono::milliseconds timeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!exited_) {
            int status = 0;
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                exited_ = true;
                if (WIFEXITED(status)) exitCode_ = WEXITSTATUS(status);
                else if (WIFSIGNALED(status)) exitCode_ = 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() >= end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    bool Running() { return !Wait(std::chrono::milliseconds(0)); }
    int ExitCode() const { return exitCode_; }
    std::string Stdout() const { return ReadFile(outPath_); }
    std::string Stderr() const { return ReadFile(errPath_); }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    int exitCode_ = -1;
    std::filesystem::path outPath_, errPath_;
};

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

}  // namespace quorvel::itest
