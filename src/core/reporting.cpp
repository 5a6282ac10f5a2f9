#include "core/reporting.h"

#include "core/settings.h"

#include <algorithm>
#include <fstream>
#include <initializer_list>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

namespace quorvel::core {

namespace {

// Item lists carry the control characters 0 and 1; a text log gets readable separators.
std::string Printable(const std::string& body) {
    std::string out = body;
    for (char& c : out) {
        if (c == '\0') c = '|';
        else if (c == '\1') c = '=';
    }
    return out;
}

// The kind of one of the connector's own lines within its template, for collapsing repeats:
// its opening up to the first "=", ":" or quote (where values begin), at most 48 bytes, with
// every run of digits (and a device code as a whole) as one "#", so that reports that differ
// only in a device, a count or a port are one kind.
std::string KindOf(std::string_view text) {
    std::string kind;
    for (std::size_t i = 0; i < text.size() && kind.size() < 48; ++i) {
        const char c = text[i];
        if (c == '=' || c == ':' || c == '"') break;
        if (c >= '0' && c <= '9') {
            if (kind.empty() || kind.back() != '#') {
                // A device code (a letter and digits) is one value too.
                const std::size_t n = kind.size();
                const bool letter = n > 0 && ((kind[n - 1] >= 'A' && kind[n - 1] <= 'Z') ||
                                              (kind[n - 1] >= 'a' && kind[n - 1] <= 'z'));
                if (letter && (n == 1 || kind[n - 2] == ' ' || kind[n - 2] == ',')) kind.pop_back();
                kind.push_back('#');
            }
        } else {
            kind.push_back(c);
        }
    }
    return kind;
}

std::string Seconds(std::uint64_t ms) { return std::to_string((ms + 500) / 1000); }

// The template a line comes from: its place in the code.
std::string Site(const char* fileName, int line) {
    std::string_view file = fileName != nullptr ? fileName : "";
    if (const auto slash = file.find_last_of("/\\"); slash != std::string_view::npos) file.remove_prefix(slash + 1);
    return std::string(file) + ":" + std::to_string(line) + "|";
}

bool HasAny(std::string_view text, std::initializer_list<std::string_view> parts) {
    return std::any_of(parts.begin(), parts.end(), [text](std::string_view p) { return text.find(p) != text.npos; });
}

}  // namespace

Priority PriorityOf(std::string_view text, bool failure) {
    if (failure || HasAny(text, {"Unable to", "OpenPort", "PortOpen", "could not start", "Init Error", "cannot start"}))
        return Priority::Err;
    // The settings in effect, at start-up and after a reload.
    if (HasAny(text, {"Starting: version", "Settings: version", "Settings reloaded: version"})) return Priority::Notice;
    if (HasAny(text, {"closed after error", "Connect Closed", "Winsock1_Error", "OnCommERROR", "cannot", "damaged",
                      "refused", "not saved", "not understood", "failed", "overflow", "left out", "more than",
                      " lost", "unreachable", "Settings: ", "dropped", "went away", "need replacing"}))
        return Priority::Warning;
    if (HasAny(text, {"link up on", "reconnected", "opened again", "settings reloaded", "Stopping", "Using xAP port",
                      "MQTT connected", "MQTT start", "running headless"}))
        return Priority::Notice;
    return Priority::Info;
}

std::string BoundedLine(std::string_view line, std::size_t maxBytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(std::min(line.size(), maxBytes) + 32);
    std::size_t i = 0;
    for (; i < line.size(); ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7F) {
            if (out.size() + 4 > maxBytes) break;
            out += "\\x";
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        } else {
            if (out.size() + 1 > maxBytes) break;
            out.push_back(static_cast<char>(c));
        }
    }
    if (i == line.size()) return out;
    // Not in the middle of a UTF-8 sequence: bytes from 0x80 up are copied one for one, so
    // the tail of out is the tail of what was taken.
    if ((static_cast<unsigned char>(line[i]) & 0xC0) == 0x80) {
        std::size_t j = i;
        while (j > 0 && i - j < 4 && (static_cast<unsigned char>(line[j - 1]) & 0xC0) == 0x80) --j;
        if (j > 0 && i - j < 4 && (static_cast<unsigned char>(line[j - 1]) & 0xC0) == 0xC0) --j;
        if (i - j <= out.size() && i - j < 4) {
            out.resize(out.size() - (i - j));
            i = j;
        }
    }
    out += " ... [" + std::to_string(line.size() - i) + " bytes left out]";
    return out;
}

