#include "app/service_status.h"

#include "cm11a/cm11a_link.h"
#include "core/settings.h"

#include <array>
#include <utility>

namespace quorvel::app {

namespace {

constexpr std::string_view kUp = "CM11A link up on ";

// Reports of a link that cannot be used: a failed open, a refused or lost connection, a
// port closed after an error, a command that found no open port.
constexpr std::array<std::string_view, 8> kDown = {
    "Unable to connect to CM11A", "CM11A OpenPort", "PortOpen",          "closed after error",
    "CM11A TCP Port Connect Closed", "CM11A Winsock1_Error", "MSComm1_OnCommERROR", "Unable to Send to CM11A"};

}  // namespace

bool LinkStatus::Set(std::string text) {
    if (text == text_) return false;
    text_ = std::move(text);
    return true;
}

bool LinkStatus::OnReport(std::string_view report) {
    const std::string_view text = core::Trim(report);
    if (const auto up = text.find(kUp); up != text.npos) return Set(std::string(text.substr(up)));
    for (std::string_view down : kDown) {
        if (text.find(down) != text.npos) return Set("CM11A link down: " + std::string(text));
    }
    return false;
}

bool LinkStatus::StartedUp(bool linkDown, const std::string& comPort) {
    if (linkDown || !text_.empty()) return false;
    const cm11a::ComPortTarget target = cm11a::ParseComPort(comPort);
    switch (target.kind) {
    case cm11a::ComPortTarget::Kind::Serial:
        return Set(std::string(kUp) + target.Device);
    case cm11a::ComPortTarget::Kind::Tcp:
        return Set(std::string(kUp) + target.Host + ":" + std::to_string(target.Port));
    case cm11a::ComPortTarget::Kind::Invalid:
        break;
    }
    return Set("CM11A link down: ComPort " + comPort + ": " + target.Problem);
}

}  // namespace quorvel::app
