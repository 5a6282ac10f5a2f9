// Logging and error reporting: the log file, debug lines, "Homeseer.Event" reports and the
// application's xAP send path, which holds messages back until the xAP node runs.
//
// Whatever arrives from outside, what leaves here stays bounded: every line (log file,
// standard error, the Data item of a report) is cut at kMaxLineBytes with the count of bytes
// left out, control bytes are escaped; reports and log lines of one kind that repeat within
// a minute collapse into one summary line a minute; the log file is rotated at a size, and
// debug lines on standard error have a byte budget a minute.
//
// The kind of a line is the place in the code that raised it (its template), never text that
// a sender on the network chose. Lines raised while a received message is handled (inside a
// FromOutside scope) are kinds of their own, in a table of their own, so that a flood of
// odd messages can never take the place of the connector's own reports (link lost, link
// back, retries exceeded, start, stop).
#pragma once

#include "platform/platform.h"
#include "xap/queued_message.h"
#include "xap/xap_sender.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace quorvel::core {

inline constexpr const char* kAppName = "Quorvel";

// How much a line matters, as syslog and the journal rank it.
enum class Priority : int { Err = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };

// The priority of a report or log line by what it tells: a failure being handled or a
// CM11A port that cannot be opened is an error, a link lost or a request refused a warning,
// a start, stop, reload or a link back up a notice, the rest information.
Priority PriorityOf(std::string_view text, bool failure);

// The failure being handled. A handler records it, then reports; LogToFile and ReportEvent
// append it to their line and clear it.
struct FailureRecord {
    int Number = 0;  // 0: no failure
    int Line = 0;
    std::string Description;

    bool Active() const { return Number != 0; }
    void Clear() { *this = FailureRecord{}; }
};

// line with control bytes escaped as \xNN, cut after about maxBytes and then ending with
// " ... [N bytes left out]" (N counts the bytes of line that were not shown).
std::string BoundedLine(std::string_view line, std::size_t maxBytes);

class Reporter {
public:
    // Longest line written anywhere, before the "bytes left out" note.
    static constexpr std::size_t kMaxLineBytes = 2048;
    // Reports (and failure lines) of one kind within this window: the first kRepeatBurst go
    // out, the rest are counted and summed up in one line when the window ends; while they
    // keep coming, one summary a window.
    static constexpr std::uint64_t kRepeatWindowMs = 60000;
    static constexpr int kRepeatBurst = 5;
    // Kinds tracked per table (the connector's own, and those raised by received messages);
    // beyond it the new kinds of that table share one entry. The code has far fewer report
    // templates than this, so only a fault could fill the own table.
    static constexpr std::size_t kMaxKinds = 64;
    // Debug lines written to standard error per repeat window: a journal stays readable and
    // small while a debug run floods (everything is still in the log file, which is rotated).
    static constexpr std::size_t kConsoleDebugBytes = 256u * 1024u;
    // The log file is renamed to "<name>.1" (replacing an older one) when a line would take it
    // past this size.
    static constexpr std::uintmax_t kLogRotateBytes = 5u * 1024u * 1024u;
    // Messages held back while the xAP node is not running.
    static constexpr std::size_t kPendingLimit = 1000;

    // Without a timer, summaries of collapsed reports come with the next report or line.
    explicit Reporter(const platform::Clock& clock);
    // With the platform's timer, each summary comes when its window ends.
    explicit Reporter(platform::Platform& platform);
    ~Reporter();
    Reporter(const Reporter&) = delete;
    Reporter& operator=(const Reporter&) = delete;

    // AppFolder/Data/Quorvel.txt; empty until the folders are known (lines are then lost).
    void SetLogPath(std::filesystem::path path) { logPath_ = std::move(path); }
    const std::filesystem::path& LogPath() const { return logPath_; }
    void SetLogRotateBytes(std::uintmax_t bytes) { logRotateBytes_ = bytes; }
    void SetDebug(bool on) { debug_ = on; }
    bool Debug() const { return debug_; }
    void SetNode(xap::XapSender* node) { node_ = node; }
    void SetXapRunning(bool running) { xapRunning_ = running; }
    bool XapRunning() const { return xapRunning_; }
    // Every line written to the log file and every report also goes here (stderr in the
    // product, so that a service's journal shows them).
    void SetConsole(std::function<void(const std::string&)> console) { console_ = std::move(console); }
    // Instead of the console, for a service's journal: each report and log line once, with
    // its priority and without the application's name (the journal names the program);
    // debug lines only while Debug is on, at debug priority.
    using Journal = std::function<void(Priority, const std::string&)>;
    void SetJournal(Journal journal) { journal_ = std::move(journal); }
    // Sees the text of every report (with the failure it carries), repeats included.
    void SetReportWatcher(std::function<void(const std::string&)> watcher) { watcher_ = std::move(watcher); }

