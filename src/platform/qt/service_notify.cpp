#include "platform/qt/service_notify.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>
#include <utility>

#if defined(__linux__)
#include <cstddef>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>
#endif

namespace quorvel::platform {

namespace {

template <typename Number>
std::optional<Number> ParseWhole(const char* text) {
    if (text == nullptr) return std::nullopt;
    const std::string_view s(text);
    Number value{};
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
    return value;
}

long OwnPid() {
#if defined(__linux__)
    return static_cast<long>(::getpid());
#else
    return 0;
#endif
}

}  // namespace

std::optional<int> WatchdogFeedIntervalMs(const char* watchdogUsec, const char* watchdogPid,
                                          long ownPid) {
    const auto usec = ParseWhole<unsigned long long>(watchdogUsec);
    if (!usec || *usec == 0) return std::nullopt;
    if (watchdogPid != nullptr) {
        const auto pid = ParseWhole<long>(watchdogPid);
        if (!pid || *pid != ownPid) return std::nullopt;
    }
    // Half the period, as the manager recommends; whole milliseconds, at least one.
    const unsigned long long ms = *usec / 2000;
    if (ms == 0) return 1;
    if (ms > 1'000'000'000ULL) return 1'000'000'000;
    return static_cast<int>(ms);
}

bool StderrIsJournal() {
#if defined(__linux__)
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) return false;
    const std::string_view text(stream);
    const auto colon = text.find(':');
    if (colon == text.npos) return false;
    const std::string device(text.substr(0, colon));
    const std::string inode(text.substr(colon + 1));
    const auto dev = ParseWhole<unsigned long long>(device.c_str());
    const auto ino = ParseWhole<unsigned long long>(inode.c_str());
    struct stat st {};
    return dev && ino && ::fstat(STDERR_FILENO, &st) == 0 && st.st_dev == *dev && st.st_ino == *ino;
#else
    return false;
#endif
}

ServiceNotifier::ServiceNotifier(Platform& platform, Report report)
    : platform_(platform), report_(std::move(report)) {
    if (const char* s = std::getenv("NOTIFY_SOCKET"); s != nullptr && *s != '\0') {
        socket_ = s;
        watchdogMs_ = WatchdogFeedIntervalMs(std::getenv("WATCHDOG_USEC"),
                                             std::getenv("WATCHDOG_PID"), OwnPid());
    }
    if (const char* d = std::getenv("RUNTIME_DIRECTORY"); d != nullptr && *d == '/') runtimeDir_ = d;
}

ServiceNotifier::~ServiceNotifier() = default;

void ServiceNotifier::Ready() {
    started_ = true;
    if (!Enabled()) return;
    ready_ = true;
    Notify("READY=1");
    if (!status_.empty()) Notify("STATUS=" + status_);
    if (watchdogMs_ && !watchdog_) {
        watchdog_ = platform_.CreateTimer();
        watchdog_->SetHandler([this] { Notify("WATCHDOG=1"); });
        watchdog_->Arm(*watchdogMs_);
    }
}

void ServiceNotifier::Status(const std::string& text) {
    if (!Enabled() || text == status_) return;
    status_ = text;
    if (ready_) Notify("STATUS=" + text);  // else with READY=1
}

void ServiceNotifier::Reloading() {
    if (!ready_ || reloading_) return;
    std::string state = "RELOADING=1";
#if defined(__linux__)
    timespec now{};
    if (::clock_gettime(CLOCK_MONOTONIC, &now) == 0) {
        const auto usec = static_cast<unsigned long long>(now.tv_sec) * 1000000ULL +
                          static_cast<unsigned long long>(now.tv_nsec) / 1000ULL;
        state += "\nMONOTONIC_USEC=" + std::to_string(usec);
    }
#endif
    reloading_ = Notify(state);
}

void ServiceNotifier::Reloaded() {
    if (reloading_) {
        reloading_ = false;
        Notify("READY=1");
    }
    if (!started_ || runtimeDir_.empty()) return;
    const std::string done = runtimeDir_ + "/reloaded";
    std::FILE* f = std::fopen(done.c_str(), "w");
    if (f == nullptr) {
        if (report_) report_("Service notification failed (cannot write " + done + ": " + std::strerror(errno) + ")");
        return;
    }
    std::fclose(f);
}

bool ServiceNotifier::Notify(const std::string& state) {
    if (!Enabled()) return false;
    std::string problem;
#if defined(__linux__)
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const bool isPath = socket_.front() == '/';
    const bool isAbstract = socket_.front() == '@';
    if ((!isPath && !isAbstract) || socket_.size() >= sizeof addr.sun_path) {
        problem = "unusable NOTIFY_SOCKET '" + socket_ + "'";
    } else {
        std::memcpy(addr.sun_path, socket_.data(), socket_.size());
        if (isAbstract) addr.sun_path[0] = '\0';
        // A path is passed with its terminating zero; an abstract name is exactly its bytes.
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) +
                                                   socket_.size() + (isPath ? 1 : 0));
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            problem = std::string("socket: ") + std::strerror(errno);
        } else {
            const auto sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                                       reinterpret_cast<const sockaddr*>(&addr), length);
            if (sent != static_cast<ssize_t>(state.size()))
                problem = "send to " + socket_ + ": " + std::strerror(errno);
            ::close(fd);
        }
    }
#else
    problem = "not supported on this system";
#endif
    if (problem.empty()) {
        failing_ = false;
        return true;
    }
    if (!failing_ && report_) report_("Service notification failed (" + problem + ")");
    failing_ = true;
    return false;
}

}  // namespace quorvel::platform
