// Readiness and watchdog notifications to the service manager (systemd with Type=notify),
// over its datagram protocol: NOTIFY_SOCKET names an AF_UNIX socket (a path, or an abstract
// name written with a leading "@"); each notification is one datagram of NAME=value lines.
// WATCHDOG_USEC (and WATCHDOG_PID, when set, naming this process) asks for "WATCHDOG=1"
// at least that often. Outside a service manager none of these is set and nothing is sent.
#pragma once

#include "platform/platform.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quorvel::platform {

// How often to feed the watchdog: half of WATCHDOG_USEC in milliseconds (at least 1), or
// nothing when the manager asks for no watchdog, the value is not a positive number, or
// WATCHDOG_PID names another process.
std::optional<int> WatchdogFeedIntervalMs(const char* watchdogUsec, const char* watchdogPid,
                                          long ownPid);

// True when standard error goes to the journal: JOURNAL_STREAM ("device:inode") names the
// file that standard error is. Lines written there may then start with a "<N>" priority.
bool StderrIsJournal();

class ServiceNotifier {
public:
    using Report = std::function<void(const std::string&)>;

    // Reads the environment once. Problems (an unusable NOTIFY_SOCKET, a failed send) go
    // to report, once each until a send works again.
    ServiceNotifier(Platform& platform, Report report);
    ~ServiceNotifier();
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    // True when run by a service manager that listens for notifications.
    bool Enabled() const { return !socket_.empty(); }

    // Start-up is over: sends READY=1 and starts feeding the watchdog from the event loop
    // when one was asked for, so that a loop that stops turning stops feeding it.
    void Ready();
    // Sends one notification (for example "STOPPING=1"); false when nothing was sent.
    bool Notify(const std::string& state);
    // The one-line state the manager shows (systemctl status); sent when it changes.
    void Status(const std::string& text);
    // Around a reload of the settings, once start-up is over: "RELOADING=1" (with the
    // monotonic time, as newer managers want it) before, "READY=1" when it is done. A manager
    // that ends a reload when its reload command ends (systemd 252) is helped by the file
    // "reloaded" made in RUNTIME_DIRECTORY when it is done: the unit's command waits for it.
    void Reloading();
    void Reloaded();

private:
    Platform& platform_;
    Report report_;
    std::string socket_;
    std::optional<int> watchdogMs_;
    std::unique_ptr<Timer> watchdog_;
    bool failing_ = false;
    std::string runtimeDir_;
    bool started_ = false;  // start-up is over
    bool ready_ = false;
    bool reloading_ = false;
    std::string status_;
};

}  // namespace quorvel::platform