Reporter::Reporter(const platform::Clock& clock) : clock_(clock) {}

Reporter::Reporter(platform::Platform& platform) : clock_(platform), repeatTimer_(platform.CreateTimer()) {
    repeatTimer_->SetHandler([this] {
        repeatTimer_->SetEnabled(false);
        ExpireRepeats(false);
    });
}

Reporter::~Reporter() {
    if (repeatTimer_) repeatTimer_->SetEnabled(false);
}

void Reporter::Fail(const std::exception& e, int number) { Fail(std::string(e.what()), number); }

void Reporter::Fail(const std::string& description, int number) {
    failure_.Number = number == 0 ? 1 : number;
    failure_.Line = 0;
    failure_.Description = description;
}

void Reporter::LogToFile(const std::string& app, const std::string& text, const char* file, int line) {
    const CodeSite where{file, line};
    const std::string errinfo = std::to_string(failure_.Line) + " " + failure_.Description;
    if (!Admit(Channel::Log, where, app, app + " " + text, app + " " + text + " " + errinfo)) {
        failure_.Clear();
        return;
    }
    if (journal_) {
        const bool failed = failure_.Active();
        const std::string shown(failed ? std::string(Trim(text)) + ": " + failure_.Description : text);
        ToJournal(PriorityOf(text, failed), app, shown);
    }
    WriteLogLine(app, text);
}

void Reporter::WriteLogLine(const std::string& app, const std::string& text, bool debugLine, bool toConsole) {
    const std::string errinfo = std::to_string(failure_.Line) + " " + failure_.Description;
    failure_.Clear();
    WriteLine(app + " " + text + " " + errinfo, toConsole, debugLine);
}

bool Reporter::WithinDebugBudget(std::size_t bytes) {
    const std::uint64_t now = clock_.NowMs();
    if (now - consoleWindowStartMs_ >= kRepeatWindowMs) {
        const std::uint64_t leftOut = std::exchange(consoleDebugLeftOut_, 0);
        if (leftOut > 0) {
            ConsoleNote(std::to_string(leftOut) + " debug lines left out here in the last " +
                        Seconds(now - consoleWindowStartMs_) + " s; the log file has them");
        }
        consoleWindowStartMs_ = now;
        consoleDebugBytes_ = 0;
    }
    if (consoleDebugBytes_ + bytes > kConsoleDebugBytes) {
        ++consoleDebugLeftOut_;
        return false;
    }
    consoleDebugBytes_ += bytes;
    return true;
}

void Reporter::ConsoleNote(const std::string& text) {
    if (journal_) {
        journal_(Priority::Notice, text);
    } else if (console_) {
        console_(text);
    }
}

void Reporter::ToConsole(const std::string& line, bool debugLine) {
    if (!console_ || journal_) return;
    if (debugLine && !WithinDebugBudget(line.size())) return;
    console_(line);
}

void Reporter::WriteLine(const std::string& rawLine, bool toConsole, bool debugLine) {
    const std::string line = BoundedLine(rawLine, kMaxLineBytes);
    if (toConsole) ToConsole(line, debugLine);
    if (logPath_.empty()) return;
    NoteLogWritten(AppendToLog(line));
}

bool Reporter::AppendToLog(const std::string& line) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(logPath_, ec);
    if (!ec && size + line.size() + 2 > logRotateBytes_ && size > 0) {
        // One older file is kept; a rename that fails leaves the file growing rather than
        // losing lines.
        std::filesystem::path older = logPath_;
        older += ".1";
        std::filesystem::rename(logPath_, older, ec);
    }
    // Opening in append mode creates a missing file; a folder that cannot be written loses
    // the line, never the connector.
    std::ofstream out(logPath_, std::ios::binary | std::ios::app);
    if (!out) return false;
    out << line << "\r\n";
    out.flush();
    return static_cast<bool>(out);
}

