// What the CM11A protocol engine needs of the link to the interface. The serial/TCP link
// implements it for the product; unit tests use a scripted double.
#pragma once

#include <string>

namespace quorvel::cm11a {

class LinkPort {
public:
    virtual ~LinkPort() = default;
    // True when the link named by port (the ComPort setting) is open; a closed link is
    // opened first, so every test of a closed link is also an attempt to open it. Never
    // waits: a link that takes time to open (a serial server) says so by Connecting().
    virtual bool PortOpen(const std::string& port) = 0;
    // Writes bytes (one char per byte) to the interface and echoes them to the traffic
    // view. When the link cannot be opened it reports "Unable to Send to CM11A, Port not
    // open" (once per outage) and drops the bytes. Never lets pending events run.
    virtual void WriteToCM11A(const std::string& bytes) = 0;
    // True while an attempt to open the link is under way (a connect wait, a connection
    // being made): the link may be open in a moment, so commands are kept meanwhile.
    virtual bool Connecting() const { return false; }
    // The interface stayed silent through consecutive replies although the link is open
    // (an adapter that hangs): close the link and open it again.
    virtual void Reopen(const std::string& why) { (void)why; }
    // The ComPort setting changed: whatever is open closes and port opens instead. Called
    // between commands, never in the middle of an exchange with the interface.
    virtual void UsePort(const std::string& port) { (void)port; }
};

}  // namespace quorvel::cm11a
