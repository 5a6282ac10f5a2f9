#include "app/request_handler.h"

#include "app/configuration.h"
#include "cm11a/cm11a_engine.h"
#include "cm11a/codes.h"
#include "cm11a/extended.h"
#include "xap/xap_message.h"

#include <bitset>
#include <cfenv>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>

namespace quorvel::app {

// A parsed message with the questions request handling asks of it.
class XapMessageView {
public:
    XapMessageView(const std::string& text, const std::string& headerOpening, Reporter& reporter)
        : msg_(headerOpening, &reporter) {
        msg_.FromXap(text);
    }
    const xap::XapMessage& operator*() const { return msg_; }
    const xap::XapMessage* operator->() const { return &msg_; }

    // Addressed to us: the target matches pattern (wildcards included) or there is none.
    bool For(const std::string& pattern) const {
        const std::string& target = msg_.MsgTarget();
        return target.empty() || target == "Unknown" || msg_.CompareTarget(pattern);
    }

private:
    xap::XapMessage msg_;
};

namespace {

// The received text on one log line: line feeds as "|", carriage returns as "~".
std::string Printable(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (c == '\n') c = '|';
        else if (c == '\r') c = '~';
    }
    return out;
}

std::vector<std::string> SplitDevices(const std::string& list) {
    std::vector<std::string> out;
    if (list.empty()) return out;  // an absent item names no device
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = list.find(',', start);
        out.push_back(list.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}

// Devices refused for one reason: how many, and the first few by name.
class Refused {
public:
    explicit Refused(std::string reason) : reason_(std::move(reason)) {}
    void Add(const std::string& device) {
        if (names_.size() < RequestHandler::kDevicesNamed) {
            // An entry can be any text up to a whole datagram long.
            names_.push_back(device.size() > 16 ? device.substr(0, 16) + "..." : device);
        }
        ++count_;
    }
    std::size_t Count() const { return count_; }
    // "3 not device codes (Q1, A0, X)"; "16000 beyond ... (A1, A2, A3, A4, A5 and 15995 more)".
    std::string Text() const {
        std::string out = std::to_string(count_) + " " + reason_ + " (";
        for (std::size_t i = 0; i < names_.size(); ++i) out += (i ? ", " : "") + names_[i];
        if (count_ > names_.size()) out += " and " + std::to_string(count_ - names_.size()) + " more";
        return out + ")";
    }

private:
    std::string reason_;
    std::vector<std::string> names_;
    std::size_t count_ = 0;
};

}  // namespace

int LeadingCount(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    // Only a plain decimal number is taken: sign, digits, one point.
    std::string number;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) number.push_back(text[i++]);
    bool digits = false, point = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            digits = true;
            number.push_back(c);
        } else if (c == '.' && !point) {
            point = true;
            number.push_back(c);
        } else {
            break;
        }
        if (number.size() > 40) throw std::overflow_error("Overflow");
    }
    if (!digits) return 0;
    // Read with "." as the decimal point whatever the system locale says (strtod would read
    // "2.6" as 2 under a German one).
    double value = 0;
    const char* first = number.data() + (number.front() == '+' ? 1 : 0);
    std::from_chars(first, number.data() + number.size(), value);
    const int saved = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double rounded = std::nearbyint(value);
    std::fesetround(saved);
    if (rounded < std::numeric_limits<std::int16_t>::min() ||
        rounded > std::numeric_limits<std::int16_t>::max()) {
        throw std::overflow_error("Overflow");
    }
    return static_cast<int>(rounded);
}

RequestHandler::RequestHandler(Reporter& reporter, const Settings& settings, RequestActions actions)
    : reporter_(reporter), settings_(settings), actions_(std::move(actions)) {}

void RequestHandler::Readmessage(const std::string& text) {
    const Reporter::FromOutside outside(reporter_);
    try {
        const XapMessageView m(text, actions_.HeaderOpening ? actions_.HeaderOpening() : std::string(),
                               reporter_);
        reporter_.DebugLog("XapMessage " + Printable(text));
        if (m->CrLf() && crLfSenders_.size() < kCrLfSendersRemembered && crLfSenders_.insert(m->MsgSource()).second) {
            reporter_.DebugLog("xAP lines from " + m->MsgSource().substr(0, 100) + " end in CR LF; read as LF");
        }
        const std::string self = actions_.XapSource ? actions_.XapSource() : std::string();
        const bool ready = actions_.CM11AReady && actions_.CM11AReady();
        if (ready && m->CompareClass("xAP-X10.request")) {
            if (m.For(self)) X10Request(m);
        } else if (m->CompareClass("WDT.Echo")) {
            if (m.For(self)) Echo(m);
        } else if (m->CompareClass("Homeseer.Role")) {
            if (m.For(self)) Role(m);
        } else if (m->CompareClass("Homeseer.Config")) {
            if (m.For(Lower(std::string(kXapSourcePrefix) + ".*"))) Config(m);
        }
    } catch (const std::exception& e) {
        reporter_.Fail(e);
        reporter_.ReportEvent(kAppName, "Readmessage");
    }
}