    // While one lives, the lines raised are caused by a received message: they are counted
    // apart from the connector's own.
    class FromOutside {
    public:
        explicit FromOutside(Reporter& r) : r_(r) { ++r_.outsideDepth_; }
        ~FromOutside() { --r_.outsideDepth_; }
        FromOutside(const FromOutside&) = delete;
        FromOutside& operator=(const FromOutside&) = delete;

    private:
        Reporter& r_;
    };

    FailureRecord& Failure() { return failure_; }
    // Records a caught failure as the one being handled.
    void Fail(const std::exception& e, int number = 1);
    void Fail(const std::string& description, int number = 1);

    // file and line: the template the line comes from (the caller's place in the code).
    void LogToFile(const std::string& app, const std::string& text, const char* file = __builtin_FILE(),
                   int line = __builtin_LINE());
    void DebugLog(const std::string& text);
    void ReportEvent(const std::string& app, const std::string& text, const char* file = __builtin_FILE(),
                     int line = __builtin_LINE());
    void SendXap(const std::string& target, const std::string& cls, const std::string& section,
                 const std::string& body);

    // Writes the summaries of every kind collapsed so far (the connector stops).
    void FlushRepeats();

    const std::deque<xap::xapQueuedMessage>& PendingXap() const { return pending_; }

private:
    enum class Channel : char { Log = 'L', Report = 'R' };
    // The place in the code a line was raised.
    struct CodeSite {
        const char* file;
        int line;
    };
    struct Repeats {
        std::uint64_t windowStartMs = 0;
        int passed = 0;            // lines let through in this window
        std::uint64_t left = 0;    // lines left out in this window
        std::string app, last;     // the last one left out, for the summary
    };

    void SendNow(const std::string& target, const std::string& cls, const std::string& section,
                 const std::string& body);
    // False when a line of its kind (where, and inside the connector's own lines the opening
    // of kindText) is to be left out: it is counted instead, and line is kept as the last one
    // for the summary.
    bool Admit(Channel channel, const CodeSite& where, const std::string& app,
               std::string_view kindText, std::string_view line);
    // Summary lines for every window that has ended by now (all of them when flushAll).
    void ExpireRepeats(bool flushAll);
    void ArmRepeatTimer();
    void WriteLogLine(const std::string& app, const std::string& text, bool debugLine = false,
                      bool toConsole = true);
    void WriteReport(const std::string& app, const std::string& data, Priority priority);
    void ToJournal(Priority priority, const std::string& app, const std::string& text);
    void WriteLine(const std::string& line, bool toConsole, bool debugLine = false);
    void ToConsole(const std::string& line, bool debugLine);
    // Counts a debug line of bytes against the budget of standard error (console or journal);
    // false when it is to be left out there.
    bool WithinDebugBudget(std::size_t bytes);
    // A line of the reporter's own on standard error (console or journal).
    void ConsoleNote(const std::string& text);
    // False when the line could not be written to the log file.
    bool AppendToLog(const std::string& line);
    void NoteLogWritten(bool written);

    const platform::Clock& clock_;
    std::unique_ptr<platform::Timer> repeatTimer_;
    std::filesystem::path logPath_;
    std::uintmax_t logRotateBytes_ = kLogRotateBytes;
    bool debug_ = false;
    bool xapRunning_ = false;
    xap::XapSender* node_ = nullptr;
    FailureRecord failure_;
    std::deque<xap::xapQueuedMessage> pending_;
    std::size_t pendingDropped_ = 0;
    std::function<void(const std::string&)> console_;
    Journal journal_;
    std::function<void(const std::string&)> watcher_;
    std::map<std::string, Repeats> repeats_;
    bool expiring_ = false;
    int outsideDepth_ = 0;
    // Standard error's debug budget in the current window.
    std::uint64_t consoleWindowStartMs_ = 0;
    std::size_t consoleDebugBytes_ = 0;
    std::uint64_t consoleDebugLeftOut_ = 0;
    // The log file could not be written (reported once); lines lost since.
    bool logFailing_ = false;
    std::uint64_t logLinesLost_ = 0;
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
