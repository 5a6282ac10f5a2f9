// Logging and error reporting: the log file, debug lines, "Homeseer.Event" reports and the
// application's xAP send path, which holds messages back until the xAP node runs.
#pragma once

#include "platform/platform.h"
#include "xap/queued_message.h"
#include "xap/xap_sender.h"

#include <cstddef>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>

namespace quorvel::core {

inline constexpr const char* kAppName = "Quorvel";

// The failure being handled. A handler records it, then reports; LogToFile and ReportEvent
// append it to their line and clear it.
struct FailureRecord {
    int Number = 0;  // 0: no failure
    int Line = 0;
    std::string Description;

    bool Active() const { return Number != 0; }
    void Clear() { *this = FailureRecord{}; }
};

class Reporter {
public:
    explicit Reporter(const platform::Clock& clock);

    // AppFolder/Data/Quorvel.txt; empty until the folders are known (lines are then lost).
    void SetLogPath(std::filesystem::path path) { logPath_ = std::move(path); }
    const std::filesystem::path& LogPath() const { return logPath_; }
    void SetDebug(bool on) { debug_ = on; }
    bool Debug() const { return debug_; }
    void SetNode(xap::XapSender* node) { node_ = node; }
    void SetXapRunning(bool running) { xapRunning_ = running; }
    bool XapRunning() const { return xapRunning_; }
    // Every line written to the log file and every report also goes here (stderr in the
    // product, so that a service's journal shows them).
    void SetConsole(std::function<void(const std::string&)> console) { console_ = std::move(console); }

    FailureRecord& Failure() { return failure_; }
    // Records a caught failure as the one being handled.
    void Fail(const std::exception& e, int number = 1);
    void Fail(const std::string& description, int number = 1);

    void LogToFile(const std::string& app, const std::string& text);
    void DebugLog(const std::string& text);
    void ReportEvent(const std::string& app, const std::string& text);
    void SendXap(const std::string& target, const std::string& cls, const std::string& section,
                 const std::string& body);

    const std::deque<xap::xapQueuedMessage>& PendingXap() const { return pending_; }

private:
    void SendNow(const std::string& target, const std::string& cls, const std::string& section,
                 const std::string& body);

    const platform::Clock& clock_;
    std::filesystem::path logPath_;
    bool debug_ = false;
    bool xapRunning_ = false;
    xap::XapSender* node_ = nullptr;
    FailureRecord failure_;
    std::deque<xap::xapQueuedMessage> pending_;
    std::function<void(const std::string&)> console_;
};

// Runs body; a failure it throws is recorded and reported through ReportEvent with
// (kAppName, text), and the caller carries on.
template <typename F>
void Guarded(Reporter& reporter, const std::string& text, F&& body) {
    try {
        body();
    } catch (const std::exception& e) {
        reporter.Fail(e);
        reporter.ReportEvent(kAppName, text);
    }
}

}  // namespace quorvel::core