void RequestHandler::X10Request(const XapMessageView& m) {
    const std::string deviceItem = m->GetItem("xAP-X10.request", "device");
    const std::vector<std::string> devices = SplitDevices(deviceItem);
    const std::string command = Lower(m->GetItem("xAP-X10.request", "command"));
    reporter_.DebugLog("XapCommand " + deviceItem + "=" + command);

    const int function = cm11a::FunctionCode(command);
    const auto extended = cm11a::ExtendedBytes(m->GetItem("xAP-X10.request", cm11a::kExtendedDataItem),
                                               m->GetItem("xAP-X10.request", cm11a::kExtendedCommandItem));
    if (function == cm11a::kFunctionDim || function == cm11a::kFunctionBright) return;  // no dimming from xAP

    if (actions_.SwapIcons) actions_.SwapIcons();

    int count = 0;
    try {
        count = LeadingCount(m->GetItem("xAP-X10.request", "count"));
    } catch (const std::exception& e) {
        reporter_.Fail(e);
        reporter_.ReportEvent(kAppName, "Readmessage");
    }

    // A command or count the interface cannot carry out refuses every device of the request.
    std::string unusable;
    if (function < 0) {
        unusable = "with command \"" + (command.size() > 32 ? command.substr(0, 32) + "..." : command) +
                   "\", which is not an X10 function";
    } else if (function == cm11a::kFunctionExtended && !extended) {
        unusable = "with command \"extended\" but no data (items " + std::string(cm11a::kExtendedDataItem) + " and " +
                   std::string(cm11a::kExtendedCommandItem) + ", 0..255)";
    } else if (count < 0 || count > cm11a::Cm11aEngine::kMaxBrightness) {
        unusable = "with count " + std::to_string(count) + ", outside 0.." +
                   std::to_string(cm11a::Cm11aEngine::kMaxBrightness);
    }
    Refused refusedAll(unusable);
    Refused notDevices("not device codes");
    Refused beyondRoom("beyond the room left in the transmit queue");
    Refused repeated("named again");
    const std::string sender = "xAP " + Lower(m->MsgSource());
    std::size_t room = actions_.QueueRoom ? actions_.QueueRoom(sender) : std::numeric_limits<std::size_t>::max();
    std::size_t served = 0;
    // One command per X10 address, however often (and in whatever spelling) the list names it:
    // a request costs at most one command per device of the 256.
    std::bitset<256> named;

    for (const std::string& d : devices) {
        if (!settings_.HouseServed(d)) continue;
        if (settings_.Ignored(d)) continue;
        ++served;
        const auto address = cm11a::AddressByte(d);
        if (!address) {
            notDevices.Add(d);
        } else if (named.test(*address)) {
            repeated.Add(d);
        } else if (named.set(*address); !unusable.empty()) {
            refusedAll.Add(d);
        } else if (room == 0) {
            beyondRoom.Add(d);
        } else {
            --room;
            reporter_.DebugLog("XapSendToCM11A " + d + "=" + std::to_string(function));
            if (function == cm11a::kFunctionExtended) {
                if (actions_.SendExtended) actions_.SendExtended(d, extended->first, extended->second, sender);
            } else if (actions_.SendCM11A) {
                actions_.SendCM11A(d, function, count, sender);
            }
        }
    }

    std::string reasons;
    std::size_t refused = 0;
    for (const Refused* r : {&refusedAll, &beyondRoom, &notDevices, &repeated}) {
        if (r->Count() > 0) reasons += (reasons.empty() ? "" : "; ") + r->Text();
        refused += r->Count();
    }
    if (reasons.empty()) return;
    reporter_.ReportEvent(kAppName, "Readmessage refused " + std::to_string(refused) + " of " +
                                        std::to_string(served) + " devices: " + reasons);
}

void RequestHandler::Echo(const XapMessageView& m) {
    const std::string query = m->GetItem("Echo.Query", "Query");
    if (Lower(query) == "unknown") return;  // no query block: an answer, or something else
    reporter_.SendXap(m->MsgSource(), "WDT.Echo", "Echo.Response",
                      xap::ItemList({{"Response", Lower(query)}}));
}

void RequestHandler::Role(const XapMessageView& m) {
    const std::string role = Lower(m->GetItem("Role.Query", "Role"));
    if (role != "application" && role != "any") return;
    reporter_.SendXap("", "Homeseer.Role", "Role.Notification",
                      xap::ItemList({{"Role", "Application"}, {"Path", settings_.ExePath}, {"Form", "SetupForm"}}));
}

void RequestHandler::Config(const XapMessageView& m) {
    const std::string form = Lower(m->GetItem("Config.Form", "Form"));
    const std::string path = Lower(m->GetItem("Config.Form", "Path"));
    if (form == "setupform" && path == Lower(settings_.ExePath) && actions_.ShowSetupForm) {
        actions_.ShowSetupForm();
    }
}

}  // namespace quorvel::app
