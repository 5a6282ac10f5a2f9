#include "platform/sim/sim_platform.h"

namespace quorvel::platform {

namespace {

class SimTimer : public Timer {
public:
    explicit SimTimer(SimPlatform& sim) : sim_(sim) {}
    ~SimTimer() override { Unschedule(); }

    void SetInterval(int ms) override {
        interval_ = ms;
        if (enabled_) Reschedule();
    }
    int Interval() const override { return interval_; }
    void SetEnabled(bool enabled) override {
        if (enabled == enabled_) return;
        enabled_ = enabled;
        if (enabled_) {
            Reschedule();
        } else {
            Unschedule();
        }
    }
    bool Enabled() const override { return enabled_; }
    void SetHandler(std::function<void()> handler) override { handler_ = std::move(handler); }

private:
    void Unschedule() {
        if (scheduled_) sim_.Cancel(key_);
        scheduled_ = false;
    }
    void Reschedule() {
        Unschedule();
        if (interval_ <= 0) return;
        scheduled_ = true;
        key_ = sim_.Schedule(sim_.NowMs() + static_cast<std::uint64_t>(interval_), [this] { Fire(); });
    }
    void Fire() {
        scheduled_ = false;
        // Periodic: the next expiry is counted from this one, before the handler runs so
        // that a handler that disables or re-arms the timer sees the usual semantics.
        Reschedule();
        if (handler_) handler_();
    }

    SimPlatform& sim_;
    int interval_ = 0;
    bool enabled_ = false;
    bool scheduled_ = false;
    SimPlatform::Key key_{};
    std::function<void()> handler_;
};

}  // namespace

// The constructor and destructor live in sim_udp.cpp, where the network type is complete.

std::string SimPlatform::LocalDateTime() const { return localTime_; }

void SimPlatform::ProcessEvents() {
    ++pumpCalls_;
    RunDue(now_);
}

void SimPlatform::WaitForEvents(int maxMs) {
    ++waitCalls_;
    if (RunDue(now_)) return;
    const std::uint64_t limit = now_ + static_cast<std::uint64_t>(maxMs > 0 ? maxMs : 0);
    if (!queue_.empty() && queue_.begin()->first.first <= limit) {
        RunDue(queue_.begin()->first.first);
    } else {
        now_ = limit;
    }
}

std::unique_ptr<Timer> SimPlatform::CreateTimer() { return std::make_unique<SimTimer>(*this); }

std::unique_ptr<SerialPort> SimPlatform::CreateSerialPort() { return std::make_unique<SimSerialPort>(*this); }

std::unique_ptr<TcpSocket> SimPlatform::CreateTcpSocket() { return std::make_unique<SimTcpSocket>(*this); }

void SimPlatform::Quit(int exitCode) {
    quitRequested_ = true;
    exitCode_ = exitCode;
}

void SimPlatform::Post(std::function<void()> task, std::uint64_t delayMs) {
    Schedule(now_ + delayMs, std::move(task));
}

void SimPlatform::Advance(std::uint64_t ms) {
    const std::uint64_t target = now_ + ms;
    RunDue(target);
    if (now_ < target) now_ = target;
}

SimPlatform::Key SimPlatform::Schedule(std::uint64_t due, std::function<void()> task) {
    Key key{due, seq_++};
    queue_.emplace(key, std::move(task));
    return key;
}

void SimPlatform::Cancel(const Key& key) { queue_.erase(key); }

bool SimPlatform::RunDue(std::uint64_t until) {
    // One entry at a time, so that tasks which pump events themselves (re-entrance) see
    // a consistent queue and nothing runs twice.
    for (bool ran = false;; ran = true) {
        auto it = queue_.begin();
        if (it == queue_.end() || it->first.first > until) return ran;
        if (it->first.first > now_) now_ = it->first.first;
        auto task = std::move(it->second);
        queue_.erase(it);
        task();
    }
}

}  // namespace quorvel::platform
