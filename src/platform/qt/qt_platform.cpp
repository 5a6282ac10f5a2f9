#include "platform/qt/qt_platform.h"

#include "platform/qt/qt_links.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace quorvel::platform {

namespace {

class QtTimer : public Timer {
public:
    QtTimer() {
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (handler_) handler_();
        });
    }
    void SetInterval(int ms) override {
        interval_ = ms;
        if (enabled_) Restart();
    }
    int Interval() const override { return interval_; }
    void SetEnabled(bool enabled) override {
        if (enabled == enabled_) return;
        enabled_ = enabled;
        if (enabled_) {
            Restart();
        } else {
            timer_.stop();
        }
    }
    bool Enabled() const override { return enabled_; }
    void SetHandler(std::function<void()> handler) override { handler_ = std::move(handler); }

private:
    void Restart() {
        // A QTimer with interval 0 would fire on every pass of the event loop; ours never
        // fires until it gets a real interval.
        if (interval_ > 0) {
            timer_.start(interval_);
        } else {
            timer_.stop();
        }
    }

    QTimer timer_;
    int interval_ = 0;
    bool enabled_ = false;
    std::function<void()> handler_;
};

int g_signalPipe[2] = {-1, -1};

extern "C" void OnShutdownSignal(int signo) {
    const int saved = errno;
    const char byte = static_cast<char>(signo);
    if (g_signalPipe[1] >= 0) {
        [[maybe_unused]] auto n = ::write(g_signalPipe[1], &byte, 1);
    }
    errno = saved;
}

}  // namespace

std::uint64_t QtPlatform::NowMs() const {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::string QtPlatform::LocalDateTime() const {
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
    return buf;
}

std::unique_ptr<Timer> QtPlatform::CreateTimer() { return std::make_unique<QtTimer>(); }

std::unique_ptr<SerialPort> QtPlatform::CreateSerialPort() { return std::make_unique<QtSerialPort>(); }

std::unique_ptr<TcpSocket> QtPlatform::CreateTcpSocket() { return std::make_unique<QtTcpSocket>(); }

void QtPlatform::Quit(int exitCode) {
    quitRequested_ = true;
    exitCode_ = exitCode;
    QCoreApplication::exit(exitCode);
}

void InstallShutdownSignals(std::function<void(int)> onSignal) {
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read,
                                         QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                     [onSignal = std::move(onSignal)] {
                         char byte = 0;
                         while (::read(g_signalPipe[0], &byte, 1) == 1) onSignal(byte);
                     });
    struct sigaction sa {};
    sa.sa_handler = OnShutdownSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    // A closed standard error (quorvel ... 2>&1 | head) fails the write instead of ending
    // the process without its orderly shutdown.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace quorvel::platform