void Reporter::NoteLogWritten(bool written) {
    // Once when the log stops taking lines and once when it takes them again, on standard
    // error and the network (never through the log that fails).
    if (!written) {
        ++logLinesLost_;
        if (logFailing_) return;
        logFailing_ = true;
        WriteReport(kAppName, "Log file " + logPath_.string() + " cannot be written; its lines are lost until it can",
                    Priority::Err);
    } else if (logFailing_) {
        logFailing_ = false;
        const std::uint64_t lost = std::exchange(logLinesLost_, 0);
        WriteReport(kAppName, "Log file " + logPath_.string() + " is written again; " + std::to_string(lost) +
                                  " lines were lost",
                    Priority::Notice);
    }
}

void Reporter::ToJournal(Priority priority, const std::string& app, const std::string& text) {
    if (!journal_) return;
    const std::string line = BoundedLine(app.empty() || app == kAppName ? text : app + " | " + text, kMaxLineBytes);
    if (priority == Priority::Debug && !WithinDebugBudget(line.size())) return;
    journal_(priority, line);
}

void Reporter::DebugLog(const std::string& text) {
    if (!debug_) return;
    ToJournal(Priority::Debug, "", text);
    WriteLogLine(clock_.LocalDateTime() + " | " + text, "", true);
}

void Reporter::ReportEvent(const std::string& app, const std::string& text, const char* file, int line) {
    const CodeSite where{file, line};
    std::string errtext;
    if (failure_.Active()) {
        errtext = " Line " + std::to_string(failure_.Line) + " " + failure_.Description;
        failure_.Clear();
    }
    if (watcher_) watcher_(text + errtext);
    if (!Admit(Channel::Report, where, app, app + " | " + text, text + errtext)) return;
    WriteReport(app, text + errtext, PriorityOf(text, !errtext.empty()));
}

void Reporter::WriteReport(const std::string& app, const std::string& data, Priority priority) {
    // On the journal or standard error as a report (never within the debug budget); with
    // Debug on, in the log file as a debug line too.
    if (journal_) {
        ToJournal(priority, app, data);
    } else {
        ToConsole(BoundedLine(app + " | " + data, kMaxLineBytes), false);
    }
    if (debug_) WriteLogLine(clock_.LocalDateTime() + " | " + app + " | " + data, "", true, false);
    const std::string body = xap::ItemList(
        {{"Time", clock_.LocalDateTime()}, {"Type", app}, {"Data", BoundedLine(data, kMaxLineBytes)}});
    SendXap("", "Homeseer.Event", "Event.Log", body);
}

bool Reporter::Admit(Channel channel, const CodeSite& where, const std::string& app,
                     std::string_view kindText, std::string_view line) {
    if (expiring_) return true;  // summaries, and what writing them causes, always pass
    ExpireRepeats(false);
    // Channel, table, template; the connector's own lines also by their opening, which is
    // the connector's text (a sender's text only ever reaches lines raised from outside).
    const bool outside = outsideDepth_ > 0;
    const std::string table{static_cast<char>(channel), outside ? 'O' : 'I'};
    std::string key = table + Site(where.file, where.line);
    if (!outside) key += KindOf(kindText);
    auto it = repeats_.find(key);
    if (it == repeats_.end()) {
        const auto kinds = std::count_if(repeats_.begin(), repeats_.end(),
                                         [&](const auto& entry) { return entry.first.starts_with(table); });
        if (static_cast<std::size_t>(kinds) >= kMaxKinds) {
            key = table + "*";  // too many kinds: one for the rest of this table
            it = repeats_.find(key);
        }
        if (it == repeats_.end()) {
            Repeats fresh;
            fresh.windowStartMs = clock_.NowMs();
            fresh.passed = 1;
            repeats_.emplace(key, std::move(fresh));
            return true;
        }
    }
    Repeats& r = it->second;
    if (r.passed < kRepeatBurst) {
        ++r.passed;
        return true;
    }
    r.app = app;
    r.last = BoundedLine(line, kMaxLineBytes);
    if (++r.left == 1) ArmRepeatTimer();
    return false;
}

