#include "app/service_status.h"

#include "cm11a/cm11a_link.h"
#include "core/settings.h"

#include <algorithm>
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
    std::string status;
    if (const auto up = text.find(kUp); up != text.npos) {
        status = std::string(text.substr(up));
    } else if (std::any_of(kDown.begin(), kDown.end(), [text](std::string_view d) { return text.find(d) != text.npos; })) {
        status = "CM11A link down: " + std::string(text);
    } else {
        return false;
    }
    fromReport_ = true;
    return Set(std::move(status));
}

bool LinkStatus::StartedUp(bool linkDown, bool connecting, const std::string& comPort) {
    if (linkDown || fromReport_) return false;
    const cm11a::ComPortTarget target = cm11a::ParseComPort(comPort);
    switch (target.kind) {
    case cm11a::ComPortTarget::Kind::Serial:
        return Set(std::string(kUp) + target.Device);
    case cm11a::ComPortTarget::Kind::Tcp: {
        const std::string where = target.Host + ":" + std::to_string(target.Port);
        return Set(connecting ? "CM11A link connecting to " + where : std::string(kUp) + where);
    }
    case cm11a::ComPortTarget::Kind::Invalid:
        break;
    }
    return Set("CM11A link down: ComPort " + comPort + ": " + target.Problem);
}

}  // namespace quorvel::app
