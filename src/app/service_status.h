// The line a service manager shows for the connector (systemctl status): the state of the
// CM11A link, followed through the link's reports.
#pragma once

#include <string>
#include <string_view>

namespace quorvel::app {

class LinkStatus {
public:
    // A report that tells the link is up ("CM11A link up on /dev/ttyUSB0") or cannot be used
    // (a port that does not open, a connection refused or lost) sets the status; true when
    // the status changed.
    bool OnReport(std::string_view report);
    // Start-up is over (and again while a serial server is being connected). A link that
    // opens at once gives no report: the status then comes from the port in use. linkDown:
    // the link has failed since; connecting: a TCP connection is still being made. What a
    // report said stays.
    bool StartedUp(bool linkDown, bool connecting, const std::string& comPort);
    const std::string& Text() const { return text_; }

private:
    bool Set(std::string text);
    std::string text_;
    bool fromReport_ = false;
};

}  // namespace quorvel::app
