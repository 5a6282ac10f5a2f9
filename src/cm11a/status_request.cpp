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

// Any byte may open the status (the battery timer's high byte can be 0x5A, 0x5B or 0xA5),
// so the answer is told from the interface's own requests by its length: fourteen bytes in
// a row. Fewer followed by a gap were a request of its own that crossed ours. A macro
// report (0x5B and two bytes) can come just before the status: an answer opened by 0x5B
// is complete at seventeen bytes, or at fourteen followed by a gap.
void Cm11aEngine::StatusStep(std::uint8_t b) {
    statusBuffer_.push_back(static_cast<char>(b));
    const bool macroFirst = static_cast<std::uint8_t>(statusBuffer_[0]) == kMacroReport;
    if (statusBuffer_.size() == InterfaceStatus::kLength + (macroFirst ? 3 : 0)) {
        StatusAnswerEnded();
        if (rxState_ == RxState::Idle) StartHead();
        return;
    }
    quietTimer_->Arm(kStatusByteGapMs);
}

void Cm11aEngine::StatusAnswerEnded() {
    std::string got = statusBuffer_;
    if (static_cast<std::uint8_t>(got[0]) == kMacroReport &&
        (got.size() == 3 || got.size() == 3 + InterfaceStatus::kLength)) {
        MacroReported((static_cast<std::uint8_t>(got[1]) << 8) | static_cast<std::uint8_t>(got[2]));
        got.erase(0, 3);
    }
    if (got.size() == InterfaceStatus::kLength) {
        statusBuffer_ = got;
        const std::optional<InterfaceStatus> status = DecodeStatus(got);
        EndStatus(status ? "CM11A status received" : "CM11A status out of range, ignored");
        statusWanted_ = false;  // what a macro switched is in this answer
        if (status) StatusReceived(*status);
        return;
    }
    // The interface spoke first (it ignores commands while it holds an upload or lacks its
    // clock): it is served, and asked again later.
    EndStatus("CM11A status request crossed by the interface's own request");
    statusWanted_ = true;
    const auto first = static_cast<std::uint8_t>(got.empty() ? 0 : got[0]);
    if (got.size() == 1 && first == kPowerFail) return PowerFailed();
    if (got.size() == 1 && first == kPoll) return ServePoll();
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
