// The interface's own reports and status: the macro report 0x5B, the status request 0x8B
// and its fourteen bytes, and what the connector does with them (the clock kept right, a
// long-running battery or a clock far off reported once).
#include "cm11a/cm11a_engine.h"

#include "cm11a/codes.h"
#include "xap/xap_sender.h"

#include <cstdio>
#include <cstdlib>

namespace quorvel::cm11a {

void Cm11aEngine::RequestStatus() {
    statusWanted_ = true;
    if (!MidExchange()) StartHead();
}

// Called from StartHead between commands only. False when the request cannot go out now.
bool Cm11aEngine::StartStatus() {
    if (!link_.PortOpen(settings_.ComPort) || MidExchange()) return false;  // opening may start the clock
    statusWanted_ = false;
    statusBuffer_.clear();
    rxState_ = RxState::AwaitStatus;
    quietTimer_->Arm(kStatusAnswerMs);
    reporter_.DebugLog("CM11A status requested");
    Write(std::string(1, static_cast<char>(InterfaceStatus::kRequest)));
    return true;
}

void Cm11aEngine::StatusStep(std::uint8_t b) {
    if (statusBuffer_.empty() && (b == kPoll || b == kPowerFail || b == kMacroReport)) {
        // The interface wanted attention before it took the request (it ignores commands
        // while it holds an upload or lacks its clock, and a macro it ran reports at once):
        // it is served, and asked again later.
        EndStatus("CM11A status request crossed by the interface's own request");
        statusWanted_ = true;
        if (b == kMacroReport) return BeginMacroReport();
        return b == kPoll ? ServePoll() : PowerFailed();
    }
    statusBuffer_.push_back(static_cast<char>(b));
    if (statusBuffer_.size() < InterfaceStatus::kLength) return;
    const std::optional<InterfaceStatus> status = DecodeStatus(statusBuffer_);
    EndStatus(status ? "CM11A status received" : "CM11A status out of range, ignored");
    if (status) StatusReceived(*status);
    if (rxState_ == RxState::Idle) StartHead();
}

void Cm11aEngine::EndStatus(const char* why) {
    if (reporter_.Debug()) reporter_.DebugLog(std::string(why) + ": " + HexSpaced(statusBuffer_));
    statusBuffer_.clear();
    rxState_ = RxState::Idle;
    quietTimer_->SetEnabled(false);
}

void Cm11aEngine::StatusReceived(const InterfaceStatus& status) {
    status_ = status;
    if (statusObserver_) statusObserver_(status);
    if (!statusAnnounced_) {  // once a connection: the interface that answers
        statusAnnounced_ = true;
        reporter_.ReportEvent(core::kAppName, "CM11A status: " + StatusSummary(status));
    }

    const bool batteryLong = status.BatteryTimer != InterfaceStatus::kBatteryReset &&
                             status.BatteryTimer >= kBatteryLowMinutes;
    if (batteryLong && !batteryReported_) {
        reporter_.ReportEvent(core::kAppName, "CM11A battery timer at " + std::to_string(status.BatteryTimer) +
                                                  " minutes: the interface's batteries may need replacing");
    }
    batteryReported_ = batteryLong;

    const long offset = ClockOffsetSeconds(status, platform_.LocalDateTime());
    const long distance = std::labs(offset);
    if (distance > kClockReportS && !clockOffReported_) {
        reporter_.ReportEvent(core::kAppName, "CM11A clock " + std::to_string(distance) + " s " +
                                                  (offset > 0 ? "ahead" : "behind") + " (" + status.ClockText() +
                                                  "): set again");
    }
    clockOffReported_ = distance > kClockReportS;
    if (distance > kClockToleranceS) return StartClock("the interface's clock was off");
    if (platform_.NowMs() - lastClockSetMs_ >= kClockRenewMs) StartClock("a day since the last clock message");
}

void Cm11aEngine::BeginMacroReport() {
    rxState_ = RxState::InMacroReport;
    macroRemaining_ = 2;
    macroOffset_ = 0;
}

void Cm11aEngine::MacroReported(int offset) {
    char address[8];
    std::snprintf(address, sizeof address, "%04X", offset & 0xFFFF);
    reporter_.DebugLog(std::string("CM11A macro report, address ") + address);
    reporter_.SendXap("", std::string(kMacroClass), std::string(kMacroClass),
                      xap::ItemList({{"Event", "macro"}, {"Address", address}}));
    // What the macro switched shows in the interface's status.
    statusWanted_ = true;
}

}  // namespace quorvel::cm11a
