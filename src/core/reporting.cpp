#include "core/reporting.h"

#include <fstream>
#include <stdexcept>

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

}  // namespace

Reporter::Reporter(const platform::Clock& clock) : clock_(clock) {}

void Reporter::Fail(const std::exception& e, int number) { Fail(std::string(e.what()), number); }

void Reporter::Fail(const std::string& description, int number) {
    failure_.Number = number == 0 ? 1 : number;
    failure_.Line = 0;
    failure_.Description = description;
}

void Reporter::LogToFile(const std::string& app, const std::string& text) {
    const std::string errinfo = std::to_string(failure_.Line) + " " + failure_.Description;
    const std::string line = app + " " + text + " " + errinfo;
    failure_.Clear();
    if (console_) console_(line);
    if (logPath_.empty()) return;
    // Opening in append mode creates a missing file; a folder that cannot be written loses
    // the line, never the connector.
    std::ofstream out(logPath_, std::ios::binary | std::ios::app);
    if (!out) return;
    out << line << "\r\n";
}

void Reporter::DebugLog(const std::string& text) {
    if (!debug_) return;
    LogToFile(clock_.LocalDateTime() + " | " + text, "");
}

void Reporter::ReportEvent(const std::string& app, const std::string& text) {
    std::string errtext;
    if (failure_.Active()) {
        errtext = " Line " + std::to_string(failure_.Line) + " " + failure_.Description;
        failure_.Clear();
    }
    if (console_ && !debug_) console_(app + " | " + text + errtext);
    DebugLog(app + " | " + text + errtext);
    const std::string body =
        xap::ItemList({{"Time", clock_.LocalDateTime()}, {"Type", app}, {"Data", text + errtext}});
    SendXap("", "Homeseer.Event", "Event.Log", body);
}

void Reporter::SendXap(const std::string& target, const std::string& cls,
                       const std::string& section, const std::string& body) {
    if (!xapRunning_) {
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