void Reporter::ExpireRepeats(bool flushAll) {
    if (expiring_ || repeats_.empty()) return;
    const std::uint64_t now = clock_.NowMs();
    struct Summary { Channel channel; std::string app, text; };
    std::vector<Summary> summaries;
    for (auto it = repeats_.begin(); it != repeats_.end();) {
        Repeats& r = it->second;
        const bool ended = now - r.windowStartMs >= kRepeatWindowMs;
        if (!ended && !(flushAll && r.left > 0)) {
            ++it;
            continue;
        }
        if (r.left == 0) {
            it = repeats_.erase(it);
            continue;
        }
        const std::string note = std::to_string(r.left) + " more like this in the last " +
                                 Seconds(now - r.windowStartMs) + " s: ";
        summaries.push_back({static_cast<Channel>(it->first[0]), r.app, note + r.last});
        // Still coming: the next window lets nothing through before its summary.
        r.windowStartMs = now;
        r.passed = kRepeatBurst;
        r.left = 0;
        r.last.clear();
        ++it;
    }
    if (!summaries.empty()) {
        expiring_ = true;
        const FailureRecord saved = std::exchange(failure_, FailureRecord{});
        for (const Summary& s : summaries) {
            if (s.channel == Channel::Log) {
                ToJournal(PriorityOf(s.text, false), "", s.text);
                WriteLine(std::string(kAppName) + " " + s.text, true);
            } else {
                WriteReport(s.app, s.text, PriorityOf(s.text, false));
            }
        }
        failure_ = saved;
        expiring_ = false;
    }
    ArmRepeatTimer();
}

void Reporter::ArmRepeatTimer() {
    if (!repeatTimer_) return;
    std::uint64_t due = 0;
    bool any = false;
    for (const auto& [key, r] : repeats_) {
        if (r.left == 0) continue;
        const std::uint64_t end = r.windowStartMs + kRepeatWindowMs;
        if (!any || end < due) due = end;
        any = true;
    }
    if (!any) {
        repeatTimer_->SetEnabled(false);
        return;
    }
    const std::uint64_t now = clock_.NowMs();
    const std::uint64_t wait = due > now ? due - now : 1;
    repeatTimer_->SetInterval(static_cast<int>(std::min<std::uint64_t>(wait, kRepeatWindowMs)));
    repeatTimer_->SetEnabled(true);
}

void Reporter::FlushRepeats() {
    ExpireRepeats(true);
    if (consoleDebugLeftOut_ > 0) {
        ConsoleNote(std::to_string(std::exchange(consoleDebugLeftOut_, 0)) +
                    " debug lines left out here at the end; the log file has them");
    }
}

void Reporter::SendXap(const std::string& target, const std::string& cls,
                       const std::string& section, const std::string& body) {
    if (!xapRunning_) {
        if (pending_.size() >= kPendingLimit) {
            ++pendingDropped_;
            return;
        }
        xap::xapQueuedMessage record;
        record.MsgTarget = target;
        record.MsgClass = cls;
        record.MsgSection = section;
        record.MsgData = body;
        pending_.push_back(std::move(record));
        return;
    }
    while (!pending_.empty()) {
        const xap::xapQueuedMessage record = std::move(pending_.front());
        pending_.pop_front();
        SendNow(record.MsgTarget, record.MsgClass, record.MsgSection, record.MsgData);
    }
    if (pendingDropped_ > 0) {
        const std::string data = std::to_string(pendingDropped_) + " more messages were left out while the xAP "
                                 "node was not running";
        pendingDropped_ = 0;
        SendNow("", "Homeseer.Event", "Event.Log",
                xap::ItemList({{"Time", clock_.LocalDateTime()}, {"Type", kAppName}, {"Data", data}}));
    }
    SendNow(target, cls, section, body);
}

void Reporter::SendNow(const std::string& target, const std::string& cls,
                       const std::string& section, const std::string& body) {
    try {
        if (node_ == nullptr) throw std::runtime_error("xAP node not loaded");
        node_->SendXap(target, cls, section, body, "", "");
    } catch (const std::exception& e) {
        Fail(e);
        LogToFile(kAppName, "SendXap  " + Printable(body));
    }
}

}  // namespace quorvel::core
