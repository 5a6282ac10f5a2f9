// The connector's xAP application layer: one received message in, the matching action out.
// Understood: "xAP-X10.request" (switch X10 devices), "WDT.Echo" (answered to the sender),
// "Homeseer.Role" (answered with this program's path and setup window) and
// "Homeseer.Config" (opens the setup window). Everything else is ignored.
#pragma once

#include "app/core_names.h"

#include <cstddef>
#include <functional>
#include <set>
#include <string>

namespace quorvel::app {

struct RequestActions {
    std::function<bool()> CM11AReady;
    std::function<std::string()> XapSource;      // our own xAP address
    std::function<std::string()> HeaderOpening;  // for parsing with the node's header text
    std::function<void()> SwapIcons;
    // sender: who asked (the request's xAP source), for the queue's round-robin.
    std::function<void(const std::string& device, int command, int count, const std::string& sender)> SendCM11A;
    std::function<void(const std::string& device, int data, int command, const std::string& sender)>
        SendExtended;  // an extended code
    std::function<void()> ShowSetupForm;
    // Commands the transmit queue can still take from sender; unset: no bound.
    std::function<std::size_t(const std::string& sender)> QueueRoom;
};

class XapMessageView;

// An X10 request costs one command per device it names, up to the room left in the transmit
// queue; whatever is refused (devices beyond that room, entries that are not device codes, a
// command or count the interface cannot carry out) gets one report for the whole request,
// naming the first few devices and the count.
class RequestHandler {
public:
    // Refused devices named in the report, per reason.
    static constexpr std::size_t kDevicesNamed = 5;

    RequestHandler(Reporter& reporter, const Settings& settings, RequestActions actions);

    void Readmessage(const std::string& text);

private:
    void X10Request(const XapMessageView& m);
    void Echo(const XapMessageView& m);
    void Role(const XapMessageView& m);
    void Config(const XapMessageView& m);

    Reporter& reporter_;
    const Settings& settings_;
    RequestActions actions_;
    // Senders whose lines end in CR LF, told once each in the debug log.
    static constexpr std::size_t kCrLfSendersRemembered = 256;
    std::set<std::string> crLfSenders_;
};

// Numeric value of the leading number of text (blanks skipped, as "12abc" gives 12),
// rounded half to even into a 16-bit integer. Non-numeric text gives 0; a value outside
// the 16-bit range throws std::overflow_error.
int LeadingCount(const std::string& text);

}  // namespace quorvel::app
